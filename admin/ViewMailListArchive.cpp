#include "ViewMailListArchive.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>

#include "UtilU1.h"
#include "platform/DurableFile.h"
#include "platform/MessageLoop.h"

TfrmViewMailListArchive* frmViewMailListArchive = nullptr;

namespace {

constexpr unsigned WM_ARCHIVE_FILE_DONE = platform::WM_USER + 1;
// A step between events takes pieces of this size until its time is up.
constexpr std::size_t PieceBytes = 64 * 1024;
constexpr qsizetype PieceChars = 64 * 1024;
constexpr qint64 StepMs = 8;

}  // namespace

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
        // 100 pixels, or what the text needs: a size of eight digits and
        // more does not fit in 100 at every font.
        StatusPanels[i]->setMinimumWidth(100);
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

    FStep = new QTimer(this);
    FStep->setInterval(0);
    connect(FStep, &QTimer::timeout, this, &F::Step);
    FWnd = platform::loop().createWindow([this](platform::Message& m) {
        if (m.msg == WM_ARCHIVE_FILE_DONE)
            FileWorkDone(static_cast<platform::FileWorkTicket>(m.wParam), static_cast<int>(m.lParam));
    });
}

// A job still on a worker finds its window gone and reports to no one.
TfrmViewMailListArchive::~TfrmViewMailListArchive() { platform::loop().destroyWindow(FWnd); }

// --- lines ----------------------------------------------------------------------

QStringList TfrmViewMailListArchive::Lines() const { return TextLines(reArchive->toPlainText()); }

int TfrmViewMailListArchive::LineCount() const {
    const QTextDocument* d = reArchive->document();
    return d->isEmpty() ? 0 : d->blockCount();
}

// --- file work ------------------------------------------------------------------

void TfrmViewMailListArchive::SetBusy(bool busy) {
    for (QAction* a : {puRefresh, puSave, puSaveAs, puErase, puTruncate, puEdit}) a->setEnabled(!busy);
    reArchive->setReadOnly(busy || !puEdit->isChecked());
}

void TfrmViewMailListArchive::StartRead() {
    StopWork();
    FWork = TWork::Reading;
    SetBusy(true);
    auto bytes = std::make_shared<std::string>();
    FBytes = bytes;
    FTicket = platform::startFileWork(
        [path = FromQ(FFileName), bytes]() -> std::intptr_t {
            return platform::readWholeFile(path, *bytes) ? 0 : (errno ? errno : EIO);
        },
        FWnd, WM_ARCHIVE_FILE_DONE);
}

// The lines are taken from the view one step at a time; the view stays
// read-only meanwhile, so what is written is the text as it stood.
void TfrmViewMailListArchive::StartSave() {
    StopWork();
    FWork = TWork::Encoding;
    SetBusy(true);
    FBytes = std::make_shared<std::string>();
    const QTextDocument* d = reArchive->document();
    FBlock = d->isEmpty() ? QTextBlock() : d->begin();
    FStep->start();
}

void TfrmViewMailListArchive::StopWork() {
    FStep->stop();
    FTicket = 0;
    FBytes.reset();
    FBlock = QTextBlock();
    FCloseAfterWork = false;
    if (FWork == TWork::None) return;
    if (FWork == TWork::Showing || FWork == TWork::Truncating) reArchive->setUndoRedoEnabled(true);
    FWork = TWork::None;
    SetBusy(false);
}

void TfrmViewMailListArchive::FileWorkDone(platform::FileWorkTicket ticket, int error) {
    if (ticket != FTicket) return;  // work given up meanwhile
    FTicket = 0;
    if (FWork == TWork::Reading) {
        if (error) {
            StopWork();
            ReportFileError(FFileName, false, error, this);
            return;
        }
        FWork = TWork::Checking;
        FPos = 0;
        FCodec.SetKind(TTextCodec::Utf8);
        FStep->start();
        return;
    }
    const bool close = FCloseAfterWork;
    StopWork();
    if (error)
        ReportFileError(FFileName, true, error, this);
    else
        FEdited = false;
    SetSize();
    UpdateStatus();
    if (!error && close) done(mrCancel);
}

