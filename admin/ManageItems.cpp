#include "ManageItems.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

#include "Forms.h"
#include "platform/Paths.h"

TfrmManageItems::TfrmManageItems(const char* objectName, const QString& caption, bool wideList, QWidget* parent)
    : TModalForm(parent) {
    setObjectName(objectName);
    setWindowTitle(caption);

    lstList = new QListWidget(this);
    lstList->setObjectName("lstList");
    lstList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstList->setContextMenuPolicy(Qt::CustomContextMenu);

    auto button = [this](const char* name, const char* text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        return b;
    };
    btnAdd = button("btnAdd", "Add");
    btnEdit = button("btnEdit", "Edit");
    btnDelete = button("btnDelete", "Delete");
    btnRename = button("btnRename", "Rename");
    btnImport = button("btnImport", "Import");
    btnExport = button("btnExport", "Export");
    btnClose = button("btnClose", "Close");
    for (QPushButton* b : {btnEdit, btnDelete, btnRename, btnExport}) b->setEnabled(false);

    popupMenu = new QMenu(this);
    popupMenu->setObjectName("popupMenu");
    auto item = [this](const char* name, const char* text) {
        QAction* a = popupMenu->addAction(text);
        a->setObjectName(name);
        return a;
    };
    puAdd = item("puAdd", "Add...");
    puEdit = item("puEdit", "Edit...");
    puDelete = item("puDelete", "Delete...");
    puRename = item("puRename", "Rename...");
    popupMenu->addSeparator()->setObjectName("N1");
    puImport = item("puImport", "Import...");
    puExport = item("puExport", "Export...");
    puImport->setEnabled(false);
    puExport->setEnabled(false);

    if (wideList) {
        auto* rows = new QGridLayout;
        rows->addWidget(btnAdd, 0, 0);
        rows->addWidget(btnEdit, 0, 1);
        rows->addWidget(btnDelete, 0, 2);
        rows->addWidget(btnRename, 0, 3);
        rows->addWidget(btnImport, 1, 0);
        rows->addWidget(btnExport, 1, 1);
        rows->addWidget(btnClose, 1, 3);
        auto* all = new QVBoxLayout(this);
        all->addWidget(lstList);
        all->addLayout(rows);
        lstList->setFixedSize(420, 220);
    } else {
        auto* column = new QVBoxLayout;
        for (QPushButton* b : {btnAdd, btnEdit, btnDelete, btnRename}) column->addWidget(b);
        column->addSpacing(10);
        column->addWidget(btnImport);
        column->addWidget(btnExport);
        column->addStretch();
        column->addWidget(btnClose);
        auto* all = new QHBoxLayout(this);
        all->addWidget(lstList);
        all->addLayout(column);
        lstList->setFixedSize(220, 260);
    }
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    using F = TfrmManageItems;
    connect(btnAdd, &QPushButton::clicked, this, &F::btnAddClick);
    connect(puAdd, &QAction::triggered, this, &F::btnAddClick);
    connect(btnEdit, &QPushButton::clicked, this, &F::btnEditClick);
    connect(puEdit, &QAction::triggered, this, &F::btnEditClick);
    connect(btnDelete, &QPushButton::clicked, this, &F::btnDeleteClick);
    connect(puDelete, &QAction::triggered, this, &F::btnDeleteClick);
    connect(btnRename, &QPushButton::clicked, this, &F::btnRenameClick);
    connect(puRename, &QAction::triggered, this, &F::btnRenameClick);
    connect(btnImport, &QPushButton::clicked, this, &F::btnImportClick);
    connect(puImport, &QAction::triggered, this, &F::btnImportClick);
    connect(btnExport, &QPushButton::clicked, this, &F::btnExportClick);
    connect(puExport, &QAction::triggered, this, &F::btnExportClick);
    connect(btnClose, &QPushButton::clicked, this, &F::btnCloseClick);
    // Keyboard selection changes count as clicks, as they do in a list box.
    connect(lstList, &QListWidget::itemSelectionChanged, this, &F::lstListClick);
    connect(lstList, &QListWidget::itemDoubleClicked, this, &F::lstListDblClick);
    connect(popupMenu, &QMenu::aboutToShow, this, &F::popupMenuPopup);
    connect(lstList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popupMenu->popup(lstList->viewport()->mapToGlobal(pos)); });
}

void TfrmManageItems::FormShow() {
    RefillList();
    UpdateButtons();
}

void TfrmManageItems::RefillList() {
    std::vector<std::string> items;
    GetItems(items);
    lstList->clear();
    lstList->addItems(ToQ(items));
    // Buttons that a refill leaves enabled would act on nothing.
    UpdateButtons();
}

int TfrmManageItems::CurrentItem() const {
    int current = lstList->currentRow();
    if (current >= 0 && lstList->item(current)->isSelected()) return current;
    const QList<QListWidgetItem*> selected = lstList->selectedItems();
    return selected.size() == 1 ? lstList->row(selected.first()) : -1;
}

void TfrmManageItems::UpdateButtons() {
    const qsizetype selected = lstList->selectedItems().size();
    btnEdit->setEnabled(selected == 1);
    puEdit->setEnabled(selected == 1);
    btnDelete->setEnabled(selected >= 1);
    puDelete->setEnabled(selected >= 1);
    btnRename->setEnabled(selected == 1);
    puRename->setEnabled(selected == 1);
    btnExport->setEnabled(lstList->count() > 0);
    puExport->setEnabled(lstList->count() > 0);
}

void TfrmManageItems::AddItem() {
    if (AddOne()) RefillList();
}

void TfrmManageItems::EditItem() {
    int i = CurrentItem();
    if (i < 0) return;
    if (EditOne(FromQ(lstList->item(i)->text()))) RefillList();
}

void TfrmManageItems::DeleteItems() {
    if (MessageDlg(DeleteQuestion(), TMsgDlgType::Confirmation, mbYes | mbNo, this) != mrYes) return;
    std::vector<std::string> chosen;
    for (int i = 0; i < lstList->count(); ++i)
        if (lstList->item(i)->isSelected()) chosen.push_back(FromQ(lstList->item(i)->text()));
    for (const std::string& item : chosen) DeleteOne(item);
    RefillList();
}

void TfrmManageItems::RenameItem() {
    int i = CurrentItem();
    if (i < 0) return;
    QString oldName = lstList->item(i)->text();
    QString newName = InputBox(RenameCaption(), RenamePrompt(), oldName, this);
    // Letter case alone names the same account.
    if (platform::equalsNoCase(FromQ(newName), FromQ(oldName))) return;
    if (RenameOne(FromQ(oldName), FromQ(newName)))
        RefillList();
    else
        ShowMessage(RenameRefusal(), this);
}

void TfrmManageItems::ImportItems() { ShowMessage("Feature not implemented yet...", this); }

void TfrmManageItems::ExportItems() { ShowMessage("Feature not implemented yet...", this); }
