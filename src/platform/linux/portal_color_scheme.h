#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>

namespace vornix::linux_platform {

/// The desktop's light or dark preference as the XDG desktop portal gives it (color-scheme in
/// org.freedesktop.appearance), read at start without waiting and followed as it changes.
/// Version 1 of org.freedesktop.portal.Settings is enough: Read, which wraps the value in two
/// variants, and SettingChanged. Without a portal it stays `noPreference`.
class PortalColorScheme : public QObject {
    Q_OBJECT
public:
    /// The portal's own values.
    enum class Scheme { noPreference = 0, preferDark = 1, preferLight = 2 };

    explicit PortalColorScheme(QDBusConnection sessionBus, QObject* parent = nullptr);

    Scheme scheme() const { return scheme_; }

Q_SIGNALS:
    void changed(vornix::linux_platform::PortalColorScheme::Scheme scheme);

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void set(const QVariant& value);

    QDBusConnection bus_;
    Scheme scheme_ = Scheme::noPreference;
    int changes_ = 0;
};

} // namespace vornix::linux_platform
