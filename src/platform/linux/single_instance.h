#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace vornix {

/// One Vornix per user. The first instance owns the name `serviceName` on the session bus and
/// serves `interfaceName` at `objectPath`; a later start asks it over the bus to show its panel
/// and leaves. A lock file (flock) in the configuration folder holds the line where there is no
/// session bus, and between an instance with a bus and one without.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.vornix.Vornix1")
public:
    static constexpr const char* serviceName = "io.vornix.Vornix";
    static constexpr const char* objectPath = "/io/vornix/Vornix";
    static constexpr const char* interfaceName = "io.vornix.Vornix1";

    SingleInstance(QDBusConnection bus, QString lockPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    /// True when this process is the one instance; false when another one holds the line (it
    /// has then been asked to show its panel where the bus allows). Where neither the bus nor
    /// the lock can be had, runs rather than not at all.
    bool claim();

    /// `$XDG_CONFIG_HOME/vornix/vornix.lock`.
    static QString defaultLockPath();

public slots:
    /// Called over the bus by a second start.
    Q_SCRIPTABLE void ShowPanel();

signals:
    void showRequested();

private:
    enum class Lock { held, heldByAnother, unavailable };
    Lock takeLock();

    QDBusConnection bus_;
    QString lockPath_;
    int lockFd_ = -1;
    bool ownsName_ = false;
};

} // namespace vornix
