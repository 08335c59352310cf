// The measuring half of vornix-volumes-bench (volumes_bench.py drives it and makes the drives):
// the volume system and monitor on the real kernel, answering one line per command on stdin.
//
//   mounted    waits until a volume is mounted                      -> "ok" | "timeout"
//   pulled     waits for the next unexpectedDisconnect              -> CLOCK_MONOTONIC ns of it
//   sync       reads pending changes now                            -> "ok"
//   cost       the same, timed                                      -> microseconds
//   idle S     runs the event loop for S seconds                    -> "<all> <volume system>"
//
// Usage: vornix-volumes-bench-core

#include "platform/linux/linux_volume_system.h"
#include "platform/linux/qt_main_queue.h"
#include "volumes/volume_monitor.h"

#include "log_fakes.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

namespace {

using namespace vornix;
using Clock = std::chrono::steady_clock;

bool spin(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 1)
        return 2;
    linux_platform::SystemWallClock clock;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    linux_platform::LinuxVolumeSystem system;
    VolumeMonitor monitor(log, clock, system.ports());
    Clock::time_point recordedAt{};
    auto token = log.events.subscribe([&](const std::vector<LogEvent>& events) {
        if (!events.empty() && events.front().kind == LogEvent::Kind::unexpectedDisconnect)
            recordedAt = Clock::now();
    });
    std::printf("%s\n", linux_platform::BlockDeviceMonitor::udevdRunning() ? "udev" : "kernel");
    std::fflush(stdout);

    // Commands are read as the event loop finds them, so a uevent is handled the moment it
    // arrives, not when the next command does.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string line;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c = 0;
        if (read(STDIN_FILENO, &c, 1) != 1)
            return QCoreApplication::quit();
        if (c != '\n') {
            line += c;
            return;
        }
        std::istringstream words(std::exchange(line, {}));
        std::string command;
        words >> command;
        if (command == "mounted") {
            std::printf("%s\n", spin([&] {
                            for (const auto& v : monitor.volumes.get())
                                if (v.isCurrentlyMounted)
                                    return true;
                            return false;
                        })
                                    ? "ok"
                                    : "timeout");
        } else if (command == "pulled") {
            const bool seen = spin([&] { return recordedAt != Clock::time_point{}; });
            std::printf("%lld\n",
                        seen ? static_cast<long long>(
                                   std::chrono::nanoseconds(recordedAt.time_since_epoch()).count())
                             : -1LL);
            recordedAt = {};
        } else if (command == "sync" || command == "cost") {
            const auto start = Clock::now();
            system.processPendingChanges();
            const auto spent = std::chrono::duration<double, std::micro>(Clock::now() - start);
            QCoreApplication::processEvents();
            if (command == "sync")
                std::printf("ok\n");
            else
                std::printf("%.1f\n", spent.count());
        } else if (command == "idle") {
            int seconds = 0;
            words >> seconds;
            QCoreApplication::processEvents();
            int wakeUps = 0;
            const auto connection =
                QObject::connect(QAbstractEventDispatcher::instance(),
                                 &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
            const auto own =
                system.counters().mountTableWakeUps + system.counters().blockEventWakeUps;
            QEventLoop idle;
            QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
            idle.exec();
            QObject::disconnect(connection);
            // The one wake-up that ends the wait is the benchmark's own timer.
            std::printf("%d %llu\n", std::max(0, wakeUps - 1),
                        static_cast<unsigned long long>(system.counters().mountTableWakeUps +
                                                        system.counters().blockEventWakeUps - own));
        }
        std::fflush(stdout);
    });
    return QCoreApplication::exec();
}
