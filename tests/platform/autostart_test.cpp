#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <optional>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemStatus;
const std::string appID = VORNIX_APP_ID;

struct TempDir {
    TempDir() {
        char name[] = "/tmp/vornix-autostart-XXXXXX";
        path = mkdtemp(name);
        fs::permissions(path, fs::perms(0755));
    }
    ~TempDir() { std::system(("chmod -R u+w '" + path + "'; rm -rf '" + path + "'").c_str()); }
    std::string path;
};

// Sets (or with nullptr clears) an environment variable for one test.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name))
            before = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { before ? setenv(name, before->c_str(), 1) : unsetenv(name); }
    const char* name;
    std::optional<std::string> before;
};

std::string readFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text, int mode = 0644) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms(mode));
}

std::string runningProgram() {
    return fs::read_symlink("/proc/self/exe");
}

std::size_t entriesIn(const std::string& folder) {
    std::error_code ignored;
    return std::distance(fs::directory_iterator(folder, ignored), fs::directory_iterator());
}

// What desktop-file-validate says against a file: empty when it accepts it.
std::string validatorComplaints(const std::string& path) {
    std::string output;
    FILE* pipe = popen(("desktop-file-validate '" + path + "' 2>&1").c_str(), "r");
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    return (pipe && pclose(pipe) == 0) || !output.empty() ? output : "failed without a word";
}

bool validatorMissing() {
    return access("/usr/bin/desktop-file-validate", X_OK) != 0;
}

struct HomeCase {
    const char* name;
    const char* xdgConfigHome;      // under the temporary folder; "" unset, "rel" relative
    const char* expectedConfigHome; // under the temporary folder
    bool givenToConstructor;
    bool runningFromAppImage; // APPIMAGE set, and APPDIR holds the running program
};

class AutostartEntry : public ::testing::TestWithParam<HomeCase> {};

