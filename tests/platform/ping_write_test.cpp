// The ping write against real file systems made by the test: tmpfs, a loop-mounted ext4 image
// and the tests' FUSE file system, in a private mount namespace. Needs root; skips otherwise.

#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using namespace vornix::testing;

TEST(PingWrite, WritesOnlyAFileOfItsOwnAndSaysWhyNot) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir scratch;
    const auto refused = [](const char* what) {
        return PingResult::failure(std::string("ping path is ") + what);
    };
    struct Row {
        const char* medium; // "tmpfs", "ext4", or a command to the FUSE file system
        const char* shell;  // run in the mount root; "data" must keep "precious"
        PingResult expected;
        const char* tail = ""; // what follows the stamp after a success
    };
    const Row rows[] = {
        {"tmpfs", "", PingResult::success()}, // created 0644 although the umask is 0
        {"ext4", "printf '####################tail' > .vornix_ping", PingResult::success(), "tail"},
        {"tmpfs", "ln data .vornix_ping", refused("a hard link to another file")},
        {"tmpfs", "ln -s data .vornix_ping", refused("a symbolic link")},
        {"tmpfs", "mkdir .vornix_ping", refused("a directory")},
        {"tmpfs", "mkfifo .vornix_ping", refused("a named pipe")},
        {"tmpfs", "mknod .vornix_ping c 1 3", refused("a device")},
        {"tmpfs", "touch .vornix_ping && mount --bind ../elsewhere .vornix_ping",
         refused("on another file system")},
        {"ext4", "touch .vornix_ping && chattr +i .vornix_ping",
         PingResult::failure("Operation not permitted")},
        {"tmpfs", "mount -o remount,ro .", PingResult::readOnly()},
        {"tmpfs", "umount -l \"$PWD\"", PingResult::volumeGone()},
        {"fsync-eopnotsupp", "", PingResult::success()}, // the whole file system is synced
        {"fsync-eio", "", PingResult::failure("Input/output error")},
        {"write-eio", "", PingResult::failure("Input/output error")},
        {"write-enospc", "", PingResult::failure("No space left on device")},
    };
    writeFile(scratch / "elsewhere", "precious");
    const mode_t oldMask = ::umask(0);
    int index = 0;
    for (const auto& [medium, shell, expected, tail] : rows) {
        SCOPED_TRACE(std::string(medium) + ": " + shell);
        const auto dir = scratch.subdir("v" + std::to_string(index++)),
                   file = dir + "/.vornix_ping";
        std::unique_ptr<TestFuse> fuse;
        if (medium == std::string("tmpfs") || medium == std::string("ext4")) {
            ASSERT_EQ(*medium == 't' ? mountTmpfs(dir) : mountExt4Image(dir + ".img", dir), "");
            writeFile(dir + "/data", "precious");
            ASSERT_EQ(std::system(("cd " + dir + "; " + shell).c_str()), 0);
        } else {
            fuse = std::make_unique<TestFuse>(dir);
            ASSERT_TRUE(fuse->error().empty() && fuse->command(medium)) << fuse->error();
        }
        EXPECT_EQ(writeAndFlush(file), expected) << writeAndFlush(file).message;
        struct stat st {};
        if (expected == PingResult::success()) {
            const auto content = readFile(file);
            EXPECT_TRUE(std::regex_match(content.substr(0, 20),
                                         std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
            EXPECT_EQ(content.substr(20), tail);
            EXPECT_TRUE(*shell || (::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644));
        }
        EXPECT_TRUE(::stat((dir + "/data").c_str(), &st) != 0 ||
                    readFile(dir + "/data") == "precious");
        if (!fuse)
            unmount(dir, true);
    }
    ::umask(oldMask);
    EXPECT_EQ(readFile(scratch / "elsewhere"), "precious");
}

} // namespace
} // namespace vornix::linux_platform
