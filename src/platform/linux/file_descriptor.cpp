#include "platform/linux/file_descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vornix::linux_platform {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

int FileDescriptor::close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    const FileDescriptor fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    return text;
}

} // namespace vornix::linux_platform
