// The alias manager: every alias entry (alias ID, "<==>", user) of the
// settings object, with add, edit, delete and rename. Changes are in force
// for routing at once and reach the settings file when the caller saves it
// after this window closes.
#pragma once

#include "ManageItems.h"

class TfrmManageAliases : public TfrmManageItems {
    Q_OBJECT
public:
    explicit TfrmManageAliases(QWidget* parent = nullptr);

    void RenameItem() override;

protected:
    void GetItems(std::vector<std::string>& items) const override;
    bool AddOne() override;
    bool EditOne(const std::string& item) override;
    QString DeleteQuestion() const override;
    void DeleteOne(const std::string& item) override;
};

extern TfrmManageAliases* frmManageAliases;