// The end of the next piece of the file: just after a line end, so that the
// piece decodes as it does within the whole.
std::size_t TfrmViewMailListArchive::NextCut() const {
    const std::string& bytes = *FBytes;
    if (bytes.size() - FPos <= PieceBytes) return bytes.size();
    std::size_t end = bytes.find('\n', FPos + PieceBytes);
    return end == std::string::npos ? bytes.size() : end + 1;
}

void TfrmViewMailListArchive::Step() {
    QElapsedTimer t;
    t.start();
    while (StepOnce() && t.elapsed() < StepMs) {
    }
}

// One piece of the work under way; false when there is no more for this
// step (the work ended, or waits on a worker).
bool TfrmViewMailListArchive::StepOnce() {
    switch (FWork) {
        case TWork::Checking: {
            // Which encoding the whole file is, as TTextCodec::Decode decides
            // it, part by part: UTF-8, else Big5, else Latin-1.
            std::size_t end = NextCut();
            if (!TTextCodec::Holds(FCodec.kind(), std::string_view(*FBytes).substr(FPos, end - FPos))) {
                FCodec.SetKind(FCodec.kind() == TTextCodec::Utf8 ? TTextCodec::Big5 : TTextCodec::Latin1);
                FPos = 0;
                if (FCodec.kind() != TTextCodec::Latin1) return true;
                end = FBytes->size();
            }
            FPos = end;
            if (FPos < FBytes->size()) return true;
            FWork = TWork::Showing;
            FPos = 0;
            reArchive->setUndoRedoEnabled(false);
            reArchive->clear();
            if (!FBytes->empty()) return true;
            break;
        }
        case TWork::Showing: {
            // Line ends are CR LF, LF or a lone CR; one at the very end ends
            // the last line and starts none.
            const std::size_t end = NextCut();
            QString text = FCodec.DecodeAsIs(std::string_view(*FBytes).substr(FPos, end - FPos), FPos == 0);
            text.replace("\r\n", "\n");
            text.replace('\r', '\n');
            FPos = end;
            if (FPos == FBytes->size() && text.endsWith('\n')) text.chop(1);
            QTextCursor c(reArchive->document());
            c.movePosition(QTextCursor::End);
            c.insertText(text);
            if (FPos < FBytes->size()) return true;
            break;
        }
        case TWork::Encoding: {
            std::string& out = *FBytes;
            for (qsizetype chars = 0; FBlock.isValid() && chars < PieceChars; FBlock = FBlock.next()) {
                const QString line = FBlock.text();
                out += FCodec.Encode(line);
                out += "\r\n";
                chars += line.size() + 1;
            }
            if (FBlock.isValid()) return true;
            FStep->stop();
            FWork = TWork::Writing;
            std::shared_ptr<const std::string> bytes = FBytes;
            FTicket = platform::startFileWork(
                [path = FromQ(FFileName), bytes]() -> std::intptr_t {
                    if (path.empty()) return ENOENT;
                    return platform::writeFileDurably(path, *bytes) ? 0 : (errno ? errno : EIO);
                },
                FWnd, WM_ARCHIVE_FILE_DONE);
            return false;
        }
        case TWork::Truncating: {
            const int cut = std::min<int>(FCutLeft, PieceChars);
            QTextDocument* d = reArchive->document();
            const int before = d->characterCount();
            QTextCursor c(d);
            c.setPosition(cut, QTextCursor::KeepAnchor);
            c.removeSelectedText();
            FCutLeft -= std::max(1, before - d->characterCount());
            if (FCutLeft > 0) return true;
            const bool close = FCloseAfterWork;
            StopWork();
            FEdited = true;
            UpdateStatus();
            if (close) QMetaObject::invokeMethod(this, &TfrmViewMailListArchive::reject, Qt::QueuedConnection);
            return false;
        }
        case TWork::None:
        case TWork::Reading:
        case TWork::Writing: FStep->stop(); return false;
    }
    // The whole file is in the view.
    StopWork();
    FEdited = false;
    SetSize();
    UpdateStatus();
    return false;
}

