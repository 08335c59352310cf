#include "platform/linux/qt_settings_store.h"

#include "platform/linux/diagnostics.h"
#include "platform/linux/file_descriptor.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vornix::linux_platform {

namespace {

QString qKey(std::string_view key) {
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}

/// Qt reports only that a write failed; the system's reason is found by doing what it did: a
/// new file in the same folder, written and flushed, then removed.
std::string whyNotWritable(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    struct stat st {};
    if (::stat(file.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return systemErrorText(EISDIR);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(folder.constData(), &st) != 0)
        return systemErrorText(errno);
    QByteArray probe = folder + "/.vornix-settings-XXXXXX";
    const FileDescriptor fd(::mkstemp(probe.data()));
    if (!fd)
        return systemErrorText(errno);
    static const std::array<char, 4096> block{};
    const bool written =
        ::write(fd.get(), block.data(), block.size()) == static_cast<ssize_t>(block.size()) &&
        ::fsync(fd.get()) == 0;
    const int error = errno;
    ::unlink(probe.constData());
    return written ? "the file could not be replaced" : systemErrorText(error);
}

/// Whether the file at `path` cannot be settings at all. Only a regular file is opened, so a
/// FIFO put there never blocks the start.
bool isCorrupt(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return false;
    if (info.size() > QtSettingsStore::maximumFileSize)
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.read(QtSettingsStore::maximumFileSize + 1).contains('\0'))
        return true;
    return QSettings(path, QSettings::IniFormat).status() == QSettings::FormatError;
}

/// Renames a corrupt file aside, never over an earlier one. Returns the error, if any.
std::optional<std::string> keepAside(const QString& path) {
    QString aside = path + QStringLiteral(".corrupt");
    for (int n = 1; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".%1.corrupt").arg(n);
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0)
        return systemErrorText(errno);
    return std::nullopt;
}

} // namespace

QtSettingsStore::QtSettingsStore(const QString& filePath) : path_(filePath) {
    if (isCorrupt(path_)) {
        if (auto error = keepAside(path_))
            blocked_ = "a damaged settings file could not be moved aside: " + *error;
        qCWarning(settingsLog).noquote()
            << path_
            << (blocked_ ? QString::fromStdString(*blocked_)
                         : QStringLiteral("is damaged: kept aside, defaults used"));
        return;
    }
    if (QFileInfo(path_).isFile())
        settings_ = std::make_unique<QSettings>(path_, QSettings::IniFormat);
}

QtSettingsStore::~QtSettingsStore() = default;

QString QtSettingsStore::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/vornix/vornix.conf");
}

std::optional<double> QtSettingsStore::readDouble(std::string_view key) const {
    if (!settings_)
        return std::nullopt;
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
    if (!settings_)
        return std::nullopt;
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

std::optional<bool> QtSettingsStore::readBool(std::string_view key) const {
    if (!settings_)
        return std::nullopt;
    const QVariant value = settings_->value(qKey(key));
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString().trimmed().toLower();
    if (text == QStringLiteral("true") || text == QStringLiteral("false"))
        return text == QStringLiteral("true");
    return std::nullopt;
}

std::optional<SettingsWriteError> QtSettingsStore::writeBool(std::string_view key, bool value) {
    written_[qKey(key)] = value;
    return save();
}

std::optional<SettingsWriteError> QtSettingsStore::writeDouble(std::string_view key, double value) {
    written_[qKey(key)] = value;
    return save();
}

std::optional<SettingsWriteError>
QtSettingsStore::writeStringArray(std::string_view key, const std::vector<std::string>& value) {
    QStringList list;
    for (const auto& item : value)
        list << QString::fromStdString(item);
    written_[qKey(key)] = list;
    return save();
}

std::optional<SettingsWriteError> QtSettingsStore::save() {
    if (blocked_)
        return SettingsWriteError{path_.toStdString(), *blocked_};
    // A fresh QSettings each time: its status keeps the first error it met, and a write that
    // failed once must be able to succeed on the retry.
    QSettings settings(path_, QSettings::IniFormat);
    for (const auto& [key, value] : written_)
        settings.setValue(key, value);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return std::nullopt;
    const std::string why = whyNotWritable(path_);
    qCWarning(settingsLog).noquote() << path_ << "not saved:" << QString::fromStdString(why);
    return SettingsWriteError{path_.toStdString(), why};
}

} // namespace vornix::linux_platform
