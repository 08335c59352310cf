#include "platform/linux/xdg_autostart_login_item.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <optional>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemStatus;

const std::string appID = VORNIX_APP_ID;

// Every table row prints as its name.
template <class Row>
requires requires(const Row& row) {
    row.name;
}
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

struct TempDir {
    TempDir() {
        char name[] = "/tmp/vornix-autostart-XXXXXX";
        path = mkdtemp(name);
        fs::permissions(path, fs::perms(0755));
    }
    ~TempDir() {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(path, ignored))
            if (entry.is_directory(ignored))
                fs::permissions(entry.path(), fs::perms(0755), ignored);
        fs::remove_all(path, ignored);
    }
    std::string path;
};

// Sets or clears environment variables for one test and restores them afterwards.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    const char* name_;
    std::optional<std::string> old_;
};

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, mode);
}

std::string runningProgram() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return std::string(buffer, static_cast<std::size_t>(n));
}

// What desktop-file-validate says about a file: empty when it accepts it.
std::string validatorComplaints(const std::string& path) {
    const std::string command = "desktop-file-validate '" + path + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    const int status = pipe ? pclose(pipe) : -1;
    if (status != 0 && output.empty())
        output = "exit status " + std::to_string(status);
    return output;
}

bool validatorInstalled() {
    return access("/usr/bin/desktop-file-validate", X_OK) == 0;
}

std::vector<std::string> folderListing(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename());
    return names;
}

std::string systemText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

struct HomeCase {
    const char* name;
    const char* xdgConfigHome; // relative to the temporary folder; "" unset, "rel" relative
    const char* expectedConfigHome;
    bool viaConstructor;
};

class AutostartEntry : public ::testing::TestWithParam<HomeCase> {};

