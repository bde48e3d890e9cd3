#include "LoopHost.h"

#include <QSocketNotifier>

#include <chrono>

#include "platform/MessageLoop.h"

namespace {

// A client in a dialogue sends its next command within microseconds of our
// reply. Looking for it a little before going back to Qt's wait spares both
// the sleep of this thread and the wake-up across processors that would
// follow (on this kind of machine tens of microseconds a command). The look
// is short and comes only after work was done, so an idle server never spins;
// and a steady stream of work goes back to Qt within the budget, so the
// window and Qt's timers keep their turn.
constexpr int kLingerMicroseconds = 50;
constexpr auto kBudget = std::chrono::milliseconds(2);

void RunReady() {
    auto& loop = platform::loop();
    const auto until = std::chrono::steady_clock::now() + kBudget;
    while (loop.processMessages() > 0 && std::chrono::steady_clock::now() < until &&
           loop.readyWithin(kLingerMicroseconds)) {
    }
}

}  // namespace

TLoopHost::TLoopHost(QObject* parent) : QObject(parent) {
    FNotifier = new QSocketNotifier(platform::loop().fd(), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [] { RunReady(); });
}
