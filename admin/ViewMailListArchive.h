// The list archive viewer: a mailing list's archive file as plain lines of
// text, read-only unless "Edit" is checked, with reload, save, save as, erase
// and truncate to the newest lines. It knows nothing of the archive's
// structure. The file is written only by "Save", "Save As..." and a Yes to
// the question asked when an edited archive is closed; the list processor may
// append to the file meanwhile, and a save writes over what it appended.
//
// The bytes of the file are shown in the encoding they decode in (UTF-8, else
// Big5, else Latin-1) and written back in it, so that a save of an unchanged
// view rewrites the same text with CR LF line ends.
//
// An archive grows without end, and the window shares its thread with the
// services: the file is read and written on the platform's workers, and its
// text is checked, put into the view and encoded for a save in short steps
// between other events; "Truncate to..." removes the oldest lines in such
// steps too. While that runs the viewer is busy: the view is read-only and
// the menu offers only "Close", which cuts a load short, or closes once a
// save or a truncate has ended (after the question, for an edited archive).
// The line count is the view's block count, so a keystroke costs the same
// whatever the archive's size; no count is shown while a load or a truncate
// is under way.
#pragma once

#include <QString>
#include <QTextBlock>
#include <memory>
#include <string>

#include "Settings_Controls.h"
#include "platform/FileWork.h"

class QFileDialog;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QStatusBar;
class QTimer;

class TfrmViewMailListArchive : public TModalForm {
    Q_OBJECT
public:
    explicit TfrmViewMailListArchive(QWidget* parent = nullptr);

    QWidget* Panel1;
    QLabel* lblWarning;
    QPlainTextEdit* reArchive;
    QStatusBar* StatusBar1;
    QLabel* StatusPanels[3];  // the edited mark, the file size, the line count
    QMenu* PopupMenu1;
    QAction* puRefresh;
    QAction* puSave;
    QAction* puSaveAs;
    QAction* puErase;
    QAction* puTruncate;
    QAction* puEdit;
    QAction* puClose;
    QFileDialog* SaveDialog1;

    // Loads the file (an empty view when it does not exist) and shows the
    // viewer modally; returns when it has closed.
    void ShowArchive(const QString& listName, const QString& fileName);
    void UpdateStatus();

    void reArchiveChange();
    void puRefreshClick();
    void puSaveClick();
    void puSaveAsClick();
    void puEraseClick();
    void puTruncateClick();
    // Keeps the last n lines when n is above 0 and below the line count;
    // any other n removes nothing. A large cut goes on between events.
    void TruncateTo(std::int32_t n);
    void puEditClick();
    void puCloseClick();
    // True when the viewer may close (after saving when so answered).
    bool FormCloseQuery();

    const QString& FileName() const { return FFileName; }
    bool Edited() const { return FEdited; }
    // A load or a save is under way.
    bool Busy() const { return FWork != TWork::None; }
    // The lines of the view.
    QStringList Lines() const;
    int LineCount() const;

    ~TfrmViewMailListArchive() override;
    void reject() override;

private:
    enum class TWork { None, Reading, Checking, Showing, Encoding, Writing, Truncating };

    void SetSize();
    void SetBusy(bool busy);
    void StartRead();
    void StartSave();
    void StopWork();
    void FileWorkDone(platform::FileWorkTicket ticket, int error);
    void Step();
    bool StepOnce();
    std::size_t NextCut() const;

    QString FFileName;
    QString FListName;
    bool FEdited = false;
    TTextCodec FCodec;

    TWork FWork = TWork::None;
    platform::HWND FWnd;
    platform::FileWorkTicket FTicket = 0;
    QTimer* FStep;
    // The file's bytes while they are checked and shown; the bytes to write
    // while a save encodes and writes them.
    std::shared_ptr<std::string> FBytes;
    std::size_t FPos = 0;
    QTextBlock FBlock;  // the next line a save encodes
    int FCutLeft = 0;   // characters a truncate still removes from the start
    // A close was asked while a save or a truncate ran: it follows its end.
    bool FCloseAfterWork = false;
};

extern TfrmViewMailListArchive* frmViewMailListArchive;
