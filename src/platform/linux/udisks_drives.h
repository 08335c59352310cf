#pragma once

#include "app/drive_health.h"
#include "engine/engine_ports.h"
#include "platform/linux/dbus_power_signals.h"

#include <QDBusConnection>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <map>
#include <optional>
#include <string>

class QDBusMessage;
class QDBusServiceWatcher;

namespace vornix::linux_platform {

/// The drives as udisks2 knows them, on the system bus. Its objects are read once with
/// GetManagedObjects and then kept current from InterfacesAdded, InterfacesRemoved and
/// PropertiesChanged, all on the main thread, so that finding a volume's drive costs no call.
/// A block device is found by its number (Block.DeviceNumber), never by a path made from its
/// kernel name. udisks2 leaving the bus forgets everything; coming back, it is read again.
///
/// The one call per ping, Drive.Ata.PmGetState, is made on the worker thread that asks,
/// blocking on the connection for at most `powerStateTimeoutMs`; it is made without a password
/// dialog, and never for a drive whose disk the kernel has suspended (the command would resume
/// it). udisks2 then asks the drive with ATA CHECK POWER MODE, which wakes nothing.
class UDisksDrives final : public QObject, public DrivePowerPort, public DriveHealthPort {
    Q_OBJECT
public:
    struct Options {
        int powerStateTimeoutMs = 3000;
        std::string sysfsRoot = "/sys";
    };

    /// Without a connected bus nothing is known, and every drive reads as unknown.
    explicit UDisksDrives(QDBusConnection systemBus);
    UDisksDrives(QDBusConnection systemBus, Options options);

    std::optional<PowerStateQuery> powerStateQuery(DeviceNumber device) const override;
    std::optional<DriveHealth> health(DeviceNumber device) const override;
    Subscription onHealthChanged(std::function<void()> handler) override;

    /// What ATA CHECK POWER MODE's count field says: standby for 0x00, 0x01 and 0x40, active for
    /// 0x41, 0x80 to 0x83 and 0xff, unknown for anything else.
    static DrivePowerState powerStateOfAtaValue(unsigned value);

private Q_SLOTS:
    void interfacesAdded(const QDBusMessage& message);
    void interfacesRemoved(const QDBusMessage& message);
    void propertiesChanged(const QDBusMessage& message);

private:
    using Interfaces = QMap<QString, QVariantMap>; // properties by interface
    struct Drive {
        QString path;
        std::optional<DeviceNumber> disk; // the whole disk's block device
    };

    void readAll();
    void add(const QString& path, const Interfaces& interfaces);
    void forgetAll();
    void changed();
    const QVariantMap* properties(const QString& path, const QString& interface) const;
    /// The drive of the block device `device`, through any encrypted layers.
    std::optional<Drive> driveOf(DeviceNumber device) const;

    QDBusConnection bus_;
    Options options_;
    std::map<QString, Interfaces> objects_;          // by object path
    std::map<DeviceNumber, QString> blocksByDevice_; // block objects by their device number
    std::uint64_t reads_ = 0;                        // GetManagedObjects calls made
    QDBusServiceWatcher* presence_ = nullptr;
    HandlerList<> handlers_;
};

} // namespace vornix::linux_platform
