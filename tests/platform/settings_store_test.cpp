#include "platform/linux/qt_settings_store.h"

#include "qt_spin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using Ids = std::vector<std::string>;

struct SettingsFileTest : ::testing::Test {
    QTemporaryDir dir;
    QString folder() const { return dir.path() + "/vornix"; }
    QString path() const { return folder() + "/vornix.conf"; }
    void writeFile(const QByteArray& bytes) {
        QDir().mkpath(folder());
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    QByteArray readFile(const QString& name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void SetUp() override { vornix::testing::qtApp(); }
};

TEST_F(SettingsFileTest, UnusableFilesReadAsNothingAndCorruptOnesAreKeptAside) {
    const QByteArray big = "[General]\nkeepAliveInterval=90\n" + QByteArray(1 << 20, '#');
    const std::vector<std::tuple<const char*, QByteArray, bool>> cases{
        {"NaN", "[General]\nkeepAliveInterval=nan\nexcludedVolumeIDs=@Variant(\\0\\0\\0\\x7f)\n",
         false},
        {"infinity", "[General]\nkeepAliveInterval=-inf\n", false},
        {"list for a number", "[General]\nkeepAliveInterval=30, 60\n", false},
        {"group for both", "[keepAliveInterval]\nx=1\n[excludedVolumeIDs]\ny=2\n", false},
        {"truncated", "[General]\nkeepAliveInt", false},
        {"binary", QByteArray("\x00\xff\xfe[General\x00]\n\x01\x02=\x03\n", 18), true},
        {"larger than 1 MiB", big, true}};
    for (const auto& [name, bytes, corrupt] : cases) {
        writeFile(bytes);
        QFile::remove(path() + ".corrupt");
        QtSettingsStore store(path());
        EXPECT_EQ(store.readDouble("keepAliveInterval"), std::nullopt) << name;
        EXPECT_TRUE(store.readStringArray("excludedVolumeIDs").value_or(Ids{}).empty()) << name;
        EXPECT_EQ(readFile(path() + ".corrupt"), corrupt ? bytes : "<missing>") << name;
        EXPECT_EQ(store.writeDouble("keepAliveInterval", 60), std::nullopt) << name;
        EXPECT_EQ(QtSettingsStore(path()).readDouble("keepAliveInterval"), 60.0) << name;
    }
}

TEST_F(SettingsFileTest, ValuesWrittenByOneRunAreReadByTheNextAndNoTemporaryIsLeft) {
    for (const Ids& list : {Ids{}, Ids{"only-one"}, Ids{"1234-ABCD", "a, b", "q\"d", "ünï"}}) {
        {
            QtSettingsStore store(path());
            EXPECT_EQ(store.writeDouble("keepAliveInterval", 90), std::nullopt);
            EXPECT_EQ(store.writeStringArray("excludedVolumeIDs", list), std::nullopt);
        }
        QtSettingsStore fresh(path());
        EXPECT_EQ(fresh.readDouble("keepAliveInterval"), 90.0);
        EXPECT_EQ(fresh.readStringArray("excludedVolumeIDs").value_or(Ids{}), list);
    }
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden), QStringList{"vornix.conf"});
}

TEST_F(SettingsFileTest, WritesThatCannotReachTheDiskSayWhyAndAreRetried) {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "a private tmpfs needs root and a mount namespace";
    const QByteArray at = QFile::encodeName(folder()), conf = QFile::encodeName(path());
    const auto tmpfs = [&](unsigned long flags) {
        ASSERT_EQ(mount("tmpfs", at.constData(), "tmpfs", flags, "size=64k"), 0);
    };
    const std::vector<std::tuple<const char*, std::function<void()>, std::function<void()>>> cases{
        {"Read-only file system", [&] { tmpfs(MS_RDONLY); }, [&] { tmpfs(MS_REMOUNT); }},
        {"Is a directory", [&] { QDir().mkpath(path()); }, [&] { QDir().rmdir(path()); }},
        {"No space left on device",
         [&] {
             tmpfs(0);
             std::ofstream filler(at.toStdString() + "/filler");
             while (filler << std::string(4096, 'x') << std::flush) {
             }
         },
         [&] { QFile::remove(folder() + "/filler"); }}};
    for (const auto& [reason, block, unblock] : cases) {
        QDir().mkpath(folder());
        block();
        QtSettingsStore store(path());
        const auto failed = store.writeDouble("keepAliveInterval", 90);
        ASSERT_TRUE(failed.has_value()) << reason;
        EXPECT_EQ(failed->path, conf.toStdString());
        EXPECT_EQ(failed->reason, reason);
        unblock();
        EXPECT_EQ(store.writeStringArray("excludedVolumeIDs", {"A"}), std::nullopt) << reason;
        EXPECT_EQ(QtSettingsStore(path()).readDouble("keepAliveInterval"), 90.0) << reason;
        umount2(at.constData(), MNT_DETACH);
        QDir(folder()).removeRecursively();
    }
}

} // namespace
} // namespace vornix::linux_platform
