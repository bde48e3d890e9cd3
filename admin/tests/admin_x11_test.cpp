// The program as a person runs it: `tavrin` under a real X server (Xvfb)
// with a window manager (openbox) and a notification area (trayer), driven
// with the mouse and keyboard through xdotool and looked at with xwininfo,
// xprop and wmctrl. Each test starts its own display (Xvfb picks a free
// number), its own data and runtime folders, and ends every process it
// started. Every wait is bounded; a test is skipped, saying why, where the
// X programs are missing or the display does not come up.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "GuiSupport.h"
#include "support/TestSupport.h"

using guitest::waitFor;
using testsupport::TempDir;

namespace {

const QString MainTitle = "Tavrin SMTP/POP3 Server";
const QString FirstTimeTitle = "Tavrin First Timer Information";
const QString CloseTitle = "Closing Tavrin SMTP/POP3 Server";
constexpr int CommandMs = 10000;  // bound of every X command
constexpr int ShowMs = 5000;      // bound for a window to come or go
constexpr int StartMs = 20000;    // bound for a program's first window

// No automatic start: the tests need no ports, and a first-start run gets
// this file only after its first-start window came up.
const char* QuietSettings =
    "[General]\r\nServer Name=tavrin.test\r\nAutoStart Smtp Server=0\r\nAutoStart Smtp Agent=0\r\n"
    "AutoStart Pop3 Server=0\r\n";

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
};

unsigned long windowId(const QString& text) { return text.trimmed().toULong(nullptr, 0); }

class XDesktop {
public:
    ~XDesktop() { stopAll(); }

