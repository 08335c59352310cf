#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace vornix::linux_platform {

/// One Vornix per user. The first instance owns the name `serviceName` on the session bus and
/// serves the adaptors of the object it is given (io.vornix.Vornix1, ShowPanel included) at
/// `objectPath`; a later start asks it over the bus to show its panel and leaves. A lock file
/// (flock) in the configuration folder holds the line where there is no session bus, and between
/// an instance with a bus and one without.
class SingleInstance {
public:
    static constexpr const char* serviceName = "io.vornix.Vornix";
    static constexpr const char* objectPath = "/io/vornix/Vornix";

    /// `exported` must outlive this object.
    SingleInstance(QDBusConnection bus, QString lockPath, QObject& exported);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    /// True when this process is the one instance; false when another one holds the line (it
    /// has then been asked to show its panel where the bus allows and `showRunning` is set).
    /// Where neither the bus nor the lock can be had, runs rather than not at all.
    bool claim(bool showRunning = true);

    /// `$XDG_CONFIG_HOME/vornix/vornix.lock`.
    static QString defaultLockPath();

private:
    enum class Lock { held, heldByAnother, unavailable };
    Lock takeLock();

    QDBusConnection bus_;
    QString lockPath_;
    QObject& exported_;
    int lockFd_ = -1;
    bool ownsName_ = false;
};

} // namespace vornix::linux_platform
