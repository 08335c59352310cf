#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

namespace vornix::testing {

/// The QCoreApplication of a test executable that talks to real services.
inline QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "vornix-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
    return *app;
}

/// Runs the event loop until `done` holds or `ms` pass: for waiting on real processes and
/// buses, never on our own timers. Returns whether `done` held.
inline bool spinUntil(const std::function<bool()>& done, int ms = 5000) {
    qtApp();
    for (QDeadlineTimer deadline(ms); !done();
         QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20))
        if (deadline.hasExpired())
            return false;
    return true;
}

} // namespace vornix::testing
