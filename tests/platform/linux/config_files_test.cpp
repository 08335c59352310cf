// The files Vornix keeps in the user's configuration folder: its settings and its autostart entry.

#include "platform/linux/qt_settings_store.h"
#include "platform/linux/xdg_autostart_entry.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using Ids = std::vector<std::string>;

struct SettingsFileTest : ::testing::Test {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/vornix", path = folder + "/vornix.conf";
    static bool write(const QString& name, const QByteArray& bytes) {
        QFile file(name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
};

TEST_F(SettingsFileTest, UnusableFilesReadAsNothingCorruptOnesAreKeptAsideAndWritesLast) {
    const std::vector<std::pair<QByteArray, bool>> cases{
        {"[General]\nkeepAliveInterval=nan\nexcludedVolumeIDs=@Variant(\\0\\0\\0\\x7f)\n", false},
        {"[keepAliveInterval]\nx=1\n[excludedVolumeIDs]\ny=2\n", false},
        {"[General]\nkeepAliveInt", false},
        {QByteArray("\x00\xff\xfe[General\x00]\n\x01\x02=\x03\n", 18), true},
        {"[General]\nkeepAliveInterval=90\n" + QByteArray(1 << 20, '#'), true}};
    QDir().mkpath(folder);
    Ids list{"1234-ABCD", "a, b", "q\"d", "ünï"};
    for (const auto& [bytes, corrupt] : cases) {
        ASSERT_TRUE(write(path, bytes));
        QFile::remove(path + ".corrupt");
        QtSettingsStore store(path);
        EXPECT_EQ(store.readDouble("keepAliveInterval"), std::nullopt) << bytes.left(40).data();
        QFile aside(path + ".corrupt");
        EXPECT_EQ(aside.open(QIODevice::ReadOnly) ? aside.readAll() : "", corrupt ? bytes : "");
        EXPECT_EQ(store.writeDouble("keepAliveInterval", 60), std::nullopt);
        EXPECT_EQ(store.writeStringArray("excludedVolumeIDs", list), std::nullopt);
        EXPECT_EQ(QtSettingsStore(path).readDouble("keepAliveInterval"), 60.0);
        EXPECT_EQ(QtSettingsStore(path).readStringArray("excludedVolumeIDs"), list);
        EXPECT_EQ(store.writeBool("pauseOnBattery", corrupt), std::nullopt);
        EXPECT_EQ(QtSettingsStore(path).readBool("pauseOnBattery"), corrupt);
        list.resize(list.size() / 2); // then one entry, then none: read back all the same
    }
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary
}

TEST_F(SettingsFileTest, WritesThatCannotReachTheDiskSayWhyAndAreRetried) {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "a private tmpfs needs root and a mount namespace";
    const QByteArray at = QFile::encodeName(folder);
    const auto tmpfs = [&](unsigned long flags) {
        return mount("tmpfs", at.constData(), "tmpfs", flags, "size=64k") == 0;
    };
    const std::vector<std::tuple<const char*, std::function<bool()>, std::function<bool()>>> cases{
        {"Read-only file system", [&] { return tmpfs(MS_RDONLY); },
         [&] { return tmpfs(MS_REMOUNT); }},
        {"Is a directory", [&] { return QDir().mkpath(path); }, [&] { return QDir().rmdir(path); }},
        {"No space left on device",
         [&] { return tmpfs(0) && !write(folder + "/filler", QByteArray(65 * 1024, 'x')); },
         [&] { return QFile::remove(folder + "/filler"); }}};
    for (const auto& [reason, block, unblock] : cases) {
        ASSERT_TRUE(QDir().mkpath(folder) && block()) << reason;
        QtSettingsStore store(path);
        const auto failed =
            store.writeDouble("keepAliveInterval", 90).value_or(SettingsWriteError{});
        EXPECT_EQ(failed.path + ": " + failed.reason, at.toStdString() + "/vornix.conf: " + reason);
        ASSERT_TRUE(unblock()) << reason;
        EXPECT_EQ(store.writeStringArray("excludedVolumeIDs", {"A"}), std::nullopt) << reason;
        EXPECT_EQ(QtSettingsStore(path).readDouble("keepAliveInterval"), 90.0) << reason;
        umount2(at.constData(), MNT_DETACH);
        QDir(folder).removeRecursively();
    }
}

namespace fs = std::filesystem;
using Status = AutostartStatus;

struct AutostartTest : ::testing::Test {
    std::string temp = fs::temp_directory_path() / ("vornix-autostart-" + std::to_string(getpid()));
    ~AutostartTest() override { fs::remove_all(temp); }
    std::string program(const std::string& name = "vornix") {
        fs::create_directories(temp + "/bin");
        std::ofstream(temp + "/bin/" + name) << "#!/bin/sh\n";
        fs::permissions(temp + "/bin/" + name, fs::perms(0755));
        return temp + "/bin/" + name;
    }
};

TEST_F(AutostartTest, EntriesStartExactlyTheProgramWhateverItsPath) {
    for (const std::string name : {"vornix", "My Vornix", "say \"hi\"", "cost$5", "back\\slash",
                                   "tick`s", "100%", "a;b&(c)|d", "Vörnix ✓"}) {
        XdgAutostartEntry item(VORNIX_APP_ID, program(name), temp);
        item.install();
        EXPECT_EQ(item.status(), Status::enabled) << name;
        const std::string validate = "desktop-file-validate '" + item.entryPath() + "'";
        EXPECT_TRUE(access("/usr/bin/desktop-file-validate", X_OK) != 0 || // Debian's
                    std::system(validate.c_str()) == 0)                    // desktop-file-utils
            << name;
        item.uninstall();
        EXPECT_NO_THROW(item.uninstall()) << "removing an absent entry is not an error";
        EXPECT_TRUE(fs::is_empty(temp + "/autostart")) << "temporary file left";
    }
}

TEST_F(AutostartTest, StatusReadsTheEntryAsTheDesktopWouldAndRefusalsTouchNothing) {
    const std::string exec = program(), entry = temp + "/autostart/" VORNIX_APP_ID ".desktop";
    const std::vector<std::pair<std::string, Status>> cases{
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=true\n", Status::enabled},
        {"Exec = " + exec + "\nHidden = true\n", Status::absent},
        {"Exec=" + exec + "\r\nHidden=true\r\n", Status::absent},
        {"Exec=" + exec + "\n[X]\nHidden=true\n", Status::enabled},
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=false\n", Status::disabled},
        {"Exec=/nonexistent/vornix\n", Status::programMissing},
        {"Exec=vornix --flag\n", Status::enabled}};
    fs::create_directories(temp + "/autostart");
    for (const auto& [text, status] : cases) {
        std::ofstream(entry) << "[Desktop Entry]\n" << text;
        EXPECT_EQ(XdgAutostartEntry(VORNIX_APP_ID, exec, temp).status(), status) << text;
    }
    // A path no desktop entry can express is refused with the system's words.
    try {
        XdgAutostartEntry(VORNIX_APP_ID, program("v\xff"), temp).install();
        ADD_FAILURE() << "no refusal";
    } catch (const AutostartError& refusal) {
        EXPECT_STREQ(refusal.what(), std::strerror(EILSEQ));
    }
    EXPECT_EQ(XdgAutostartEntry(VORNIX_APP_ID, exec, temp).status(), Status::enabled);
}

} // namespace
} // namespace vornix::linux_platform
