// Controls, boxes and small helpers shared by the settings and account
// dialogs: the modal results, the form base class, the spin edit with its
// clamping rule, the input box, the confirmation box, the editable string
// lists of the SMTP dialogs, and text conversion between the engine's byte
// strings and Qt.
//
// Everything runs on the main thread. The boxes run a nested Qt loop, so the
// platform loop (and with it the services) keeps running while they are open.
#pragma once

#include <QDialog>
#include <QSpinBox>
#include <QString>
#include <QStringList>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QComboBox;
class QFileDialog;
class QListWidget;
class QMenu;

// The modal results the forms close with (the class library's numbers).
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

// A form shown modally: exec() returns mrOk or mrCancel. Escape, the close
// box and reject() all close it with mrCancel; showEvent runs FormShow at
// every (non-spontaneous) opening.
class QPushButton;

class TModalForm : public QDialog {
    Q_OBJECT
public:
    explicit TModalForm(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    // Dialog border with only the system menu.
    static Qt::WindowFlags DialogFlags();
    // A sizeable window.
    static Qt::WindowFlags SizeableFlags();

    void reject() override { done(mrCancel); }

    // The OK (default) and Cancel buttons every editing dialog has.
    void MakeOkCancel(QPushButton*& ok, QPushButton*& cancel);

protected:
    // A settings dialog's frame: its page control above OK and Cancel at
    // the right, the dialog fixed to the size of what it holds.
    void LayOutPagesAndButtons(QWidget* pages, QPushButton* ok, QPushButton* cancel);

    void showEvent(QShowEvent* e) override;
    virtual void FormShow() {}
};

// A whole-number field with up and down arrows. The value is the whole number
// in the field, kept within MinValue..MaxValue; a text that is no number reads
// as MinValue. When the field loses the focus the text is set to that value.
// Setting a value outside the range shows the nearest bound.
class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    TSpinEdit(int minValue, int maxValue, QWidget* parent = nullptr, int increment = 1);

    int Value() const;
    void SetValue(int value);
    // The field's text as it stands (tests type into it with SetText).
    QString Text() const;
    void SetText(const QString& text);

    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    void stepBy(int steps) override;

protected:
    int valueFromText(const QString& text) const override;
    QString textFromValue(int value) const override;
    void focusOutEvent(QFocusEvent* e) override;
};

// The class library's input box: shows caption, prompt and an edit holding
// def; the typed text on OK, def on Cancel. The box's objectName is "InputBox".
QString InputBox(const QString& caption, const QString& prompt, const QString& def, QWidget* parent = nullptr);

enum class TMsgDlgType { Warning, Error, Information, Confirmation };
enum TMsgDlgButton : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };
// A message box with a type caption and the given buttons (or-ed
// TMsgDlgButton); returns mrYes, mrNo, mrOk or mrCancel (mrCancel, or mrNo
// when there is no Cancel button, when it is closed otherwise). objectName
// "MessageDlg".
int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons, QWidget* parent = nullptr);

// Engine strings are bytes; the dialogs read and write them as UTF-8.
inline QString ToQ(const std::string& s) { return QString::fromStdString(s); }
inline std::string FromQ(const QString& s) { return s.toStdString(); }
QStringList ToQ(const std::vector<std::string>& list);
std::vector<std::string> FromQ(const QStringList& list);

// The class library's Trim: strips every character up to the blank at both
// ends (control characters included).
QString Trim(const QString& s);

// Lines of a multi-line text as stored: an empty text has no lines, and a
// line end at the very end starts one more (empty) line.
QStringList TextLines(const QString& text);

// The lines of a memo, as the class library's memo gives them: a line end at
// the very end of the text ends the last line and starts none ("a\n" is one
// line, "a\n\n" two, the second empty). JoinMemoLines makes the text that gives
// `lines` back.
QStringList SplitMemoText(const QString& text);
QString JoinMemoLines(const QStringList& lines);

