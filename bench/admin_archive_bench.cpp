// How long the services wait while the list archive viewer works on a large
// archive. The viewer runs in this process on Qt's loop with the platform
// loop hosted in it, beside a POP3 server; a client thread sends NOOP after
// NOOP over 127.0.0.1 and keeps the longest wait for an answer.
//
//   admin_archive_bench [megabytes] [keystrokes]
//
// Phases (40 MB and 200 keystrokes unless given):
//   - open: ShowArchive until the whole text is in the view;
//   - typing: "Edit" on, then keystrokes at the end of the text, one at a
//     time, each with the repaint it causes; the longest keystroke is kept too;
//   - save: "Save" until the file is written;
//   - truncate: "Truncate to..." keeping the newest 1000 lines, until the
//     cut has ended.
// The platform is Qt's offscreen one unless QT_QPA_PLATFORM says otherwise.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "DataU1.h"
#include "LoopHost.h"
#include "Pop3Server.h"
#include "ViewMailListArchive.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_clientDone{false};
std::atomic<long> g_worstUs{0};

void Client(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        g_clientDone = true;
        return;
    }
    char buf[4096];
    std::string in;
    auto line = [&] {
        for (;;) {
            if (auto p = in.find("\r\n"); p != std::string::npos) {
                in.erase(0, p + 2);
                return true;
            }
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            in.append(buf, static_cast<std::size_t>(n));
        }
    };
    line();  // greeting
    while (!g_stop) {
        auto t0 = Clock::now();
        if (::send(fd, "NOOP\r\n", 6, MSG_NOSIGNAL) != 6 || !line()) break;
        long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
        long w = g_worstUs.load();
        while (us > w && !g_worstUs.compare_exchange_weak(w, us)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
    g_clientDone = true;
}

long TakeWorstMs() { return g_worstUs.exchange(0) / 1000; }

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 40;
    const int keystrokes = argc > 2 ? std::atoi(argv[2]) : 200;
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string dir = (std::filesystem::temp_directory_path() / "tavrin-archive-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) return 1;
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    const std::string archive = dir + "/archive.txt";
    {
        std::ofstream f(archive, std::ios::binary);
        std::string message;
        for (int i = 0; i < 40; ++i) message += "Line of a message that went to the list, as the archive keeps it\r\n";
        for (long written = 0; written < megabytes * 1024 * 1024; written += static_cast<long>(message.size()))
            f << message << "(------------------)\r\n";
    }

    QApplication app(argc, argv);
    TLoopHost host;
    ServerInformation = std::make_unique<TServerInformation>();
    ServerInformation->Pop3BindAddress = "127.0.0.1";
    ServerInformation->Pop3ListenPort = 0;
    int port = 0;
    std::unique_ptr<TPop3Server> pop3;
    for (int p = 21100; p < 21200 && !port; ++p) {
        ServerInformation->Pop3ListenPort = p;
        pop3 = std::make_unique<TPop3Server>();
        pop3->Start();
        if (pop3->IsListening()) port = p;
    }
    if (!port) return 1;
    auto* v = new TfrmViewMailListArchive();
    std::thread client;
    long openMs = 0, typingStallMs = 0, worstKeyMs = 0, saveStallMs = 0, openStallMs = 0, saveMs = 0;
    long truncateMs = 0, truncateStallMs = 0;
    int linesBefore = 0;

    QElapsedTimer phase;
    QTimer::singleShot(0, [&] {
        client = std::thread(Client, port);
        // Let the client settle into its rhythm before the open.
        QTimer::singleShot(200, [&] {
            TakeWorstMs();
            phase.start();
            QTimer* poll = new QTimer(v);
            QObject::connect(poll, &QTimer::timeout, [&, poll] {
                if (v->Busy() || !v->isVisible()) return;
                poll->stop();
                openMs = phase.elapsed();
                openStallMs = TakeWorstMs();
                v->puEdit->trigger();
                v->reArchive->moveCursor(QTextCursor::End);
                for (int i = 0; i < keystrokes; ++i) {
                    QElapsedTimer k;
                    k.start();
                    QKeyEvent press(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
                    QApplication::sendEvent(v->reArchive, &press);
                    QApplication::processEvents();
                    worstKeyMs = std::max<long>(worstKeyMs, k.elapsed());
                }
                typingStallMs = TakeWorstMs();
                phase.start();
                v->puSave->trigger();
                QTimer* saving = new QTimer(v);
                QObject::connect(saving, &QTimer::timeout, [&, saving] {
                    if (v->Busy()) return;
                    saving->stop();
                    saveMs = phase.elapsed();
                    saveStallMs = TakeWorstMs();
                    linesBefore = v->LineCount();
                    phase.start();
                    v->TruncateTo(1000);
                    QTimer* cutting = new QTimer(v);
                    QObject::connect(cutting, &QTimer::timeout, [&, cutting] {
                        if (v->Busy()) return;
                        cutting->stop();
                        truncateMs = phase.elapsed();
                        truncateStallMs = TakeWorstMs();
                        v->done(mrOk);
                    });
                    cutting->start(1);
                });
                saving->start(1);
            });
            poll->start(1);
            v->ShowArchive("bench", QString::fromStdString(archive));
            // The client may be waiting for an answer, which needs the loop.
            g_stop = true;
            while (!g_clientDone) QApplication::processEvents(QEventLoop::AllEvents, 10);
            client.join();
            app.quit();
        });
    });
    app.exec();

    std::printf("archive %ld MB, %d lines in the view\n", megabytes, v->LineCount());
    std::printf("open:   %ld ms until shown whole, worst NOOP wait %ld ms\n", openMs, openStallMs);
    std::printf("typing: %d keystrokes, worst keystroke %ld ms, worst NOOP wait %ld ms\n", keystrokes, worstKeyMs,
                typingStallMs);
    std::printf("save:   %ld ms until written, worst NOOP wait %ld ms\n", saveMs, saveStallMs);
    std::printf("truncate: %d lines to %d in %ld ms, worst NOOP wait %ld ms\n", linesBefore, v->LineCount(),
                truncateMs, truncateStallMs);
    delete v;
    pop3->Shutdown();
    pop3.reset();
    ServerInformation.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
