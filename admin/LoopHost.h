// Hosts the platform message loop in Qt's event loop: one socket notifier on
// the loop's descriptor, which is readable whenever a posted message, a due
// timer or a watched descriptor waits, runs what is ready. Nested Qt loops
// (modal dialogs) keep it running, so the services work on while a dialog is
// open.
#pragma once

#include <QObject>

class QSocketNotifier;

class TLoopHost : public QObject {
    Q_OBJECT
public:
    explicit TLoopHost(QObject* parent = nullptr);

private:
    QSocketNotifier* FNotifier;
};