// --- status -----------------------------------------------------------------------

void TfrmViewMailListArchive::SetSize() {
    StatusPanels[1]->setText(QString::number(FileSizeByName(FromQ(FFileName))) + " bytes");
}

void TfrmViewMailListArchive::UpdateStatus() {
    setWindowTitle("Mail List (" + FListName + ") Archive - " + FFileName);
    StatusPanels[0]->setText(FEdited ? "EDITED" : "");
    const bool counting = FWork == TWork::None || FWork == TWork::Encoding || FWork == TWork::Writing;
    StatusPanels[2]->setText(counting ? QString::number(LineCount()) + " lines" : QString());
}

void TfrmViewMailListArchive::ShowArchive(const QString& listName, const QString& fileName) {
    StopWork();
    FListName = listName;
    FFileName = fileName;
    FCodec = TTextCodec();
    reArchive->clear();
    FEdited = false;
    if (!fileName.isEmpty() && QFileInfo(fileName).isFile()) StartRead();
    SetSize();
    UpdateStatus();
    exec();
    StopWork();  // closed while a load was under way
}

void TfrmViewMailListArchive::reArchiveChange() {
    if (reArchive->isReadOnly()) return;
    FEdited = true;
    UpdateStatus();
}

// --- menu -------------------------------------------------------------------------

void TfrmViewMailListArchive::puRefreshClick() { StartRead(); }

void TfrmViewMailListArchive::puSaveClick() { StartSave(); }

void TfrmViewMailListArchive::puSaveAsClick() {
    QString file = RunFileDialog(SaveDialog1);
    if (!file.isEmpty() && QFileInfo(file).isFile()) {
        FFileName = file;
        UpdateStatus();
        StartSave();
        return;
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
    TruncateTo(StrToIntDefault(FromQ(answer), -1));
}

void TfrmViewMailListArchive::TruncateTo(std::int32_t n) {
    const int lines = LineCount();
    // A truncate that removes nothing leaves the archive as it was, edited
    // mark included. The lines go as setting the text anew would take them:
    // without a step to undo. Removing the oldest lines of a large archive
    // at once would hold every service for the whole cut; it goes a piece at
    // a time, the first piece at once, so a small cut ends here.
    if (n > 0 && n < lines && !Busy()) {
        FWork = TWork::Truncating;
        SetBusy(true);
        reArchive->setUndoRedoEnabled(false);
        FCutLeft = reArchive->document()->findBlockByNumber(lines - n).position();
        FStep->start();
        Step();
        if (Busy()) UpdateStatus();
        return;
    }
    UpdateStatus();
}

void TfrmViewMailListArchive::puEditClick() {
    reArchive->setReadOnly(!puEdit->isChecked());
    UpdateStatus();
}

void TfrmViewMailListArchive::puCloseClick() { close(); }

bool TfrmViewMailListArchive::FormCloseQuery() {
    switch (FWork) {
        case TWork::None: break;
        case TWork::Truncating:
            // The close follows the cut, with the question it then needs.
            FCloseAfterWork = true;
            return false;
        case TWork::Encoding:
        case TWork::Writing:
            // A save under way: the window closes when it has ended well.
            FCloseAfterWork = true;
            return false;
        default: return true;  // a load, which the close cuts short
    }
    if (!FEdited) return true;
    switch (MessageDlg("Archive has been edited.\r\nDo you want to save this version?", TMsgDlgType::Confirmation,
                       mbYes | mbNo | mbCancel, this)) {
        case mrYes:
            // Closes when the file is written; a write that fails keeps it open.
            StartSave();
            FCloseAfterWork = true;
            return false;
        case mrNo: return true;
        default: return false;
    }
}

// Every way of closing (the menu, the close box, Escape) asks first.
void TfrmViewMailListArchive::reject() {
    if (!FormCloseQuery()) return;
    StopWork();
    done(mrCancel);
}
