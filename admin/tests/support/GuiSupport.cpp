#include "GuiSupport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ProgramForms.h"
#include "About.h"
#include "CloseQuery.h"
#include "Forms.h"
#include "License.h"
#include "Main.h"
#include "platform/Paths.h"

namespace guitest {

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    QTimer tick;  // wakes the loop so the predicate is looked at often
    tick.start(5);
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

ModalHandler::ModalHandler(const QString& name, std::function<void(QWidget*)> action) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this, name, action] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w->objectName() != name || w == last_) return;
        last_ = w;
        ++count_;
        action(w);
    });
    timer_.start();
}

ModalHandler::~ModalHandler() { timer_.stop(); }

std::string basePath() { return platform::basePath(); }

void writeSettings(const std::string& iniText) {
    std::filesystem::create_directories(basePath());
    std::ofstream f(basePath() + "Tavrin.ini", std::ios::binary | std::ios::trunc);
    f << iniText;
}

std::string settingsText(int smtpPort, int pop3Port, const std::string& generalExtra) {
    return "[General]\r\nServer Name=tavrin.test\r\nLog Level=8\r\n" + generalExtra +
           "[Smtp Server]\r\nBind Address=127.0.0.1\r\nListen Port=" + std::to_string(smtpPort) +
           "\r\n[Pop 3 Server]\r\nBind Address=127.0.0.1\r\nListen Port=" + std::to_string(pop3Port) +
           "\r\n[Smtp Agent]\r\nPolling Interval (in seconds)=300\r\n";
}

ProgramForms::ProgramForms() {
    new TfrmMain();
    CreateProgramForms();
}

ProgramForms::~ProgramForms() {
    delete frmMain;
    FreeProgramForms();
}

ProcessResult run(const QString& prog, const QStringList& args, int timeoutMs, const QString& stdinText) {
    ProcessResult r;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(prog, args);
    if (!p.waitForStarted(10000)) return r;
    if (!stdinText.isEmpty()) p.write(stdinText.toUtf8());
    p.closeWriteChannel();
    bool done = waitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    if (!done) {
        p.kill();
        p.waitForFinished(5000);
    }
    r.finished = done;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = QString::fromUtf8(p.readAll());
    return r;
}

QString sender() { return TAVRIN_SENDER; }
QString program() { return TAVRIN_PROGRAM; }
QString python() { return "/usr/bin/python3"; }

}  // namespace guitest
