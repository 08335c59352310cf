#pragma once

#include "app/settings_store.h"

#include <QString>
#include <QVariant>

#include <map>
#include <memory>

class QSettings;

namespace vornix::linux_platform {

/// Settings in an INI file, by default `$XDG_CONFIG_HOME/vornix/vornix.conf`. Qt writes it
/// through a temporary file and a rename, so a crash never leaves half a file.
///
/// A file that cannot be settings (larger than `maximumFileSize`, holding NUL bytes, or one the
/// INI reader rejects) is renamed aside with a ".corrupt" suffix when the store opens, and the
/// store starts empty; if it cannot be moved, every write fails rather than overwrite it.
class QtSettingsStore final : public SettingsStore {
public:
    static constexpr qint64 maximumFileSize = 1024 * 1024;

    explicit QtSettingsStore(const QString& filePath = defaultPath());
    ~QtSettingsStore() override;

    static QString defaultPath();

    std::optional<double> readDouble(std::string_view key) const override;
    std::optional<std::vector<std::string>> readStringArray(std::string_view key) const override;
    /// "true" or "false" (as Qt writes them), in any case; nothing else reads as a choice.
    std::optional<bool> readBool(std::string_view key) const override;
    std::optional<SettingsWriteError> writeDouble(std::string_view key, double value) override;
    std::optional<SettingsWriteError> writeBool(std::string_view key, bool value) override;
    std::optional<SettingsWriteError>
    writeStringArray(std::string_view key, const std::vector<std::string>& value) override;

private:
    std::optional<SettingsWriteError> save();

    QString path_;
    std::unique_ptr<QSettings> settings_; // as read at start; none when nothing was readable
    std::map<QString, QVariant> written_; // every value written since start
    std::optional<std::string> blocked_;  // why nothing may be written
};

} // namespace vornix::linux_platform
