// vornix-test-fusefs: a small in-memory file system (flat: regular files in the root only) whose
// faults the tests control, for what only a misbehaving drive does.
//
//   vornix-test-fusefs [--block-device DEVICE] MOUNTPOINT
//
// It stays in the foreground until unmounted or sent SIGTERM. With --block-device (root only)
// it is mounted as "fuseblk" on that device, the way exfat-fuse and ntfs-3g mount a drive, so
// the mount table gives the device's numbers and the file system reads as that drive's; the
// device's contents are never read or written.
//
// It reports 2 GiB free. Control it through the file ".fusefs-control" in its root:
//   echo block-writes     > MOUNTPOINT/.fusefs-control   writes to files block until released
//   echo block-statfs     > MOUNTPOINT/.fusefs-control   statfs blocks until released
//   echo release          > MOUNTPOINT/.fusefs-control   blocked calls go on; no more blocking
//   echo write-eio        > MOUNTPOINT/.fusefs-control   writes answer EIO
//   echo write-enospc     > MOUNTPOINT/.fusefs-control   writes answer ENOSPC
//   echo fsync-eio        > MOUNTPOINT/.fusefs-control   fsync answers EIO
//   echo fsync-eopnotsupp > MOUNTPOINT/.fusefs-control   fsync answers EOPNOTSUPP
//   echo normal           > MOUNTPOINT/.fusefs-control   all of the above off, blocked calls go on
//   cat MOUNTPOINT/.fusefs-control    ->  "blocked=N writes=N fsyncs=N\n"
// (writes and fsyncs count the calls on files, answered or not; blocked counts calls waiting.)
// Several commands may be written at once, separated by white space. Run as root, or where
// the user may mount FUSE file systems.

#define FUSE_USE_VERSION 312
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace {

constexpr const char* controlName = "/.fusefs-control";

struct File {
    std::string data;
    mode_t mode = S_IFREG | 0644;
};

struct Filesystem {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, File> files; // by path, "/name"
    bool blockWrites = false;
    bool blockStatfs = false;
    int writeError = 0;
    int fsyncError = 0;
    unsigned long releaseGeneration = 0;
    unsigned long writes = 0;
    unsigned long fsyncs = 0;
    unsigned long blocked = 0;
};

Filesystem fs;

bool isControl(const char* path) {
    return std::strcmp(path, controlName) == 0;
}

std::string status() {
    return "blocked=" + std::to_string(fs.blocked) + " writes=" + std::to_string(fs.writes) +
           " fsyncs=" + std::to_string(fs.fsyncs) + "\n";
}

void releaseBlocked() {
    fs.blockWrites = fs.blockStatfs = false;
    ++fs.releaseGeneration;
    fs.released.notify_all();
}

int command(const std::string& text) {
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word == "block-writes")
            fs.blockWrites = true;
        else if (word == "release")
            releaseBlocked();
        else if (word == "block-statfs")
            fs.blockStatfs = true;
        else if (word == "write-eio")
            fs.writeError = EIO;
        else if (word == "write-enospc")
            fs.writeError = ENOSPC;
        else if (word == "fsync-eio")
            fs.fsyncError = EIO;
        else if (word == "fsync-eopnotsupp")
            fs.fsyncError = EOPNOTSUPP;
        else if (word == "normal") {
            fs.writeError = fs.fsyncError = 0;
            releaseBlocked();
        } else
            return -EINVAL;
    }
    return 0;
}

bool sessionEnded() {
    auto* context = fuse_get_context();
    return context && context->fuse && fuse_session_exited(fuse_get_session(context->fuse));
}

/// Blocks the calling request until released; false when the session ended meanwhile.
bool waitForRelease(std::unique_lock<std::mutex>& lock) {
    ++fs.blocked;
    const auto generation = fs.releaseGeneration;
    while (fs.releaseGeneration == generation && !sessionEnded())
        fs.released.wait_for(lock, std::chrono::milliseconds(100));
    --fs.blocked;
    return fs.releaseGeneration != generation;
}

void* onInit(fuse_conn_info*, fuse_config* config) {
    config->direct_io = 1; // every write reaches us, and the control file is never cached
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    return nullptr;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    *st = {};
    st->st_nlink = 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (isControl(path)) {
        st->st_mode = S_IFREG | 0666;
        return 0;
    }
    const auto found = fs.files.find(path);
    if (found == fs.files.end())
        return -ENOENT;
    st->st_mode = found->second.mode;
    st->st_size = static_cast<off_t>(found->second.data.size());
    return 0;
}

