#include "platform/linux/xdg_autostart_entry.h"

#include "platform/linux/diagnostics.h"
#include "platform/linux/file_descriptor.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vornix::linux_platform {

namespace {

[[noreturn]] void refuse(int error) {
    const std::string text = systemErrorText(error);
    qCWarning(autostartLog).noquote()
        << "the autostart entry cannot be changed:" << QString::fromStdString(text);
    throw AutostartError(text);
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// Creates `path` and its missing parents; new folders are private to the user, as the base
// directory rules ask for the config home.
void makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            refuse(errno);
        if (slash == std::string::npos)
            return;
    }
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            refuse(errno);
        done += static_cast<std::size_t>(n);
    }
}

bool isTrue(const std::string& value) {
    return value == "true" || value == "1";
}
bool isFalse(const std::string& value) {
    return value == "false" || value == "0";
}

std::string trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// The value escapes of desktop entries: \s \n \t \r \\.
std::string unescapeValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        out += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return out;
}

// The program an Exec value starts: its first word, unquoted, with %% read as %.
std::string execProgram(const std::string& exec) {
    std::string word;
    std::size_t i = 0;
    if (!exec.empty() && exec[0] == '"') {
        for (i = 1; i < exec.size() && exec[i] != '"'; ++i) {
            if (exec[i] == '\\' && i + 1 < exec.size())
                ++i;
            word += exec[i];
        }
    } else {
        word = exec.substr(0, exec.find_first_of(" \t"));
    }
    for (auto at = word.find("%%"); at != std::string::npos; at = word.find("%%", at + 1))
        word.erase(at, 1);
    return word;
}

bool programIsThere(const std::string& program) {
    if (program.empty())
        return false;
    if (program[0] != '/')
        return true; // found through PATH at login; not ours to second-guess
    struct stat info {};
    return ::stat(program.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(program.c_str(), X_OK) == 0;
}

} // namespace

XdgAutostartEntry::XdgAutostartEntry(std::string applicationID, std::string programPath,
                                     std::string configHome)
    : applicationID_(std::move(applicationID)), programPath_(std::move(programPath)),
      configHome_(std::move(configHome)) {}

std::string XdgAutostartEntry::configHome() const {
    if (!configHome_.empty())
        return configHome_;
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        return xdg;
    const std::string home = homeDirectory();
    return home.empty() ? std::string() : home + "/.config";
}

std::string XdgAutostartEntry::entryPath() const {
    const std::string home = configHome();
    return home.empty() ? std::string() : home + "/autostart/" + applicationID_ + ".desktop";
}

std::string XdgAutostartEntry::programPath() const {
    if (!programPath_.empty())
        return programPath_;
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        refuse(n < 0 ? errno : ENOENT);
    std::string path(buffer, static_cast<std::size_t>(n));
    // Replaced on disk while running (a package upgrade): the new program is at the old path.
    static constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    // An AppImage runs from a mount that is gone at the next login; the image itself stays.
    // The variables are inherited by whatever an AppImage starts, so only trust them when we
    // run from inside that mount.
    const char* image = std::getenv("APPIMAGE");
    const char* mount = std::getenv("APPDIR");
    if (image && image[0] == '/' && mount && mount[0] == '/' &&
        path.starts_with(std::string(mount) + "/"))
        return image;
    return path;
}

std::string XdgAutostartEntry::execArgument(std::string_view programPath) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    static constexpr std::string_view escapedInQuotes = "\"`$\\";
    const bool quote = programPath.find_first_of(reserved) != std::string_view::npos;
    std::string out = quote ? "\"" : "";
    for (const char c : programPath) {
        if (quote && escapedInQuotes.find(c) != std::string_view::npos)
            out += '\\';
        out += c;
        if (c == '%')
            out += '%'; // not a field code
    }
    if (quote)
        out += '"';
    return out;
}

std::string XdgAutostartEntry::entryText(std::string_view programPath) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded = utf8(QByteArrayView(programPath));
    if (utf8.hasError())
        refuse(EILSEQ);

    std::string exec;
    for (const char c : execArgument(programPath)) {
        if (c == '\\')
            exec += "\\\\";
        else if (c == '\n')
            exec += "\\n";
        else if (c == '\t')
            exec += "\\t";
        else if (c == '\r')
            exec += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            refuse(EILSEQ);
        else
            exec += c;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vornix\n"
           "Comment=Keeps external drives awake\n"
           "Exec=" +
           exec +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           // A tray program: start once the panel that shows its icon is up.
           "X-GNOME-Autostart-Phase=Applications\n"
           "X-KDE-autostart-after=panel\n"
           "X-LXQt-Need-Tray=true\n";
}

AutostartStatus XdgAutostartEntry::status() const {
    const std::optional<std::string> text = readWholeFile(entryPath());
    if (!text)
        return AutostartStatus::absent;

    std::string line, group, exec;
    bool hidden = false, switchedOff = false;
    for (std::size_t start = 0, end; start < text->size(); start = end + 1) {
        end = std::min(text->find('\n', start), text->size());
        line = text->substr(start, end - start);
        if (line.starts_with('[')) {
            group = trim(line);
            continue;
        }
        const auto equals = line.find('=');
        if (group != "[Desktop Entry]" || line.starts_with('#') || equals == std::string::npos)
            continue;
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        if (key == "Hidden")
            hidden = isTrue(value);
        else if (key == "X-GNOME-Autostart-enabled")
            switchedOff = isFalse(value);
        else if (key == "Exec")
            exec = unescapeValue(value);
    }
    if (hidden)
        return AutostartStatus::absent;
    if (switchedOff)
        return AutostartStatus::disabled;
    if (!programIsThere(execProgram(exec)))
        return AutostartStatus::programMissing;
    return AutostartStatus::enabled;
}

void XdgAutostartEntry::install() {
    const std::string home = configHome();
    if (home.empty())
        refuse(ENOENT);
    const std::string program = programPath();
    const std::string folder = home + "/autostart";
    qCDebug(autostartLog).noquote()
        << "writing" << QString::fromStdString(folder) << "for" << QString::fromStdString(program);
    const std::string text = entryText(program);
    makeDirectories(folder);

    const std::string target = folder + "/" + applicationID_ + ".desktop";
    std::string temporary = folder + "/." + applicationID_ + ".desktop.XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        refuse(errno);
    try {
        writeAll(fd.get(), text);
        if (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
            ::rename(temporary.c_str(), target.c_str()) != 0)
            refuse(errno);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    // The rename itself is durable once the folder is flushed; a failure here loses nothing
    // that is not on its way already.
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
}

void XdgAutostartEntry::uninstall() {
    const std::string path = entryPath();
    qCDebug(autostartLog).noquote() << "removing" << QString::fromStdString(path);
    if (path.empty())
        return;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
        refuse(errno);
}

} // namespace vornix::linux_platform
