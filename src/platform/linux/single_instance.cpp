#include "platform/linux/single_instance.h"

#include "platform/linux/diagnostics.h"
#include "vornix1_proxy.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vornix::linux_platform {

SingleInstance::SingleInstance(QDBusConnection bus, QString lockPath, QObject& exported)
    : bus_(std::move(bus)), lockPath_(std::move(lockPath)), exported_(exported) {}

SingleInstance::~SingleInstance() {
    if (ownsName_) {
        bus_.unregisterObject(QString::fromLatin1(objectPath));
        bus_.unregisterService(QString::fromLatin1(serviceName));
    }
    if (lockFd_ >= 0)
        ::close(lockFd_); // releases the lock
}

QString SingleInstance::defaultLockPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vornix/vornix.lock");
}

bool SingleInstance::claim(bool showRunning) {
    const QString service = QString::fromLatin1(serviceName);
    if (bus_.isConnected()) {
        bus_.registerObject(QString::fromLatin1(objectPath), &exported_,
                            QDBusConnection::ExportAdaptors);
        const auto reply =
            bus_.interface()->registerService(service, QDBusConnectionInterface::DontQueueService,
                                              QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            ownsName_ = true;
            qCDebug(dbusLog) << "owns" << service;
        } else {
            if (!reply.isValid())
                qCWarning(dbusLog).noquote()
                    << "cannot own" << service << ":" << reply.error().message();
            bus_.unregisterObject(QString::fromLatin1(objectPath));
            if (reply.isValid()) { // the name is taken: its owner shows its panel
                if (showRunning) {
                    Vornix1Proxy running(service, QString::fromLatin1(objectPath), bus_);
                    running.setTimeout(2000);
                    running.ShowPanel().waitForFinished();
                }
                return false;
            }
        }
    } else {
        qCWarning(dbusLog).noquote() << "no session bus:" << bus_.lastError().message()
                                     << "(the command line cannot reach this instance)";
    }
    return takeLock() != Lock::heldByAnother;
}

SingleInstance::Lock SingleInstance::takeLock() {
    QDir().mkpath(QFileInfo(lockPath_).absolutePath());
    lockFd_ =
        ::open(QFile::encodeName(lockPath_).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0)
        return Lock::unavailable;
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
        return Lock::held;
    const bool taken = errno == EWOULDBLOCK;
    ::close(lockFd_);
    lockFd_ = -1;
    return taken ? Lock::heldByAnother : Lock::unavailable;
}

} // namespace vornix::linux_platform
