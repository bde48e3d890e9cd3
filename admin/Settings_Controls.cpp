#include "Settings_Controls.h"

#include <QVBoxLayout>

#include <QHBoxLayout>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QStringDecoder>
#include <QStringEncoder>
#include <cerrno>
#include <cstring>
#include <exception>

#include "UtilU1.h"
#include "Widgets.h"
#include "WSocket.h"
#include "platform/DurableFile.h"

// --- forms ------------------------------------------------------------------

TModalForm::TModalForm(QWidget* parent, Qt::WindowFlags flags) : QDialog(parent, flags ? flags : DialogFlags()) {}

Qt::WindowFlags TModalForm::DialogFlags() {
    return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
           Qt::WindowCloseButtonHint;
}

Qt::WindowFlags TModalForm::SizeableFlags() {
    return Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
           Qt::WindowCloseButtonHint;
}

void TModalForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (!e->spontaneous()) FormShow();
}

// --- spin edit --------------------------------------------------------------

TSpinEdit::TSpinEdit(int minValue, int maxValue, QWidget* parent, int increment) : QSpinBox(parent) {
    setRange(minValue, maxValue);
    setSingleStep(increment);
    // Out-of-range and empty texts are corrected by this class, never by
    // going back to an earlier value.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setKeyboardTracking(true);
    SetValue(minValue);
}

int TSpinEdit::Value() const {
    std::int32_t v = 0;
    if (!TryStrToInt(FromQ(lineEdit()->text()), v)) return minimum();
    if (v < minimum()) return minimum();
    if (v > maximum()) return maximum();
    return v;
}

void TSpinEdit::SetValue(int value) {
    if (value < minimum()) value = minimum();
    if (value > maximum()) value = maximum();
    setValue(value);
    QString text = QString::number(value);
    if (lineEdit()->text() != text) lineEdit()->setText(text);
}

QString TSpinEdit::Text() const { return lineEdit()->text(); }

void TSpinEdit::SetText(const QString& text) { lineEdit()->setText(text); }

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    std::int32_t v = 0;
    if (TryStrToInt(FromQ(input), v)) return QValidator::Acceptable;
    for (QChar c : input)
        if (!c.isDigit() && c != '-' && c != '+' && c != ' ') return QValidator::Invalid;
    return QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const { input = QString::number(Value()); }

void TSpinEdit::stepBy(int steps) { SetValue(Value() + steps * singleStep()); }

int TSpinEdit::valueFromText(const QString& text) const {
    std::int32_t v = 0;
    return TryStrToInt(FromQ(text), v) ? v : minimum();
}

QString TSpinEdit::textFromValue(int value) const { return QString::number(value); }

void TSpinEdit::focusOutEvent(QFocusEvent* e) {
    SetValue(Value());
    QSpinBox::focusOutEvent(e);
}

// --- boxes ------------------------------------------------------------------

QString InputBox(const QString& caption, const QString& prompt, const QString& def, QWidget* parent) {
    QInputDialog box(parent);
    box.setObjectName("InputBox");
    box.setWindowTitle(caption);
    box.setLabelText(prompt);
    box.setInputMode(QInputDialog::TextInput);
    box.setTextValue(def);
    FitCaption(&box);
    if (box.exec() != QDialog::Accepted) return def;
    return box.textValue();
}

int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons, QWidget* parent) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    switch (type) {
        case TMsgDlgType::Warning:
            icon = QMessageBox::Warning;
            caption = "Warning";
            break;
        case TMsgDlgType::Error:
            icon = QMessageBox::Critical;
            caption = "Error";
            break;
        case TMsgDlgType::Information:
            icon = QMessageBox::Information;
            caption = "Information";
            break;
        case TMsgDlgType::Confirmation:
            icon = QMessageBox::Question;
            caption = "Confirm";
            break;
    }
    QMessageBox::StandardButtons std;
    if (buttons & mbYes) std |= QMessageBox::Yes;
    if (buttons & mbNo) std |= QMessageBox::No;
    if (buttons & mbOK) std |= QMessageBox::Ok;
    if (buttons & mbCancel) std |= QMessageBox::Cancel;
    QMessageBox box(icon, caption, text, std, parent);
    box.setObjectName("MessageDlg");
    FitCaption(&box);
    if (buttons & mbCancel)
        box.setEscapeButton(QMessageBox::Cancel);
    else if (buttons & mbNo)
        box.setEscapeButton(QMessageBox::No);
    switch (box.exec()) {
        case QMessageBox::Yes: return mrYes;
        case QMessageBox::No: return mrNo;
        case QMessageBox::Ok: return mrOk;
        case QMessageBox::Cancel: return mrCancel;
        default: return (buttons & mbCancel) || !(buttons & mbNo) ? mrCancel : mrNo;
    }
}

