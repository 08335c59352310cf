// Preloaded into programs that run on the volume sandbox (tests/e2e/e2e_sandbox.py). libudev
// accepts a device directory only when fstatfs says it lies on sysfs; the sandbox fabricates
// device trees on a tmpfs mounted inside /sys in its own mount namespace, so a tmpfs below /sys
// is reported as sysfs here.

#include <dlfcn.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

template <class Buf> static int disguised(int fd, Buf* buf, const char* name) {
    using Real = int (*)(int, Buf*);
    const int result = reinterpret_cast<Real>(dlsym(RTLD_NEXT, name))(fd, buf);
    char link[64], path[16] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (result == 0 && buf->f_type == TMPFS_MAGIC && readlink(link, path, sizeof path - 1) > 0 &&
        std::strncmp(path, "/sys/", 5) == 0)
        buf->f_type = SYSFS_MAGIC;
    return result;
}

extern "C" int fstatfs64(int fd, struct statfs64* buf) noexcept {
    return disguised(fd, buf, "fstatfs64");
}

extern "C" int fstatfs(int fd, struct statfs* buf) noexcept {
    return disguised(fd, buf, "fstatfs");
}
