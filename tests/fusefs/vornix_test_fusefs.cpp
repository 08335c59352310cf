// vornix-test-fusefs: a small in-memory file system (flat: regular files in the root only) whose
// faults the tests control, for what only a misbehaving drive does.
//
//   vornix-test-fusefs [--block-device DEVICE] MOUNTPOINT
//
// It stays in the foreground until unmounted or sent SIGTERM. With --block-device (root only)
// it is mounted as "fuseblk" on that device, the way exfat-fuse and ntfs-3g mount a drive, so
// the mount table gives the device's numbers and the file system reads as that drive's; the
// device is never read, and written only as "write-through" asks.
//
// It reports 2 GiB free. Control it through the file ".fusefs-control" in its root:
//   echo block-writes     > MOUNTPOINT/.fusefs-control   writes to files block until released
//   echo block-statfs     > MOUNTPOINT/.fusefs-control   statfs blocks until released
//   echo release          > MOUNTPOINT/.fusefs-control   blocked calls go on; no more blocking
//   echo write-eio        > MOUNTPOINT/.fusefs-control   writes answer EIO
//   echo write-enospc     > MOUNTPOINT/.fusefs-control   writes answer ENOSPC
//   echo fsync-eio        > MOUNTPOINT/.fusefs-control   fsync answers EIO
//   echo fsync-eopnotsupp > MOUNTPOINT/.fusefs-control   fsync answers EOPNOTSUPP
//   echo write-through    > MOUNTPOINT/.fusefs-control   each write also lands at the start of
//                                                        the block device, synced (--block-device)
//   echo normal           > MOUNTPOINT/.fusefs-control   all of the above off, blocked calls go on
//   cat MOUNTPOINT/.fusefs-control    ->  "blocked=N\n" (calls waiting to be released)
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

struct Filesystem {
    std::mutex mutex;
    std::condition_variable released;
    std::map<std::string, std::string> files; // contents by path, "/name"
    int blockWrites = 0, blockStatfs = 0, writeError = 0, fsyncError = 0, writeThrough = 0,
        device = -1; // the block device, open to write through to
    unsigned long releaseGeneration = 0, blocked = 0;
} fs;

bool isControl(const char* path) {
    return std::strcmp(path, "/.fusefs-control") == 0;
}

int command(const std::string& text) {
    const std::map<std::string, std::pair<int*, int>> settings{
        {"block-writes", {&fs.blockWrites, 1}},  {"block-statfs", {&fs.blockStatfs, 1}},
        {"write-eio", {&fs.writeError, EIO}},    {"write-enospc", {&fs.writeError, ENOSPC}},
        {"fsync-eio", {&fs.fsyncError, EIO}},    {"fsync-eopnotsupp", {&fs.fsyncError, EOPNOTSUPP}},
        {"write-through", {&fs.writeThrough, 1}}};
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (const auto set = settings.find(word); set != settings.end())
            *set->second.first = set->second.second;
        else if (word != "release" && word != "normal")
            return -EINVAL;
        else {
            if (word == "normal")
                fs.writeError = fs.fsyncError = fs.writeThrough = 0;
            fs.blockWrites = fs.blockStatfs = 0;
            ++fs.releaseGeneration;
            fs.released.notify_all();
        }
    }
    return 0;
}

/// Blocks the calling request until released; false when the session ended meanwhile.
bool waitForRelease(std::unique_lock<std::mutex>& lock) {
    auto* context = fuse_get_context();
    ++fs.blocked;
    for (const auto generation = fs.releaseGeneration; fs.releaseGeneration == generation;) {
        if (context && context->fuse && fuse_session_exited(fuse_get_session(context->fuse)))
            return --fs.blocked, false;
        fs.released.wait_for(lock, std::chrono::milliseconds(100));
    }
    return --fs.blocked, true;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    const bool root = std::strcmp(path, "/") == 0;
    const auto found = fs.files.find(path);
    if (!root && !isControl(path) && found == fs.files.end())
        return -ENOENT;
    *st = {};
    st->st_nlink = root ? 2 : 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_mode = root ? S_IFDIR | 0755 : isControl(path) ? S_IFREG | 0666 : S_IFREG | 0644;
    st->st_size = found == fs.files.end() ? 0 : off_t(found->second.size());
    return 0;
}

