#include "platform/linux/qt_settings_store.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <cmath>

namespace vornix::linux_platform {

namespace {
QString qKey(std::string_view key) {
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}
} // namespace

QtSettingsStore::QtSettingsStore(const QString& filePath)
    : settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

QtSettingsStore::~QtSettingsStore() = default;

QString QtSettingsStore::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vornix/vornix.conf");
}

std::optional<double> QtSettingsStore::readDouble(std::string_view key) const {
    const QVariant value = settings_->value(qKey(key));
    // A list, a group or anything else that is not a single scalar is not a number.
    const auto type = value.typeId();
    if (type != QMetaType::QString && type != QMetaType::Double && type != QMetaType::Int &&
        type != QMetaType::LongLong)
        return std::nullopt;
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return std::nullopt;
    return number;
}

std::optional<std::vector<std::string>>
QtSettingsStore::readStringArray(std::string_view key) const {
    const QVariant value = settings_->value(qKey(key));
    QStringList list;
    switch (value.typeId()) {
    case QMetaType::QStringList:
        list = value.toStringList();
        break;
    case QMetaType::QString:
        // The file format writes a list of one as a plain value.
        list = QStringList{value.toString()};
        break;
    default:
        // Missing, or a value of another kind (a hand-edited @Variant, a number): unusable.
        return std::nullopt;
    }
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(list.size()));
    for (const auto& item : list)
        out.push_back(item.toStdString());
    return out;
}

void QtSettingsStore::writeDouble(std::string_view key, double value) {
    settings_->setValue(qKey(key), value);
    settings_->sync();
}

void QtSettingsStore::writeStringArray(std::string_view key,
                                       const std::vector<std::string>& value) {
    QStringList list;
    for (const auto& item : value)
        list << QString::fromStdString(item);
    settings_->setValue(qKey(key), list);
    settings_->sync();
}

} // namespace vornix::linux_platform
