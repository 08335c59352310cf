#pragma once

#include "app/settings_store.h"

#include <QString>

#include <memory>

class QSettings;

namespace vornix::linux_platform {

/// Settings in an INI file, by default `$XDG_CONFIG_HOME/vornix/vornix.conf`. Qt writes it
/// through a temporary file and a rename, so a crash never leaves half a file.
class QtSettingsStore final : public SettingsStore {
public:
    explicit QtSettingsStore(const QString& filePath = defaultPath());
    ~QtSettingsStore() override;

    static QString defaultPath();

    std::optional<double> readDouble(std::string_view key) const override;
    std::optional<std::vector<std::string>> readStringArray(std::string_view key) const override;
    void writeDouble(std::string_view key, double value) override;
    void writeStringArray(std::string_view key, const std::vector<std::string>& value) override;

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace vornix::linux_platform