    // Starts Xvfb, openbox and (unless withTray is false) trayer; false with
    // the reason when one of them is missing or does not come up.
    bool start(QString& why, bool withTray = true) {
        for (const char* tool : {"Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop", "wmctrl"})
            if (QStandardPaths::findExecutable(tool).isEmpty()) {
                why = QString("%1 is not installed (scripts/install-deps.sh installs it)").arg(tool);
                return false;
            }
        env_ = QProcessEnvironment::systemEnvironment();
        env_.remove("QT_QPA_PLATFORM");
        env_.remove("WAYLAND_DISPLAY");
        env_.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_.path()));
        env_.insert("XDG_DATA_HOME", QString::fromStdString(data_.path()));

        // -displayfd: Xvfb takes the first free display and writes its number.
        QProcess* x = spawn("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QString number;
        waitFor([&] {
            number += QString::fromLatin1(x->readAllStandardOutput());
            return number.contains('\n') || x->state() == QProcess::NotRunning;
        }, 15000);
        bool ok = false;
        int n = number.trimmed().toInt(&ok);
        if (!ok) {
            why = "Xvfb did not start: " + QString::fromLocal8Bit(x->readAllStandardError()).left(300);
            return false;
        }
        env_.insert("DISPLAY", QString(":%1").arg(n));

        // The notification area first: it maps its panel on a bare screen,
        // and the window manager adopts it when it starts (a panel mapped
        // while the manager is still starting can stay unmapped).
        if (withTray && !startTray()) {
            why = "trayer (the notification area) did not come up: " +
                  QString::fromLocal8Bit(tray_->readAllStandardError()).left(300);
            return false;
        }
        spawn("openbox", {"--sm-disable"});
        if (!waitFor([&] { return command("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"); },
                     StartMs) ||
            (withTray && !waitFor([&] { return trayShown(); }, StartMs))) {
            why = "openbox did not take the display";
            return false;
        }
        return true;
    }

    // Starts a notification area (trayer) and waits until its panel shows.
    bool startTray() {
        const QStringList args{"--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "24"};
        tray_ = spawn("trayer", args);
        return waitFor([&] { return trayShown(); }, StartMs);
    }

    // Ends the notification area, as when its host crashes or logs out.
    bool endTray() {
        if (!tray_) return false;
        tray_->kill();
        return tray_->waitForFinished(CommandMs) && waitFor([&] { return !trayShown(); }, ShowMs);
    }

    bool trayShown() {
        auto m = QRegularExpression("(0x[0-9a-f]+) \"panel\": \\(\"panel\" \"trayer\"\\)")
                     .match(command("xwininfo", {"-root", "-tree"}));
        return m.hasMatch() && viewable(windowId(m.captured(1)));
    }

    // The settings file of the program's data folder.
    void writeSettings(const std::string& text) {
        std::string base = data_.path() + "Quentar/Tavrin/";
        std::filesystem::create_directories(base);
        std::ofstream(base + "Tavrin.ini", std::ios::binary | std::ios::trunc) << text;
    }

    // Runs one X program to its end (bounded); its standard output.
    QString command(const QString& program, const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(program, args);
        if (!p.waitForStarted(CommandMs)) return {};
        if (!p.waitForFinished(CommandMs)) {
            p.kill();
            p.waitForFinished(CommandMs);
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    }

    // Starts the program (another copy each call).
    QProcess* startTavrin() { return spawn(guitest::program(), {}); }

    // Runs a copy of the program to its end, at most timeoutMs; its exit
    // code, -1 when it did not end in time.
    int runTavrin(int timeoutMs) {
        QProcess* p = spawn(guitest::program(), {});
        if (!waitFor([p] { return p->state() == QProcess::NotRunning; }, timeoutMs)) return -1;
        return p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    }

    int sendMessage(const QString& name) {
        QProcess* p = spawn(guitest::sender(), {"-t", "3000", name});
        waitFor([p] { return p->state() == QProcess::NotRunning; }, CommandMs);
        return p->state() == QProcess::NotRunning ? p->exitCode() : -1;
    }

    // The managed top-level window with this title (0: none).
    unsigned long managedWindow(const QString& title) {
        for (const QString& line : command("wmctrl", {"-l"}).split('\n')) {
            QStringList f = line.split(' ', Qt::SkipEmptyParts);
            if (f.size() >= 4 && line.endsWith(" " + title)) return windowId(f[0]);
        }
        return 0;
    }

    // Every window of the program (class "tavrin") at any depth, with its
    // name, as the server's window tree lists them.
    std::vector<std::pair<unsigned long, QString>> programWindows() {
        std::vector<std::pair<unsigned long, QString>> out;
        static const QRegularExpression line("^\\s*(0x[0-9a-f]+) \"(.*)\": \\(\"tavrin\" ");
        for (const QString& l : command("xwininfo", {"-root", "-tree"}).split('\n'))
            if (auto m = line.match(l); m.hasMatch()) out.emplace_back(windowId(m.captured(1)), m.captured(2));
        return out;
    }

    bool viewable(unsigned long id) {
        return command("xwininfo", {"-id", QString::number(id)}).contains("Map State: IsViewable");
    }

    unsigned long activeWindow() {
        QString out = command("xprop", {"-root", "_NET_ACTIVE_WINDOW"});
        int at = out.indexOf('#');
        return at < 0 ? 0 : windowId(out.mid(at + 1));
    }

    // The window's frame as the window manager drew it.
    Rect frame(unsigned long id) {
        QString info = command("xwininfo", {"-id", QString::number(id)});
        auto field = [&](const char* name) {
            auto m = QRegularExpression(QString(name) + ":\\s+(-?\\d+)").match(info);
            return m.hasMatch() ? m.captured(1).toInt() : 0;
        };
        Rect r{field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
        QStringList e = command("xprop", {"-id", QString::number(id), "_NET_FRAME_EXTENTS"})
                            .section('=', 1)
                            .split(',', Qt::SkipEmptyParts);
        if (e.size() == 4) {
            r.x -= e[0].trimmed().toInt();
            r.y -= e[2].trimmed().toInt();
            r.w += e[0].trimmed().toInt() + e[1].trimmed().toInt();
            r.h += e[2].trimmed().toInt() + e[3].trimmed().toInt();
        }
        return r;
    }

    Rect screen() {
        QString info = command("xwininfo", {"-root"});
        auto field = [&](const char* name) {
            auto m = QRegularExpression(QString(name) + ":\\s+(\\d+)").match(info);
            return m.hasMatch() ? m.captured(1).toInt() : 0;
        };
        return Rect{0, 0, field("Width"), field("Height")};
    }

    // Writes the screen to <build>/tavrin-x11-<name>.xwd for a person to see.
    void screenshot(const std::string& name) {
        std::string path = std::string(TAVRIN_BINARY_DIR) + "/tavrin-x11-" + name + ".xwd";
        command("xwd", {"-root", "-silent", "-out", QString::fromStdString(path)});
    }

private:
    QProcess* spawn(const QString& program, const QStringList& args) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env_);
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->start(program, args);
        p->waitForStarted(CommandMs);
        processes_.push_back(std::move(p));
        return processes_.back().get();
    }

    // The last started ends first: programs, then the tray, the window
    // manager and the server.
    void stopAll() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            QProcess& p = **it;
            if (p.state() == QProcess::NotRunning) continue;
            p.terminate();
            if (!p.waitForFinished(3000)) {
                p.kill();
                p.waitForFinished(3000);
            }
        }
        processes_.clear();
    }

    TempDir runtime_, data_;
    QProcessEnvironment env_;
    QProcess* tray_ = nullptr;
    std::vector<std::unique_ptr<QProcess>> processes_;
};

