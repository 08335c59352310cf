#include "private_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::testing {

namespace {
// A bus anyone on this machine may use, like a session bus, but with the system bus's name
// policy open enough for test services (logind, stand-ins) to own their names.
std::string configText(PrivateBus::Kind kind) {
    const bool session = kind == PrivateBus::Kind::session;
    return std::string("<busconfig><type>") + (session ? "session" : "system") +
           "</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth><policy "
           "context=\"default\">" +
           (session ? "" : "<allow user=\"*\"/>") +
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>";
}
} // namespace

PrivateBus::PrivateBus(Kind kind) {
    char dirTemplate[] = "/tmp/vornix-bus-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        whyNot_ = "cannot create a temporary directory";
        return;
    }
    configDir_ = dirTemplate;
    const std::string config = configDir_ + "/bus.conf";
    std::ofstream(config) << configText(kind);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        whyNot_ = "pipe failed";
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // no daemon outlives a crashed test
        // The address goes to descriptor 3. In a process with few descriptors open the pipe may
        // itself be 3 and 4, so the write end is moved first and the read end closed only if
        // it is not the descriptor just made.
        if (pipeFds[1] != 3) {
            dup2(pipeFds[1], 3);
            close(pipeFds[1]);
        }
        if (pipeFds[0] != 3)
            close(pipeFds[0]);
        const std::string configArg = "--config-file=" + config;
        execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile",
               "--print-address=3", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid_ < 0) {
        close(pipeFds[0]);
        whyNot_ = "fork failed";
        return;
    }
    std::string line;
    pollfd pfd{pipeFds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
        char buffer[256];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    if (auto end = line.find('\n'); end != std::string::npos) {
        address_ = line.substr(0, end);
    } else {
        whyNot_ = "dbus-daemon did not start (is Debian's dbus-daemon installed?)";
    }
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!configDir_.empty()) {
        std::remove((configDir_ + "/bus.conf").c_str());
        rmdir(configDir_.c_str());
    }
}

} // namespace vornix::testing