TEST_P(AutostartEntry, EnableWritesAnEntryTheDesktopAcceptsDisableRemovesIt) {
    if (!validatorInstalled())
        GTEST_SKIP() << "desktop-file-validate is not installed (Debian's desktop-file-utils)";
    const HomeCase& c = GetParam();
    TempDir temp;
    const std::string home = temp.path + "/home";
    ScopedEnv homeEnv("HOME", home.c_str());
    const std::string xdg = std::string(c.xdgConfigHome) == "rel" ? std::string("relative/config")
                            : *c.xdgConfigHome                    ? temp.path + c.xdgConfigHome
                                                                  : std::string();
    ScopedEnv xdgEnv("XDG_CONFIG_HOME", xdg.empty() ? nullptr : xdg.c_str());
    const std::string configHome = temp.path + c.expectedConfigHome;
    XdgAutostartLoginItem item(appID, {}, c.viaConstructor ? configHome : std::string());

    const std::string entry = configHome + "/autostart/" + appID + ".desktop";
    EXPECT_EQ(item.entryPath(), entry);
    EXPECT_EQ(item.status(), Status::notRegistered);

    item.registerItem();
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("\nExec=" + XdgAutostartLoginItem::execArgument(runningProgram()) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos) << text;
    EXPECT_EQ(validatorComplaints(entry), "");
    EXPECT_EQ(fs::status(entry).permissions(), fs::perms(0644));
    EXPECT_EQ(folderListing(configHome + "/autostart").size(), 1u) << "temporary file left";
    EXPECT_EQ(item.status(), Status::enabled);

    item.unregisterItem();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_NO_THROW(item.unregisterItem()) << "removing an absent entry is not an error";
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, AutostartEntry,
    ::testing::Values(HomeCase{"GivenFolder", "", "/given", true},
                      HomeCase{"XdgConfigHome", "/xdg", "/xdg", false},
                      HomeCase{"HomeConfigWhenUnset", "", "/home/.config", false},
                      HomeCase{"RelativeXdgConfigHomeIsIgnored", "rel", "/home/.config", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct ImageCase {
    const char* name;
    bool imageSet, mountHoldsUs;
    bool startsImage;
};

class RunningProgram : public ::testing::TestWithParam<ImageCase> {};

TEST_P(RunningProgram, IsWhatStartsAtLoginUnlessWeRunFromAnAppImage) {
    const ImageCase& c = GetParam();
    TempDir temp;
    const std::string image = temp.path + "/Vornix.AppImage";
    writeFile(image, "", fs::perms(0755));
    const std::string mount =
        c.mountHoldsUs ? fs::path(runningProgram()).parent_path().string() : temp.path;
    ScopedEnv imageEnv("APPIMAGE", c.imageSet ? image.c_str() : nullptr);
    ScopedEnv mountEnv("APPDIR", mount.c_str());
    XdgAutostartLoginItem item(appID, {}, temp.path);

    item.registerItem();
    const std::string exec =
        "\nExec=" + XdgAutostartLoginItem::execArgument(c.startsImage ? image : runningProgram()) +
        "\n";
    EXPECT_NE(readFile(item.entryPath()).find(exec), std::string::npos)
        << readFile(item.entryPath());
}

INSTANTIATE_TEST_SUITE_P(XdgAutostartLoginItem, RunningProgram,
                         ::testing::Values(ImageCase{"FromInsideAnAppImage", true, true, true},
                                           ImageCase{"StartedByAnotherAppImage", true, false,
                                                     false},
                                           ImageCase{"NoAppImage", false, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PathCase {
    const char* name;
    const char* fileName;
    const char* execFileName; // as it must appear inside the Exec argument
    bool quoted;
};

class ProgramPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ProgramPath, IsQuotedSoTheDesktopStartsExactlyThatProgram) {
    if (!validatorInstalled())
        GTEST_SKIP() << "desktop-file-validate is not installed (Debian's desktop-file-utils)";
    const PathCase& c = GetParam();
    TempDir temp;
    const std::string program = temp.path + "/bin/" + c.fileName;
    writeFile(program, "#!/bin/sh\n", fs::perms(0755));
    XdgAutostartLoginItem item(appID, program, temp.path + "/config");

    const std::string argument = std::string(c.quoted ? "\"" : "") + temp.path + "/bin/" +
                                 c.execFileName + (c.quoted ? "\"" : "");
    EXPECT_EQ(XdgAutostartLoginItem::execArgument(program), argument);

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
    const char* entry; // {program} stands for an existing program
    Status status;
};

class HandEditedEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(HandEditedEntry, ReadsAsTheDesktopWouldStartItAndEnablingMakesItStart) {
    const EntryCase& c = GetParam();
    TempDir temp;
    const std::string program = temp.path + "/vornix";
    writeFile(program, "#!/bin/sh\n", fs::perms(0755));
    XdgAutostartLoginItem item(appID, program, temp.path);
    std::string text = c.entry;
    if (const auto at = text.find("{program}"); at != std::string::npos)
        text.replace(at, 9, program);
    writeFile(item.entryPath(), text);

    EXPECT_EQ(item.status(), c.status);
    item.registerItem();
    EXPECT_EQ(item.status(), Status::enabled);
}

INSTANTIATE_TEST_SUITE_P(
    XdgAutostartLoginItem, HandEditedEntry,
    ::testing::Values(
        EntryCase{"Plain", "[Desktop Entry]\nType=Application\nExec={program}\n", Status::enabled},
        EntryCase{"Hidden", "[Desktop Entry]\nExec={program}\nHidden=true\n",
                  Status::notRegistered},
        EntryCase{"HiddenInAnotherGroupOnly",
                  "[Desktop Entry]\nExec={program}\n[Desktop Action x]\nHidden=true\n",
                  Status::enabled},
        EntryCase{"SwitchedOffInStartupSettings",
                  "[Desktop Entry]\nExec={program}\nX-GNOME-Autostart-enabled=false\n",
                  Status::requiresApproval},
        EntryCase{"ProgramMoved", "[Desktop Entry]\nExec=/nonexistent/vornix\n", Status::notFound},
        EntryCase{"ProgramFromPath", "[Desktop Entry]\nExec=vornix --flag\n", Status::enabled},
        EntryCase{"SpacesAroundEquals", "[Desktop Entry]\nExec = {program}\nHidden = true\n",
                  Status::notRegistered}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs `action` in a child process, which may first give up root or enter a mount namespace
// of its own; returns the child's word ("ok", the error text, or "skip: why").
std::string inChild(const std::function<std::string()>& action) {
    int fds[2];
    if (pipe(fds) != 0)
        return "skip: pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
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
    waitpid(pid, nullptr, 0);
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
        c.obstacle == Obstacle::pathNotUtf8 ? temp.path + "/vornix\xff" : temp.path + "/vornix";
    writeFile(program, "#!/bin/sh\n", fs::perms(0755));
    XdgAutostartLoginItem item(appID, program, temp.path);
    const std::string before = "[Desktop Entry]\nExec=/old/vornix\n";
    if (c.obstacle == Obstacle::folderIsAFile)
        writeFile(folder, "not a folder");
    else
        writeFile(item.entryPath(), before);

    const std::string word = inChild([&]() -> std::string {
        if (c.obstacle == Obstacle::unwritableFolder) {
            fs::permissions(folder, fs::perms(0555));
            if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) ||
                                   setresuid(65534, 65534, 65534)))
                return "skip: cannot give up root";
        }
        if (c.obstacle == Obstacle::readOnlyFileSystem) {
            if (geteuid() != 0)
                return "skip: a read-only mount needs root";
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                      nullptr) != 0)
                return "skip: no private read-only mount: " + systemText(errno);
        }
        c.enable ? item.registerItem() : item.unregisterItem();
        return "ok";
    });
    if (word.starts_with("skip: "))
        GTEST_SKIP() << word.substr(6);

    EXPECT_EQ(word, systemText(c.error));
    if (c.obstacle != Obstacle::folderIsAFile) {
        EXPECT_EQ(readFile(item.entryPath()), before) << "the entry was touched";
        EXPECT_EQ(folderListing(folder).size(), 1u) << "temporary file left";
    }
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