class X11Test : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        if (!desk.start(why, withTray())) GTEST_SKIP() << "no X desktop for this test: " << why.toStdString();
    }
    virtual bool withTray() const { return true; }

    // Waits until the program's window with this title is managed and shown.
    unsigned long waitShown(const QString& title, int timeoutMs = ShowMs) {
        unsigned long id = 0;
        waitFor([&] { return (id = desk.managedWindow(title)) != 0 && desk.viewable(id); }, timeoutMs);
        return id;
    }

    bool waitActive(unsigned long id) {
        return waitFor([&] { return desk.activeWindow() == id; }, ShowMs);
    }

    // The close box, then Enter in the close question: "&Minimize".
    void minimizeThroughCloseQuestion(unsigned long main) {
        desk.command("wmctrl", {"-i", "-c", QString::number(main)});
        unsigned long question = waitShown(CloseTitle);
        ASSERT_NE(question, 0u) << "the close question came up";
        ASSERT_TRUE(waitActive(question));
        desk.command("xdotool", {"key", "Return"});
        ASSERT_TRUE(waitFor([&] { return !desk.viewable(main); }, ShowMs)) << "the window went to the tray";
    }

    // The notification-area icon: the window of the program's title that the
    // window manager does not manage.
    unsigned long trayIcon(unsigned long main) {
        unsigned long icon = 0;
        waitFor([&] {
            for (const auto& [id, name] : desk.programWindows())
                if (id != main && name == MainTitle && desk.viewable(id)) icon = id;
            return icon != 0;
        }, ShowMs);
        return icon;
    }

    void clickIcon(unsigned long icon, const char* button) {
        desk.command("xdotool", {"mousemove", "--window", QString::number(icon), "11", "11", "click", button});
    }

    XDesktop desk;
};

// A desktop without a notification area (GNOME's default, many tiling window
// managers).
class X11NoTrayTest : public X11Test {
    bool withTray() const override { return false; }
};

}  // namespace