TEST_P(AutostartEntry, EnableWritesAnEntryTheDesktopAcceptsDisableRemovesIt) {
    if (validatorMissing())
        GTEST_SKIP() << "desktop-file-validate is missing (Debian's desktop-file-utils)";
    const HomeCase& c = GetParam();
    TempDir temp;
    const std::string xdg = std::string(c.xdgConfigHome) == "rel" ? "relative/config"
                            : *c.xdgConfigHome                    ? temp.path + c.xdgConfigHome
                                                                  : "";
    const std::string image = temp.path + "/Vornix.AppImage";
    const std::string mount =
        c.runningFromAppImage ? fs::path(runningProgram()).parent_path() : fs::path(temp.path);
    ScopedEnv home("HOME", (temp.path + "/home").c_str()), xdgEnv("XDG_CONFIG_HOME", nullptr),
        imageEnv("APPIMAGE", image.c_str()), mountEnv("APPDIR", mount.c_str());
    if (!xdg.empty())
        setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    const std::string configHome = temp.path + c.expectedConfigHome;
    XdgAutostartLoginItem item(appID, {}, c.givenToConstructor ? configHome : "");
    const std::string entry = configHome + "/autostart/" + appID + ".desktop";
    EXPECT_EQ(item.entryPath(), entry);

    item.registerItem();
    const std::string text = readFile(entry);
    const std::string program = c.runningFromAppImage ? image : runningProgram();
    EXPECT_NE(text.find("\nExec=" + XdgAutostartLoginItem::execArgument(program) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos) << text;
    EXPECT_EQ(validatorComplaints(entry), "");
    EXPECT_EQ(fs::status(entry).permissions(), fs::perms(0644));
    EXPECT_EQ(entriesIn(configHome + "/autostart"), 1u) << "temporary file left";

    item.unregisterItem();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_NO_THROW(item.unregisterItem()) << "removing an absent entry is not an error";
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, AutostartEntry,
    ::testing::Values(HomeCase{"GivenFolder", "", "/given", true, false},
                      HomeCase{"XdgConfigHome", "/xdg", "/xdg", false, false},
                      HomeCase{"HomeConfigWhenUnset", "", "/home/.config", false, false},
                      HomeCase{"RelativeXdgConfigHomeIsIgnored", "rel", "/home/.config", false,
                               false},
                      HomeCase{"FromInsideAnAppImageStartsTheImage", "", "/c", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct PathCase {
    const char* name;
    const char* fileName;
    const char* execFileName; // as it must appear inside the Exec argument
    bool quoted;
};

class ProgramPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ProgramPath, IsQuotedSoTheDesktopStartsExactlyThatProgram) {
    if (validatorMissing())
        GTEST_SKIP() << "desktop-file-validate is missing (Debian's desktop-file-utils)";
    const PathCase& c = GetParam();
    TempDir temp;
    const std::string program = temp.path + "/bin/" + c.fileName;
    writeFile(program, "#!/bin/sh\n", 0755);
    XdgAutostartLoginItem item(appID, program, temp.path);
    const std::string quote = c.quoted ? "\"" : "";
    EXPECT_EQ(XdgAutostartLoginItem::execArgument(program),
              quote + temp.path + "/bin/" + c.execFileName + quote);

    item.registerItem();
    EXPECT_EQ(validatorComplaints(item.entryPath()), "") << readFile(item.entryPath());
    EXPECT_EQ(item.status(), Status::enabled) << "the entry does not lead back to the program";
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, ProgramPath,
    ::testing::Values(PathCase{"Plain", "vornix", "vornix", false},
                      PathCase{"Space", "My Vornix", "My Vornix", true},
                      PathCase{"DoubleQuote", "say \"hi\"", "say \\\"hi\\\"", true},
                      PathCase{"Dollar", "cost$5", "cost\\$5", true},
                      PathCase{"Backslash", "back\\slash", "back\\\\slash", true},
                      PathCase{"Backtick", "tick`s", "tick\\`s", true},
                      PathCase{"PercentIsNoFieldCode", "100%", "100%%", false},
                      PathCase{"ShellCharacters", "a;b&(c)|d", "a;b&(c)|d", true},
                      PathCase{"Unicode", "Vörnix ✓", "Vörnix ✓", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct EntryCase {
    const char* name;
    const char* entry; // "{}" stands for an existing program; nullptr for no entry
    Status status;
};

class Entry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(Entry, ReadsAsTheDesktopWouldStartItAndEnablingMakesItStart) {
    const EntryCase& c = GetParam();
    TempDir temp;
    const std::string program = temp.path + "/vornix";
    writeFile(program, "#!/bin/sh\n", 0755);
    XdgAutostartLoginItem item(appID, program, temp.path);
    if (c.entry) {
        std::string text = c.entry;
        if (const auto at = text.find("{}"); at != std::string::npos)
            text.replace(at, 2, program);
        writeFile(item.entryPath(), text);
    }
    EXPECT_EQ(item.status(), c.status);
    item.registerItem();
    EXPECT_EQ(item.status(), Status::enabled);
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, Entry,
    ::testing::Values(
        EntryCase{"None", nullptr, Status::notRegistered},
        EntryCase{"Plain", "[Desktop Entry]\nType=Application\nExec={}\n", Status::enabled},
        EntryCase{"Hidden", "[Desktop Entry]\nExec={}\nHidden=true\n", Status::notRegistered},
        EntryCase{"HiddenInAnotherGroup", "[Desktop Entry]\nExec={}\n[X]\nHidden=true\n",
                  Status::enabled},
        EntryCase{"SwitchedOffInStartupSettings",
                  "[Desktop Entry]\nExec={}\nX-GNOME-Autostart-enabled=false\n",
                  Status::requiresApproval},
        EntryCase{"ProgramMoved", "[Desktop Entry]\nExec=/nonexistent/vornix\n", Status::notFound},
        EntryCase{"ProgramFromPath", "[Desktop Entry]\nExec=vornix --flag\n", Status::enabled},
        EntryCase{"SpacesAroundEquals", "[Desktop Entry]\nExec = {}\nHidden = true\n",
                  Status::notRegistered},
        EntryCase{"WindowsLineEnds", "[Desktop Entry]\r\nExec={}\r\nHidden=true\r\n",
                  Status::notRegistered}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs `action` in a child process (which may give up root or enter a mount namespace of its
// own first) and returns its word: "ok", the error's text, or "skip: why".
std::string inChild(const std::function<std::string()>& action) {
    int fds[2];
    if (pipe(fds) != 0)
        return "skip: no pipe";
    if (fork() == 0) {
        std::string word;
        try {
            word = action();
        } catch (const LoginItemError& error) {
            word = error.what();
        }
        (void)!write(fds[1], word.data(), word.size());
        _exit(0);
    }
    close(fds[1]);
    std::string word;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        word.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    wait(nullptr);
    return word;
}

enum class Obstacle { unwritableFolder, readOnlyFileSystem, folderIsAFile, pathNotUtf8 };

struct RefusalCase {
    const char* name;
    Obstacle obstacle;
    bool enable;
    int error;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, CarriesTheSystemsTextAndLeavesTheFolderAsItWas) {
    const RefusalCase& c = GetParam();
    TempDir temp;
    const std::string folder = temp.path + "/autostart";
    const std::string program =
        temp.path + (c.obstacle == Obstacle::pathNotUtf8 ? "/vornix\xff" : "/vornix");
    writeFile(program, "#!/bin/sh\n", 0755);
    XdgAutostartLoginItem item(appID, program, temp.path);
    const std::string before = "[Desktop Entry]\nExec=/old/vornix\n";
    writeFile(c.obstacle == Obstacle::folderIsAFile ? folder : item.entryPath(), before);

    const std::string word = inChild([&]() -> std::string {
        if (c.obstacle == Obstacle::unwritableFolder) {
            fs::permissions(folder, fs::perms(0555));
            if (geteuid() == 0 && (setgroups(0, nullptr) || setresgid(65534, 65534, 65534) ||
                                   setresuid(65534, 65534, 65534)))
                return "skip: cannot give up root";
        }
        if (c.obstacle == Obstacle::readOnlyFileSystem &&
            (geteuid() != 0 || unshare(CLONE_NEWNS) ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
             mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) ||
             mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr)))
            return "skip: a private read-only mount needs root";
        c.enable ? item.registerItem() : item.unregisterItem();
        return "ok";
    });
    if (word.starts_with("skip: "))
        GTEST_SKIP() << word.substr(6);

    EXPECT_EQ(word, std::strerror(c.error));
    if (c.obstacle == Obstacle::folderIsAFile)
        return;
    EXPECT_EQ(readFile(item.entryPath()), before) << "the entry was touched";
    EXPECT_EQ(entriesIn(folder), 1u) << "temporary file left";
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, Refusal,
    ::testing::Values(
        RefusalCase{"EnableInUnwritableFolder", Obstacle::unwritableFolder, true, EACCES},
        RefusalCase{"DisableInUnwritableFolder", Obstacle::unwritableFolder, false, EACCES},
        RefusalCase{"EnableOnReadOnlyFileSystem", Obstacle::readOnlyFileSystem, true, EROFS},
        RefusalCase{"DisableOnReadOnlyFileSystem", Obstacle::readOnlyFileSystem, false, EROFS},
        RefusalCase{"EnableWhereTheFolderIsAFile", Obstacle::folderIsAFile, true, ENOTDIR},
        RefusalCase{"EnableForAPathNoDesktopCanExpress", Obstacle::pathNotUtf8, true, EILSEQ}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vornix::linux_platform
