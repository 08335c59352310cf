#include "scratch_mounts.h"

#include "wait_for.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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
} // namespace

std::string enterPrivateMountNamespace() {
    static const std::string outcome = []() -> std::string {
        if (::geteuid() != 0)
            return "needs root to mount file systems";
        if (const auto why = failed("no private mount namespace", ::unshare(CLONE_NEWNS));
            !why.empty())
            return why;
        return failed("cannot make mounts private",
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

std::string mountTmpfs(const std::string& dir, const std::string& options, bool readOnly) {
    return failed("tmpfs", ::mount("vornix-test", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0,
                                   options.c_str()));
}

std::string remountReadOnly(const std::string& dir) {
    return failed("remount",
                  ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
}

std::string mountExt4Image(const std::string& image, const std::string& dir, int megabytes) {
    std::ofstream(image).close();
    if (const auto why = failed("image", ::truncate(image.c_str(), off_t{megabytes} << 20));
        !why.empty())
        return why;
    if (std::system(
            ("mkfs.ext4 -q -F -E nodiscard,lazy_itable_init=1 '" + image + "' >/dev/null 2>&1")
                .c_str()) != 0)
        return "mkfs.ext4 failed or is missing";
    if (std::system(("mount -o loop '" + image + "' '" + dir + "' 2>&1").c_str()) != 0)
        return "loop mount failed (no loop devices?)";
    return {};
}

void unmount(const std::string& dir, bool lazy) {
    ::umount2(dir.c_str(), lazy ? MNT_DETACH : 0);
}

bool isMountRoot(const std::string& dir) {
    struct statx info {};
    return ::statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) == 0 &&
           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

TestFuse::TestFuse(std::string dir) : dir_(std::move(dir)) {
    const char* program = VORNIX_TEST_FUSEFS;
    if (::access(program, X_OK) != 0)
        error_ = std::string("no FUSE test program at ") + program;
    else if (::access("/dev/fuse", R_OK | W_OK) != 0)
        error_ = "no /dev/fuse";
    else if ((pid_ = ::fork()) == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
        ::execl(program, program, dir_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    } else if (pid_ < 0) {
        error_ = failed("fork", -1);
    } else {
        bool exited = false;
        waitFor([&] {
            int status = 0;
            exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
            return exited || isMountRoot(dir_);
        });
        if (exited)
            pid_ = -1;
        if (exited || !isMountRoot(dir_))
            error_ = exited ? "the FUSE test program ended without mounting"
                            : "the FUSE file system did not appear";
    }
}

TestFuse::~TestFuse() {
    if (pid_ <= 0)
        return;
    command("normal");
    ::kill(pid_, SIGTERM); // it unmounts itself on the way out
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    if (isMountRoot(dir_))
        unmount(dir_, true);
}

bool TestFuse::command(const std::string& text) const {
    const int fd = ::open((dir_ + "/.fusefs-control").c_str(), O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        ::close(fd);
    return written;
}

std::optional<TestFuse::Status> TestFuse::status() const {
    Status s;
    if (std::sscanf(readFile(dir_ + "/.fusefs-control").c_str(), "blocked=%d writes=%d fsyncs=%d",
                    &s.blocked, &s.writes, &s.fsyncs) != 3)
        return std::nullopt;
    return s;
}

} // namespace vornix::testing
