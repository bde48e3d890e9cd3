#include "ManageMailLists.h"

#include "AddEditMailList.h"
#include "DataU1.h"

TfrmManageMailLists* frmManageMailLists = nullptr;

TfrmManageMailLists::TfrmManageMailLists(QWidget* parent)
    : TfrmManageItems("frmManageMailLists", "Manage Mailing Lists", false, parent) {}

void TfrmManageMailLists::GetItems(std::vector<std::string>& items) const {
    items.clear();
    if (ServerInformation) ServerInformation->GetMailLists(items);
}

bool TfrmManageMailLists::AddOne() { return frmAddEditMailList && frmAddEditMailList->AddMailList(); }

bool TfrmManageMailLists::EditOne(const std::string& item) {
    return frmAddEditMailList && frmAddEditMailList->EditMailList(item);
}

QString TfrmManageMailLists::DeleteQuestion() const { return "Deleting list(s) cannot be undone.  Proceed?"; }

void TfrmManageMailLists::DeleteOne(const std::string& item) {
    if (ServerInformation) ServerInformation->DeleteMailList(item);
}

bool TfrmManageMailLists::RenameOne(const std::string& oldName, const std::string& newName) {
    return ServerInformation && ServerInformation->RenameMailList(oldName, newName);
}
