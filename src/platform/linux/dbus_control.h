#pragma once

#include "app/app_state.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <string>
#include <vector>

namespace vornix::linux_platform {

/// The running program as scripts reach it on the session bus (tray and headless alike): the
/// object behind the interface that data/io.vornix.Vornix1.xml describes, whose adaptor is
/// generated from that file. Register it at SingleInstance::objectPath with
/// QDBusConnection::ExportAdaptors.
///
/// Events are sent only to those that asked, until they unsubscribe or leave the bus: a signal
/// costs the main thread about as much as the rest of a ping, and every ping is an event.
/// Volumes are read on demand: a status change is announced by the Event that comes with it, so
/// a tick costs no copy of the list here. Main thread only.
class DBusControl : public QObject, protected QDBusContext {
    Q_OBJECT
    // Read by the adaptor by these names.
    Q_PROPERTY(bool KeepingAwake READ keepingAwake)
    Q_PROPERTY(double Interval READ interval)
    Q_PROPERTY(QList<QVariantMap> Volumes READ volumes)
    Q_PROPERTY(bool SleepPrevented READ sleepPrevented)
    Q_PROPERTY(QVariantMap SleepPrevention READ sleepPrevention)
public:
    explicit DBusControl(QDBusConnection bus);
    ~DBusControl() override;

    /// From here on the interface reads and acts on `state`, which must outlive this object
    /// (or the next attach). Until then the properties read as defaults and the methods do
    /// nothing.
    void attach(AppState& state);

    bool keepingAwake() const;
    double interval() const;
    QList<QVariantMap> volumes() const;
    bool sleepPrevented() const;
    QVariantMap sleepPrevention() const;
    /// The activity log, oldest first.
    QList<QVariantMap> events() const;

    // The interface's methods, called by the adaptor.
    void ShowPanel();
    void SetKeepingAwake(bool on);
    void SetInterval(double seconds);
    void SetVolumeWatched(const QString& id, bool watched);
    QList<QVariantMap> Subscribe();
    void Unsubscribe();

Q_SIGNALS:
    void showRequested();

private:
    void announce(const QVariantMap& changed);
    void fail(const char* name, const QString& message);
    /// Announces the sleep properties if they changed.
    void announceSleepPrevention();

    QDBusConnection bus_;
    QDBusServiceWatcher subscribers_; // their unique names; one leaving the bus is dropped
    AppState* state_ = nullptr;
    std::string lastEventId_;
    QVariantMap announcedPrevention_;
    std::vector<Subscription> subscriptions_;
};

} // namespace vornix::linux_platform
