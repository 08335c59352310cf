#include "private_bus.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace vornix::testing {

PrivateBus::PrivateBus() {
    // No service folders: nothing of the machine is activated on it; any test service may own
    // its name. The daemon forks away and prints its address and pid.
    const char* command =
        "f=$(mktemp) && printf %s '<busconfig><type>session</type><listen>unix:tmpdir=/tmp"
        "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>' >$f && dbus-daemon "
        "--fork --print-address=1 --print-pid=1 --config-file=$f 2>&1; rm -f $f";
    const std::unique_ptr<FILE, int (*)(FILE*)> daemon(popen(command, "r"), pclose);
    char line[512] = {};
    if (!daemon || !std::fgets(line, sizeof line, daemon.get()) ||
        std::fscanf(daemon.get(), "%d", &pid_) != 1)
        whyNot_ = std::string("dbus-daemon did not start (Debian's dbus-daemon): ") + line;
    else
        address_ = std::string(line).substr(0, std::string(line).find('\n'));
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0)
        kill(pid_, SIGTERM);
}

} // namespace vornix::testing
