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
#pragma once

#include <QString>

#include "Settings_Controls.h"

class QFileDialog;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QStatusBar;

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
    void puEditClick();
    void puCloseClick();
    // True when the viewer may close (after saving when so answered).
    bool FormCloseQuery();

    const QString& FileName() const { return FFileName; }
    bool Edited() const { return FEdited; }
    // The lines of the view.
    QStringList Lines() const;
    int LineCount() const;

    void reject() override;

private:
    void SetSize();
    bool LoadFile();
    bool WriteFile();
    void SetLines(const QStringList& lines);

    QString FFileName;
    QString FListName;
    bool FEdited = false;
    TTextCodec FCodec;
};

extern TfrmViewMailListArchive* frmViewMailListArchive;
