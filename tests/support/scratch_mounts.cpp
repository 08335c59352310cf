#include "scratch_mounts.h"

#include "wait_for.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vornix::testing {

namespace {

std::string errorText(int error) {
    return std::strerror(error);
}

/// Mount points at or below `dir`, deepest first.
std::vector<std::string> mountsBelow(const std::string& dir) {
    std::vector<std::string> found;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devices, root, point;
        fields >> id >> parent >> devices >> root >> point;
        if (point == dir || point.rfind(dir + "/", 0) == 0)
            found.push_back(point);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.size() > b.size(); });
    return found;
}

} // namespace

std::string enterPrivateMountNamespace() {
    static const std::string outcome = []() -> std::string {
        if (::geteuid() != 0)
            return "needs root to mount file systems";
        if (::unshare(CLONE_NEWNS) != 0)
            return "no private mount namespace: " + errorText(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "cannot make mounts private: " + errorText(errno);
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
    for (const auto& point : mountsBelow(path_))
        ::umount2(point.c_str(), MNT_DETACH);
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
        return "tmpfs: " + errorText(errno);
    return {};
}

std::string remountReadOnly(const std::string& dir) {
    if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return "remount: " + errorText(errno);
    return {};
}

std::string mountExt4Image(const std::string& image, const std::string& dir, int megabytes) {
    { std::ofstream create(image); }
    if (::truncate(image.c_str(), static_cast<off_t>(megabytes) * 1024 * 1024) != 0)
        return "image: " + errorText(errno);
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
        error_ = "fork: " + errorText(errno);
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