int onOpen(const char* path, fuse_file_info* info) {
    std::lock_guard lock(fs.mutex);
    if (isControl(path))
        return 0;
    const auto found = fs.files.find(path);
    if (found == fs.files.end())
        return -ENOENT;
    if (info->flags & O_TRUNC)
        found->second.data.clear();
    return 0;
}

int onCreate(const char* path, mode_t mode, fuse_file_info*) {
    if (std::strchr(path + 1, '/'))
        return -ENOENT; // flat
    std::lock_guard lock(fs.mutex);
    auto& file = fs.files[path];
    file.mode = S_IFREG | (mode & 07777);
    return 0;
}

int onRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    const std::string control = status();
    const auto found = fs.files.find(path);
    const std::string* data = isControl(path)           ? &control
                              : found != fs.files.end() ? &found->second.data
                                                        : nullptr;
    if (!data)
        return -ENOENT;
    if (offset >= static_cast<off_t>(data->size()))
        return 0;
    const auto count = std::min(size, data->size() - static_cast<size_t>(offset));
    std::memcpy(buffer, data->data() + offset, count);
    return static_cast<int>(count);
}

int onWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
    std::unique_lock lock(fs.mutex);
    if (isControl(path)) {
        const int error = command(std::string(buffer, size));
        return error ? error : static_cast<int>(size);
    }
    ++fs.writes;
    if (fs.blockWrites && !waitForRelease(lock))
        return -EIO;
    if (fs.writeError)
        return -fs.writeError;
    const auto found = fs.files.find(path);
    if (found == fs.files.end())
        return -ENOENT;
    auto& data = found->second.data;
    if (data.size() < static_cast<size_t>(offset) + size)
        data.resize(static_cast<size_t>(offset) + size);
    std::memcpy(data.data() + offset, buffer, size);
    return static_cast<int>(size);
}

int onTruncate(const char* path, off_t size, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    if (isControl(path))
        return 0;
    const auto found = fs.files.find(path);
    if (found == fs.files.end())
        return -ENOENT;
    found->second.data.resize(static_cast<size_t>(size));
    return 0;
}

int onFsync(const char* path, int, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    if (isControl(path))
        return 0;
    ++fs.fsyncs;
    return -fs.fsyncError;
}

int onStatfs(const char*, struct statvfs* info) {
    std::unique_lock lock(fs.mutex);
    if (fs.blockStatfs && !waitForRelease(lock))
        return -EIO;
    *info = {};
    info->f_bsize = 4096;
    info->f_frsize = 4096;
    info->f_blocks = 1UL << 20; // 4 GiB
    info->f_bfree = 1UL << 19;
    info->f_bavail = 1UL << 19;
    info->f_files = 1000;
    info->f_ffree = 1000;
    info->f_namemax = 255;
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    const char* device = nullptr;
    if (argc == 4 && std::strcmp(argv[1], "--block-device") == 0)
        device = argv[2];
    else if (argc != 2) {
        std::fprintf(stderr, "usage: %s [--block-device DEVICE] MOUNTPOINT\n", argv[0]);
        return 2;
    }
    const char* mountPoint = argv[argc - 1];
    fuse_operations ops{};
    ops.init = onInit;
    ops.getattr = onGetattr;
    ops.open = onOpen;
    ops.create = onCreate;
    ops.read = onRead;
    ops.write = onWrite;
    ops.truncate = onTruncate;
    ops.fsync = onFsync;
    ops.statfs = onStatfs;

    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, argv[0]);
    const std::string options =
        device ? std::string("-oblkdev,fsname=") + device + ",subtype=vornix-test"
               : std::string("-ofsname=vornix-test,subtype=vornix-test");
    fuse_opt_add_arg(&args, options.c_str());
    fuse* session = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!session)
        return 1;
    int status = 1;
    if (fuse_mount(session, mountPoint) == 0) {
        fuse_set_signal_handlers(fuse_get_session(session));
        // Multithreaded, so that a blocked write never holds up the control file.
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, 64);
        fuse_loop_mt(session, config); // ends on SIGTERM, SIGINT or unmounting
        status = 0;
        fuse_loop_cfg_destroy(config);
        fuse_remove_signal_handlers(fuse_get_session(session));
        fuse_unmount(session);
    }
    fuse_destroy(session);
    fuse_opt_free_args(&args);
    return status;
}
