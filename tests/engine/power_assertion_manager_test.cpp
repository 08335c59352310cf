#include "engine/power_assertion_manager.h"

#include "power_fakes.h"

#include <gtest/gtest.h>

#include <memory>

namespace vornix {
namespace {

// Calls on one manager (a = acquire, r = release, x = destroy), and what the inhibitor saw.
struct Script {
    const char* calls;
    bool refuse;
    std::size_t holds;
    int releases;
    bool assertedAtEnd;
};

TEST(PowerAssertionManager, HoldsAtMostOneInhibitionAndReleasesOnlyWhatItHolds) {
    for (const Script& s : {Script{"aa", false, 1, 0, true}, Script{"r", false, 0, 0, false},
                            Script{"arr", false, 1, 1, false}, Script{"arar", false, 2, 2, false},
                            Script{"ar", true, 1, 0, false}, Script{"aa", true, 2, 0, false},
                            Script{"ax", false, 1, 1, false}, Script{"arx", false, 1, 1, false},
                            Script{"ax", true, 1, 0, false}}) {
        testing::FakeIdleInhibitor inhibitor;
        inhibitor.refuse = s.refuse;
        auto manager = std::make_unique<PowerAssertionManager>(inhibitor);
        for (const char* c = s.calls; *c; ++c) {
            if (*c == 'a')
                manager->acquire();
            else if (*c == 'r')
                manager->release();
            else
                manager.reset();
        }
        const std::string at = std::string(s.calls) + (s.refuse ? " refused" : "");
        EXPECT_EQ(inhibitor.holds.size(), s.holds) << at;
        for (const auto& reason : inhibitor.holds)
            EXPECT_EQ(reason, "Vornix is keeping external drives awake");
        EXPECT_EQ(inhibitor.releases, s.releases) << at;
        EXPECT_EQ(inhibitor.held, s.assertedAtEnd) << at;
        if (manager) {
            EXPECT_EQ(manager->isAsserted(), s.assertedAtEnd) << at;
        }
    }
}

} // namespace
} // namespace vornix
