// The volume system tests run as root inside a mount namespace of their own: main enters one and
// starts the tests again in it, with the sysfs shim preloaded. Elsewhere the tests skip.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (!listing && geteuid() == 0 && !std::getenv("VORNIX_VOLUME_SANDBOX")) {
        if (unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            setenv("VORNIX_VOLUME_SANDBOX", "1", 1);
            setenv("LD_PRELOAD", VORNIX_SYSFS_SHIM, 1);
            // Sanitizer builds would refuse a library preloaded ahead of their runtime.
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
            execv("/proc/self/exe", argv);
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
