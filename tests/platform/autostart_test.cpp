#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemStatus;

struct AutostartTest : ::testing::Test {
    std::string temp = [] {
        char name[] = "/tmp/vornix-autostart-XXXXXX";
        return std::string(mkdtemp(name));
    }();
    ~AutostartTest() override { fs::remove_all(temp); }
    std::string program(const std::string& name = "vornix") {
        const std::string path = temp + "/bin/" + name;
        fs::create_directories(temp + "/bin");
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, fs::perms(0755));
        return path;
    }
    static std::string read(const std::string& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
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
        EXPECT_NE(read(item.entryPath()).find("\nX-GNOME-Autostart-enabled=true\n"),
                  std::string::npos);
        const std::string validate = "desktop-file-validate '" + item.entryPath() + "'";
        EXPECT_TRUE(!validator || std::system(validate.c_str()) == 0) << read(item.entryPath());
        item.unregisterItem();
        EXPECT_EQ(item.status(), Status::notRegistered);
        EXPECT_NO_THROW(item.unregisterItem()) << "removing an absent entry is not an error";
        EXPECT_TRUE(fs::is_empty(temp + "/autostart")) << "temporary file left";
    }
}

TEST_F(AutostartTest, StatusReadsTheEntryAsTheDesktopWould) {
    const std::string exec = program();
    const std::vector<std::pair<std::string, Status>> cases{
        {"[Desktop Entry]\nType=Application\nExec={}\n", Status::enabled},
        {"[Desktop Entry]\nExec = {}\nHidden = true\n", Status::notRegistered},
        {"[Desktop Entry]\r\nExec={}\r\nHidden=true\r\n", Status::notRegistered},
        {"[Desktop Entry]\nExec={}\n[X]\nHidden=true\n", Status::enabled},
        {"[Desktop Entry]\nExec={}\nX-GNOME-Autostart-enabled=false\n", Status::requiresApproval},
        {"[Desktop Entry]\nExec=/nonexistent/vornix\n", Status::notFound},
        {"[Desktop Entry]\nExec=vornix --flag\n", Status::enabled}};
    XdgAutostartLoginItem item(VORNIX_APP_ID, exec, temp);
    fs::create_directories(temp + "/autostart");
    for (auto [text, status] : cases) {
        if (const auto at = text.find("{}"); at != std::string::npos)
            text.replace(at, 2, exec);
        std::ofstream(item.entryPath()) << text;
        EXPECT_EQ(item.status(), status) << text;
    }
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(XdgAutostartLoginItem(VORNIX_APP_ID).entryPath(),
              std::string(getenv("HOME")) + "/.config/autostart/" VORNIX_APP_ID ".desktop");
}

TEST_F(AutostartTest, RefusalsCarryTheSystemsTextAndLeaveTheEntryAsItWas) {
    const std::string before = "[Desktop Entry]\nExec=/old/vornix\n";
    for (const int error : {EROFS, ENOTDIR, EILSEQ}) {
        fs::remove_all(temp + "/autostart");
        XdgAutostartLoginItem item(VORNIX_APP_ID, program(error == EILSEQ ? "v\xff" : "v"), temp);
        if (error == ENOTDIR) {
            std::ofstream(temp + "/autostart") << before;
        } else {
            fs::create_directories(temp + "/autostart");
            std::ofstream(item.entryPath()) << before;
        }
        // A read-only bind mount of the folder, in a child's own mount namespace.
        const pid_t child = fork();
        if (child == 0) {
            const std::string folder = temp + "/autostart";
            const char* dir = folder.c_str();
            if (error == EROFS &&
                (unshare(CLONE_NEWNS) ||
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                 mount(dir, dir, nullptr, MS_BIND, nullptr) ||
                 mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)))
                _exit(2);
            for (auto change :
                 {&XdgAutostartLoginItem::registerItem, &XdgAutostartLoginItem::unregisterItem})
                try {
                    (item.*change)();
                    _exit(3);
                } catch (const LoginItemError& refusal) {
                    if (std::strcmp(refusal.what(), std::strerror(error)) != 0)
                        _exit(4);
                    if (error != EROFS) // only there is there an entry to remove
                        break;
                }
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WEXITSTATUS(status) == 2)
            GTEST_SKIP() << "a private read-only mount needs root";
        EXPECT_EQ(WEXITSTATUS(status), 0) << std::strerror(error);
        EXPECT_EQ(read(error == ENOTDIR ? temp + "/autostart" : item.entryPath()), before);
    }
}

} // namespace
} // namespace vornix::linux_platform
