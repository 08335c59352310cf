// The ping write against real file systems made by the test: tmpfs, a loop-mounted ext4 image
// and the tests' FUSE file system, in a private mount namespace. Needs root; skips otherwise.

#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"

#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <regex>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using namespace vornix::testing;

const std::string pingName = "/.vornix_ping";

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

/// The file holds a timestamp of the present moment, maybe followed by what was there before.
void expectFreshStamp(const std::string& content, WallTime before, WallTime after) {
    ASSERT_GE(content.size(), 20u);
    const auto stamp = content.substr(0, 20);
    ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << stamp;
    EXPECT_GE(stamp, iso8601(before));
    EXPECT_LE(stamp, iso8601(after));
}

struct Scratch : ::testing::Test {
    std::unique_ptr<ScratchDir> scratch;
    void SetUp() override {
        if (const auto why = enterPrivateMountNamespace(); !why.empty())
            GTEST_SKIP() << why;
        scratch = std::make_unique<ScratchDir>();
        ASSERT_FALSE(scratch->path().empty());
    }
};

enum class Medium { tmpfs, ext4, fuse };

struct WriteOnMedium : Scratch, ::testing::WithParamInterface<Medium> {
    std::unique_ptr<TestFuse> fuse;

    /// Mounts a fresh medium at `dir`; empty when done, otherwise why the machine cannot.
    std::string mountMedium(const std::string& dir) {
        switch (GetParam()) {
        case Medium::tmpfs:
            return mountTmpfs(dir);
        case Medium::ext4:
            return mountExt4Image(scratch->path() + "/ext4.img", dir);
        case Medium::fuse:
            fuse = std::make_unique<TestFuse>(dir);
            return fuse->error();
        }
        return "unknown medium";
    }
};

TEST_P(WriteOnMedium, CreatesExactlyTheStampWithMode0644AndOverwritesOnlyItsBytes) {
    const auto volume = scratch->subdir("volume");
    if (const auto why = mountMedium(volume); !why.empty())
        GTEST_SKIP() << why;
    const auto file = volume + pingName;
    const mode_t oldMask = ::umask(0);
    auto before = std::chrono::system_clock::now();
    const auto created = writeAndFlush(file);
    ::umask(oldMask);
    EXPECT_EQ(created, PingResult::success());
    const auto content = readFile(file);
    EXPECT_EQ(content.size(), 20u); // no line end, no terminating zero
    expectFreshStamp(content, before, std::chrono::system_clock::now());
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const std::string tail = "|after-the-stamp-bytes-that-stay";
    writeFile(file, std::string(20, '#') + tail);
    before = std::chrono::system_clock::now();
    EXPECT_EQ(writeAndFlush(file), PingResult::success());
    const auto overwritten = readFile(file);
    expectFreshStamp(overwritten, before, std::chrono::system_clock::now());
    EXPECT_EQ(overwritten.substr(20), tail);
}

INSTANTIATE_TEST_SUITE_P(
    Media, WriteOnMedium, ::testing::Values(Medium::tmpfs, Medium::ext4, Medium::fuse),
    [](const auto& info) {
        return std::string(std::array{"tmpfs", "ext4", "fuse"}[static_cast<int>(info.param)]);
    });

/// Runs the write as user nobody on this thread only (the file-system uid is per thread, and
/// leaving uid 0 drops the capabilities that would bypass permissions).
PingResult writeAsNobody(const std::string& file) {
    PingResult result;
    std::thread([&] {
        ::setfsuid(65534);
        ::setfsgid(65534);
        result = writeAndFlush(file);
    }).join();
    return result;
}

