// The mailing-list manager: every mailing list of the mail store, with add,
// edit, delete and rename. Each list is one file, changed on disk at once.
#pragma once

#include "ManageItems.h"

class TfrmManageMailLists : public TfrmManageItems {
    Q_OBJECT
public:
    explicit TfrmManageMailLists(QWidget* parent = nullptr);

protected:
    void GetItems(std::vector<std::string>& items) const override;
    bool AddOne() override;
    bool EditOne(const std::string& item) override;
    QString DeleteQuestion() const override;
    void DeleteOne(const std::string& item) override;
    QString RenameCaption() const override { return "Rename List"; }
    QString RenamePrompt() const override { return "Enter New List Name"; }
    QString RenameRefusal() const override { return "Error: Cound not re-name.\r\nList must have a unique ID."; }
    bool RenameOne(const std::string& oldName, const std::string& newName) override;
};

extern TfrmManageMailLists* frmManageMailLists;
