#include "scratch_mounts.h"

#include "wait_for.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::testing {

namespace {
std::string failed(const std::string& what, int result) {
    return result == 0 ? std::string() : what + ": " + std::strerror(errno);
}

bool isMountRoot(const std::string& dir) {
    struct statx info {};
    return ::statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) == 0 &&
           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}
} // namespace

std::string enterPrivateMountNamespace() {
    static const std::string outcome = []() -> std::string {
        if (::geteuid() != 0)
            return "needs root to mount file systems";
        const auto why = failed("no private mount namespace", ::unshare(CLONE_NEWNS));
        return !why.empty() ? why
                            : failed("cannot make mounts private",
                                     ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
    }();
    return outcome;
}

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/vornix-test-XXXXXX";
    if (::mkdtemp(pattern))
        mountTmpfs(path_ = pattern, "mode=0755");
}

ScratchDir::~ScratchDir() {
    if (path_.empty())
        return;
    ::umount2(path_.c_str(), MNT_DETACH); // and with it every mount below
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::subdir(const std::string& name) const {
    ::mkdir((path_ + "/" + name).c_str(), 0755);
    return path_ + "/" + name;
}

std::string mountTmpfs(const std::string& dir, const std::string& options) {
    return failed("tmpfs", ::mount("vornix-test", dir.c_str(), "tmpfs", 0, options.c_str()));
}

std::string mountExt4Image(const std::string& image, const std::string& dir) {
    const auto command = "truncate -s 64M '" + image +
                         "' && mkfs.ext4 -q -F -E nodiscard,lazy_itable_init=1 '" + image +
                         "' >/dev/null && mount -o loop '" + image + "' '" + dir + "'";
    return std::system(command.c_str()) == 0
               ? ""
               : "no ext4 on a loop device (mkfs.ext4 or loop devices missing?)";
}

void unmount(const std::string& dir, bool lazy) {
    ::umount2(dir.c_str(), lazy ? MNT_DETACH : 0);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

TestFuse::TestFuse(std::string dir, const std::string& image) : dir_(std::move(dir)) {
    const char* program = VORNIX_TEST_FUSEFS;
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        error_ = "no /dev/fuse";
    else if ((pid_ = ::fork()) == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
        const auto sh = "exec \"$0\" --block-device $(truncate -s16M $1; losetup -f --show $1) $2";
        if (image.empty())
            ::execl(program, program, dir_.c_str(), static_cast<char*>(nullptr));
        ::execl("/bin/sh", "sh", "-c", sh, program, image.c_str(), dir_.c_str(), nullptr);
        ::_exit(127);
    } else if (pid_ < 0) {
        error_ = failed("fork", -1);
    } else {
        bool exited = false;
        waitFor([&] {
            return (exited = ::waitpid(pid_, nullptr, WNOHANG) == pid_) || isMountRoot(dir_);
        });
        if (exited)
            pid_ = -1;
        if (exited || !isMountRoot(dir_))
            error_ = std::string("the FUSE test program did not mount: ") + program;
        else if (!image.empty()) // in use, so detached once the file system lets it go
            std::system(("losetup -d \"$(losetup -nO NAME -j '" + image + "')\"").c_str());
    }
}

TestFuse::~TestFuse() {
    if (pid_ <= 0)
        return;
    command("normal");
    ::kill(pid_, SIGTERM); // it unmounts itself on the way out
    if (!waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; })) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (isMountRoot(dir_))
        unmount(dir_, true);
}

bool TestFuse::command(const std::string& text) const {
    std::ofstream control(dir_ + "/.fusefs-control", std::ios::in | std::ios::out); // no O_CREAT
    return control && (control << text).flush();
}

std::optional<TestFuse::Status> TestFuse::status() const {
    Status s;
    if (std::sscanf(readFile(dir_ + "/.fusefs-control").c_str(), "blocked=%d", &s.blocked) != 1)
        return std::nullopt;
    return s;
}

} // namespace vornix::testing
