#include "ui/presentation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>

#include <chrono>

namespace vornix {

namespace {
QString tr(const char* text) {
    return QCoreApplication::translate("vornix::MenuBarView", text);
}
} // namespace

StatusLabel statusLabel(const WatchedVolume& volume) {
    switch (volume.status) {
    case VolumeStatus::active:
        return {tr("Active"), Tint::green};
    case VolumeStatus::idle:
        return volume.isCurrentlyMounted ? StatusLabel{tr("Idle"), Tint::secondary}
                                         : StatusLabel{tr("Disconnected"), Tint::secondary};
    case VolumeStatus::stalled:
        return {tr("Slow to respond"), Tint::orange};
    case VolumeStatus::readOnly:
        return {tr("Read-only \u2014 can't ping"), Tint::red};
    case VolumeStatus::full:
        return {tr("Nearly full \u2014 paused"), Tint::red};
    }
    return {};
}

Tint dotTint(LogEvent::Kind kind) {
    using K = LogEvent::Kind;
    switch (kind) {
    case K::unexpectedDisconnect:
    case K::pingFailed:
        return Tint::red;
    case K::pingStalled:
    case K::volumeReadOnly:
    case K::volumeFull:
        return Tint::orange;
    default:
        return Tint::green;
    }
}

QString eventLabelLine(const LogEvent& event) {
    const std::string_view text = label(event.kind);
    QString line = QCoreApplication::translate(
        "vornix::LogEvent",
        QByteArray(text.data(), static_cast<qsizetype>(text.size())).constData());
    if (event.volumeName)
        line += QStringLiteral(" \u2014 ") + QString::fromStdString(*event.volumeName);
    return line;
}

QString eventTimeText(const LogEvent& event) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(event.timestamp.time_since_epoch())
            .count();
    const QTime time = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().time();
    return QLocale::system().toString(time, QLocale::ShortFormat);
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
