// Helpers of the GUI tests: waiting in Qt's loop (which also runs the
// platform loop), answering modal windows by objectName, the forms as the
// program block makes them, settings files and child processes run from
// Qt's loop.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace guitest {

// Runs Qt's loop until pred() holds; false after timeoutMs.
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 10000);

// While it lives, runs action once on each modal window named `name` that
// comes up (looked for every 10 ms).
class ModalHandler {
public:
    ModalHandler(const QString& name, std::function<void(QWidget*)> action);
    ~ModalHandler();
    int count() const { return count_; }

private:
    QTimer timer_;
    QPointer<QWidget> last_;
    int count_ = 0;
};

// The settings file of the base folder under XDG_DATA_HOME (which the test
// points at a temporary folder).
std::string basePath();
void writeSettings(const std::string& iniText);
// A settings file for a server on 127.0.0.1 at the given ports, log level 8,
// plus extra lines for [General].
std::string settingsText(int smtpPort, int pop3Port, const std::string& generalExtra = {});

// The forms of the program block (main window, About, licence, close
// question), made in its order and freed in reverse.
struct ProgramForms {
    ProgramForms();
    ~ProgramForms();
};

struct ProcessResult {
    bool finished = false;
    int exitCode = -1;
    QString output;  // standard output and error
};
// Runs a program from Qt's loop (so this process's windows and services are
// served meanwhile) and waits for its end; killed after timeoutMs.
ProcessResult run(const QString& program, const QStringList& args, int timeoutMs = 30000,
                  const QString& stdinText = {});
QString sender();   // tools/tavrin-send
QString program();  // admin/tavrin
QString python();   // Debian's python3

}  // namespace guitest
