#include "engine/power_assertion_manager.h"

#include "power_fakes.h"

#include <gtest/gtest.h>

#include <memory>

namespace vornix {
namespace {

TEST(PowerAssertionManager, HoldsAtMostOneInhibitionAndReleasesOnlyWhatItHolds) {
    // Calls on one manager (a = acquire, r = release, x = destroy) on an inhibitor that grants
    // or refuses; then the inhibitions asked for, the releases, and whether one is held.
    using Script = std::tuple<const char*, bool, std::size_t, int, bool>;
    for (const auto& [calls, refuse, holds, releases, held] :
         {Script{"aa", false, 1, 0, true}, Script{"r", false, 0, 0, false},
          Script{"arr", false, 1, 1, false}, Script{"arar", false, 2, 2, false},
          Script{"ar", true, 1, 0, false}, Script{"aa", true, 2, 0, false},
          Script{"ax", false, 1, 1, false}, Script{"arx", false, 1, 1, false},
          Script{"ax", true, 1, 0, false}}) {
        SCOPED_TRACE(std::string(calls) + (refuse ? " refused" : ""));
        testing::FakeIdleInhibitor inhibitor;
        inhibitor.refuse = refuse;
        auto manager = std::make_unique<PowerAssertionManager>(inhibitor);
        for (const char* c = calls; *c; ++c)
            *c == 'a' ? manager->acquire() : *c == 'r' ? manager->release() : manager.reset();
        EXPECT_EQ(inhibitor.holds, std::vector<std::string>(holds, PowerAssertionManager::reason));
        EXPECT_EQ(std::pair(inhibitor.releases, inhibitor.held), std::pair(releases, held));
        EXPECT_TRUE(!manager || manager->isAsserted() == held);
    }
}

} // namespace
} // namespace vornix
