#include "volume_sandbox.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vornix::testing {

namespace fs = std::filesystem;

namespace {

const std::string fabricatedRoot = "/sys/devices/software";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void put(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

void enterSandbox(char** argv) {
    if (geteuid() != 0 || std::getenv("VORNIX_VOLUME_SANDBOX"))
        return;
    if (unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    setenv("VORNIX_VOLUME_SANDBOX", "1", 1);
    setenv("LD_PRELOAD", VORNIX_SYSFS_SHIM, 1);
    // Sanitizer builds would refuse a library preloaded ahead of their runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions =
        std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    execv("/proc/self/exe", argv);
}

std::optional<std::string> sandboxUnavailable() {
    if (geteuid() != 0)
        return "needs root (loop devices, mounts)";
    if (!std::getenv("VORNIX_VOLUME_SANDBOX"))
        return "could not enter a private mount namespace";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return "no /dev/loop-control";
    return std::nullopt;
}

int run(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void mountOrThrow(const std::string& source, const std::string& target, const std::string& type,
                  const std::string& data) {
    if (::mount(source.c_str(), target.c_str(), type.c_str(), 0,
                data.empty() ? nullptr : data.c_str()) != 0)
        fail("mount " + source + " on " + target);
}

// ---- loop devices

LoopDevice::LoopDevice(const std::string& image) {
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0)
        fail("open /dev/loop-control");
    const int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (file < 0) {
        close(control);
        fail("open " + image);
    }
    // Other processes take loop devices too: a device found free may be gone when we claim it.
    for (int attempt = 0; attempt < 20 && fd_ < 0; ++attempt) {
        index_ = ioctl(control, LOOP_CTL_GET_FREE);
        if (index_ < 0)
            break;
        node_ = "/dev/loop" + std::to_string(index_);
        const int fd = open(node_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (ioctl(fd, LOOP_SET_FD, file) == 0) {
            fd_ = fd;
            break;
        }
        close(fd);
    }
    close(file);
    close(control);
    if (fd_ < 0)
        fail("attach a loop device to " + image);
    struct stat st {};
    fstat(fd_, &st);
    device_ = st.st_rdev;
}

LoopDevice::~LoopDevice() {
    if (fd_ >= 0) {
        ioctl(fd_, LOOP_CLR_FD);
        close(fd_);
    }
}

std::string LoopDevice::name() const {
    return "loop" + std::to_string(index_);
}

void LoopDevice::uevent(const std::string& action) const {
    put("/sys/devices/virtual/block/" + name() + "/uevent", action);
}

// ---- the fabricated device tree

FakeUsbSysfs::FakeUsbSysfs() {
    // Keep every real entry of /sys/dev/block reachable under the tmpfs laid over it.
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& entry : fs::directory_iterator("/sys/dev/block"))
        entries.emplace_back(entry.path().filename(), fs::read_symlink(entry.path()));
    mountOrThrow("vornix-fake-sysfs", fabricatedRoot, "tmpfs");
    mountOrThrow("vornix-fake-dev-block", "/sys/dev/block", "tmpfs");
    for (const auto& [name, target] : entries)
        fs::create_directory_symlink(target, "/sys/dev/block/" + name);
}

FakeUsbSysfs::~FakeUsbSysfs() {
    unmount("/sys/dev/block", true);
    unmount(fabricatedRoot, true);
}

void FakeUsbSysfs::link(dev_t device, const std::string& target) {
    const std::string entry =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::error_code ignored;
    fs::remove(entry, ignored);
    fs::create_directory_symlink(target, entry);
}

void FakeUsbSysfs::showAsLoop(const LoopDevice& loop) {
    link(loop.device(), "../../devices/virtual/block/" + loop.name());
}

void FakeUsbSysfs::showAsUsb(const LoopDevice& loop, unsigned long long sizeSectors) {
    const std::string n = std::to_string(minor(loop.device()));
    const std::string host = "host" + std::to_string(100 + minor(loop.device()));
    const std::string target = "target" + n + ":0:0";
    const std::string lun = n + ":0:0:0";
    struct Level {
        std::string dir, subsystem, uevent;
    };
    const Level levels[] = {
        {"pci0000:00", "", ""},
        {"0000:00:14.0", "pci", "PCI_CLASS=C0330\n"},
        {"usb9", "usb", "DEVTYPE=usb_device\n"},
        {"9-" + n, "usb", "DEVTYPE=usb_device\n"},
        {"9-" + n + ":1.0", "usb", "DEVTYPE=usb_interface\nDRIVER=usb-storage\n"},
        {host, "scsi", "DEVTYPE=scsi_host\n"},
        {target, "scsi", "DEVTYPE=scsi_target\n"},
        {lun, "scsi", "DEVTYPE=scsi_device\n"},
        {"block", "", ""},
        {loop.name(), "block", ""},
    };
    std::string dir = fabricatedRoot;
    for (const auto& level : levels) {
        dir += "/" + level.dir;
        fs::create_directories(dir);
        if (!level.subsystem.empty() && !fs::exists(fs::symlink_status(dir + "/subsystem"))) {
            fs::create_directory_symlink(level.subsystem == "block" ? "/sys/class/block"
                                                                    : "/sys/bus/" + level.subsystem,
                                         dir + "/subsystem");
        }
        if (!level.uevent.empty())
            put(dir + "/uevent", level.uevent);
    }
    put(dir + "/uevent", "MAJOR=" + std::to_string(major(loop.device())) + "\nMINOR=" + n +
                             "\nDEVNAME=" + loop.name() + "\nDEVTYPE=disk\n");
    put(dir + "/dev", std::to_string(major(loop.device())) + ":" + n + "\n");
    put(dir + "/removable", "0\n");
    put(dir + "/size", std::to_string(sizeSectors) + "\n");
    link(loop.device(), "../.." + dir.substr(std::strlen("/sys")));
}

} // namespace vornix::testing
