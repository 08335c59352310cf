#include "ui/presentation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <chrono>

namespace vornix {

StatusLabel statusLabel(const WatchedVolume& volume) {
    switch (volume.status) {
    case VolumeStatus::active:
        return {QCoreApplication::translate("vornix::MenuBarView", "Active"), Tint::green};
    case VolumeStatus::idle:
        return volume.isCurrentlyMounted
                   ? StatusLabel{QCoreApplication::translate("vornix::MenuBarView", "Idle"),
                                 Tint::secondary}
                   : StatusLabel{QCoreApplication::translate("vornix::MenuBarView", "Disconnected"),
                                 Tint::secondary};
    case VolumeStatus::stalled:
        return {QCoreApplication::translate("vornix::MenuBarView", "Slow to respond"),
                Tint::orange};
    case VolumeStatus::readOnly:
        return {QCoreApplication::translate("vornix::MenuBarView", "Read-only \u2014 can't ping"),
                Tint::red};
    case VolumeStatus::full:
        return {QCoreApplication::translate("vornix::MenuBarView", "Nearly full \u2014 paused"),
                Tint::red};
    case VolumeStatus::failed:
        return {QCoreApplication::translate("vornix::MenuBarView", "Ping failed"), Tint::red};
    }
    return {};
}

Tint toneTint(Tone tone) {
    switch (tone) {
    case Tone::ok:
        return Tint::green;
    case Tone::warning:
        return Tint::orange;
    case Tone::error:
        return Tint::red;
    }
    return Tint::secondary;
}

QString nameText(const std::string& name) {
    return QString::fromStdString(displayName(name));
}

QString eventLabelLine(const LogEvent& event) {
    const std::string_view text = label(event.kind);
    QString line = QCoreApplication::translate(
        "vornix::LogEvent",
        QByteArray(text.data(), static_cast<qsizetype>(text.size())).constData());
    if (event.volumeName)
        line += QStringLiteral(" \u2014 ") + nameText(*event.volumeName);
    return line;
}

QString eventTimeText(const LogEvent& event) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(event.timestamp.time_since_epoch())
            .count();
    const QTime time = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().time();
    const QLocale locale = QLocale::system();
    // Hours and minutes in the user's clock style; some locales' short format has seconds too.
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[.:]?s+")));
    return locale.toString(time, format.trimmed());
}

QString intervalText(double seconds) {
    return QString::number(static_cast<long long>(seconds)) + QStringLiteral("s");
}

QColor tintColor(Tint tint, const QPalette& palette) {
    switch (tint) {
    case Tint::green:
        return QColor(0x2f, 0xa8, 0x4f);
    case Tint::orange:
        return QColor(0xe8, 0x8a, 0x0c);
    case Tint::red:
        return QColor(0xdc, 0x35, 0x2f);
    case Tint::secondary:
        return palette.color(QPalette::PlaceholderText);
    }
    return {};
}

} // namespace vornix
