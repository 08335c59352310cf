#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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
    static std::string read(const std::string& path) {
        return (std::stringstream() << std::ifstream(path).rdbuf()).str();
    }
};

TEST_F(AutostartTest, EntriesStartExactlyTheProgramWhateverItsPath) {
    const bool validator = access("/usr/bin/desktop-file-validate", X_OK) == 0;
    for (const std::string name : {"vornix", "My Vornix", "say \"hi\"", "cost$5", "back\\slash",
                                   "tick`s", "100%", "a;b&(c)|d", "Vörnix ✓"}) {
        XdgAutostartLoginItem item(VORNIX_APP_ID, program(name), temp);
        item.registerItem();
        EXPECT_EQ(item.status(), Status::enabled) << name;
        EXPECT_EQ(fs::status(item.entryPath()).permissions(), fs::perms(0644));
        const std::string validate = "desktop-file-validate '" + item.entryPath() + "'";
        EXPECT_TRUE(!validator || std::system(validate.c_str()) == 0) << read(item.entryPath());
        item.unregisterItem();
        EXPECT_NO_THROW(item.unregisterItem()) << "removing an absent entry is not an error";
        EXPECT_TRUE(fs::is_empty(temp + "/autostart")) << "temporary file left";
    }
}

TEST_F(AutostartTest, StatusReadsTheEntryAsTheDesktopWould) {
    const std::string exec = program();
    const std::vector<std::pair<std::string, Status>> cases{
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=true\n", Status::enabled},
        {"Exec = " + exec + "\nHidden = true\n", Status::notRegistered},
        {"Exec=" + exec + "\r\nHidden=true\r\n", Status::notRegistered},
        {"Exec=" + exec + "\n[X]\nHidden=true\n", Status::enabled},
        {"Exec=" + exec + "\nX-GNOME-Autostart-enabled=false\n", Status::requiresApproval},
        {"Exec=/nonexistent/vornix\n", Status::notFound},
        {"Exec=vornix --flag\n", Status::enabled}};
    XdgAutostartLoginItem item(VORNIX_APP_ID, exec, temp);
    fs::create_directories(temp + "/autostart");
    for (const auto& [text, status] : cases) {
        std::ofstream(item.entryPath()) << "[Desktop Entry]\n" << text;
        EXPECT_EQ(item.status(), status) << text;
    }
    setenv("XDG_CONFIG_HOME", "relative/config", 1); // not absolute: ignored
    EXPECT_EQ(XdgAutostartLoginItem(VORNIX_APP_ID).entryPath(),
              std::string(getenv("HOME")) + "/.config/autostart/" VORNIX_APP_ID ".desktop");
}

TEST_F(AutostartTest, RefusalsCarryTheSystemsTextAndLeaveWhatWasThere) {
    const std::string before = "[Desktop Entry]\nExec=/old/vornix\n";
    for (const int error : {ENOTDIR, EILSEQ}) {
        XdgAutostartLoginItem item(VORNIX_APP_ID, program(error == EILSEQ ? "v\xff" : "v"), temp);
        const std::string there = error == ENOTDIR ? temp + "/autostart" : item.entryPath();
        fs::create_directories(fs::path(there).parent_path());
        std::ofstream(there) << before;
        try {
            item.registerItem();
            ADD_FAILURE() << "no refusal for " << std::strerror(error);
        } catch (const LoginItemError& refusal) {
            EXPECT_STREQ(refusal.what(), std::strerror(error));
        }
        EXPECT_EQ(read(there), before);
        fs::remove_all(temp + "/autostart");
    }
}

} // namespace
} // namespace vornix::linux_platform
