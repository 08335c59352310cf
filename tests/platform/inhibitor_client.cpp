// A client of the tests' own: holds idle inhibitors on the buses it is given, so that a test
// can kill it and see what it leaves behind.
//   inhibitor_client <session bus address|-> <system bus address|-> <timeout ms>
// Commands on standard input, one a line: "acquire" answers "held <id>" or "none";
// "release <id>" answers "released". It exits at the end of its input.
#include "engine/power_assertion_manager.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <cstdio>
#include <string>
#include <unistd.h>

using vornix::PowerAssertionManager;
using vornix::linux_platform::DBusIdleInhibitor;

namespace {
QDBusConnection bus(const char* address, const char* name) {
    if (std::string(address) == "-")
        return QDBusConnection(QStringLiteral("none"));
    return QDBusConnection::connectToBus(QString::fromUtf8(address), QString::fromUtf8(name));
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SESSION SYSTEM TIMEOUT_MS\n", argv[0]);
        return 2;
    }
    DBusIdleInhibitor inhibitor(bus(argv[1], "session"), bus(argv[2], "system"),
                                {.applicationID = QStringLiteral(VORNIX_APP_ID),
                                 .applicationName = QStringLiteral("Vornix"),
                                 .timeoutMs = std::stoi(argv[3])});

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line == "acquire") {
                const auto id = inhibitor.create(PowerAssertionManager::assertionType,
                                                 PowerAssertionManager::assertionLevel,
                                                 PowerAssertionManager::assertionName);
                std::printf(id ? "held %u\n" : "none\n", id.value_or(0));
            } else if (line.starts_with("release ")) {
                inhibitor.release(static_cast<std::uint32_t>(std::stoul(line.substr(8))));
                std::printf("released\n");
            }
            std::fflush(stdout);
        }
    });
    return app.exec();
}
