#include "engine/power_assertion_manager.h"

#include "power_fakes.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace vornix {
namespace {

using vornix::testing::FakePowerAssertionPort;

// A script of calls on one manager: a = acquire, r = release, x = destroy.
struct Script {
    const char* name;
    const char* calls;
    bool refuse;
    std::size_t creations;
    std::vector<std::uint32_t> releases;
    bool assertedAtEnd; // not checked after x
    std::uint32_t idAtEnd;
};

class ManagerScripts : public ::testing::TestWithParam<Script> {};

TEST_P(ManagerScripts, HoldsAtMostOneAssertionAndReleasesExactlyWhatItHolds) {
    const Script& script = GetParam();
    FakePowerAssertionPort port;
    port.refuse = script.refuse;
    auto manager = std::make_unique<PowerAssertionManager>(port);
    EXPECT_FALSE(manager->isAsserted());
    EXPECT_EQ(manager->assertionID(), 0u);

    for (const char* c = script.calls; *c; ++c) {
        if (*c == 'a')
            manager->acquire();
        else if (*c == 'r')
            manager->release();
        else
            manager.reset();
        if (manager) { // the two fields never disagree
            EXPECT_EQ(manager->isAsserted(), manager->assertionID() != 0) << "after " << *c;
        }
    }

    EXPECT_EQ(port.creations.size(), script.creations);
    for (const auto& creation : port.creations) {
        EXPECT_EQ(creation.type, "PreventUserIdleSystemSleep");
        EXPECT_EQ(creation.level, 255u);
        EXPECT_EQ(creation.name, "Vornix is keeping external drives awake");
    }
    EXPECT_EQ(port.releases, script.releases);
    if (manager) {
        EXPECT_EQ(manager->isAsserted(), script.assertedAtEnd);
        EXPECT_EQ(manager->assertionID(), script.idAtEnd);
    } else {
        EXPECT_TRUE(port.held.empty()) << "a destroyed manager left an assertion behind";
    }
}

INSTANTIATE_TEST_SUITE_P(
    PowerAssertionManager, ManagerScripts,
    ::testing::Values(
        Script{"TwoAcquiresCreateOne", "aa", false, 1, {}, true, 41},
        Script{"ReleaseWithoutHoldMakesNoCall", "r", false, 0, {}, false, 0},
        Script{"ReleaseGivesBackTheHeldIdOnce", "arr", false, 1, {41}, false, 0},
        Script{"ReacquireAfterReleaseTakesANewOne", "arar", false, 2, {41, 42}, false, 0},
        Script{"RefusedAcquireLeavesNothingToRelease", "ar", true, 1, {}, false, 0},
        Script{"RefusalIsNotRetriedBehindTheCallersBack", "a", true, 1, {}, false, 0},
        Script{"AcquireAfterRefusalAsksAgain", "aa", true, 2, {}, false, 0},
        Script{"DestroyedWhileHoldingGivesItBack", "ax", false, 1, {41}, false, 0},
        Script{"DestroyedAfterReleaseMakesNoCall", "arx", false, 1, {41}, false, 0},
        Script{"DestroyedWithoutHoldMakesNoCall", "x", false, 0, {}, false, 0},
        Script{"DestroyedAfterRefusalMakesNoCall", "ax", true, 1, {}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vornix
