#include "ui/single_instance.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vornix {

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
    // The user's runtime folder (mode 0700) rather than the shared temporary folder, where
    // another user could take the name first and keep this user's Vornix from ever starting.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return QDir(runtime).filePath(QStringLiteral("vornix-instance"));
    return QStringLiteral("vornix-%1").arg(::getuid());
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Watched::~Watched() {
    notifier.reset();
    ::close(fd);
}

// A plain Unix socket rather than QLocalServer: QtNetwork would bring a megabyte and a half of
// libraries (Kerberos, proxy lookup) into a program that sits in the tray all day.
bool SingleInstance::claim() {
    const QByteArray path = QFile::encodeName(name_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address.sun_path))
        return true; // run anyway rather than not at all
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const auto* at = reinterpret_cast<const sockaddr*>(&address);

    if (const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); probe >= 0) {
        const Watched closing{probe, nullptr};
        if (::connect(probe, at, sizeof address) == 0) {
            ::send(probe, "show\n", 5, MSG_NOSIGNAL);
            return false;
        }
    }
    // Nobody answered: a socket left by a crashed instance is stale.
    ::unlink(path.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;
    listener_.reset(new Watched{fd, nullptr});
    if (::bind(fd, at, sizeof address) != 0 || ::chmod(path.constData(), 0600) != 0 ||
        ::listen(fd, 8) != 0) {
        listener_.reset();
        return true;
    }
    listener_->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(listener_->notifier.get(), &QSocketNotifier::activated, this, [this] { accept(); });
    return true;
}

void SingleInstance::accept() {
    for (int fd;
         (fd = ::accept4(listener_->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        std::unique_ptr<Watched> caller(new Watched{fd, nullptr});
        caller->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(caller->notifier.get(), &QSocketNotifier::activated, this, [this, fd] {
            char word[5] = {};
            if (::recv(fd, word, sizeof word, 0) == 5 && std::memcmp(word, "show\n", 5) == 0)
                emit showRequested();
            // One message a caller; its notifier goes once it has finished signalling.
            QMetaObject::invokeMethod(
                this, [this, fd] { callers_.erase(fd); }, Qt::QueuedConnection);
        });
        callers_.emplace(fd, std::move(caller));
    }
}

} // namespace vornix
