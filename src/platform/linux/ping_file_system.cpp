#include "platform/linux/ping_file_system.h"

#include "platform/linux/diagnostics.h"
#include "platform/linux/file_descriptor.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <variant>

namespace vornix::linux_platform {

namespace {

PingResult failure(int error) {
    return PingResult::failure(systemErrorText(error));
}

/// Why the entry `info` describes is no ping file of ours, or none when it is one: a regular
/// file with a single link on the device `volume` of the mount root.
std::optional<std::string> refusal(const struct stat& info, dev_t volume) {
    const mode_t mode = info.st_mode;
    if (S_ISLNK(mode))
        return "ping path is a symbolic link";
    if (S_ISDIR(mode))
        return "ping path is a directory";
    if (S_ISFIFO(mode))
        return "ping path is a named pipe";
    if (S_ISSOCK(mode))
        return "ping path is a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "ping path is a device";
    if (!S_ISREG(mode))
        return "ping path is not a regular file";
    if (info.st_dev != volume)
        return "ping path is on another file system";
    if (info.st_nlink > 1)
        return "ping path is a hard link to another file";
    if (info.st_nlink == 0)
        return "ping path was removed while it was being written";
    return std::nullopt;
}

enum class MountRoot { yes, no, unknown };

MountRoot isMountRoot(int dirFd, int& error) {
    struct statx info {};
    if (::statx(dirFd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &info) != 0) {
        error = errno;
        return MountRoot::unknown;
    }
    if (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) ? MountRoot::yes : MountRoot::no;
    // Kernels before 5.8 do not say: a mount root lies on another device than its parent, or
    // is its own parent.
    struct stat self {
    }, parent{};
    if (::fstat(dirFd, &self) != 0 || ::fstatat(dirFd, "..", &parent, 0) != 0) {
        error = errno;
        return MountRoot::unknown;
    }
    const bool root = self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
    return root ? MountRoot::yes : MountRoot::no;
}

} // namespace

std::string iso8601(WallTime time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    const auto length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

namespace {

/// The mount root holding the ping file, opened as a path: the volume's own, or why not.
std::variant<FileDescriptor, PingResult> openMountRoot(const std::string& directory) {
    FileDescriptor dir(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir)
        return errno == ENOENT ? PingResult::volumeGone() : failure(errno);
    int error = 0;
    switch (isMountRoot(dir.get(), error)) {
    case MountRoot::no:
        return PingResult::volumeGone(); // unmounted: this is the file system underneath
    case MountRoot::unknown:
        return failure(error);
    case MountRoot::yes:
        break;
    }
    return dir;
}

/// The ping file, opened for writing in blocking mode: a regular file of the volume's own with a
/// single link, created if missing; anything else at its path is refused, saying what it is.
std::variant<FileDescriptor, PingResult> openOwnPingFile(const FileDescriptor& dir,
                                                         const std::string& name) {
    struct stat root {};
    if (::fstat(dir.get(), &root) != 0)
        return failure(errno);

    // Looked at before the open too: opening some devices has effects of its own.
    struct stat existing {};
    if (::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        if (auto why = refusal(existing, root.st_dev))
            return PingResult::failure(std::move(*why));

    // O_NONBLOCK: a FIFO put here since the look above must not hold the worker.
    FileDescriptor file(::openat(dir.get(), name.c_str(),
                                 O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!file) {
        const int error = errno;
        if (error == EROFS)
            return PingResult::readOnly();
        if (error == ENOENT)
            return PingResult::volumeGone();
        if (error == ELOOP || error == EISDIR || error == ENXIO) {
            struct stat there {};
            if (::fstatat(dir.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0)
                if (auto why = refusal(there, root.st_dev))
                    return PingResult::failure(std::move(*why));
        }
        return failure(error);
    }
    // Something may have been put in its place since the look above.
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0)
        return failure(errno);
    if (auto why = refusal(opened, root.st_dev))
        return PingResult::failure(std::move(*why));
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags == -1 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) == -1)
        return failure(errno);
    return file;
}

/// All of `stamp` at offset 0; none when written.
std::optional<PingResult> writeStamp(const FileDescriptor& file, const std::string& stamp) {
    std::size_t written = 0;
    while (written < stamp.size()) {
        const auto count = ::pwrite(file.get(), stamp.data() + written, stamp.size() - written,
                                    static_cast<off_t>(written));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return errno == EROFS ? PingResult::readOnly() : failure(errno);
        }
        if (count == 0)
            return failure(EIO); // no progress: never report half a timestamp as written
        written += static_cast<std::size_t>(count);
    }
    return std::nullopt;
}

/// The file's data to the medium: fsync, or the whole file system where one file cannot be
/// flushed alone.
PingResult flush(const FileDescriptor& file) {
    int flushed;
    do
        flushed = ::fsync(file.get());
    while (flushed != 0 && errno == EINTR);
    if (flushed == 0)
        return PingResult::success();
    if (errno != EINVAL && errno != EOPNOTSUPP)
        return failure(errno);
    if (::syncfs(file.get()) != 0)
        return failure(errno);
    return PingResult::success();
}

} // namespace

PingResult writeAndFlush(const std::string& pingFilePath) {
    const std::string stamp = iso8601(std::chrono::system_clock::now());
    if (stamp.size() != 20)
        return failure(EOVERFLOW);

    const auto slash = pingFilePath.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : pingFilePath.substr(0, slash));
    const std::string name =
        slash == std::string::npos ? pingFilePath : pingFilePath.substr(slash + 1);

    auto dir = openMountRoot(directory);
    if (auto* refused = std::get_if<PingResult>(&dir))
        return std::move(*refused);
    auto file = openOwnPingFile(std::get<FileDescriptor>(dir), name);
    if (auto* refused = std::get_if<PingResult>(&file))
        return std::move(*refused);
    if (auto refused = writeStamp(std::get<FileDescriptor>(file), stamp))
        return std::move(*refused);
    return flush(std::get<FileDescriptor>(file));
}

std::optional<std::int64_t> availableBytes(const std::string& mountPath) {
    struct statvfs info {};
    if (::statvfs(mountPath.c_str(), &info) != 0)
        return std::nullopt;
    constexpr auto most = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    const auto blocks = static_cast<unsigned long long>(info.f_bavail);
    const auto size = static_cast<unsigned long long>(info.f_frsize);
    if (size != 0 && blocks > most / size)
        return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(blocks * size);
}

} // namespace vornix::linux_platform
