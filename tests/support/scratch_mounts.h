#pragma once

// Real file systems for tests, made in a private mount namespace so that nothing is seen
// outside the test process and nothing outlives it: tmpfs, a loop-mounted ext4 image, and the
// tests' own FUSE file system (tests/fusefs) whose faults the test controls.

#include <optional>
#include <string>
#include <sys/types.h>

namespace vornix::testing {

/// Moves this process into a mount namespace of its own (once; threads started later share it).
/// Empty when done, otherwise why it cannot be (not root, no namespaces): a reason to skip.
std::string enterPrivateMountNamespace();

/// A fresh directory under /tmp on a tmpfs of its own (where it may mount one), removed with
/// everything in it, after detaching any mount below.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    /// Makes the subdirectory `name` and returns its path.
    std::string subdir(const std::string& name) const;

private:
    std::string path_;
};

// Each returns empty on success, otherwise the error.
std::string mountTmpfs(const std::string& dir, const std::string& options = "size=64m");
/// Makes an ext4 image of 64 MiB at `image` and mounts it on a loop device (detached again
/// when unmounted).
std::string mountExt4Image(const std::string& image, const std::string& dir);
/// Unmounts `dir`, if it is mounted; a `lazy` unmount detaches it even while in use.
void unmount(const std::string& dir, bool lazy = false);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

/// The tests' FUSE file system mounted at a directory for the life of this object; see
/// tests/fusefs/vornix_test_fusefs.cpp for the commands.
class TestFuse {
public:
    struct Status {
        int blocked = 0; // calls waiting to be released
    };

    /// With `image`, mounted as "fuseblk" on a loop device over a fresh 16 MiB image there
    /// (root only), detached when the file system is gone.
    explicit TestFuse(std::string dir, const std::string& image = {});
    /// Releases blocked calls and stops the file system, which unmounts it.
    ~TestFuse();
    TestFuse(const TestFuse&) = delete;

    /// Empty once mounted, otherwise why not.
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }
    bool command(const std::string& text) const;
    std::optional<Status> status() const;

private:
    std::string dir_, error_;
    pid_t pid_ = -1;
};

} // namespace vornix::testing