// Every way back (tray click, the tray menu's "Restore", TavrinRestore, a
// second copy) shows the window and puts it in front at the first try, ten
// times each after "&Minimize" in the close question.
TEST_F(X11Test, EveryWayBackFromTheTrayWorksAtTheFirstTry) {
    desk.writeSettings(QuietSettings);
    QProcess* tavrin = desk.startTavrin();
    unsigned long main = waitShown(MainTitle, StartMs);
    if (!main) desk.screenshot("start");
    ASSERT_NE(main, 0u) << "the main window came up; the program "
                        << (tavrin->state() == QProcess::Running ? "runs" : "ended") << ": "
                        << tavrin->readAllStandardError().toStdString();
    unsigned long icon = trayIcon(main);
    ASSERT_NE(icon, 0u) << "the icon is in the notification area";

    const char* ways[] = {"tray click", "tray menu Restore", "TavrinRestore", "second copy"};
    for (int cycle = 0; cycle < 40; ++cycle) {
        std::string way = ways[cycle % 4];
        SCOPED_TRACE("cycle " + std::to_string(cycle) + ", " + way);
        minimizeThroughCloseQuestion(main);
        if (HasFatalFailure()) break;
        ASSERT_NE(trayIcon(main), 0u) << "only the icon is left";

        switch (cycle % 4) {
            case 0: clickIcon(icon, "1"); break;
            case 1: {
                // The menu is a window of the program that is neither the main
                // window nor the icon. A right click that meets a grab of the
                // window manager opens nothing, so a person clicks again.
                auto menuOpen = [&] {
                    for (const auto& [id, name] : desk.programWindows())
                        if (id != main && id != icon && name != "Splash" && desk.viewable(id)) return true;
                    return false;
                };
                bool open = false;
                for (int click = 0; click < 3 && !open; ++click) {
                    clickIcon(icon, "3");
                    open = waitFor(menuOpen, ShowMs / 3);
                }
                if (!open) desk.screenshot("traymenu");
                ASSERT_TRUE(open) << "the tray menu opened";
                // Down picks "Restore", Enter runs it.
                desk.command("xdotool", {"key", "Down", "Return"});
                break;
            }
            case 2: EXPECT_EQ(desk.sendMessage("TavrinRestore"), 0); break;
            case 3: EXPECT_EQ(desk.runTavrin(ShowMs), 0) << "the second copy ends at once with code 0"; break;
        }
        bool back = waitFor([&] { return desk.viewable(main) && desk.activeWindow() == main; }, ShowMs);
        if (!back) desk.screenshot("restore");
        ASSERT_TRUE(back) << "shown and in front after one " << way;
    }
    EXPECT_EQ(tavrin->state(), QProcess::Running);
}

// A start without settings file: the first-start window comes up centred and
// wholly on the desktop; a second copy ends at once with code 0 while it is
// open and when its restore shows the first-start window again.
TEST_F(X11Test, FirstStartWindowIsCentredAndASecondCopyEndsAtOnce) {
    QProcess* tavrin = desk.startTavrin();
    unsigned long first = waitShown(FirstTimeTitle, StartMs);
    if (!first) desk.screenshot("firststart-start");
    ASSERT_NE(first, 0u) << "the first-start window came up; the program "
                         << (tavrin->state() == QProcess::Running ? "runs" : "ended") << ": "
                         << tavrin->readAllStandardError().toStdString();
    auto expectCentred = [&](unsigned long id) {
        Rect r = desk.frame(id);
        Rect screen = desk.screen();
        EXPECT_GE(r.x, 0);
        EXPECT_GE(r.y, 0) << "the title bar is on the screen";
        EXPECT_LE(r.x + r.w, screen.w);
        EXPECT_LE(r.y + r.h, screen.h);
        EXPECT_NEAR(r.x + r.w / 2, screen.w / 2, 8) << "centred across";
        EXPECT_NEAR(r.y + r.h / 2, screen.h / 2, 8) << "centred down";
        if (HasFailure()) desk.screenshot("firststart");
    };
    expectCentred(first);

    EXPECT_EQ(desk.runTavrin(ShowMs), 0) << "a second copy while the first-start window is open";

    // The services start when the first-start window closes: they find
    // settings without automatic starts, read while it was open.
    desk.writeSettings(QuietSettings);
    ASSERT_EQ(desk.sendMessage("TavrinRefreshFromINIFile"), 0);
    desk.command("wmctrl", {"-i", "-c", QString::number(first)});
    ASSERT_TRUE(waitFor([&] { return desk.managedWindow(FirstTimeTitle) == 0; }, ShowMs));
    unsigned long main = waitShown(MainTitle);
    ASSERT_NE(main, 0u);
    ASSERT_NE(trayIcon(main), 0u);
    minimizeThroughCloseQuestion(main);
    if (HasFatalFailure()) return;

    EXPECT_EQ(desk.runTavrin(ShowMs), 0) << "a second copy whose restore shows the first-start window";
    unsigned long again = waitShown(FirstTimeTitle);
    ASSERT_NE(again, 0u) << "the running copy shows the first-start window again";
    EXPECT_TRUE(desk.viewable(main));
    expectCentred(again);
}

