#include "ManageUsers.h"

#include "AddEditUser.h"
#include "DataU1.h"

TfrmManageUsers* frmManageUsers = nullptr;

TfrmManageUsers::TfrmManageUsers(QWidget* parent) : TfrmManageItems("frmManageUsers", "Manage Users", false, parent) {}

void TfrmManageUsers::GetItems(std::vector<std::string>& items) const {
    items.clear();
    if (ServerInformation) ServerInformation->GetUsers(items);
}

bool TfrmManageUsers::AddOne() { return frmAddEditUser && frmAddEditUser->AddUser(); }

bool TfrmManageUsers::EditOne(const std::string& item) { return frmAddEditUser && frmAddEditUser->EditUser(item); }

QString TfrmManageUsers::DeleteQuestion() const { return "Deleting user(s) cannot be undone.  Proceed?"; }

// A user that cannot be deleted stays in the refilled list; nothing is said.
void TfrmManageUsers::DeleteOne(const std::string& item) {
    if (ServerInformation) ServerInformation->DeleteUser(item);
}

bool TfrmManageUsers::RenameOne(const std::string& oldName, const std::string& newName) {
    return ServerInformation && ServerInformation->RenameUser(oldName, newName);
}
