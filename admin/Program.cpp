#include "Program.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QSemaphore>
#include <QThreadPool>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "About.h"
#include "CloseQuery.h"
#include "Forms.h"
#include "ProgramForms.h"
#include "License.h"
#include "LoopHost.h"
#include "Main.h"
#include "Splash.h"
#include "platform/Bus.h"
#include "platform/Clock.h"
#include "platform/FileWork.h"
#include "platform/Descriptors.h"
#include "platform/GroupCommit.h"
#include "platform/MessageLoop.h"
#include "platform/SingleInstance.h"

namespace {

// SIGTERM and SIGINT end the run as the end of a desktop session does: a
// forced close without the question. The handler only writes to a pipe; the
// loop turns that into the session-end message.
int EndPipe[2] = {-1, -1};

void OnEndSignal(int) {
    char c = 1;
    ssize_t r = ::write(EndPipe[1], &c, 1);
    (void)r;
}

bool EndRequested = false;

// What the end of the program waits for the disk, after the stop's bound.
constexpr std::uint32_t ExitWaitMs = 2000;

// A second copy waits this long for each window that is asked to restore; a
// copy that hangs must not keep it from ending.
constexpr int RestoreAnswerTimeoutMs = 5000;

void EndSession() {
    if (frmMain)
        platform::loop().send(frmMain->Handle(), WM_QUERYENDSESSION);
    else
        EndRequested = true;
}

void InstallEndSignals() {
    if (::pipe2(EndPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    platform::loop().watchFd(EndPipe[0], platform::FdIn, [](std::uint32_t) {
        char buf[64];
        while (::read(EndPipe[0], buf, sizeof buf) > 0) {
        }
        EndSession();
    });
    struct sigaction sa{};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

// Painting a large area hands strips of it to Qt's global thread pool, and
// each thread the pool starts opens a descriptor for its event dispatcher;
// GLib aborts the program when it cannot. The pool's threads are started here,
// while descriptors are free, and kept for good, so that painting the window
// never needs a new descriptor, whatever the clients hold meanwhile.
void KeepPaintThreads() {
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setExpiryTimeout(-1);
    const int n = pool->maxThreadCount();
    auto started = std::make_shared<QSemaphore>();
    auto go = std::make_shared<QSemaphore>();
    for (int i = 0; i < n; ++i)
        pool->start([started, go] {
            started->release();
            go->acquire();
        });
    // Each task holds a thread of its own until all have one. Bounded: a
    // thread the system refuses must not keep the program from starting.
    started->tryAcquire(n, 10000);
    go->release(n);
}

// Waits at most ExitWaitMs in all for the workers' file work and the
// commits in flight. True when both have ended.
static bool FinishWorkers() {
    const std::uint32_t start = platform::GetTickCount();
    const auto left = [start] {
        const std::uint32_t spent = platform::GetTickCount() - start;
        return spent >= ExitWaitMs ? 0 : static_cast<int>(ExitWaitMs - spent);
    };
    if (!platform::finishFileWork(left())) return false;
    if (!platform::finishCommits(left())) return false;
    // File work that began while the commits ended is waited for as well.
    return platform::finishFileWork(left());
}

int TavrinProgram(int argc, char** argv) {
    // Every client holds a descriptor: work with as many as the system allows.
    platform::raiseDescriptorLimit();

    // One copy per user; a second one only asks the first to come forward.
    platform::NamedMutex mutex(ApplicationTitle);
    if (mutex.alreadyExists()) {
        platform::broadcastMessage(platform::registerWindowMessage("TavrinRestore"), 0, 0, RestoreAnswerTimeoutMs);
        return 0;
    }

    // Without any display the program runs headless.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    KeepPaintThreads();
    KeepDialogPlaces();
    TLoopHost host;
    InstallEndSignals();
    QObject::connect(&app, &QGuiApplication::commitDataRequest, [](QSessionManager&) { EndSession(); });

    // The splash stays up while the forms are made.
    frmSplash = new TfrmSplash();
    frmSplash->show();
    frmSplash->repaint();
    QCoreApplication::setApplicationName(ApplicationTitle);

    // The main window first: its creation starts the server. The dialogs
    // follow, each unless it exists already.
    MainFormClosed = [] { QCoreApplication::exit(0); };
    new TfrmMain();  // sets frmMain
    CreateProgramForms();

    // A click can have closed the splash while a first-start window ran.
    if (frmSplash) frmSplash->Timer1->start();

    if (EndRequested && frmMain) platform::loop().send(frmMain->Handle(), WM_QUERYENDSESSION);
    if (frmMain && !frmMain->IsClosed()) app.exec();
    MainFormClosed = nullptr;

    delete frmMain;
    FreeProgramForms();
    if (frmSplash) delete frmSplash;

    // A next copy may start once the lock is free, and its start removes
    // every temporary file an earlier run left: ours must all be placed, and
    // no worker may touch the loop or a static once exit begins. The stop
    // has had its bound already, so this waits only briefly: a disk that
    // holds a flush must not hold the end. A commit still under way then
    // was answered to nobody (its session is gone); the process ends at once,
    // without exit's destructors, which its threads would race, and the
    // lock goes with the process. The next start removes what it left.
    if (!FinishWorkers()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    mutex.release();
    return 0;
}
