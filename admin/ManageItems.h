// What the three account managers (users, mailing lists, aliases) share: a
// multi-select list refilled from the account directory at every showing and
// after every change, Add / Edit / Delete / Rename / Import / Export buttons
// and the same items in the list's popup menu, and the rules that enable
// them. A manager names its items and its texts; the base runs the actions.
//
// Delete asks once for all selected items; Rename asks for the new name in an
// input box, and a name equal to the old one apart from letter case (Cancel
// included) does nothing; Import and Export are not implemented.
#pragma once

#include <string>
#include <vector>

#include "Settings_Controls.h"

class QListWidget;
class QMenu;
class QPushButton;

class TfrmManageItems : public TModalForm {
    Q_OBJECT
public:
    QListWidget* lstList;
    QPushButton* btnAdd;
    QPushButton* btnEdit;
    QPushButton* btnDelete;
    QPushButton* btnRename;
    QPushButton* btnImport;
    QPushButton* btnExport;
    QPushButton* btnClose;
    QMenu* popupMenu;
    QAction* puAdd;
    QAction* puEdit;
    QAction* puDelete;
    QAction* puRename;
    QAction* puImport;
    QAction* puExport;

    void AddItem();
    void EditItem();
    void DeleteItems();
    virtual void RenameItem();
    void ImportItems();
    void ExportItems();
    void UpdateButtons();

    // The item acted on by Edit and Rename: the focused item when it is
    // selected, else the only selected item; -1 when there is none.
    int CurrentItem() const;
    // Fills the list from the account directory (the selection goes).
    void RefillList();

    void btnAddClick() { AddItem(); }
    void btnEditClick() { EditItem(); }
    void btnDeleteClick() { DeleteItems(); }
    void btnRenameClick() { RenameItem(); }
    void btnImportClick() { ImportItems(); }
    void btnExportClick() { ExportItems(); }
    void lstListClick() { UpdateButtons(); }
    void lstListDblClick() { EditItem(); }
    void popupMenuPopup() { UpdateButtons(); }
    void btnCloseClick() { done(mrCancel); }

protected:
    // wideList: the list above two rows of buttons; else the buttons beside it.
    TfrmManageItems(const char* objectName, const QString& caption, bool wideList, QWidget* parent);

    void FormShow() override;

    // The items as the account directory lists them.
    virtual void GetItems(std::vector<std::string>& items) const = 0;
    // The editor; true when it closed with OK.
    virtual bool AddOne() = 0;
    virtual bool EditOne(const std::string& item) = 0;
    virtual QString DeleteQuestion() const = 0;
    virtual void DeleteOne(const std::string& item) = 0;
    // Rename of a listed name (users and lists).
    virtual QString RenameCaption() const { return {}; }
    virtual QString RenamePrompt() const { return {}; }
    virtual QString RenameRefusal() const { return {}; }
    virtual bool RenameOne(const std::string&, const std::string&) { return false; }
};
