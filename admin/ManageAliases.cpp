#include "ManageAliases.h"

#include <QListWidget>

#include "AddEditAlias.h"
#include "DataU1.h"
#include "Forms.h"
#include "platform/Paths.h"

TfrmManageAliases* frmManageAliases = nullptr;

TfrmManageAliases::TfrmManageAliases(QWidget* parent)
    : TfrmManageItems("frmManageAliases", "Manage Aliases", true, parent) {}

void TfrmManageAliases::GetItems(std::vector<std::string>& items) const {
    items.clear();
    if (ServerInformation) ServerInformation->GetAliases(items);
}

bool TfrmManageAliases::AddOne() { return frmAddEditAlias && frmAddEditAlias->AddAlias(); }

bool TfrmManageAliases::EditOne(const std::string& item) { return frmAddEditAlias && frmAddEditAlias->EditAlias(item); }

QString TfrmManageAliases::DeleteQuestion() const { return "Deleting alias(es) cannot be undone.  Proceed?"; }

void TfrmManageAliases::DeleteOne(const std::string& item) {
    if (ServerInformation) ServerInformation->DeleteAlias(item);
}

void TfrmManageAliases::RenameItem() {
    int i = CurrentItem();
    if (i < 0 || !ServerInformation) return;
    std::string oldName, user;
    TServerInformation::SplitAlias(FromQ(lstList->item(i)->text()), oldName, user);
    std::string newName = FromQ(InputBox("Rename Alias", "Enter New Alias Name", ToQ(oldName), this));
    if (newName.find(AliasSeparator) != std::string::npos) {
        ShowMessage("Alias cannot contain \"<==>\".", this);
        return;
    }
    if (platform::equalsNoCase(newName, oldName)) return;
    if (ServerInformation->RenameAlias(oldName, newName))
        RefillList();
    else
        ShowMessage("Error: Cound not re-name.\r\nAliases must have a unique Name.", this);
}