// Text of files and stored line lists whose encoding is not known: UTF-8 when
// the bytes are valid UTF-8, else Big5 when they convert to it and back
// unchanged, else Latin-1 (which always does). Encoding goes back the same
// way, so a text shown and saved unchanged keeps its bytes; text that the
// chosen encoding cannot hold is written as UTF-8.
//
// Every part of a text split just after a line end ("\n") decodes as the
// whole does: no byte of a UTF-8 or Big5 character is a line end. So a large
// text is checked and decoded part by part with Holds and DecodeAsIs.
class TTextCodec {
public:
    enum Kind { Utf8, Big5, Latin1 };
    QString Decode(const std::string& bytes);  // chooses the kind
    std::string Encode(QStringView text) const;
    Kind kind() const { return FKind; }
    void SetKind(Kind kind) { FKind = kind; }
    // Whether bytes are text of that kind (Latin-1 always is).
    static bool Holds(Kind kind, std::string_view bytes);
    // Decodes with the kind already chosen; atStart: bytes begin the text.
    QString DecodeAsIs(std::string_view bytes, bool atStart) const;

private:
    Kind FKind = Utf8;
};
// A list of byte strings decoded with one codec chosen over all of them.
QStringList DecodeLines(const std::vector<std::string>& lines, TTextCodec& codec);
std::vector<std::string> EncodeLines(const QStringList& lines, const TTextCodec& codec);

// The box a file that cannot be read ("Cannot open file ...") or written
// ("Cannot create file ...") shows, with the reason for the errno `error`.
void ReportFileError(const QString& fileName, bool writing, int error, QWidget* parent);
// Reads a text file whole; false (and a message box "Cannot open file ...")
// when it cannot be read.
bool LoadTextFile(const QString& fileName, std::string& bytes, QWidget* parent);
// Writes each line followed by CR LF, durably; false (and a message box
// "Cannot create file ...") when the file cannot be written.
bool SaveTextFile(const QString& fileName, const QStringList& lines, const TTextCodec& codec, QWidget* parent);

// A file dialog of the form (non-native, so that tests can drive it), not yet
// shown: the filters as "Text File (*.txt)" entries, the default extension.
QFileDialog* MakeFileDialog(QWidget* owner, const char* objectName, const QString& title, bool save,
                            const QStringList& filters, const QString& defaultSuffix, bool fileMustExist);
// Runs a file dialog; the chosen file's full name, or "" when cancelled.
QString RunFileDialog(QFileDialog* dialog);
// The folder browser: "Please specify a directory", folders only, starting
// at the given folder when it exists. The chosen folder, or "" when cancelled.
QString BrowseForFolder(QWidget* owner, const QString& start);

// --- the editable string lists of the SMTP settings dialogs -----------------

// A multi-select list with a popup menu "Add..." / "Delete"; the popup's
// items and the list carry the given names.
struct TEditableList {
    QListWidget* List = nullptr;
    QMenu* Popup = nullptr;
    QAction* AddItem = nullptr;
    QAction* DeleteItem = nullptr;
};
TEditableList MakeEditableList(QWidget* owner, const char* listName, const char* popupName, const char* addName,
                               const char* deleteName, const QString& hint);
void SetListLines(QListWidget* list, const std::vector<std::string>& lines);
std::vector<std::string> ListLines(const QListWidget* list);
// Asks for an entry; appends the trimmed answer unless it is empty or the
// list holds it already (compared without regard to letter case).
void AddListEntry(QListWidget* list, const QString& caption, const QString& prompt, QWidget* parent);
// Removes every selected entry, from the last to the first.
void DeleteSelectedEntries(QListWidget* list);
// "Delete" enabled exactly when an entry is selected.
void UpdateListPopup(const TEditableList& l);

// --- listening addresses ----------------------------------------------------

// "*** Any ***" then this machine's IPv4 addresses; item 0 selected, then the
// last item whose text equals stored (case-sensitive). A stored address that
// is none of them (nor "0.0.0.0" or empty) is added as the last item and
// selected, so that OK keeps it.
void FillBindAddresses(QComboBox* box, const std::string& stored);
// "0.0.0.0" for item 0 (or no selection), else the selected item's text.
std::string SelectedBindAddress(const QComboBox* box);
inline constexpr const char* AnyAddressCaption = "*** Any ***";
