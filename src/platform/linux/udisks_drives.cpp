#include "platform/linux/udisks_drives.h"

#include "platform/linux/diagnostics.h"
#include "platform/linux/file_descriptor.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

#include <sys/sysmacros.h>

namespace vornix::linux_platform {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString root = QStringLiteral("/org/freedesktop/UDisks2");
const QString objectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString partitionInterface = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString ataInterface = QStringLiteral("org.freedesktop.UDisks2.Drive.Ata");

/// An object path property, empty for none (udisks2 says "/").
QString objectPath(const QVariantMap& properties, const QString& name) {
    const QString path = properties.value(name).value<QDBusObjectPath>().path();
    return path == QLatin1String("/") ? QString() : path;
}

std::optional<DeviceNumber> deviceNumber(const QVariantMap& block) {
    bool ok = false;
    const auto number =
        static_cast<dev_t>(block.value(QStringLiteral("DeviceNumber")).toULongLong(&ok));
    if (!ok)
        return std::nullopt;
    return DeviceNumber{major(number), minor(number)};
}

bool flag(const QVariantMap& properties, const char* name) {
    return properties.value(QLatin1String(name)).toBool();
}

/// a{sa{sv}}: the interfaces of one object with their properties.
QMap<QString, QVariantMap> readInterfaces(const QDBusArgument& argument) {
    QMap<QString, QVariantMap> interfaces;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString name;
        QVariantMap properties;
        argument.beginMapEntry();
        argument >> name >> properties;
        argument.endMapEntry();
        interfaces.insert(name, properties);
    }
    argument.endMap();
    return interfaces;
}

/// The kernel suspends an idle disk's device on its own (runtime power management); any command,
/// a power-mode query included, would resume it.
bool suspended(const std::string& runtimeStatusFile) {
    const std::string status = readWholeFile(runtimeStatusFile).value_or(std::string());
    return status.starts_with("suspend"); // "suspended", or "suspending" on its way there
}

DrivePowerState askPowerState(const QDBusConnection& bus, const QString& drive,
                              const std::string& runtimeStatusFile, int timeoutMs) {
    if (suspended(runtimeStatusFile))
        return DrivePowerState::unknown;
    auto call =
        QDBusMessage::createMethodCall(service, drive, ataInterface, QStringLiteral("PmGetState"));
    call << QVariantMap{{QStringLiteral("auth.no_user_interaction"), true}};
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        qCDebug(drivesLog) << "no power state of" << drive << ":" << reply.errorMessage();
        return DrivePowerState::unknown;
    }
    bool ok = false;
    const unsigned value = reply.arguments().front().toUInt(&ok);
    return ok ? UDisksDrives::powerStateOfAtaValue(value) : DrivePowerState::unknown;
}

} // namespace

UDisksDrives::UDisksDrives(QDBusConnection systemBus) : UDisksDrives(std::move(systemBus), {}) {}

UDisksDrives::UDisksDrives(QDBusConnection systemBus, Options options)
    : bus_(std::move(systemBus)), options_(std::move(options)) {
    if (!bus_.isConnected())
        return;
    bus_.connect(service, root, objectManager, QStringLiteral("InterfacesAdded"), this,
                 SLOT(interfacesAdded(QDBusMessage)));
    bus_.connect(service, root, objectManager, QStringLiteral("InterfacesRemoved"), this,
                 SLOT(interfacesRemoved(QDBusMessage)));
    // Any object's: the path says whose.
    bus_.connect(service, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(propertiesChanged(QDBusMessage)));
    presence_ = new QDBusServiceWatcher(service, bus_,
                                        QDBusServiceWatcher::WatchForRegistration |
                                            QDBusServiceWatcher::WatchForUnregistration,
                                        this);
    connect(presence_, &QDBusServiceWatcher::serviceRegistered, this, [this] { readAll(); });
    connect(presence_, &QDBusServiceWatcher::serviceUnregistered, this, [this] { forgetAll(); });
    readAll();
}

DrivePowerState UDisksDrives::powerStateOfAtaValue(unsigned value) {
    switch (value) {
    case 0x00:
    case 0x01:
    case 0x40:
        return DrivePowerState::standby;
    case 0x41:
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x83:
    case 0xff:
        return DrivePowerState::active;
    default:
        return DrivePowerState::unknown;
    }
}

void UDisksDrives::readAll() {
    auto call = QDBusMessage::createMethodCall(service, root, objectManager,
                                               QStringLiteral("GetManagedObjects"));
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    const auto read = ++reads_;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, read](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusMessage reply = finished->reply();
                // Only the latest read counts: udisks2 may have come back meanwhile.
                if (read != reads_ || reply.type() != QDBusMessage::ReplyMessage ||
                    reply.arguments().size() != 1)
                    return;
                objects_.clear();
                blocksByDevice_.clear();
                const auto all = reply.arguments().front().value<QDBusArgument>();
                all.beginMap();
                while (!all.atEnd()) {
                    QDBusObjectPath path;
                    all.beginMapEntry();
                    all >> path;
                    add(path.path(), readInterfaces(all));
                    all.endMapEntry();
                }
                all.endMap();
                qCDebug(drivesLog) << "udisks2 knows" << objects_.size() << "objects";
                changed();
            });
}

void UDisksDrives::forgetAll() {
    ++reads_; // an answer still on its way is from the udisks2 that left
    objects_.clear();
    blocksByDevice_.clear();
    changed();
}