// --- text -------------------------------------------------------------------

QStringList ToQ(const std::vector<std::string>& list) {
    QStringList out;
    out.reserve(static_cast<qsizetype>(list.size()));
    for (const std::string& s : list) out << ToQ(s);
    return out;
}

std::vector<std::string> FromQ(const QStringList& list) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(list.size()));
    for (const QString& s : list) out.push_back(FromQ(s));
    return out;
}

QString Trim(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= ' ') ++b;
    while (e > b && s[e - 1].unicode() <= ' ') --e;
    return s.mid(b, e - b);
}

QStringList TextLines(const QString& text) {
    if (text.isEmpty()) return {};
    return text.split('\n');
}

QStringList SplitMemoText(const QString& text) {
    QStringList lines = TextLines(text);
    if (!lines.isEmpty() && text.endsWith('\n')) lines.removeLast();
    return lines;
}

QString JoinMemoLines(const QStringList& lines) {
    QString text = lines.join('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) text += '\n';
    return text;
}

bool TTextCodec::Holds(Kind kind, std::string_view bytes) {
    QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    switch (kind) {
        case Utf8: {
            QStringDecoder d(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
            QString s = d.decode(view);
            return !d.hasError();
        }
        case Big5: {
            QStringDecoder big5("Big5");
            QStringEncoder back("Big5");
            if (!big5.isValid() || !back.isValid()) return false;
            QString s = big5.decode(view);
            if (big5.hasError()) return false;
            QByteArray again = back.encode(s);
            return !back.hasError() && QByteArrayView(again) == view;
        }
        case Latin1: break;
    }
    return true;
}

QString TTextCodec::Decode(const std::string& bytes) {
    if (Holds(Utf8, bytes))
        FKind = Utf8;
    else if (Holds(Big5, bytes))
        FKind = Big5;
    else
        FKind = Latin1;
    return DecodeAsIs(bytes, true);
}

QString TTextCodec::DecodeAsIs(std::string_view bytes, bool atStart) const {
    QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    switch (FKind) {
        case Utf8:
            // A byte order mark is dropped only where the whole text begins.
            if (atStart) return QString::fromUtf8(view);
            return QStringDecoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom).decode(view);
        case Big5: return QStringDecoder("Big5").decode(view);
        case Latin1: break;
    }
    return QString::fromLatin1(view);
}

std::string TTextCodec::Encode(QStringView text) const {
    switch (FKind) {
        case Utf8: break;
        case Big5: {
            QStringEncoder e("Big5");
            QByteArray b = e.encode(text);
            if (e.isValid() && !e.hasError() && QString(QStringDecoder("Big5").decode(b)) == text)
                return b.toStdString();
            break;
        }
        case Latin1: {
            bool fits = true;
            for (QChar c : text)
                if (c.unicode() > 0xFF) fits = false;
            if (fits) return text.toLatin1().toStdString();
            break;
        }
    }
    return text.toUtf8().toStdString();
}

QStringList DecodeLines(const std::vector<std::string>& lines, TTextCodec& codec) {
    std::string all;
    for (const std::string& l : lines) {
        all += l;
        all += '\n';
    }
    QString text = codec.Decode(all);
    QStringList out = text.split('\n');
    out.removeLast();  // after the last line end
    return out;
}

std::vector<std::string> EncodeLines(const QStringList& lines, const TTextCodec& codec) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(lines.size()));
    for (const QString& l : lines) out.push_back(codec.Encode(l));
    return out;
}

void ReportFileError(const QString& fileName, bool writing, int error, QWidget* parent) {
    QString reason = QString::fromLocal8Bit(std::strerror(error));
    MessageDlg(QString(writing ? "Cannot create file" : "Cannot open file") + " \"" + fileName + "\". " + reason,
               TMsgDlgType::Error, mbOK, parent);
}

bool LoadTextFile(const QString& fileName, std::string& bytes, QWidget* parent) {
    if (platform::readWholeFile(FromQ(fileName), bytes)) return true;
    int error = errno;
    bytes.clear();
    ReportFileError(fileName, false, error, parent);
    return false;
}

bool SaveTextFile(const QString& fileName, const QStringList& lines, const TTextCodec& codec, QWidget* parent) {
    std::string data;
    for (const QString& l : lines) {
        data += codec.Encode(l);
        data += "\r\n";
    }
    if (!fileName.isEmpty() && platform::writeFileDurably(FromQ(fileName), data)) return true;
    ReportFileError(fileName, true, errno ? errno : ENOENT, parent);
    return false;
}

// --- file dialogs -------------------------------------------------------------

