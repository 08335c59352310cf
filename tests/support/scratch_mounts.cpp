#include "scratch_mounts.h"

#include "wait_for.h"

#include <cerrno>
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

std::string enterPrivateMountNamespace() {
    static const std::string outcome = []() -> std::string {
        if (::geteuid() != 0)
            return "needs root to mount file systems";
        if (::unshare(CLONE_NEWNS) != 0)
            return std::string("no private mount namespace: ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("cannot make mounts private: ") + std::strerror(errno);
        return {};
    }();
    return outcome;
}

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/vornix-test-XXXXXX";
    if (::mkdtemp(pattern)) {
        path_ = pattern;
        mountTmpfs(path_, "mode=0755");
    }
}

ScratchDir::~ScratchDir() {
    if (path_.empty())
        return;
    ::umount2(path_.c_str(), MNT_DETACH); // and with it every mount below
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::subdir(const std::string& name) const {
    const auto dir = path_ + "/" + name;
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

std::string mountTmpfs(const std::string& dir, const std::string& options, bool readOnly) {
    if (::mount("vornix-test", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) !=
        0)
        return std::string("tmpfs: ") + std::strerror(errno);
    return {};
}

std::string remountReadOnly(const std::string& dir) {
    if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return std::string("remount: ") + std::strerror(errno);
    return {};
}

std::string mountExt4Image(const std::string& image, const std::string& dir, int megabytes) {
    { std::ofstream create(image); }
    if (::truncate(image.c_str(), static_cast<off_t>(megabytes) * 1024 * 1024) != 0)
        return std::string("image: ") + std::strerror(errno);
    const std::string mkfs =
        "mkfs.ext4 -q -F -E nodiscard,lazy_itable_init=1 '" + image + "' >/dev/null 2>&1";
    if (std::system(mkfs.c_str()) != 0)
        return "mkfs.ext4 failed or is missing";
    const std::string mount = "mount -o loop '" + image + "' '" + dir + "' 2>&1";
    if (std::system(mount.c_str()) != 0)
        return "loop mount failed (no loop devices?)";
    return {};
}

void unmount(const std::string& dir, bool lazy) {
    ::umount2(dir.c_str(), lazy ? MNT_DETACH : 0);
}

bool isMountRoot(const std::string& dir) {
    struct statx info {};
    if (::statx(AT_FDCWD, dir.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) != 0)
        return false;
    return info.stx_attributes & STATX_ATTR_MOUNT_ROOT;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

TestFuse::TestFuse(std::string dir) : dir_(std::move(dir)) {
    const char* program = VORNIX_TEST_FUSEFS;
    if (::access(program, X_OK) != 0) {
        error_ = std::string("no FUSE test program at ") + program;
        return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        error_ = "no /dev/fuse";
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, STDOUT_FILENO);
        ::execl(program, program, dir_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return;
    }
    bool exited = false;
    const bool mounted = waitFor([&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited = true;
            return true;
        }
        return isMountRoot(dir_);
    });
    if (exited) {
        pid_ = -1;
        error_ = "the FUSE test program ended without mounting";
    } else if (!mounted) {
        error_ = "the FUSE file system did not appear";
    }
}

TestFuse::~TestFuse() {
    if (pid_ < 0)
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
    const std::string path = dir_ + "/.fusefs-control";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
}

std::optional<TestFuse::Status> TestFuse::status() const {
    const auto text = readFile(dir_ + "/.fusefs-control");
    Status status;
    if (std::sscanf(text.c_str(), "blocked=%d writes=%d fsyncs=%d", &status.blocked, &status.writes,
                    &status.fsyncs) != 3)
        return std::nullopt;
    return status;
}

} // namespace vornix::testing
