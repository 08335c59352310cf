// The volume system tests run as root inside a mount namespace of their own: main enters one and
// starts the tests again in it, with the sysfs shim preloaded. Elsewhere the tests skip.

#include "volume_sandbox.h"

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (!listing)
        vornix::testing::enterSandbox(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
