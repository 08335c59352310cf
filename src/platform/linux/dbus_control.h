#pragma once

#include "app/app_state.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdio>
#include <string>
#include <vector>

namespace vornix::linux_platform {

/// The running program as scripts reach it on the session bus (tray and headless alike), served
/// at SingleInstance::objectPath under SingleInstance::interfaceName:
///
///   properties  KeepingAwake b, Interval d (seconds), Volumes aa{sv} (one map per volume: id,
///               name, status (its name), detail, watched, mounted, mountPath, device,
///               lastPing (ms since the epoch, 0 before the first))
///   methods     ShowPanel(), SetKeepingAwake(b), SetInterval(d), SetVolumeWatched(s id, b),
///               Subscribe() -> aa{sv} (the activity log so far, oldest first: kind, volume,
///               detail, time), Unsubscribe()
///   signals     Event(s kind label, s volume name, s detail, x ms since the epoch), one per
///               activity-log entry, sent to each subscribed connection; PropertiesChanged for
///               KeepingAwake and Interval, to all
///
/// Events are sent only to those that asked, until they unsubscribe or leave the bus: a signal
/// costs the main thread about as much as the rest of a ping, and every ping is an event.
/// Volumes are read on demand: a status change is announced by the Event that comes with it, so
/// a tick costs no copy of the list here. Main thread only.
class DBusControl : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.vornix.Vornix1")
    Q_PROPERTY(bool KeepingAwake READ keepingAwake)
    Q_PROPERTY(double Interval READ interval)
    Q_PROPERTY(QList<QVariantMap> Volumes READ volumes)
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
    /// The activity log, oldest first.
    QList<QVariantMap> events() const;

public Q_SLOTS:
    Q_SCRIPTABLE void ShowPanel();
    Q_SCRIPTABLE void SetKeepingAwake(bool on);
    /// Fails with io.vornix.Vornix1.Error.InvalidInterval for a value the interval rule refuses.
    Q_SCRIPTABLE void SetInterval(double seconds);
    /// Fails with io.vornix.Vornix1.Error.UnknownVolume for an id not in the list.
    Q_SCRIPTABLE void SetVolumeWatched(const QString& id, bool watched);
    Q_SCRIPTABLE QList<QVariantMap> Subscribe();
    Q_SCRIPTABLE void Unsubscribe();

Q_SIGNALS:
    void showRequested();
    /// Declared for introspection; sent by hand, to the subscribers alone.
    Q_SCRIPTABLE void Event(const QString& kind, const QString& volume, const QString& detail,
                            qlonglong time);

private:
    void announce(const char* property, const QVariant& value);
    void fail(const char* name, const QString& message);

    QDBusConnection bus_;
    QDBusServiceWatcher subscribers_; // their unique names; one leaving the bus is dropped
    AppState* state_ = nullptr;
    std::string lastEventId_;
    std::vector<Subscription> subscriptions_;
};

/// What a command line asks of the running instance.
enum class ControlCommand { status, statusJson, on, off, events };

/// Carries out `command` against the instance on the session bus, printing to `out` (the status,
/// or for `events` one line per event until the instance ends: time, kind, volume and detail,
/// tab-separated) and `err` (one line saying what went wrong). Returns the exit status: 0, or 1
/// when no instance runs, it did not answer or (for `events`) it ended. Needs a
/// QCoreApplication, whose event loop it runs for `events`.
int runControlCommand(ControlCommand command, std::FILE* out, std::FILE* err);

} // namespace vornix::linux_platform
