#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vornix::linux_platform {

/// Owns one open file descriptor (or none, below 0) and closes it when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /// Closes now and returns close()'s result: the error a late write-back may bring, which the
    /// destructor cannot report.
    int close();

private:
    int fd_;
};

/// The whole text of a small file (a sysfs attribute, a desktop entry), or none when it cannot be
/// opened; a read error ends the text where it stopped. Plain reads, no C++ streams: those would
/// keep their locale machinery resident in the tray program for a few small reads. Blocks like
/// any read, so never on a drive's file from the main thread.
std::optional<std::string> readWholeFile(const std::string& path);

} // namespace vornix::linux_platform
