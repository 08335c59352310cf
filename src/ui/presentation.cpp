#include "ui/presentation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vornix {

void translateUserTextsWithQt() {
    setTextTranslator([](const char* context, const char* sourceText) {
        return QCoreApplication::translate(context, sourceText).toStdString();
    });
}

namespace {

StatusLabel pingStatusLabel(const WatchedVolume& volume) {
    switch (volume.status) {
    case VolumeStatus::active:
        return {QCoreApplication::translate("vornix::Panel", "Active"), Tint::green};
    case VolumeStatus::idle:
        return volume.isCurrentlyMounted
                   ? StatusLabel{QCoreApplication::translate("vornix::Panel", "Idle"),
                                 Tint::secondary}
                   : StatusLabel{QCoreApplication::translate("vornix::Panel", "Disconnected"),
                                 Tint::secondary};
    case VolumeStatus::stalled:
        return {QCoreApplication::translate("vornix::Panel", "Slow to respond"), Tint::orange};
    case VolumeStatus::readOnly:
        return {QCoreApplication::translate("vornix::Panel", "Read-only \u2014 can't ping"),
                Tint::red};
    case VolumeStatus::full:
        return {QCoreApplication::translate("vornix::Panel", "Nearly full \u2014 paused"),
                Tint::red};
    case VolumeStatus::failed:
        return {QCoreApplication::translate("vornix::Panel", "Ping failed"), Tint::red};
    case VolumeStatus::notReaching:
        return {QCoreApplication::translate("vornix::Panel", "Not reaching the drive"),
                Tint::orange};
    case VolumeStatus::fellAsleep:
        return {QCoreApplication::translate("vornix::Panel", "Fell asleep"), Tint::red};
    }
    return {};
}

QString clockTime(WallTime time) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const QTime local = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().time();
    const QLocale locale = QLocale::system();
    // Hours and minutes in the user's clock style; some locales' short format has seconds too.
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[.:]?s+")));
    return locale.toString(local, format.trimmed());
}

} // namespace

QString powerText(const PowerReading& reading, bool withTime) {
    QString word;
    switch (reading.state) {
    case DrivePowerState::active:
        word = reading.rotates ? QCoreApplication::translate("vornix::Panel", "spinning")
                               : QCoreApplication::translate("vornix::Panel", "awake");
        break;
    case DrivePowerState::standby:
        word = reading.rotates ? QCoreApplication::translate("vornix::Panel", "standby")
                               : QCoreApplication::translate("vornix::Panel", "asleep");
        break;
    case DrivePowerState::unknown:
        return {};
    }
    return withTime ? QCoreApplication::translate("vornix::Panel", "%1 at %2")
                          .arg(word, clockTime(reading.at))
                    : word;
}

StatusLabel statusLabel(const WatchedVolume& volume, bool keepingAwake) {
    StatusLabel label = pingStatusLabel(volume);
    const QString separator = QStringLiteral(" · ");
    if (volume.isCurrentlyMounted && volume.power)
        if (const QString power = powerText(*volume.power, !keepingAwake); !power.isEmpty())
            label.text += separator + power;
    if (volume.driveFailing && volume.isCurrentlyMounted)
        label = {QCoreApplication::translate("vornix::Panel", "Drive failing") + separator +
                     label.text,
                 Tint::red};
    return label;
}

QString statusTooltip(const WatchedVolume& volume) {
    QString why;
    switch (volume.status) {
    case VolumeStatus::failed:
        why = QString::fromStdString(volume.statusDetail); // in the system's words
        break;
    case VolumeStatus::notReaching:
        why = QCoreApplication::translate(
            "vornix::Panel", "The drive may still spin down: its I/O counters did not move on the "
                             "last two pings, so the writes never reached it.");
        break;
    case VolumeStatus::fellAsleep:
        why = QCoreApplication::translate(
            "vornix::Panel", "The drive went to sleep between two pings although it was kept "
                             "awake. Choose a shorter ping interval; if it still falls asleep at "
                             "30 s, the drive's own firmware ignores the pings.");
        break;
    default:
        break;
    }
    if (volume.driveFailing && volume.isCurrentlyMounted) {
        const QString failing = QCoreApplication::translate(
            "vornix::Panel", "The drive's own health check (SMART) says it is failing: copy your "
                             "data off it and replace it.");
        why = why.isEmpty() ? failing : failing + QLatin1Char('\n') + why;
    }
    return why;
}

