#include "ViewMailListArchive.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QVBoxLayout>

#include "UtilU1.h"

TfrmViewMailListArchive* frmViewMailListArchive = nullptr;

TfrmViewMailListArchive::TfrmViewMailListArchive(QWidget* parent) : TModalForm(parent, SizeableFlags()) {
    setObjectName("frmViewMailListArchive");
    setWindowTitle("Mail List Archive");

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    lblWarning = new QLabel(
        "Warning: If you edit this archive, the List Server may add messages without your knowledge.  Saving may "
        "remove them.",
        Panel1);
    lblWarning->setObjectName("lblWarning");
    lblWarning->setWordWrap(true);
    // The label's width follows the panel's, less its margins.
    auto* panel = new QVBoxLayout(Panel1);
    panel->setContentsMargins(8, 4, 8, 4);
    panel->addWidget(lblWarning);

    reArchive = new QPlainTextEdit(this);
    reArchive->setObjectName("reArchive");
    reArchive->setReadOnly(true);
    reArchive->setLineWrapMode(QPlainTextEdit::NoWrap);
    reArchive->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reArchive->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reArchive->setContextMenuPolicy(Qt::CustomContextMenu);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(true);
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(StatusBar1);
        StatusPanels[i]->setObjectName(QString("StatusBar1_Panel%1").arg(i));
        StatusPanels[i]->setFixedWidth(100);
        StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        StatusBar1->addWidget(StatusPanels[i]);
    }

    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(0, 0, 0, 0);
    all->setSpacing(0);
    all->addWidget(Panel1);
    all->addWidget(reArchive, 1);
    all->addWidget(StatusBar1);
    resize(560, 400);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    auto item = [this](const char* name, const char* caption) {
        QAction* a = PopupMenu1->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    puRefresh = item("puRefresh", "Refresh");
    puSave = item("puSave", "Save");
    puSaveAs = item("puSaveAs", "Save As...");
    puErase = item("puErase", "Erase...");
    puTruncate = item("puTruncate", "Truncate to...");
    PopupMenu1->addSeparator()->setObjectName("N1");
    puEdit = item("puEdit", "Edit");
    puEdit->setCheckable(true);
    PopupMenu1->addSeparator()->setObjectName("N2");
    puClose = item("puClose", "Close");

    // Save As picks an existing file only.
    SaveDialog1 = MakeFileDialog(this, "SaveDialog1", "Save Archive File", true, {}, "txt", true);

    using F = TfrmViewMailListArchive;
    connect(reArchive, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(reArchive->viewport()->mapToGlobal(pos)); });
    connect(reArchive, &QPlainTextEdit::textChanged, this, &F::reArchiveChange);
    connect(puRefresh, &QAction::triggered, this, &F::puRefreshClick);
    connect(puSave, &QAction::triggered, this, &F::puSaveClick);
    connect(puSaveAs, &QAction::triggered, this, &F::puSaveAsClick);
    connect(puErase, &QAction::triggered, this, &F::puEraseClick);
    connect(puTruncate, &QAction::triggered, this, &F::puTruncateClick);
    connect(puEdit, &QAction::triggered, this, &F::puEditClick);
    connect(puClose, &QAction::triggered, this, &F::puCloseClick);
}

// --- lines ----------------------------------------------------------------------

QStringList TfrmViewMailListArchive::Lines() const { return TextLines(reArchive->toPlainText()); }

int TfrmViewMailListArchive::LineCount() const { return static_cast<int>(Lines().size()); }

void TfrmViewMailListArchive::SetLines(const QStringList& lines) { reArchive->setPlainText(lines.join('\n')); }

// Lines end in CR LF, LF or a lone CR; a line end at the end of the file
// ends the last line and starts none.
bool TfrmViewMailListArchive::LoadFile() {
    std::string bytes;
    if (!LoadTextFile(FFileName, bytes, this)) return false;
    QString text = FCodec.Decode(bytes);
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    if (text.endsWith('\n')) text.chop(1);
    reArchive->setPlainText(text);
    return true;
}

bool TfrmViewMailListArchive::WriteFile() { return SaveTextFile(FFileName, Lines(), FCodec, this); }

// --- status -----------------------------------------------------------------------

void TfrmViewMailListArchive::SetSize() {
    StatusPanels[1]->setText(QString::number(FileSizeByName(FromQ(FFileName))) + " bytes");
}

void TfrmViewMailListArchive::UpdateStatus() {
    setWindowTitle("Mail List (" + FListName + ") Archive - " + FFileName);
    StatusPanels[0]->setText(FEdited ? "EDITED" : "");
    StatusPanels[2]->setText(QString::number(LineCount()) + " lines");
}

void TfrmViewMailListArchive::ShowArchive(const QString& listName, const QString& fileName) {
    FListName = listName;
    FFileName = fileName;
    FEdited = false;
    FCodec = TTextCodec();
    if (!fileName.isEmpty() && QFileInfo(fileName).isFile()) {
        if (!LoadFile()) reArchive->clear();
    } else {
        reArchive->clear();
    }
    FEdited = false;
    SetSize();
    UpdateStatus();
    exec();
}

void TfrmViewMailListArchive::reArchiveChange() {
    if (reArchive->isReadOnly()) return;
    FEdited = true;
    UpdateStatus();
}

// --- menu -------------------------------------------------------------------------

void TfrmViewMailListArchive::puRefreshClick() {
    if (!LoadFile()) return;
    FEdited = false;
    SetSize();
    UpdateStatus();
}

void TfrmViewMailListArchive::puSaveClick() {
    if (!WriteFile()) return;
    FEdited = false;
    SetSize();
    UpdateStatus();
}

void TfrmViewMailListArchive::puSaveAsClick() {
    QString file = RunFileDialog(SaveDialog1);
    if (!file.isEmpty() && QFileInfo(file).isFile()) {
        FFileName = file;
        UpdateStatus();
        if (WriteFile()) FEdited = false;
    }
    SetSize();
    UpdateStatus();
}

void TfrmViewMailListArchive::puEraseClick() {
    reArchive->clear();
    FEdited = true;
    UpdateStatus();
}

void TfrmViewMailListArchive::puTruncateClick() {
    QString answer = InputBox("Truncate Archive to...", "How many lines? (0 = cancel)", "0", this);
    std::int32_t n = StrToIntDefault(FromQ(answer), -1);
    QStringList lines = Lines();
    // A truncate that removes nothing leaves the archive as it was, edited
    // mark included.
    if (n > 0 && n < lines.size()) {
        SetLines(lines.mid(lines.size() - n));
        FEdited = true;
    }
    UpdateStatus();
}

void TfrmViewMailListArchive::puEditClick() {
    reArchive->setReadOnly(!puEdit->isChecked());
    UpdateStatus();
}

void TfrmViewMailListArchive::puCloseClick() { close(); }

bool TfrmViewMailListArchive::FormCloseQuery() {
    if (!FEdited) return true;
    switch (MessageDlg("Archive has been edited.\r\nDo you want to save this version?", TMsgDlgType::Confirmation,
                       mbYes | mbNo | mbCancel, this)) {
        case mrYes:
            if (!WriteFile()) return false;
            FEdited = false;
            SetSize();
            UpdateStatus();
            return true;
        case mrNo: return true;
        default: return false;
    }
}

// Every way of closing (the menu, the close box, Escape) asks first.
void TfrmViewMailListArchive::reject() {
    if (FormCloseQuery()) done(mrCancel);
}
