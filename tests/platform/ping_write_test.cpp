// The ping write against real file systems made by the test: tmpfs, a loop-mounted ext4 image
// and the tests' FUSE file system, in a private mount namespace. Needs root; skips otherwise.

#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <filesystem>
#include <regex>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace vornix::linux_platform {
namespace {

using namespace vornix::testing;
using Dir = const std::string&;
enum class Medium { tmpfs, ext4, fuse };

TEST(PingWrite, WritesOnlyAFileOfItsOwnAndSaysWhyNot) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir scratch;
    const std::string precious = "precious content\n", tail = "|bytes after the stamp stay";
    int reader = -1;
    const auto fifo = [&](bool withReader) {
        return [&, withReader](Dir dir) {
            ASSERT_EQ(::mkfifo((dir + "/.vornix_ping").c_str(), 0644), 0);
            if (withReader)
                reader = ::open((dir + "/.vornix_ping").c_str(), O_RDONLY | O_NONBLOCK);
        };
    };
    const auto refused = [](const char* what) {
        return PingResult::failure(std::string("ping path is ") + what);
    };
    struct Row {
        const char* name;
        Medium medium;
        std::function<void(Dir)> prepare;
        PingResult expected;
        std::string tail = {}; // a success leaves the stamp followed by this
    };
    const Row rows[] = {
        {"new file", Medium::tmpfs, [](Dir) {}, PingResult::success()},
        {"genuine file", Medium::ext4,
         [&](Dir dir) { writeFile(dir + "/.vornix_ping", std::string(20, '#') + tail); },
         PingResult::success(), tail},
        {"hard link", Medium::tmpfs,
         [&](Dir dir) {
             writeFile(dir + "/data", precious);
             ASSERT_EQ(::link((dir + "/data").c_str(), (dir + "/.vornix_ping").c_str()), 0);
         },
         refused("a hard link to another file")},
        {"symlink", Medium::tmpfs,
         [&](Dir dir) {
             writeFile(dir + "/data", precious);
             ASSERT_EQ(::symlink((dir + "/data").c_str(), (dir + "/.vornix_ping").c_str()), 0);
         },
         refused("a symbolic link")},
        {"directory", Medium::tmpfs,
         [](Dir dir) { ASSERT_EQ(::mkdir((dir + "/.vornix_ping").c_str(), 0755), 0); },
         refused("a directory")},
        {"FIFO", Medium::tmpfs, fifo(false), refused("a named pipe")},
        {"FIFO with a reader", Medium::tmpfs, fifo(true), refused("a named pipe")},
        {"device", Medium::tmpfs,
         [](Dir dir) {
             ASSERT_EQ(::mknod((dir + "/.vornix_ping").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         },
         refused("a device")},
        {"file of another file system mounted over it", Medium::tmpfs,
         [&](Dir dir) {
             writeFile(scratch / "elsewhere", precious);
             writeFile(dir + "/.vornix_ping", "");
             ASSERT_EQ(::mount((scratch / "elsewhere").c_str(), (dir + "/.vornix_ping").c_str(),
                               nullptr, MS_BIND, nullptr),
                       0);
         },
         refused("on another file system")},
        {"immutable file", Medium::ext4,
         [&](Dir dir) {
             writeFile(dir + "/.vornix_ping", precious);
             const int fd = ::open((dir + "/.vornix_ping").c_str(), O_RDONLY);
             int flags = 0;
             ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
             flags |= FS_IMMUTABLE_FL;
             ASSERT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
             ::close(fd);
         },
         PingResult::failure("Operation not permitted")},
        {"read-only mount", Medium::tmpfs, [](Dir dir) { ASSERT_EQ(remountReadOnly(dir), ""); },
         PingResult::readOnly()},
        {"unmounted", Medium::tmpfs, [](Dir dir) { unmount(dir); }, PingResult::volumeGone()},
        {"fsync-eopnotsupp", Medium::fuse, {}, PingResult::success()}, // syncfs instead
        {"fsync-eio", Medium::fuse, {}, PingResult::failure("Input/output error")},
        {"write-eio", Medium::fuse, {}, PingResult::failure("Input/output error")},
        {"write-enospc", Medium::fuse, {}, PingResult::failure("No space left on device")},
    };
    const mode_t oldMask = ::umask(0);
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto dir = scratch.subdir("v" + std::to_string(index++));
        std::unique_ptr<TestFuse> fuse;
        if (row.medium == Medium::fuse) {
            fuse = std::make_unique<TestFuse>(dir);
            ASSERT_EQ(fuse->error(), "");
            ASSERT_TRUE(fuse->command(row.name));
        } else {
            ASSERT_EQ(row.medium == Medium::tmpfs ? mountTmpfs(dir)
                                                  : mountExt4Image(dir + ".img", dir),
                      "");
            row.prepare(dir);
        }
        EXPECT_EQ(writeAndFlush(dir + "/.vornix_ping"), row.expected);
        if (row.expected == PingResult::success()) {
            const auto content = readFile(dir + "/.vornix_ping");
            EXPECT_TRUE(std::regex_match(content.substr(0, 20),
                                         std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
            EXPECT_EQ(content.substr(20), row.tail);
            struct stat st {};
            EXPECT_EQ(::stat((dir + "/.vornix_ping").c_str(), &st), 0);
            if (row.tail.empty()) {
                EXPECT_EQ(st.st_mode & 07777, 0644u);
            }
        }
        if (std::filesystem::exists(dir + "/data")) {
            EXPECT_EQ(readFile(dir + "/data"), precious);
        }
        char byte;
        EXPECT_LE(reader >= 0 ? ::read(reader, &byte, 1) : 0, 0); // nothing went into the pipe
        if (reader >= 0)
            ::close(std::exchange(reader, -1));
        if (!fuse)
            unmount(dir, true);
    }
    ::umask(oldMask);
    EXPECT_EQ(readFile(scratch / "elsewhere"), precious);
}

TEST(PingWrite, FreeSpaceIsWhatTheUserMayWrite) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir scratch;
    ASSERT_EQ(mountTmpfs(scratch.subdir("small"), "size=10m"), "");
    EXPECT_EQ(availableBytes(scratch / "small"), 10 * 1024 * 1024);
    EXPECT_EQ(availableBytes(scratch / "missing"), std::nullopt);
}

} // namespace
} // namespace vornix::linux_platform
