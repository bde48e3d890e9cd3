// The log: the view with its 501-line rule, the optional log file, and
// saving the view as plain or rich text.
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include "DataU1.h"
#include "Forms.h"
#include "Main.h"
#include "UtilU1.h"
#include "platform/Clock.h"

namespace {

constexpr int MaxLogLines = 500;

// Log text is bytes; shown as UTF-8 when it is that, else byte for byte.
QString DisplayText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return s;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Appends the line to the log file, creating the file when it is missing.
// An existing file is never emptied, and a failure is silent: the log file
// must never cost the service that logged anything.
void AppendToLogFile(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::string out = line + "\n";
    ssize_t r = ::write(fd, out.data(), out.size());
    (void)r;
    ::close(fd);
}

QByteArray RichText(const QStringList& lines) {
    QByteArray out = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss MS Sans Serif;}}\\uc1\\pard\\f0\\fs16\n";
    for (const QString& line : lines) {
        for (QChar ch : line) {
            char16_t u = ch.unicode();
            if (u == '\\' || u == '{' || u == '}') {
                out += '\\';
                out += static_cast<char>(u);
            } else if (u == '\t') {
                out += "\\tab ";
            } else if (u >= 0x20 && u < 0x80) {
                out += static_cast<char>(u);
            } else if (u >= 0x80) {
                out += "\\u" + QByteArray::number(static_cast<qint16>(u)) + '?';
            }
        }
        out += "\\par\n";
    }
    out += "}\n";
    return out;
}

}  // namespace

int TfrmMain::LogLineCount() const {
    QTextDocument* d = reLog->document();
    return d->isEmpty() ? 0 : d->blockCount();
}

void TfrmMain::ServiceLog(void*, const std::string& Text, int Level) {
    if (!ServerInformation || ServerInformation->LogLevel < Level) return;
    std::string line = "[" + DateToStr(platform::Now()) + " - " + TimeToStr(platform::Now()) + "]  " + Text;
    AppendLogLine(line);
    if (!ServerInformation->LogFile.empty()) AppendToLogFile(ServerInformation->LogFile, line);
}

void TfrmMain::AppendLogLine(const std::string& line) {
    if (LogLineCount() > MaxLogLines) reLog->clear();
    QScrollBar* bar = reLog->verticalScrollBar();
    bool atEnd = bar->value() >= bar->maximum();
    bool empty = reLog->document()->isEmpty();
    QTextCursor c(reLog->document());
    c.movePosition(QTextCursor::End);
    if (!empty) c.insertBlock();
    c.insertText(DisplayText(line));
    if (atEnd) bar->setValue(bar->maximum());
}

void TfrmMain::puClearClick() { reLog->clear(); }

bool TfrmMain::SaveLogToFile(const QString& fileName) const {
    QStringList lines;
    if (!reLog->document()->isEmpty())
        for (QTextBlock b = reLog->document()->begin(); b.isValid(); b = b.next()) lines << b.text();
    QByteArray out;
    if (QFileInfo(fileName).suffix().toUpper() == "RTF") {
        out = RichText(lines);
    } else {
        for (const QString& l : lines) out += l.toUtf8() + '\n';
    }
    QFile f(fileName);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(out) == out.size() && f.flush();
}

void TfrmMain::puSaveClick() {
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty()) return;
    QString name = SaveDialog1->selectedFiles().first();
    if (!SaveLogToFile(name)) ShowMessage("Cannot create file \"" + name + "\".", this);
}