QString busText(std::optional<ConnectionBus> bus) {
    switch (bus.value_or(ConnectionBus::other)) {
    case ConnectionBus::usb:
        return QCoreApplication::translate("vornix::Panel", "USB");
    case ConnectionBus::thunderbolt:
        return QCoreApplication::translate("vornix::Panel", "Thunderbolt");
    case ConnectionBus::fireWire:
        return QCoreApplication::translate("vornix::Panel", "FireWire");
    case ConnectionBus::cardReader:
        return QCoreApplication::translate("vornix::Panel", "SD Card");
    case ConnectionBus::sata:
        return QCoreApplication::translate("vornix::Panel", "SATA");
    case ConnectionBus::nvme:
        return QCoreApplication::translate("vornix::Panel", "NVMe");
    case ConnectionBus::scsi:
        return QCoreApplication::translate("vornix::Panel", "SCSI");
    case ConnectionBus::virtio:
        return QCoreApplication::translate("vornix::Panel", "Virtio");
    case ConnectionBus::other:
        break;
    }
    return {};
}

TrayLook trayLook(bool keepingAwake, const std::vector<WatchedVolume>& volumes,
                  const std::vector<LogEvent>& newestFirst) {
    const bool pulled =
        !newestFirst.empty() && newestFirst.front().kind == LogEvent::Kind::unexpectedDisconnect;
    const bool failing = std::any_of(volumes.begin(), volumes.end(), [](const WatchedVolume& v) {
        return v.isWatched && v.isCurrentlyMounted &&
               (v.status == VolumeStatus::failed || v.status == VolumeStatus::stalled ||
                v.status == VolumeStatus::notReaching || v.status == VolumeStatus::fellAsleep ||
                v.driveFailing);
    });
    if (pulled || failing)
        return TrayLook::trouble;
    return keepingAwake ? TrayLook::awake : TrayLook::idle;
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
    return clockTime(event.timestamp);
}

QString intervalText(double seconds) {
    return QString::number(static_cast<long long>(seconds)) + QStringLiteral("s");
}

namespace {

QColor tone(Tint tint, const QPalette& palette) {
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

double luminance(const QColor& colour) {
    const auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

} // namespace

QColor tintColor(Tint tint, const QPalette& palette, const QColor& background) {
    return readableOn(tone(tint, palette), background);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor laidOver(const QColor& top, const QColor& ground) {
    const QColor a = top.toRgb();
    const QColor b = ground.toRgb();
    const auto mix = [alpha = a.alphaF()](float x, float y) { return x * alpha + y * (1 - alpha); };
    return QColor::fromRgbF(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()),
                            mix(a.blueF(), b.blueF()));
}

QColor readableOn(const QColor& tone, const QColor& background, double ratio) {
    // Black or white, whichever stands out more: at least sqrt(21):1, the most any colour gets.
    const QColor extreme =
        contrastRatio(Qt::black, background) >= contrastRatio(Qt::white, background)
            ? QColor(Qt::black)
            : QColor(Qt::white);
    // A translucent tone (Qt's placeholder text) is seen as what it makes of the background.
    const QColor from = laidOver(tone, background);
    constexpr int steps = 64;
    for (int i = 0; i < steps; ++i) {
        const double t = static_cast<double>(i) / steps;
        const auto mix = [t](double a, double b) { return a + (b - a) * t; };
        const QColor shade =
            QColor::fromRgbF(static_cast<float>(mix(from.redF(), extreme.redF())),
                             static_cast<float>(mix(from.greenF(), extreme.greenF())),
                             static_cast<float>(mix(from.blueF(), extreme.blueF())));
        if (contrastRatio(shade, background) >= ratio)
            return shade;
    }
    return extreme;
}

} // namespace vornix
