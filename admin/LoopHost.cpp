#include "LoopHost.h"

#include <QSocketNotifier>

#include "platform/MessageLoop.h"

TLoopHost::TLoopHost(QObject* parent) : QObject(parent) {
    FNotifier = new QSocketNotifier(platform::loop().fd(), QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [] { platform::loop().processMessages(); });
}