QFileDialog* MakeFileDialog(QWidget* owner, const char* objectName, const QString& title, bool save,
                            const QStringList& filters, const QString& defaultSuffix, bool fileMustExist) {
    auto* d = new QFileDialog(owner, title);
    d->setObjectName(objectName);
    d->setOption(QFileDialog::DontUseNativeDialog);
    d->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    d->setFileMode(fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The choice is all the dialogs ask for; replacing a file is what the
    // save that follows does on purpose.
    d->setOption(QFileDialog::DontConfirmOverwrite);
    if (!filters.isEmpty()) d->setNameFilters(filters);
    d->setDefaultSuffix(defaultSuffix);
    return d;
}

QString RunFileDialog(QFileDialog* dialog) {
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
    return QFileInfo(dialog->selectedFiles().first()).absoluteFilePath();
}

QString BrowseForFolder(QWidget* owner, const QString& start) {
    QFileDialog d(owner, "Please specify a directory");
    d.setObjectName("FolderBrowser");
    d.setOption(QFileDialog::DontUseNativeDialog);
    d.setFileMode(QFileDialog::Directory);
    d.setOption(QFileDialog::ShowDirsOnly);
    QFileInfo info(start);
    d.setDirectory(info.isDir() ? info.absoluteFilePath() : QDir::homePath());
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return {};
    return QDir::toNativeSeparators(d.selectedFiles().first());
}

// --- editable lists -----------------------------------------------------------

TEditableList MakeEditableList(QWidget* owner, const char* listName, const char* popupName, const char* addName,
                               const char* deleteName, const QString& hint) {
    TEditableList l;
    l.List = new QListWidget(owner);
    l.List->setObjectName(listName);
    l.List->setSelectionMode(QAbstractItemView::ExtendedSelection);
    l.List->setToolTip(hint);
    l.List->setContextMenuPolicy(Qt::CustomContextMenu);
    l.Popup = new QMenu(owner);
    l.Popup->setObjectName(popupName);
    l.AddItem = l.Popup->addAction("Add...");
    l.AddItem->setObjectName(addName);
    l.DeleteItem = l.Popup->addAction("Delete");
    l.DeleteItem->setObjectName(deleteName);
    QListWidget* list = l.List;
    QMenu* popup = l.Popup;
    QObject::connect(list, &QWidget::customContextMenuRequested, popup,
                     [list, popup](const QPoint& pos) { popup->popup(list->viewport()->mapToGlobal(pos)); });
    return l;
}

void SetListLines(QListWidget* list, const std::vector<std::string>& lines) {
    list->clear();
    list->addItems(ToQ(lines));
}

std::vector<std::string> ListLines(const QListWidget* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) out.push_back(FromQ(list->item(i)->text()));
    return out;
}

void AddListEntry(QListWidget* list, const QString& caption, const QString& prompt, QWidget* parent) {
    QString entry = Trim(InputBox(caption, prompt, QString(), parent));
    if (entry.isEmpty()) return;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text().compare(entry, Qt::CaseInsensitive) == 0) return;
    list->addItem(entry);
}

void DeleteSelectedEntries(QListWidget* list) {
    for (int i = list->count() - 1; i >= 0; --i)
        if (list->item(i)->isSelected()) delete list->takeItem(i);
}

void UpdateListPopup(const TEditableList& l) {
    l.AddItem->setEnabled(true);
    l.DeleteItem->setEnabled(!l.List->selectedItems().isEmpty());
}

// --- listening addresses ------------------------------------------------------

void FillBindAddresses(QComboBox* box, const std::string& stored) {
    box->clear();
    box->addItem(AnyAddressCaption);
    try {
        for (const std::string& a : WSocketLocalAddresses()) box->addItem(ToQ(a));
    } catch (const std::exception&) {
        // No host name: the machine's own addresses are not offered.
    }
    box->setCurrentIndex(0);
    QString want = ToQ(stored);
    bool found = false;
    for (int i = 0; i < box->count(); ++i)
        if (box->itemText(i) == want) {
            box->setCurrentIndex(i);
            found = true;
        }
    // An address the machine does not have now (an alias, an interface that
    // is down) stays the choice: showing "*** Any ***" in its place would
    // make OK open the service to every network.
    if (!found && !stored.empty() && stored != "0.0.0.0") {
        box->addItem(want);
        box->setCurrentIndex(box->count() - 1);
    }
}

std::string SelectedBindAddress(const QComboBox* box) {
    if (box->currentIndex() <= 0) return "0.0.0.0";
    return FromQ(box->currentText());
}

void TModalForm::MakeOkCancel(QPushButton*& ok, QPushButton*& cancel) {
    ok = new QPushButton("OK", this);
    ok->setObjectName("btnOK");
    ok->setDefault(true);
    cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("btnCancel");
}

void TModalForm::LayOutPagesAndButtons(QWidget* pages, QPushButton* ok, QPushButton* cancel) {
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* all = new QVBoxLayout(this);
    all->addWidget(pages);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);
}
