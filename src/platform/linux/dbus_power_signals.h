#pragma once

#include "app/system_power_ports.h"

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QDBusServiceWatcher;

namespace vornix::linux_platform {

/// Handlers by subscription, ended by their Subscription even after the owner is gone.
template <class... Args> class HandlerList {
public:
    Subscription add(std::function<void(Args...)> handler) {
        const auto key = next_++;
        handlers_->emplace(key, std::move(handler));
        std::weak_ptr<Map> weak = handlers_;
        return Subscription([weak, key] {
            if (auto handlers = weak.lock())
                handlers->erase(key);
        });
    }
    void call(Args... args) const {
        const auto keep = handlers_; // a handler may end its own or another subscription
        for (const auto& [key, handler] : Map(*keep))
            if (keep->contains(key))
                handler(args...);
    }

private:
    using Map = std::map<std::uint64_t, std::function<void(Args...)>>;
    std::shared_ptr<Map> handlers_ = std::make_shared<Map>();
    std::uint64_t next_ = 0;
};

/// logind's PrepareForSleep on the system bus, taken only from the owner of
/// org.freedesktop.login1. A disconnected bus never reports.
class LogindSleepSignal final : public QObject, public SleepSignal {
    Q_OBJECT
public:
    explicit LogindSleepSignal(QDBusConnection systemBus);
    Subscription onPrepareForSleep(std::function<void(bool)> handler) override;

private Q_SLOTS:
    void prepareForSleep(bool start);

private:
    QDBusConnection bus_;
    HandlerList<bool> handlers_;
};

/// UPower's OnBattery on the system bus: read once asynchronously (nothing blocks), then
/// followed through PropertiesChanged. UPower leaving the bus counts as mains power; when it
/// comes back it is asked again.
class UPowerSupply final : public QObject, public PowerSupply {
    Q_OBJECT
public:
    explicit UPowerSupply(QDBusConnection systemBus, int timeoutMs = 3000);
    bool onBattery() const override { return onBattery_; }
    Subscription onBatteryChanged(std::function<void(bool)> handler) override;

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void ask();
    void set(bool onBattery);

    QDBusConnection bus_;
    int timeoutMs_;
    bool onBattery_ = false;
    std::uint64_t changes_ = 0; // OnBattery changes signalled so far
    QDBusServiceWatcher* presence_ = nullptr;
    HandlerList<bool> handlers_;
};

} // namespace vornix::linux_platform