void UDisksDrives::changed() {
    handlers_.call();
}

void UDisksDrives::interfacesAdded(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() != 2)
        return;
    add(arguments[0].value<QDBusObjectPath>().path(),
        readInterfaces(arguments[1].value<QDBusArgument>()));
    changed();
}

void UDisksDrives::add(const QString& path, const Interfaces& interfaces) {
    for (auto it = interfaces.begin(); it != interfaces.end(); ++it)
        objects_[path][it.key()] = it.value();
    if (const auto device = deviceNumber(interfaces.value(blockInterface)))
        blocksByDevice_[*device] = path;
}

void UDisksDrives::interfacesRemoved(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() != 2)
        return;
    const QString path = arguments[0].value<QDBusObjectPath>().path();
    const auto object = objects_.find(path);
    if (object == objects_.end())
        return;
    for (const auto& name : arguments[1].toStringList()) {
        if (name == blockInterface)
            std::erase_if(blocksByDevice_, [&](const auto& entry) { return entry.second == path; });
        object->second.remove(name);
    }
    if (object->second.isEmpty())
        objects_.erase(object);
    changed();
}

void UDisksDrives::propertiesChanged(const QDBusMessage& message) {
    const auto arguments = message.arguments();
    if (arguments.size() < 2)
        return;
    const auto object = objects_.find(message.path());
    const QString interface = arguments[0].toString();
    if (object == objects_.end() || !object->second.contains(interface))
        return;
    const QVariantMap values = qdbus_cast<QVariantMap>(arguments[1]);
    QVariantMap& properties = object->second[interface];
    for (auto it = values.begin(); it != values.end(); ++it)
        properties.insert(it.key(), it.value());
    if (interface == blockInterface && values.contains(QStringLiteral("DeviceNumber"))) {
        std::erase_if(blocksByDevice_,
                      [&](const auto& entry) { return entry.second == message.path(); });
        if (const auto device = deviceNumber(properties))
            blocksByDevice_[*device] = message.path();
    }
    changed();
}

const QVariantMap* UDisksDrives::properties(const QString& path, const QString& interface) const {
    const auto object = objects_.find(path);
    if (object == objects_.end())
        return nullptr;
    const auto found = object->second.find(interface);
    return found == object->second.end() ? nullptr : &*found;
}

std::optional<UDisksDrives::Drive> UDisksDrives::driveOf(DeviceNumber device) const {
    const auto found = blocksByDevice_.find(device);
    if (found == blocksByDevice_.end())
        return std::nullopt;
    QString block = found->second;
    // An encrypted volume's cleartext device is on no drive itself: the device under it is.
    // Bounded: udisks2 never loops, but what it says is not ours to trust.
    for (int layer = 0; layer < 8; ++layer) {
        const QVariantMap* properties = this->properties(block, blockInterface);
        if (!properties)
            return std::nullopt;
        const QString backing = objectPath(*properties, QStringLiteral("CryptoBackingDevice"));
        if (!backing.isEmpty()) {
            block = backing;
            continue;
        }
        Drive drive{objectPath(*properties, QStringLiteral("Drive")), deviceNumber(*properties)};
        if (drive.path.isEmpty())
            return std::nullopt;
        if (const QVariantMap* partition = this->properties(block, partitionInterface)) {
            const QVariantMap* table =
                this->properties(objectPath(*partition, QStringLiteral("Table")), blockInterface);
            drive.disk = table ? deviceNumber(*table) : std::nullopt;
        }
        return drive;
    }
    return std::nullopt;
}

std::optional<PowerStateQuery> UDisksDrives::powerStateQuery(DeviceNumber device) const {
    const auto drive = driveOf(device);
    const QVariantMap* ata = drive ? properties(drive->path, ataInterface) : nullptr;
    if (!ata || !flag(*ata, "PmSupported") || !flag(*ata, "PmEnabled") || !drive->disk)
        return std::nullopt;
    const QVariantMap* facts = properties(drive->path, driveInterface);
    const std::string runtimeStatus =
        options_.sysfsRoot + "/dev/block/" + std::to_string(drive->disk->major) + ":" +
        std::to_string(drive->disk->minor) + "/device/power/runtime_status";
    return PowerStateQuery{
        [bus = bus_, path = drive->path, runtimeStatus, timeout = options_.powerStateTimeoutMs] {
            return askPowerState(bus, path, runtimeStatus, timeout);
        },
        !facts || facts->value(QStringLiteral("RotationRate"), -1).toInt() != 0};
}

std::optional<DriveHealth> UDisksDrives::health(DeviceNumber device) const {
    const auto drive = driveOf(device);
    if (!drive)
        return std::nullopt;
    const QVariantMap* ata = properties(drive->path, ataInterface);
    // The verdict means something only once SMART is on and its data has been read.
    const bool failing = ata && flag(*ata, "SmartSupported") && flag(*ata, "SmartEnabled") &&
                         ata->value(QStringLiteral("SmartUpdated")).toULongLong() > 0 &&
                         flag(*ata, "SmartFailing");
    return DriveHealth{drive->path.toStdString(), failing};
}

Subscription UDisksDrives::onHealthChanged(std::function<void()> handler) {
    return handlers_.add(std::move(handler));
}

} // namespace vornix::linux_platform
