// A client of the tests' own: holds idle inhibitors on the buses it is given, so that a test
// can kill it and see what it leaves behind.
//   inhibitor_client <session bus address|-> <system bus address|-> <timeout ms>
// Commands on standard input, one a line: "acquire" answers "held <id>" or "none";
// "release <id>" answers "released". It exits at the end of its input.
#include "engine/power_assertion_manager.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>
#include <iostream>
#include <string>

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

    // The buses' own threads carry the messages: no event loop is needed between commands.
    for (std::string line; std::getline(std::cin, line); std::fflush(stdout)) {
        if (line == "acquire") {
            const auto id = inhibitor.create(PowerAssertionManager::assertionType,
                                             PowerAssertionManager::assertionLevel,
                                             PowerAssertionManager::assertionName);
            std::printf(id ? "held %u\n" : "none\n", id.value_or(0));
        } else if (line.starts_with("release ")) {
            inhibitor.release(static_cast<std::uint32_t>(std::stoul(line.substr(8))));
            std::printf("released\n");
        }
    }
    return 0;
}