int onOpen(const char* path, fuse_file_info* info) {
    std::lock_guard lock(fs.mutex);
    const auto found = fs.files.find(path);
    if (found != fs.files.end() && (info->flags & O_TRUNC))
        found->second.clear();
    return found != fs.files.end() || isControl(path) ? 0 : -ENOENT;
}

int onCreate(const char* path, mode_t, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    return std::strchr(path + 1, '/') ? -ENOENT : (fs.files[path], 0); // flat
}

int onRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    const auto found = fs.files.find(path);
    const std::string data = isControl(path) ? "blocked=" + std::to_string(fs.blocked) + "\n"
                             : found != fs.files.end() ? found->second
                                                       : std::string();
    const auto from = std::min(data.size(), static_cast<size_t>(offset));
    const auto count = std::min(size, data.size() - from);
    std::memcpy(buffer, data.data() + from, count);
    return static_cast<int>(count);
}

int onWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
    std::unique_lock lock(fs.mutex);
    if (isControl(path)) {
        const int error = command(std::string(buffer, size));
        return error ? error : static_cast<int>(size);
    }
    if (fs.blockWrites && !waitForRelease(lock))
        return -EIO;
    const auto found = fs.files.find(path);
    if (fs.writeError || found == fs.files.end())
        return found == fs.files.end() ? -ENOENT : -fs.writeError;
    if (fs.writeThrough && (::pwrite(fs.device, buffer, std::min(size, size_t{512}), 0) < 0 ||
                            ::fdatasync(fs.device) != 0))
        return -EIO;
    auto& data = found->second;
    data.resize(std::max(data.size(), static_cast<size_t>(offset) + size));
    std::memcpy(data.data() + offset, buffer, size);
    return static_cast<int>(size);
}

int onFsync(const char* path, int, fuse_file_info*) {
    std::lock_guard lock(fs.mutex);
    return isControl(path) ? 0 : -fs.fsyncError;
}

int onStatfs(const char*, struct statvfs* info) {
    std::unique_lock lock(fs.mutex);
    if (fs.blockStatfs && !waitForRelease(lock))
        return -EIO;
    *info = {};
    info->f_bsize = info->f_frsize = 4096;
    info->f_blocks = 1UL << 20, info->f_bfree = info->f_bavail = 1UL << 19;
    info->f_files = info->f_ffree = 1000, info->f_namemax = 255;
    return 0; // 4 GiB, half of it free
}

void* onInit(fuse_conn_info*, fuse_config* config) {
    config->direct_io = 1; // every write reaches us, and the control file is never cached
    config->attr_timeout = config->entry_timeout = config->negative_timeout = 0;
    return nullptr;
}

} // namespace

int main(int argc, char* argv[]) {
    const bool onDevice = argc == 4 && std::strcmp(argv[1], "--block-device") == 0;
    if (argc != 2 && !onDevice)
        return std::fprintf(stderr, "usage: %s [--block-device DEVICE] MOUNTPOINT\n", argv[0]), 2;
    fs.device = onDevice ? ::open(argv[2], O_WRONLY | O_CLOEXEC) : -1;
    fuse_operations ops{};
    ops.getattr = onGetattr, ops.open = onOpen, ops.read = onRead, ops.write = onWrite;
    ops.statfs = onStatfs, ops.fsync = onFsync, ops.init = onInit, ops.create = onCreate;
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, argv[0]);
    const std::string name =
        onDevice ? std::string("blkdev,fsname=") + argv[2] : "fsname=vornix-test";
    fuse_opt_add_arg(&args, ("-o" + name + ",subtype=vornix-test").c_str());
    fuse* session = fuse_new(&args, &ops, sizeof ops, nullptr);
    int status = 1;
    if (session && fuse_mount(session, argv[argc - 1]) == 0) {
        fuse_set_signal_handlers(fuse_get_session(session));
        // Multithreaded, so that a blocked call never holds up the control file.
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, 64);
        fuse_loop_mt(session, config); // ends on SIGTERM, SIGINT or unmounting
        status = 0;
        fuse_loop_cfg_destroy(config);
        fuse_remove_signal_handlers(fuse_get_session(session));
        fuse_unmount(session);
    }
    if (session)
        fuse_destroy(session);
    fuse_opt_free_args(&args);
    return status;
}
