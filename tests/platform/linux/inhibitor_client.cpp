// Holds an idle inhibition on the buses it is given (as without a desktop), so that a test can
// see what it asks for and what it reports, release it, end the program or kill it.
//   inhibitor_client <session bus address|-> <system bus address|-> <timeout ms>
// Commands on standard input, one a line: "inhibit", "release" (answers "released"), "destroy"
// (the inhibitor, not the program; answers "destroyed"). Each state reported is printed as it
// comes: "held gnomeSession logind:noService", "none …". Exits at end of input.
#include "engine/idle_inhibition.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <iostream>
#include <memory>
#include <string>
#include <thread>

using vornix::linux_platform::DBusIdleInhibitor;

namespace {
QDBusConnection bus(const std::string& address, const char* name) {
    return address == "-" ? QDBusConnection(QStringLiteral("none"))
                          : QDBusConnection::connectToBus(QString::fromStdString(address), name);
}

std::string text(const vornix::InhibitionState& state) {
    constexpr const char* causes[] = {"noService", "accessDenied", "timeout", "other"};
    std::string line(assuranceName(state.assurance));
    for (const auto holder : state.holders)
        line += " " + std::string(serviceName(holder));
    for (const auto& refusal : state.refusals)
        line += " " + std::string(serviceName(refusal.service)) + ":" +
                causes[static_cast<int>(refusal.cause)];
    return line;
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
                                   .timeoutMs = std::stoi(argv[3]),
                                   .desktopSession = false});
    const auto command = [&](const std::string& line) {
        if (line == "inhibit")
            inhibitor->inhibit(
                vornix::IdleInhibition::reason,
                [](const vornix::InhibitionState& s) { std::cout << text(s) << std::endl; });
        else if (line == "release")
            inhibitor->release(), std::cout << "released" << std::endl;
        else if (line == "destroy")
            inhibitor.reset(), std::cout << "destroyed" << std::endl;
    };
    std::thread([&] {
        for (std::string line; std::getline(std::cin, line);)
            QMetaObject::invokeMethod(&app, [&command, line] { command(line); });
        QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); });
    }).detach();
    return QCoreApplication::exec();
}
