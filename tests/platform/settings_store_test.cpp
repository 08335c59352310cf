#include "platform/linux/qt_settings_store.h"

#include "qt_spin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vornix::linux_platform {
namespace {

struct SettingsFileTest : ::testing::Test {
    QTemporaryDir dir;
    QString path() const { return dir.path() + "/vornix/vornix.conf"; }
    void writeFile(const QByteArray& bytes) {
        QDir().mkpath(dir.path() + "/vornix");
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    void SetUp() override { vornix::testing::qtApp(); }
};

TEST_F(SettingsFileTest, HandWrittenUnusableValuesReadAsNothing) {
    struct Case {
        const char* name;
        QByteArray file;
    };
    const std::vector<Case> cases{
        {"NaN", "[General]\nkeepAliveInterval=nan\nexcludedVolumeIDs=@Variant(\\0\\0\\0\\x7f)\n"},
        {"infinity", "[General]\nkeepAliveInterval=inf\n"},
        {"negative infinity", "[General]\nkeepAliveInterval=-inf\n"},
        {"text", "[General]\nkeepAliveInterval=fast please\n"},
        {"list for a number", "[General]\nkeepAliveInterval=30, 60\n"},
        {"group for both", "[keepAliveInterval]\nx=1\n[excludedVolumeIDs]\ny=2\n"},
        {"truncated", "[General]\nkeepAliveInt"},
        {"binary", QByteArray("\x00\xff\xfe[General\x00]\n\x01\x02=\x03\n", 18)},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        writeFile(c.file);
        QtSettingsStore store(path());
        EXPECT_EQ(store.readDouble("keepAliveInterval"), std::nullopt) << c.name;
        const auto ids = store.readStringArray("excludedVolumeIDs");
        EXPECT_TRUE(!ids || ids->empty()) << c.name;
    }
}

TEST_F(SettingsFileTest, ValuesWrittenByOneRunAreReadByTheNext) {
    const std::vector<std::vector<std::string>> lists{
        {}, {"only-one"}, {"1234-ABCD", "path:/media/u/My, Disk", "quote\"d", "ünïcode"}};
    for (const auto& list : lists) {
        {
            QtSettingsStore store(path());
            store.writeDouble("keepAliveInterval", 90);
            store.writeStringArray("excludedVolumeIDs", list);
        }
        QtSettingsStore fresh(path());
        EXPECT_EQ(fresh.readDouble("keepAliveInterval"), 90.0);
        EXPECT_EQ(fresh.readStringArray("excludedVolumeIDs").value_or(std::vector<std::string>{}),
                  list);
    }
}

TEST_F(SettingsFileTest, ReadsPlainNumbersAndMissingKeys) {
    writeFile("[General]\nkeepAliveInterval=120\n");
    QtSettingsStore store(path());
    EXPECT_EQ(store.readDouble("keepAliveInterval"), 120.0);
    EXPECT_EQ(store.readStringArray("excludedVolumeIDs"), std::nullopt);
}

TEST_F(SettingsFileTest, AWriteReplacesTheFileWholeAndLeavesNoTemporaryBehind) {
    QtSettingsStore store(path());
    store.writeDouble("keepAliveInterval", 60);
    store.writeStringArray("excludedVolumeIDs", {"A"});
    const auto entries = QDir(dir.path() + "/vornix").entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(entries, QStringList{"vornix.conf"});
}

} // namespace
} // namespace vornix::linux_platform