// "Start Minimized" where there is no tray: the main window is iconic, and the
// window manager lists it, so a person can bring it back.
TEST_F(X11NoTrayTest, StartMinimizedWithoutATrayLeavesAnIconicWindowTheManagerLists) {
    desk.writeSettings(std::string(QuietSettings) + "Start Minimized=1\r\n");
    desk.startTavrin();
    unsigned long main = 0;
    ASSERT_TRUE(waitFor([&] { return (main = desk.managedWindow(MainTitle)) != 0; }, StartMs))
        << "the window manager lists the program";
    EXPECT_TRUE(waitFor([&] {
        return desk.command("xprop", {"-id", QString::number(main), "WM_STATE"}).contains("Iconic");
    }, ShowMs)) << "minimised";
    EXPECT_FALSE(desk.viewable(main));
    desk.command("wmctrl", {"-i", "-a", QString::number(main)});
    EXPECT_TRUE(waitFor([&] { return desk.viewable(main) && desk.activeWindow() == main; }, ShowMs))
        << "brought back from the task list";
}

// The tray host ends while the program lives in it: within 3 s the window is
// back, iconic and listed. With no tray, "&Minimize" leaves such a window
// too, and a tray that comes back gets the icon again.
TEST_F(X11Test, AnEndedTrayLeavesAnIconicListedWindowAndANewTrayGetsTheIcon) {
    desk.writeSettings(QuietSettings);
    desk.startTavrin();
    unsigned long main = waitShown(MainTitle, StartMs);
    ASSERT_NE(main, 0u);
    ASSERT_NE(trayIcon(main), 0u);
    auto listedIconic = [&] {
        return desk.managedWindow(MainTitle) == main &&
               desk.command("xprop", {"-id", QString::number(main), "WM_STATE"}).contains("Iconic");
    };
    minimizeThroughCloseQuestion(main);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(desk.endTray());
    EXPECT_TRUE(waitFor(listedIconic, 3000)) << "back within 3 s of the tray's end";

    desk.command("wmctrl", {"-i", "-a", QString::number(main)});
    ASSERT_TRUE(waitFor([&] { return desk.viewable(main); }, ShowMs)) << "brought back from the task list";
    minimizeThroughCloseQuestion(main);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(waitFor(listedIconic, ShowMs)) << "\"&Minimize\" without a tray";

    ASSERT_TRUE(desk.startTray());
    EXPECT_NE(trayIcon(main), 0u) << "the icon comes back with a tray";
}

// A dialog comes up where it came up the first time, at every showing.
TEST_F(X11Test, DialogsOpenAtTheSamePlaceEachTime) {
    desk.writeSettings(QuietSettings);
    desk.startTavrin();
    unsigned long main = waitShown(MainTitle, StartMs);
    ASSERT_NE(main, 0u);
    const std::pair<QString, QString> dialogs[] = {
        {"alt+h a", "About"}, {"alt+h l", "License"}, {"alt+s g", QString::fromUtf8("一般設定項目")}};
    for (const auto& [keys, title] : dialogs) {
        std::vector<Rect> frames;
        for (int showing = 0; showing < 3; ++showing) {
            // A key the menu bar missed leaves a menu open: Escape, and again.
            unsigned long id = 0;
            for (int tries = 0; tries < 3 && !id; ++tries) {
                ASSERT_TRUE(waitActive(main));
                desk.command("xdotool", {"key", keys.section(' ', 0, 0), keys.section(' ', 1, 1)});
                if (!(id = waitShown(title, ShowMs / 2))) desk.command("xdotool", {"key", "Escape"});
            }
            ASSERT_NE(id, 0u) << title.toStdString() << ", showing " << showing;
            frames.push_back(desk.frame(id));
            desk.command("xdotool", {"key", "Escape"});
            ASSERT_TRUE(waitFor([&] { return !desk.viewable(id); }, ShowMs));
        }
        for (const Rect& r : frames) {
            EXPECT_EQ(r.x, frames[0].x) << title.toStdString();
            EXPECT_EQ(r.y, frames[0].y) << title.toStdString();
        }
    }
}
