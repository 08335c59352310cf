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
    int registers;
    int unregisters;
    Status after;
};

class SetEnabled : public ::testing::TestWithParam<EnableCase> {};

TEST_P(SetEnabled, RegistersOnlyWhenNotEnabledAndAlwaysUnregisters) {
    const EnableCase& c = GetParam();
    FakeLoginItemPort port;
    port.current = c.before;
    LoginItemManager manager(port);

    manager.setEnabled(c.enable);

    EXPECT_EQ(port.registerCalls, c.registers);
    EXPECT_EQ(port.unregisterCalls, c.unregisters);
    EXPECT_EQ(manager.status(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    LoginItemManager, SetEnabled,
    ::testing::Values(
        EnableCase{"EnableWhenEnabledMakesNoCall", Status::enabled, true, 0, 0, Status::enabled},
        EnableCase{"EnableWhenNotRegistered", Status::notRegistered, true, 1, 0, Status::enabled},
        EnableCase{"EnableWhenAwaitingApprovalRegistersAgain", Status::requiresApproval, true, 1, 0,
                   Status::enabled},
        EnableCase{"EnableWhenNotFound", Status::notFound, true, 1, 0, Status::enabled},
        EnableCase{"DisableWhenEnabled", Status::enabled, false, 0, 1, Status::notRegistered},
        EnableCase{"DisableWhenNotRegisteredStillUnregisters", Status::notRegistered, false, 0, 1,
                   Status::notRegistered}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoginItemManager, DisablingDoesNotReadTheStatusFirst) {
    FakeLoginItemPort port;
    port.current = Status::enabled;
    LoginItemManager manager(port);
    manager.setEnabled(false);
    EXPECT_EQ(port.statusReads, 0);
}

TEST(LoginItemManager, RegistrationAwaitingApprovalIsReportedAsSuch) {
    FakeLoginItemPort port;
    port.statusAfterRegister = Status::requiresApproval;
    LoginItemManager manager(port);
    manager.setEnabled(true);
    EXPECT_EQ(manager.status(), Status::requiresApproval);
    manager.setEnabled(true); // still not enabled: asks again
    EXPECT_EQ(port.registerCalls, 2);
}

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
        EXPECT_EQ(manager.status(), Status::notRegistered);
    }
}

} // namespace
} // namespace vornix
