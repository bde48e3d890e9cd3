// The whole program: `tavrin` started headless in a temporary data folder,
// mail sent with smtplib and fetched with poplib, stopped by the sender tool
// or by SIGTERM; and a second copy that only restores the first.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DataU1.h"
#include "Forms.h"
#include "GuiSupport.h"
#include "Main.h"
#include "Program.h"
#include "platform/SingleInstance.h"
#include "support/TestSupport.h"

using guitest::ModalHandler;
using guitest::waitFor;
using testsupport::ScopedDataHome;
using testsupport::TempDir;

namespace {

int serverStatus() {
    auto r = guitest::run(guitest::sender(), {"TavrinSendStatus"});
    QRegularExpression re("lParam=(\\d+) ");
    auto m = re.match(r.output);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// Asks until the running server reports all three services (bounded).
bool waitForAllRunning() {
    for (int i = 0; i < 300; ++i) {
        if (serverStatus() == 7) return true;
        waitFor([] { return false; }, 20);
    }
    return false;
}

class Program {
public:
    Program() {
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(guitest::program(), {});
        started = p.waitForStarted(10000);
    }
    ~Program() {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    bool waitEnd(int ms = 30000) {
        return waitFor([this] { return p.state() == QProcess::NotRunning; }, ms);
    }
    int exitCode() const { return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1; }
    std::string output() { return p.readAll().toStdString(); }

    QProcess p;
    bool started = false;
};

// A user "alice" with password "secret" and a settings file on the ports.
void prepareServer(int smtp, int pop3, const std::string& logFile) {
    guitest::writeSettings(guitest::settingsText(smtp, pop3, "Log File=" + logFile + "\r\n"));
    ServerInformation = std::make_unique<TServerInformation>();
    ServerInformation->LoadFromIniFile();
    ASSERT_TRUE(ServerInformation->CreateUser("alice"));
    TPop3UserInformation user;
    user.Password = "secret";
    ASSERT_TRUE(user.SaveUser("alice"));
    ServerInformation.reset();
}

}  // namespace

TEST(WholeProgram, MailInAndOutThenForcedShutdown) {
    ScopedDataHome home;
    TempDir tmp;
    int smtp = testsupport::freePort(), pop3 = testsupport::freePort();
    while (pop3 == smtp) pop3 = testsupport::freePort();
    std::string log = tmp.path() + "tavrin.log";
    prepareServer(smtp, pop3, log);

    Program server;
    ASSERT_TRUE(server.started);
    ASSERT_TRUE(waitForAllRunning()) << server.output();

    QString script = QString(R"PY(
import smtplib, poplib
s = smtplib.SMTP('127.0.0.1', %1, timeout=20)
s.ehlo('client.test')
s.user, s.password = 'alice', 'secret'
s.auth('LOGIN', s.auth_login, initial_response_ok=False)
s.sendmail('alice@tavrin.test', ['alice@tavrin.test'],
           'From: alice@tavrin.test\r\nTo: alice@tavrin.test\r\nSubject: whole program\r\n\r\nHello from the test.\r\n.leading dot\r\n')
s.quit()
p = poplib.POP3('127.0.0.1', %2, timeout=20)
p.user('alice')
p.pass_('secret')
count, size = p.stat()
lines = p.retr(1)[1]
p.dele(1)
p.quit()
text = b'\n'.join(lines)
assert count == 1, count
assert b'Subject: whole program' in text, text
assert b'Hello from the test.' in text, text
assert b'\n.leading dot' in text, text
print('MAIL OK')
)PY")
                         .arg(smtp)
                         .arg(pop3);
    auto client = guitest::run(guitest::python(), {"-c", script}, 60000);
    EXPECT_EQ(client.exitCode, 0) << client.output.toStdString();
    EXPECT_TRUE(client.output.contains("MAIL OK")) << client.output.toStdString();

    auto stop = guitest::run(guitest::sender(), {"TavrinForceShutdown"});
    EXPECT_EQ(stop.exitCode, 0) << stop.output.toStdString();
    ASSERT_TRUE(server.waitEnd());
    EXPECT_EQ(server.exitCode(), 0) << server.output();
    EXPECT_EQ(serverStatus(), -1) << "nothing answers any more";
    std::string logged = testsupport::readFile(log);
    EXPECT_NE(logged.find("<SMTP ID "), std::string::npos) << logged;
    EXPECT_NE(logged.find("<POP3 ID "), std::string::npos) << logged;
}

TEST(WholeProgram, SigtermIsAForcedClose) {
    ScopedDataHome home;
    TempDir tmp;
    int smtp = testsupport::freePort(), pop3 = testsupport::freePort();
    while (pop3 == smtp) pop3 = testsupport::freePort();
    prepareServer(smtp, pop3, tmp.path() + "tavrin.log");
    Program server;
    ASSERT_TRUE(server.started);
    ASSERT_TRUE(waitForAllRunning()) << server.output();
    ::kill(static_cast<pid_t>(server.p.processId()), SIGTERM);
    ASSERT_TRUE(server.waitEnd());
    EXPECT_EQ(server.exitCode(), 0) << server.output();
    // A fresh copy may start at once: the lock went with the process.
    platform::NamedMutex lock(ApplicationTitle);
    EXPECT_TRUE(lock.owned());
}

TEST(SecondCopy, RestoresTheRunningCopyAndEndsWithoutDoingAnything) {
    // This process plays the running copy: it holds the lock and its main
    // window is in the tray.
    ScopedDataHome home;
    int smtp = testsupport::freePort(), pop3 = testsupport::freePort();
    while (pop3 == smtp) pop3 = testsupport::freePort();
    guitest::writeSettings(guitest::settingsText(smtp, pop3, "Start Minimized=1\r\n"));
    platform::NamedMutex lock(ApplicationTitle);
    ASSERT_TRUE(lock.owned());
    auto hadTray = std::exchange(TrayIconAvailable, [] { return true; });
    guitest::ProgramForms forms;
    TrayIconAvailable = hadTray;
    ASSERT_FALSE(frmMain->isVisible());

    TempDir otherHome;  // the second copy's data folder, which it must not touch
    std::string saved = getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", otherHome.path().c_str(), 1);
    auto second = guitest::run(guitest::program(), {}, 30000);
    setenv("XDG_DATA_HOME", saved.c_str(), 1);

    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 0) << second.output.toStdString();
    EXPECT_TRUE(waitFor([] { return frmMain->isVisible(); })) << "the running copy restored its window";
    EXPECT_TRUE(std::filesystem::is_empty(otherHome.path())) << "no settings read, no folder made";
}

TEST(SecondCopy, EndsAtOnceWhileTheRestoredFirstStartWindowIsOpen) {
    // A run that began without settings file: this process plays it, its
    // window in the tray. The restore shows the first-start window modally,
    // and the second copy must not wait for a person to close it.
    ScopedDataHome home;
    platform::NamedMutex lock(ApplicationTitle);
    ASSERT_TRUE(lock.owned());
    bool secondEnded = false;
    QProcess second;
    ModalHandler first("frmFirstTime", [&](QWidget* w) {
        if (first.count() == 1) {
            // No service of this run may take the default ports.
            ServerInformation->AutoStartSmtpServer = ServerInformation->AutoStartPop3Server = false;
            ServerInformation->AutoStartSmtpAgent = false;
        } else {
            secondEnded = waitFor([&] { return second.state() == QProcess::NotRunning; }, 5000);
        }
        w->close();
    });
    guitest::ProgramForms forms;
    ASSERT_TRUE(frmMain->FirstStart());
    frmMain->hide();

    second.start(guitest::program(), {});
    ASSERT_TRUE(second.waitForStarted(10000));
    ASSERT_TRUE(waitFor([&] { return first.count() == 2; })) << "the restore showed the first-start window again";
    EXPECT_TRUE(secondEnded) << "the second copy ended while the window was open";
    ASSERT_TRUE(waitFor([&] { return second.state() == QProcess::NotRunning; }));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(frmMain->isVisible());
}

// Painting a smooth gradient hands work to Qt's pool threads; a thread started
// with no descriptor free ends the whole process in GLib. Once the program
// has started and kept them, painting needs no descriptor.
TEST(WholeProgram, PaintingNeedsNoDescriptorOnceThePoolIsKept) {
    KeepPaintThreads();
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    // Nothing that might open a file runs until the descriptors are back.
    std::vector<int> fillers;
    fillers.reserve(1 << 20);
    for (int fd; fillers.size() < fillers.capacity() && (fd = ::dup(0)) >= 0;) fillers.push_back(fd);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient red(0, 0, 200, 200);
        red.setColorAt(0, Qt::red);
        red.setColorAt(1, Qt::red);
        painter.setPen(Qt::NoPen);
        painter.setBrush(red);
        painter.drawEllipse(image.rect());
    }
    for (int fd : fillers) ::close(fd);
    EXPECT_EQ(image.pixelColor(100, 100), QColor(Qt::red));
}
