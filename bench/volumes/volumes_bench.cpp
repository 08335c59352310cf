// vornix-volumes-bench: how fast a pulled drive is reported, what a mount-table change costs
// with many unrelated mounts, and how often the main thread wakes while nothing changes.
//
// Usage: vornix-volumes-bench [idle seconds, default 60]
// Runs as root (loop devices, mounts) inside a private mount namespace it enters itself.

#include "platform/linux/linux_volume_system.h"
#include "platform/linux/qt_main_queue.h"
#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "volume_sandbox.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using namespace vornix;
using namespace vornix::testing;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void summarize(const char* what, std::vector<double> samples, const char* unit) {
    std::sort(samples.begin(), samples.end());
    std::printf("%-58s median %9.1f %s   worst %9.1f %s   (n=%zu)\n", what,
                samples[samples.size() / 2], unit, samples.back(), unit, samples.size());
}

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
    enterSandbox(argv);
    if (const auto why = sandboxUnavailable()) {
        std::fprintf(stderr, "vornix-volumes-bench: %s\n", why->c_str());
        return 1;
    }
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    QCoreApplication app(argc, argv);

    ScratchDir scratch;
    const std::string media = scratch / "media/";
    fs::create_directories(media + "u");
    const std::string img = scratch / "drive.img";
    fs::resize_file((std::ofstream(img), img), 16 << 20);
    if (run({"mkfs.ext4", "-q", "-F", "-L", "Bench", img}) != 0) {
        std::fprintf(stderr, "vornix-volumes-bench: mkfs.ext4 failed\n");
        return 1;
    }
    LoopDevice loop(img);
    FakeUsbSysfs sysfs;
    sysfs.showAsUsb(loop, 16 << 11);

    // 500 mounts that are none of our business.
    for (int i = 0; i < 500; ++i) {
        const std::string path = scratch / ("unrelated/" + std::to_string(i));
        fs::create_directories(path);
        mountOrThrow("tmpfs", path, "tmpfs");
    }

    linux_platform::SystemWallClock clock;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    linux_platform::LinuxVolumeSystem::Options options;
    options.mediaRoots = {media};
    linux_platform::LinuxVolumeSystem system(options);
    VolumeMonitor monitor(log, clock, system.ports());

    Clock::time_point recordedAt{};
    auto token = log.events.subscribe([&](const std::vector<LogEvent>& events) {
        if (!events.empty() && events.front().kind == LogEvent::Kind::unexpectedDisconnect)
            recordedAt = Clock::now();
    });

    std::printf("block events from the %s source; 500 unrelated mounts present\n",
                system.options().blockEvents ==
                        linux_platform::BlockDeviceMonitor::Source::automatic
                    ? (linux_platform::BlockDeviceMonitor::udevdRunning() ? "udev" : "kernel")
                    : "configured");

    // 1. uevent to recorded unexpected disconnect.
    const std::string path = media + "u/Bench";
    fs::create_directories(path);
    std::vector<double> disconnect;
    for (int i = 0; i < 100; ++i) {
        const auto before = monitor.volumes.get();
        mountOrThrow(loop.node(), path, "ext4");
        if (!spin([&] {
                for (const auto& v : monitor.volumes.get())
                    if (v.isCurrentlyMounted)
                        return true;
                return false;
            })) {
            std::fprintf(stderr, "vornix-volumes-bench: the volume was not accepted\n");
            return 1;
        }
        recordedAt = {};
        const auto sent = Clock::now();
        loop.uevent("remove");
        if (!spin([&] { return recordedAt != Clock::time_point{}; })) {
            std::fprintf(stderr, "vornix-volumes-bench: no disconnect recorded\n");
            return 1;
        }
        disconnect.push_back(micros(recordedAt - sent));
        unmount(path, true);
        const auto wakeUps = system.counters().mountTableWakeUps;
        spin([&] { return system.counters().mountTableWakeUps > wakeUps; });
        loop.uevent("add");
        spin([&] { return system.counters().blockEventWakeUps > 0; }, 100);
    }
    summarize("uevent sent -> unexpectedDisconnect recorded", disconnect, "us");

    // 2. The cost of one mount-table change: read, diff, and what follows.
    std::vector<double> unrelatedChange, ourChange;
    for (int i = 0; i < 100; ++i) {
        const std::string other = scratch / ("unrelated/" + std::to_string(i));
        unmount(other);
        auto start = Clock::now();
        system.processPendingChanges();
        unrelatedChange.push_back(micros(Clock::now() - start));
        mountOrThrow("tmpfs", other, "tmpfs");
        system.processPendingChanges();

        mountOrThrow(loop.node(), path, "ext4");
        start = Clock::now();
        system.processPendingChanges(); // the mount notification and the monitor's acceptance
        ourChange.push_back(micros(Clock::now() - start));
        unmount(path);
        system.processPendingChanges();
    }
    QCoreApplication::processEvents();
    summarize("mount-table change, unrelated mount (read + diff)", unrelatedChange, "us");
    summarize("mount-table change, volume mounted (+ facts, acceptance)", ourChange, "us");

    // 3. Idle: nothing changes, so nothing should wake the main thread.
    QCoreApplication::processEvents();
    int wakeUps = 0;
    auto* dispatcher = QAbstractEventDispatcher::instance();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    const auto ownWakeUps =
        system.counters().mountTableWakeUps + system.counters().blockEventWakeUps;
    QTimer::singleShot(idleSeconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    // The one wake-up that ends the run is the benchmark's own timer.
    std::printf("%-58s %d over %d s (volume system: %llu)\n", "main-thread wake-ups while idle",
                std::max(0, wakeUps - 1), idleSeconds,
                static_cast<unsigned long long>(system.counters().mountTableWakeUps +
                                                system.counters().blockEventWakeUps - ownWakeUps));

    for (int i = 0; i < 500; ++i)
        unmount(scratch / ("unrelated/" + std::to_string(i)), true);
    return 0;
}
