#include "AddEditMailList.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ChooseUser.h"
#include "DataU1.h"
#include "Forms.h"
#include "UtilU1.h"
#include "ViewMailListArchive.h"

TfrmAddEditMailList* frmAddEditMailList = nullptr;

namespace {

const char* YesNo(bool b) { return b ? "Yes" : "No"; }

}  // namespace

TfrmAddEditMailList::TfrmAddEditMailList(QWidget* parent)
    : TModalForm(parent), FList(std::make_unique<TMailListInformation>()) {
    setObjectName("frmAddEditMailList");
    setWindowTitle("Add / Edit Mailing List");

    auto label = [](QWidget* owner, const char* name, const QString& text) {
        auto* l = new QLabel(text, owner);
        l->setObjectName(name);
        return l;
    };
    auto check = [](QWidget* owner, const char* name, const char* caption) {
        auto* c = new QCheckBox(caption, owner);
        c->setObjectName(name);
        return c;
    };
    auto page = [this](const char* name, const char* caption) {
        auto* p = new QWidget(PageControl1);
        p->setObjectName(name);
        PageControl1->addTab(p, caption);
        return p;
    };

    txtListName = new QLineEdit(this);
    txtListName->setObjectName("txtListName");
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");

    // General page.
    tsGeneral = page("tsGeneral", "General");
    txtArchiveFile = new QLineEdit(tsGeneral);
    txtArchiveFile->setObjectName("txtArchiveFile");
    btnSelectArchiveFile = new QPushButton("...", tsGeneral);
    btnSelectArchiveFile->setObjectName("btnSelectArchiveFile");
    btnSelectArchiveFile->setFixedWidth(28);
    btnSelectArchiveFile->setAutoDefault(false);
    btnViewArchive = new QPushButton("View Archive", tsGeneral);
    btnViewArchive->setObjectName("btnViewArchive");
    btnViewArchive->setAutoDefault(false);
    cbxLB_AllowPublicSubscription = check(tsGeneral, "cbxLB_AllowPublicSubscription", "Allow Public Subscription");
    cbxLB_ForceRepliesToList = check(tsGeneral, "cbxLB_ForceRepliesToList", "Force Replies To List");
    cbxLB_DoNotReportListMembers_SMTP =
        check(tsGeneral, "cbxLB_DoNotReportListMembers_SMTP", "Do Not Report List Members (SMTP)");
    cbxLB_DoNotReportListMembers = check(tsGeneral, "cbxLB_DoNotReportListMembers", "Do Not Report List Members");
    cbxLB_MemberSubmissionOnly = check(tsGeneral, "cbxLB_MemberSubmissionOnly", "Member Submission Only");
    txtErrorsMailedTo = new QLineEdit(tsGeneral);
    txtErrorsMailedTo->setObjectName("txtErrorsMailedTo");
    {
        auto* v = new QVBoxLayout(tsGeneral);
        v->addWidget(label(tsGeneral, "Label2", "Archive Messages to File"));
        auto* archive = new QHBoxLayout;
        archive->addWidget(txtArchiveFile, 1);
        archive->addWidget(btnSelectArchiveFile);
        archive->addWidget(btnViewArchive);
        v->addLayout(archive);
        v->addSpacing(6);
        for (QCheckBox* c : {cbxLB_AllowPublicSubscription, cbxLB_ForceRepliesToList,
                             cbxLB_DoNotReportListMembers_SMTP, cbxLB_DoNotReportListMembers,
                             cbxLB_MemberSubmissionOnly})
            v->addWidget(c);
        v->addSpacing(6);
        v->addWidget(label(tsGeneral, "Label3", "Send List Delivery Failures to"));
        v->addWidget(txtErrorsMailedTo);
        v->addWidget(label(tsGeneral, "Label4", "if none is specified, \"listmaster\" will be used."));
        v->addStretch();
    }

    // Members page.
    tsMembers = page("tsMembers", "Members");
    lvMembers = new QTreeWidget(tsMembers);
    lvMembers->setObjectName("lvMembers");
    lvMembers->setColumnCount(4);
    lvMembers->setHeaderLabels({"Index", "Active", "Manager", "Address"});
    lvMembers->setRootIsDecorated(false);
    lvMembers->setItemsExpandable(false);
    lvMembers->setUniformRowHeights(true);
    lvMembers->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvMembers->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvMembers->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMembers->setAllColumnsShowFocus(true);
    lvMembers->header()->setStretchLastSection(true);
    lvMembers->setColumnHidden(colIndex, true);
    lvMembers->setColumnWidth(colActive, 60);
    lvMembers->setColumnWidth(colManager, 70);
    lvMembers->setContextMenuPolicy(Qt::CustomContextMenu);
    {
        auto* v = new QVBoxLayout(tsMembers);
        v->addWidget(lvMembers);
    }

    // Text pages.
    auto memo = [this, &label, &page](const char* pageName, const char* caption, const char* memoName,
                                      const char* header, QWidget*& pageOut) {
        pageOut = page(pageName, caption);
        auto* m = new QPlainTextEdit(pageOut);
        m->setObjectName(memoName);
        m->setLineWrapMode(QPlainTextEdit::NoWrap);
        m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m->setContextMenuPolicy(Qt::CustomContextMenu);
        auto* v = new QVBoxLayout(pageOut);
        v->addWidget(label(pageOut, (std::string(memoName) + "Header").c_str(), header));
        v->addWidget(m);
        return m;
    };
    memoSL_Welcome = memo("tsWelcome", "Welcome", "memoSL_Welcome", "Text sent to a member when they join the list",
                          tsWelcome);
    memoSL_Signature =
        memo("tsSignature", "Signature", "memoSL_Signature", "Text appended to each message", tsSignature);
    memoSL_Farewell =
        memo("tsFarewell", "Farewell", "memoSL_Farewell", "Text sent to a member leaving the list", tsFarewell);

    btnOK = new QPushButton("OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setAutoDefault(false);
    btnCancel = new QPushButton("Cancel", this);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setAutoDefault(false);

    auto* top = new QHBoxLayout;
    top->addWidget(label(this, "Label1", "List Name (ID)"));
    top->addWidget(txtListName, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(PageControl1);
    all->addLayout(buttons);
    PageControl1->setFixedSize(460, 340);
    all->setSizeConstraint(QLayout::SetFixedSize);

    // Popup menus.
    popupMembers = new QMenu(this);
    popupMembers->setObjectName("popupMembers");
    auto item = [](QMenu* m, const char* name, const char* caption) {
        QAction* a = m->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    puMbr_Add = item(popupMembers, "puMbr_Add", "Add...");
    puMbr_AddLocal = item(popupMembers, "puMbr_AddLocal", "Add from Local Users...");
    puMbr_Edit = item(popupMembers, "puMbr_Edit", "Edit...");
    puMbr_Delete = item(popupMembers, "puMbr_Delete", "Delete...");
    popupMembers->addSeparator()->setObjectName("N1");
    puMbr_Active = item(popupMembers, "puMbr_Active", "Set Active");
    puMbr_Inactive = item(popupMembers, "puMbr_Inactive", "Set Inactive");
    puMbr_Manager = item(popupMembers, "puMbr_Manager", "Make Manager");
    puMbr_NoManager = item(popupMembers, "puMbr_NoManager", "Make Non-Manager");
    popupMessage = new QMenu(this);
    popupMessage->setObjectName("popupMessage");
    puMsg_Clear = item(popupMessage, "puMsg_Clear", "Clear");
    popupMessage->addSeparator()->setObjectName("N2");
    puMsg_Cut = item(popupMessage, "puMsg_Cut", "Cut");
    puMsg_Copy = item(popupMessage, "puMsg_Copy", "Copy");
    puMsg_Paste = item(popupMessage, "puMsg_Paste", "Paste");
    popupMessage->addSeparator()->setObjectName("N3");
    puMsg_LoadfromFile = item(popupMessage, "puMsg_LoadfromFile", "Load from File...");
    puMsg_SavetoFile = item(popupMessage, "puMsg_SavetoFile", "Save to File...");

    SaveDialog1 = MakeFileDialog(this, "SaveDialog1", "Archive File", true, {"Text File (*.txt)"}, "txt", false);
    OpenDialogText = MakeFileDialog(this, "OpenDialogText", "Open File", false,
                                    {"Text File (*.txt)", "Any File (*.*)"}, "txt", true);
    SaveDialogText = MakeFileDialog(this, "SaveDialogText", "Save File", true,
                                    {"Text File (*.txt)", "Any File (*.*)"}, "txt", false);

    using F = TfrmAddEditMailList;
    connect(btnOK, &QPushButton::clicked, this, &F::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TModalForm::reject);
    connect(btnSelectArchiveFile, &QPushButton::clicked, this, &F::btnSelectArchiveFileClick);
    connect(btnViewArchive, &QPushButton::clicked, this, &F::btnViewArchiveClick);
    connect(popupMembers, &QMenu::aboutToShow, this, &F::popupMembersPopup);
    connect(puMbr_Add, &QAction::triggered, this, &F::puMbr_AddClick);
    connect(puMbr_AddLocal, &QAction::triggered, this, &F::puMbr_AddLocalClick);
    connect(puMbr_Edit, &QAction::triggered, this, &F::puMbr_EditClick);
    connect(puMbr_Delete, &QAction::triggered, this, &F::puMbr_DeleteClick);
    connect(puMbr_Active, &QAction::triggered, this, &F::puMbr_ActiveClick);
    connect(puMbr_Inactive, &QAction::triggered, this, &F::puMbr_InactiveClick);
    connect(puMbr_Manager, &QAction::triggered, this, &F::puMbr_ManagerClick);
    connect(puMbr_NoManager, &QAction::triggered, this, &F::puMbr_NoManagerClick);
    connect(lvMembers, &QTreeWidget::itemDoubleClicked, this, &F::lvMembersDblClick);
    connect(lvMembers, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popupMembers->popup(lvMembers->viewport()->mapToGlobal(pos)); });
    connect(puMsg_Clear, &QAction::triggered, this, &F::puMsg_ClearClick);
    connect(puMsg_Cut, &QAction::triggered, this, &F::puMsg_CutClick);
    connect(puMsg_Copy, &QAction::triggered, this, &F::puMsg_CopyClick);
    connect(puMsg_Paste, &QAction::triggered, this, &F::puMsg_PasteClick);
    connect(puMsg_LoadfromFile, &QAction::triggered, this, &F::puMsg_LoadfromFileClick);
    connect(puMsg_SavetoFile, &QAction::triggered, this, &F::puMsg_SavetoFileClick);
    for (QPlainTextEdit* m : {memoSL_Welcome, memoSL_Signature, memoSL_Farewell})
        connect(m, &QWidget::customContextMenuRequested, this,
                [this, m](const QPoint& pos) { popupMessage->popup(m->viewport()->mapToGlobal(pos)); });
}

TfrmAddEditMailList::~TfrmAddEditMailList() = default;

// --- opening ------------------------------------------------------------------

bool TfrmAddEditMailList::AddMailList() {
    setWindowTitle("Add Mailing List");
    txtListName->setEnabled(true);
    txtListName->clear();
    FList->Clear();
    FillControls();
    return exec() == mrOk;
}

bool TfrmAddEditMailList::EditMailList(const std::string& name) {
    setWindowTitle("Edit Mailing List");
    txtListName->setEnabled(false);
    txtListName->setText(ToQ(name));
    FList->LoadFromFile(name);
    FillControls();
    return exec() == mrOk;
}

void TfrmAddEditMailList::FormShow() {
    if (txtListName->isEnabled())
        txtListName->setFocus(Qt::OtherFocusReason);
    else
        PageControl1->setFocus(Qt::OtherFocusReason);
    PageControl1->setCurrentWidget(tsGeneral);
}

void TfrmAddEditMailList::FillMemo(QPlainTextEdit* memo, const std::vector<std::string>& lines, TTextCodec& codec) {
    memo->setPlainText(JoinMemoLines(DecodeLines(lines, codec)));
}

std::vector<std::string> TfrmAddEditMailList::MemoLines(QPlainTextEdit* memo, const TTextCodec& codec) const {
    return EncodeLines(SplitMemoText(memo->toPlainText()), codec);
}

void TfrmAddEditMailList::FillControls() {
    const TMailListInformation& l = *FList;
    lvMembers->clear();
    for (std::int32_t i = 0; i < l.MemberCount(); ++i) {
        const TMailListMember* m = l.GetMember(i);
        auto* row = new QTreeWidgetItem(lvMembers);
        row->setText(colIndex, QString::number(i));
        row->setText(colActive, YesNo(m->Active));
        row->setText(colManager, YesNo(m->Manager));
        row->setText(colAddress, ToQ(m->Address));
    }
    FillMemo(memoSL_Welcome, l.WelcomeMessage, FWelcomeCodec);
    FillMemo(memoSL_Signature, l.SignatureMessage, FSignatureCodec);
    FillMemo(memoSL_Farewell, l.FarewellMessage, FFarewellCodec);
    cbxLB_AllowPublicSubscription->setChecked(l.AllowOpenSubscription);
    cbxLB_ForceRepliesToList->setChecked(l.ForceRepliesToList);
    cbxLB_DoNotReportListMembers_SMTP->setChecked(l.DoNotReportListMembersToSmtp);
    cbxLB_DoNotReportListMembers->setChecked(l.DoNotReportListMembers);
    cbxLB_MemberSubmissionOnly->setChecked(l.MemberOnlySubmission);
    txtArchiveFile->setText(ToQ(l.DigestFile));
    txtErrorsMailedTo->setText(ToQ(l.MailErrorsTo));
}

// --- members --------------------------------------------------------------------

bool TfrmAddEditMailList::HoldsAddress(const QString& address) const {
    for (int i = 0; i < lvMembers->topLevelItemCount(); ++i)
        if (lvMembers->topLevelItem(i)->text(colAddress).compare(address, Qt::CaseInsensitive) == 0) return true;
    return false;
}

void TfrmAddEditMailList::AppendMember(const QString& address) {
    auto* row = new QTreeWidgetItem(lvMembers);
    row->setText(colIndex, QString::number(lvMembers->topLevelItemCount() - 1));
    row->setText(colActive, "Yes");
    row->setText(colManager, "No");
    row->setText(colAddress, address);
}

void TfrmAddEditMailList::popupMembersPopup() {
    const qsizetype selected = lvMembers->selectedItems().size();
    puMbr_Add->setEnabled(true);
    puMbr_AddLocal->setEnabled(true);
    puMbr_Edit->setEnabled(selected == 1);
    for (QAction* a : {puMbr_Delete, puMbr_Active, puMbr_Inactive, puMbr_Manager, puMbr_NoManager})
        a->setEnabled(selected >= 1);
}

void TfrmAddEditMailList::puMbr_AddClick() {
    QString address = InputBox("Add Member", "Please enter a complete email address.", QString(), this);
    if (address.isEmpty()) return;
    if (!IsValidEMailAddress(FromQ(address))) {
        ShowMessage(address + " is not a valid address.", this);
        return;
    }
    if (HoldsAddress(address)) return;
    AppendMember(address);
}

void TfrmAddEditMailList::puMbr_AddLocalClick() {
    if (!frmChooseUser || !frmChooseUser->Execute()) return;
    const QString domain = frmChooseUser->lstDomain->currentText();
    QListWidget* users = frmChooseUser->lstUsers;
    for (int i = 0; i < users->count(); ++i) {
        if (!users->item(i)->isSelected()) continue;
        QString address = users->item(i)->text() + "@" + domain;
        if (!HoldsAddress(address)) AppendMember(address);
    }
}

// A double click edits the row it selected; the item's state follows the
// selection it acts on rather than the one the popup last saw.
void TfrmAddEditMailList::lvMembersDblClick() {
    popupMembersPopup();
    if (puMbr_Edit->isEnabled()) puMbr_EditClick();
}

void TfrmAddEditMailList::puMbr_EditClick() {
    QTreeWidgetItem* row = nullptr;
    for (int i = 0; i < lvMembers->topLevelItemCount() && !row; ++i)
        if (lvMembers->topLevelItem(i)->isSelected()) row = lvMembers->topLevelItem(i);
    if (!row) return;
    const QString old = row->text(colAddress);
    QString address = Trim(InputBox("Edit Member", "Please enter a complete email address.", old, this));
    if (address.isEmpty() || address == old) return;
    if (HoldsAddress(address)) return;
    row->setText(colAddress, address);
}

void TfrmAddEditMailList::puMbr_DeleteClick() {
    const qsizetype selected = lvMembers->selectedItems().size();
    if (MessageDlg("Delete " + QString::number(selected) + " Member?", TMsgDlgType::Confirmation, mbYes | mbNo,
                   this) != mrYes)
        return;
    for (int i = lvMembers->topLevelItemCount() - 1; i >= 0; --i)
        if (lvMembers->topLevelItem(i)->isSelected()) delete lvMembers->takeTopLevelItem(i);
}

void TfrmAddEditMailList::SetSelectedColumn(int column, const char* text) {
    for (QTreeWidgetItem* row : lvMembers->selectedItems()) row->setText(column, text);
}

void TfrmAddEditMailList::puMbr_ActiveClick() { SetSelectedColumn(colActive, "Yes"); }
void TfrmAddEditMailList::puMbr_InactiveClick() { SetSelectedColumn(colActive, "No"); }
void TfrmAddEditMailList::puMbr_ManagerClick() { SetSelectedColumn(colManager, "Yes"); }
void TfrmAddEditMailList::puMbr_NoManagerClick() { SetSelectedColumn(colManager, "No"); }

// --- texts and archive ---------------------------------------------------------

QPlainTextEdit* TfrmAddEditMailList::ActiveMemo() const {
    QWidget* page = PageControl1->currentWidget();
    if (page == tsWelcome) return memoSL_Welcome;
    if (page == tsSignature) return memoSL_Signature;
    if (page == tsFarewell) return memoSL_Farewell;
    return nullptr;
}

void TfrmAddEditMailList::puMsg_ClearClick() {
    if (QPlainTextEdit* m = ActiveMemo()) m->clear();
}

void TfrmAddEditMailList::puMsg_CutClick() {
    if (QPlainTextEdit* m = ActiveMemo()) m->cut();
}

void TfrmAddEditMailList::puMsg_CopyClick() {
    if (QPlainTextEdit* m = ActiveMemo()) m->copy();
}

void TfrmAddEditMailList::puMsg_PasteClick() {
    if (QPlainTextEdit* m = ActiveMemo()) m->paste();
}

void TfrmAddEditMailList::puMsg_LoadfromFileClick() {
    QPlainTextEdit* m = ActiveMemo();
    if (!m) return;
    QString file = RunFileDialog(OpenDialogText);
    if (file.isEmpty()) return;
    std::string bytes;
    if (!LoadTextFile(file, bytes, this)) return;
    TTextCodec& codec = m == memoSL_Welcome ? FWelcomeCodec : m == memoSL_Signature ? FSignatureCodec : FFarewellCodec;
    QString text = codec.Decode(bytes);
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    m->setPlainText(JoinMemoLines(SplitMemoText(text)));
}

void TfrmAddEditMailList::puMsg_SavetoFileClick() {
    QPlainTextEdit* m = ActiveMemo();
    if (!m) return;
    QString file = RunFileDialog(SaveDialogText);
    if (file.isEmpty()) return;
    const TTextCodec& codec =
        m == memoSL_Welcome ? FWelcomeCodec : m == memoSL_Signature ? FSignatureCodec : FFarewellCodec;
    SaveTextFile(file, SplitMemoText(m->toPlainText()), codec, this);
}

void TfrmAddEditMailList::btnSelectArchiveFileClick() {
    QString file = RunFileDialog(SaveDialog1);
    if (!file.isEmpty()) txtArchiveFile->setText(file);
}

void TfrmAddEditMailList::btnViewArchiveClick() {
    if (frmViewMailListArchive) frmViewMailListArchive->ShowArchive(txtListName->text(), txtArchiveFile->text());
}

// --- OK ------------------------------------------------------------------------

void TfrmAddEditMailList::btnOKClick() {
    TMailListInformation& l = *FList;
    // What the dialog shows no control for survives the rebuild as loaded.
    std::vector<std::unique_ptr<TMailListPendingMember>> pending = std::move(l.PendingMembers);
    const std::string password = l.Password, welcomeFile = l.WelcomeFile, signatureFile = l.SignatureFile,
                      farewellFile = l.FarewellFile;
    const bool doNotReportListExists = l.DoNotReportListExists;
    l.Clear();
    l.PendingMembers = std::move(pending);
    l.Password = password;
    l.WelcomeFile = welcomeFile;
    l.SignatureFile = signatureFile;
    l.FarewellFile = farewellFile;
    l.DoNotReportListExists = doNotReportListExists;

    for (int i = 0; i < lvMembers->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = lvMembers->topLevelItem(i);
        if (row->text(colAddress).isEmpty()) continue;
        l.AddMember(row->text(colActive) != "No", row->text(colManager) != "No", FromQ(row->text(colAddress)));
    }
    l.SetWelcomeMessage(MemoLines(memoSL_Welcome, FWelcomeCodec));
    l.SetSignatureMessage(MemoLines(memoSL_Signature, FSignatureCodec));
    l.SetFarewellMessage(MemoLines(memoSL_Farewell, FFarewellCodec));
    l.AllowOpenSubscription = cbxLB_AllowPublicSubscription->isChecked();
    l.ForceRepliesToList = cbxLB_ForceRepliesToList->isChecked();
    l.DoNotReportListMembersToSmtp = cbxLB_DoNotReportListMembers_SMTP->isChecked();
    l.DoNotReportListMembers = cbxLB_DoNotReportListMembers->isChecked();
    l.MemberOnlySubmission = cbxLB_MemberSubmissionOnly->isChecked();
    l.DigestFile = FromQ(txtArchiveFile->text());

    const QString errorsTo = Trim(txtErrorsMailedTo->text());
    if (!errorsTo.isEmpty() && !IsValidEMailAddress(FromQ(errorsTo))) {
        ShowMessage(errorsTo + " is not a valid address.", this);
        return;
    }
    l.MailErrorsTo = FromQ(errorsTo);

    const std::string name = FromQ(Trim(txtListName->text()));
    if (name.empty()) {
        ShowMessage("The Mail List requires a Name (ID)", this);
        return;
    }
    if (!ServerInformation) return;
    TServerInformation& si = *ServerInformation;

    if (!txtListName->isEnabled()) {
        if (!si.MailListExists(name)) {
            ShowMessage("The Mail List ID must exist to be edited.", this);
            done(mrCancel);
            return;
        }
        if (SaveEdited(name)) done(mrOk);
        return;
    }

    if (!IsValidAccountName(name)) {
        ShowMessage("The Mail List Name (ID) cannot contain ( ) < > @ , ; : \\ \" [ ]", this);
        return;
    }
    if (si.AliasExists(name)) {
        ShowMessage("The List Name (ID) is already taken by an Alias.", this);
        return;
    }
    if (si.UserExists(name)) {
        ShowMessage("The List Name (ID) is already taken by a User.", this);
        return;
    }
    if (si.MailListExists(name)) {
        ShowMessage("The List Name (ID) already exists, please specify a different ID.", this);
        return;
    }
    if (!si.CreateMailList(name)) {
        ShowMessage("Unable to create Mail List File.", this);
        return;
    }
    // The new file is this dialog's own.
    if (l.SaveToFile(name, true))
        done(mrOk);
    else
        ShowMessage("Settings still could not be saved", this);
}

bool TfrmAddEditMailList::SaveEdited(const std::string& name) {
    if (FList->SaveToFile(name, false)) return true;
    int answer = MessageDlg(
        "These settings may have been changed by another process.\r\nDo you want to FORCE the save (possibly "
        "erasing some settings)?",
        TMsgDlgType::Warning, mbYes | mbNo, this);
    if (answer == mrYes) {
        if (FList->SaveToFile(name, true)) return true;
        ShowMessage("Settings still could not be saved", this);
        return false;
    }
    // The file as it now is replaces what the dialog held.
    FList->LoadFromFile(name);
    FillControls();
    return false;
}
