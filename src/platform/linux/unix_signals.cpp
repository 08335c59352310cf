#include "platform/linux/unix_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vornix::linux_platform {

namespace {
int writeEnd = -1;
int readEnd = -1;

void onSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Only async-signal-safe calls here; a full pipe just drops the repeat.
    [[maybe_unused]] auto n = ::write(writeEnd, &byte, 1);
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    writeEnd = fds[0];
    readEnd = fds[1];
    notifier_ = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(readEnd, &byte, 1) == 1)
            Q_EMIT received(byte);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signalNumbers)
        ::sigaction(signal, &action, nullptr);
}

UnixSignalWatcher::~UnixSignalWatcher() {
    delete notifier_;
    if (readEnd >= 0) {
        ::close(readEnd);
        ::close(writeEnd);
        readEnd = writeEnd = -1;
    }
}

} // namespace vornix::linux_platform
