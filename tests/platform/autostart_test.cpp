#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemStatus;

struct AutostartTest : ::testing::Test {
    std::string temp = fs::temp_directory_path() / ("vornix-autostart-" + std::to_string(getpid()));
    ~AutostartTest() override { fs::remove_all(temp); }
    std::string program(const std::string& name = "vornix") {
        fs::create_directories(temp + "/bin");
        std::ofstream(temp + "/bin/" + name) << "#!/bin/sh\n";
        fs::permissions(temp + "/bin/" + name, fs::perms(0755));
        return temp + "/bin/" + name;
    }
};

TEST_F(AutostartTest, EntriesStartExactlyTheProgramWhateverItsPath) {
    for (const std::string name : {"vornix", "My Vornix", "say \"hi\"", "cost$5", "back\\slash",
                                   "tick`s", "100%", "a;b&(c)|d", "Vörnix ✓"}) {
        XdgAutostartLoginItem item(VORNIX_APP_ID, program(name), temp);
        item.registerItem();
        EXPECT_EQ(item.status(), Status::enabled) << name;
        const std::string validate = "desktop-file-validate '" + item.entryPath() + "'";
        EXPECT_TRUE(access("/usr/bin/desktop-file-validate", X_OK) != 0 || // Debian's
                    std::system(validate.c_str()) == 0)                    // desktop-file-utils
            << name;
        item.unregisterItem();
        EXPECT_NO_THROW(item.unregisterItem()) << "removing an absent entry is not an error";
        EXPECT_TRUE(fs::is_empty(temp + "/autostart")) << "temporary file left";
    }
}

TEST_F(AutostartTest, StatusReadsTheEntryAsTheDesktopWouldAndRefusalsTouchNothing) {
    const std::string exec = program(), entry = temp + "/autostart/" VORNIX_APP_ID ".desktop";
    const std::vector<std::pair<std::string, Status>> cases{
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=true\n", Status::enabled},
        {"Exec = " + exec + "\nHidden = true\n", Status::notRegistered},
        {"Exec=" + exec + "\r\nHidden=true\r\n", Status::notRegistered},
        {"Exec=" + exec + "\n[X]\nHidden=true\n", Status::enabled},
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=false\n", Status::requiresApproval},
        {"Exec=/nonexistent/vornix\n", Status::notFound},
        {"Exec=vornix --flag\n", Status::enabled}};
    fs::create_directories(temp + "/autostart");
    for (const auto& [text, status] : cases) {
        std::ofstream(entry) << "[Desktop Entry]\n" << text;
        EXPECT_EQ(XdgAutostartLoginItem(VORNIX_APP_ID, exec, temp).status(), status) << text;
    }
    // A path no desktop entry can express is refused with the system's words.
    try {
        XdgAutostartLoginItem(VORNIX_APP_ID, program("v\xff"), temp).registerItem();
        ADD_FAILURE() << "no refusal";
    } catch (const LoginItemError& refusal) {
        EXPECT_STREQ(refusal.what(), std::strerror(EILSEQ));
    }
    EXPECT_EQ(XdgAutostartLoginItem(VORNIX_APP_ID, exec, temp).status(), Status::enabled);
}

} // namespace
} // namespace vornix::linux_platform
