// The ping write against real file systems made by the test: tmpfs, a loop-mounted ext4 image
// and the tests' FUSE file system, in a private mount namespace. Needs root; skips otherwise.

#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
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

    /// A fresh mount of the medium; skips the test where the machine cannot make one.
    std::string mountMedium() {
        const auto dir = scratch->subdir("volume");
        std::string error;
        switch (GetParam()) {
        case Medium::tmpfs:
            error = mountTmpfs(dir);
            break;
        case Medium::ext4:
            error = mountExt4Image(scratch->path() + "/ext4.img", dir);
            break;
        case Medium::fuse:
            fuse = std::make_unique<TestFuse>(dir);
            error = fuse->error();
            break;
        }
        if (!error.empty())
            return {};
        return dir;
    }
};

TEST_P(WriteOnMedium, CreatesExactlyTheStampWithMode0644AndOverwritesOnlyItsBytes) {
    const auto volume = mountMedium();
    if (volume.empty())
        GTEST_SKIP() << "this medium cannot be mounted here";
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

std::string mediumName(const ::testing::TestParamInfo<Medium>& info) {
    switch (info.param) {
    case Medium::tmpfs:
        return "tmpfs";
    case Medium::ext4:
        return "ext4";
    case Medium::fuse:
        return "fuse";
    }
    return "unknown";
}

INSTANTIATE_TEST_SUITE_P(Media, WriteOnMedium,
                         ::testing::Values(Medium::tmpfs, Medium::ext4, Medium::fuse), mediumName);

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
    struct Row {
        const char* name;
        // Prepares a volume under `dir` and returns the ping file's path.
        std::function<std::string(const std::string& dir)> prepare;
        PingResult expected;
        // What must hold afterwards.
        std::function<void(const std::string& dir)> check;
    };
    const auto loop = PingResult::failure("Too many levels of symbolic links");
    const auto noDevice = PingResult::failure("No such device or address");
    const std::string precious = "precious content\n";
    const Row rows[] = {
        {"read-only mount",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir, "size=64m", true), "");
             return dir + pingName;
         },
         PingResult::readOnly(),
         [](const std::string& dir) { EXPECT_FALSE(exists(dir + pingName)); }},
        {"read-only mount with the file",
         [&](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             writeFile(dir + pingName, precious);
             EXPECT_EQ(remountReadOnly(dir), "");
             return dir + pingName;
         },
         PingResult::readOnly(),
         [&](const std::string& dir) { EXPECT_EQ(readFile(dir + pingName), precious); }},
        {"vanished directory", [](const std::string& dir) { return dir + "/gone" + pingName; },
         PingResult::volumeGone(), [](const std::string&) {}},
        {"directory that is no longer a mount root",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             unmount(dir);
             return dir + pingName;
         },
         PingResult::volumeGone(),
         [](const std::string& dir) { EXPECT_FALSE(exists(dir + pingName)); }},
        {"symlink to a file",
         [&](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             writeFile(dir + "/target", precious);
             EXPECT_EQ(::symlink((dir + "/target").c_str(), (dir + pingName).c_str()), 0);
             return dir + pingName;
         },
         loop, [&](const std::string& dir) { EXPECT_EQ(readFile(dir + "/target"), precious); }},
        {"dangling symlink",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             EXPECT_EQ(::symlink((dir + "/nowhere").c_str(), (dir + pingName).c_str()), 0);
             return dir + pingName;
         },
         loop, [](const std::string& dir) { EXPECT_FALSE(exists(dir + "/nowhere")); }},
        {"FIFO without a reader",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             EXPECT_EQ(::mkfifo((dir + pingName).c_str(), 0644), 0);
             return dir + pingName;
         },
         noDevice, [](const std::string&) {}},
        {"FIFO with a reader",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             EXPECT_EQ(::mkfifo((dir + pingName).c_str(), 0644), 0);
             return dir + pingName;
         },
         noDevice, [](const std::string&) {}},
        {"device node",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             EXPECT_EQ(::mknod((dir + pingName).c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
             return dir + pingName;
         },
         noDevice, [](const std::string&) {}},
        {"directory in its place",
         [](const std::string& dir) {
             EXPECT_EQ(mountTmpfs(dir), "");
             EXPECT_EQ(::mkdir((dir + pingName).c_str(), 0755), 0);
             return dir + pingName;
         },
         PingResult::failure("Is a directory"), [](const std::string&) {}},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto dir = scratch->subdir("v" + std::to_string(index++));
        const auto file = row.prepare(dir);
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

TEST_F(MisbehavingDrive, BlockedWriteReturnsOnlyOnceReleased) {
    ASSERT_TRUE(fuse->command("block-writes"));
    std::atomic<bool> returned{false};
    PingResult result;
    std::thread writer([&] {
        result = writeAndFlush(file);
        returned = true;
    });
    EXPECT_TRUE(waitFor([&] {
        const auto status = fuse->status();
        return status && status->blocked == 1;
    }));
    EXPECT_FALSE(returned);
    ASSERT_TRUE(fuse->command("release"));
    writer.join();
    EXPECT_EQ(result, PingResult::success());
    EXPECT_EQ(readFile(file).size(), 20u);
}

} // namespace
} // namespace vornix::linux_platform
