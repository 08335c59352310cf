// Holds an idle inhibition on the buses it is given, so that a test can see what it asks for,
// release it, end the program or kill it.
//   inhibitor_client <session bus address|-> <system bus address|-> <timeout ms>
// Commands on standard input, one a line: "inhibit" answers "held" or "none", "release"
// "released", "destroy" (the inhibitor, not the program) "destroyed". Exits at end of input.
#include "engine/idle_inhibition.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <iostream>
#include <memory>
#include <string>

using vornix::linux_platform::DBusIdleInhibitor;

namespace {
QDBusConnection bus(const std::string& address, const char* name) {
    return address == "-" ? QDBusConnection(QStringLiteral("none"))
                          : QDBusConnection::connectToBus(QString::fromStdString(address), name);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    auto inhibitor = std::make_unique<DBusIdleInhibitor>(
        bus(argv[1], "session"), bus(argv[2], "system"),
        DBusIdleInhibitor::Options{.applicationID = QStringLiteral(VORNIX_APP_ID),
                                   .applicationName = QStringLiteral("Vornix"),
                                   .timeoutMs = std::stoi(argv[3])});
    // The buses' own threads carry the messages: no event loop is needed between commands.
    for (std::string line; std::getline(std::cin, line); std::cout.flush()) {
        if (line == "inhibit")
            std::cout << (inhibitor && inhibitor->inhibit(vornix::IdleInhibition::reason)
                              ? "held\n"
                              : "none\n");
        else if (line == "release")
            inhibitor->release(), std::cout << "released\n";
        else if (line == "destroy")
            inhibitor.reset(), std::cout << "destroyed\n";
    }
    return 0;
}
