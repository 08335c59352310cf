// Preloaded into the volume system tests only. libudev accepts a device directory only when
// fstatfs says it lies on sysfs; the tests fabricate device trees on a tmpfs mounted inside /sys
// in their own mount namespace, so a tmpfs below /sys is reported as sysfs here.

#include <dlfcn.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool isUnderSys(int fd) {
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return std::strncmp(path, "/sys/", 5) == 0;
}

template <class Buf> void disguise(int fd, Buf* buf) {
    if (buf->f_type == TMPFS_MAGIC && isUnderSys(fd))
        buf->f_type = SYSFS_MAGIC;
}

} // namespace

extern "C" int fstatfs64(int fd, struct statfs64* buf) noexcept {
    using Real = int (*)(int, struct statfs64*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fstatfs64"));
    const int result = real(fd, buf);
    if (result == 0)
        disguise(fd, buf);
    return result;
}

extern "C" int fstatfs(int fd, struct statfs* buf) noexcept {
    using Real = int (*)(int, struct statfs*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fstatfs"));
    const int result = real(fd, buf);
    if (result == 0)
        disguise(fd, buf);
    return result;
}
