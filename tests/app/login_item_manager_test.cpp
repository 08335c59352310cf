#include "app/login_item_manager.h"

#include "power_fakes.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

using vornix::testing::FakeLoginItemPort;
using Status = LoginItemStatus;

struct EnableCase {
    const char* name;
    Status before;
    bool enable;
    Status registrationGives; // what the registry makes of a registration
    int registers, unregisters;
    int statusReads; // disabling never reads the status first
    Status after;
};

class SetEnabled : public ::testing::TestWithParam<EnableCase> {};

TEST_P(SetEnabled, RegistersOnlyWhenNotEnabledAndAlwaysUnregisters) {
    const EnableCase& c = GetParam();
    FakeLoginItemPort port;
    port.current = c.before;
    port.statusAfterRegister = c.registrationGives;
    LoginItemManager manager(port);

    manager.setEnabled(c.enable);

    EXPECT_EQ(port.registerCalls, c.registers);
    EXPECT_EQ(port.unregisterCalls, c.unregisters);
    EXPECT_EQ(port.statusReads, c.statusReads);
    EXPECT_EQ(manager.status(), c.after);
}

constexpr Status on = Status::enabled, off = Status::notRegistered;
constexpr Status waiting = Status::requiresApproval;

INSTANTIATE_TEST_SUITE_P(
    LoginItemManager, SetEnabled,
    ::testing::Values(EnableCase{"EnableWhenEnabledMakesNoCall", on, true, on, 0, 0, 1, on},
                      EnableCase{"EnableWhenNotRegistered", off, true, on, 1, 0, 1, on},
                      EnableCase{"EnableWhenNotFound", Status::notFound, true, on, 1, 0, 1, on},
                      EnableCase{"EnableWhileAwaitingApprovalAsksAgain", waiting, true, waiting, 1,
                                 0, 1, waiting},
                      EnableCase{"DisableWhenEnabled", on, false, on, 0, 1, 0, off},
                      EnableCase{"DisableWhenNotRegisteredStillUnregisters", off, false, on, 0, 1,
                                 0, off}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoginItemManager, EveryRefusalReachesTheCallerWithTheSystemsText) {
    for (const bool enable : {true, false}) {
        FakeLoginItemPort port;
        port.refusal = "Read-only file system";
        LoginItemManager manager(port);
        try {
            manager.setEnabled(enable);
            ADD_FAILURE() << "no error for setEnabled(" << enable << ")";
        } catch (const LoginItemError& error) {
            EXPECT_STREQ(error.what(), "Read-only file system");
        }
        EXPECT_EQ(port.registerCalls + port.unregisterCalls, 1) << "retried";
    }
}

} // namespace
} // namespace vornix
