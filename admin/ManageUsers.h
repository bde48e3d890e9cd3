// The user manager: every local user of the mail store, with add, edit,
// delete and rename. Users are folders of the mail store and change on disk
// at once; deleting and renaming also change aliases, which reach the
// settings file when the caller saves it after this window closes.
#pragma once

#include "ManageItems.h"

class TfrmManageUsers : public TfrmManageItems {
    Q_OBJECT
public:
    explicit TfrmManageUsers(QWidget* parent = nullptr);

protected:
    void GetItems(std::vector<std::string>& items) const override;
    bool AddOne() override;
    bool EditOne(const std::string& item) override;
    QString DeleteQuestion() const override;
    void DeleteOne(const std::string& item) override;
    QString RenameCaption() const override { return "Rename User"; }
    QString RenamePrompt() const override { return "Enter New User Name"; }
    QString RenameRefusal() const override { return "Error: Cound not re-name.\r\nUsers must have a unique ID."; }
    bool RenameOne(const std::string& oldName, const std::string& newName) override;
};

extern TfrmManageUsers* frmManageUsers;