TEST_F(Scratch, RefusalsWriteNothing) {
    using Dir = const std::string&;
    struct Row {
        const char* name;
        std::function<void(Dir)> prepare; // on a fresh tmpfs mounted at the directory
        PingResult expected;
        std::function<void(Dir)> check; // what must hold afterwards
        std::string file = pingName;    // below the directory
    };
    const auto loop = PingResult::failure("Too many levels of symbolic links");
    const auto noDevice = PingResult::failure("No such device or address");
    const std::string precious = "precious content\n";
    const auto nothing = [](Dir) {};
    const auto noPing = [](Dir dir) { EXPECT_FALSE(exists(dir + pingName)); };
    const auto fifo = [](Dir dir) { EXPECT_EQ(::mkfifo((dir + pingName).c_str(), 0644), 0); };
    const Row rows[] = {
        {"read-only mount", [](Dir dir) { EXPECT_EQ(remountReadOnly(dir), ""); },
         PingResult::readOnly(), noPing},
        {"read-only mount with the file",
         [&](Dir dir) {
             writeFile(dir + pingName, precious);
             EXPECT_EQ(remountReadOnly(dir), "");
         },
         PingResult::readOnly(), [&](Dir dir) { EXPECT_EQ(readFile(dir + pingName), precious); }},
        {"vanished directory", nothing, PingResult::volumeGone(), nothing, "/gone" + pingName},
        {"directory that is no longer a mount root", [](Dir dir) { unmount(dir); },
         PingResult::volumeGone(), noPing},
        {"symlink to a file",
         [&](Dir dir) {
             writeFile(dir + "/target", precious);
             EXPECT_EQ(::symlink((dir + "/target").c_str(), (dir + pingName).c_str()), 0);
         },
         loop, [&](Dir dir) { EXPECT_EQ(readFile(dir + "/target"), precious); }},
        {"dangling symlink",
         [](Dir dir) {
             EXPECT_EQ(::symlink((dir + "/nowhere").c_str(), (dir + pingName).c_str()), 0);
         },
         loop, [](Dir dir) { EXPECT_FALSE(exists(dir + "/nowhere")); }},
        {"FIFO without a reader", fifo, noDevice, nothing},
        {"FIFO with a reader", fifo, noDevice, nothing},
        {"device node",
         [](Dir dir) {
             EXPECT_EQ(::mknod((dir + pingName).c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
         },
         noDevice, nothing},
        {"directory in its place",
         [](Dir dir) { EXPECT_EQ(::mkdir((dir + pingName).c_str(), 0755), 0); },
         PingResult::failure("Is a directory"), nothing},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto dir = scratch->subdir("v" + std::to_string(index++));
        ASSERT_EQ(mountTmpfs(dir), "");
        row.prepare(dir);
        const auto file = dir + row.file;
        int reader = -1;
        if (std::string(row.name) == "FIFO with a reader")
            reader = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(writeAndFlush(file), row.expected);
        row.check(dir);
        if (reader >= 0) {
            char byte;
            EXPECT_LE(::read(reader, &byte, 1), 0); // nothing went into the pipe
            ::close(reader);
        }
        unmount(dir);
    }
}

TEST_F(Scratch, PermissionErrorCarriesTheSystemsText) {
    const auto dir = scratch->subdir("locked");
    ASSERT_EQ(mountTmpfs(dir, "size=64m,mode=0755"), "");
    EXPECT_EQ(writeAsNobody(dir + pingName), PingResult::failure("Permission denied"));
    EXPECT_FALSE(exists(dir + pingName));
}

TEST_F(Scratch, FreeBytesAreWhatTheUserMayWrite) {
    const auto big = scratch->subdir("big");
    const auto small = scratch->subdir("small");
    ASSERT_EQ(mountTmpfs(big, "size=64m"), "");
    ASSERT_EQ(mountTmpfs(small, "size=10m"), "");
    LinuxPingFileSystem fs;
    EXPECT_EQ(fs.freeBytes(big), 64 * 1024 * 1024);
    EXPECT_EQ(fs.freeBytes(small), 10 * 1024 * 1024);
    EXPECT_EQ(fs.freeBytes(scratch->path() + "/missing"), std::nullopt);
    EXPECT_EQ(fs.writer()(big + pingName), PingResult::success());
}

struct MisbehavingDrive : Scratch {
    std::unique_ptr<TestFuse> fuse;
    std::string file;
    void SetUp() override {
        Scratch::SetUp();
        if (IsSkipped())
            return;
        fuse = std::make_unique<TestFuse>(scratch->subdir("fuse"));
        if (!fuse->error().empty())
            GTEST_SKIP() << fuse->error();
        file = fuse->dir() + pingName;
    }
};

TEST_F(MisbehavingDrive, FaultsMapToResults) {
    struct Row {
        const char* command;
        PingResult expected;
        int fsyncs; // flush requests that reached the file system
    };
    const Row rows[] = {
        {"fsync-eopnotsupp", PingResult::success(), 1}, // the whole file system is synced
        {"fsync-eio", PingResult::failure("Input/output error"), 1},
        {"write-eio", PingResult::failure("Input/output error"), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        ASSERT_TRUE(fuse->command("normal"));
        const auto before = fuse->status();
        ASSERT_TRUE(before);
        ASSERT_TRUE(fuse->command(row.command));
        EXPECT_EQ(writeAndFlush(file), row.expected);
        const auto after = fuse->status();
        ASSERT_TRUE(after);
        EXPECT_EQ(after->fsyncs - before->fsyncs, row.fsyncs);
    }
}

} // namespace
} // namespace vornix::linux_platform
