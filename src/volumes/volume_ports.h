#pragma once

// What the volume monitor needs from the system: the mounted volumes and their facts, the
// desktop's mount and rename notifications, and disk arbitration (disk arrival, departure and
// unmount requests). Every handler is called on the main thread.

#include "core/observable.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// Where removable media are mounted. A volume elsewhere is never a candidate.
inline std::vector<std::string> removableMediaRoots() {
    return {"/media/", "/run/media/"};
}

/// The facts the system keeps about one mounted volume. Any of them may be unknown: an unknown
/// boolean is neither true nor false.
struct VolumeResourceValues {
    std::optional<std::string> name{};
    std::optional<bool> isRemovable{};
    std::optional<bool> isEjectable{};
    std::optional<bool> isLocal{};
    std::optional<std::string> uuid{};
    std::optional<bool> isInternal{};

    bool operator==(const VolumeResourceValues&) const = default;
};

/// The mounted volumes.
class VolumeCatalog {
public:
    virtual ~VolumeCatalog() = default;
    /// Mount points of the mounted volumes, hidden ones left out, in the system's order. None
    /// when the system cannot say.
    virtual std::optional<std::vector<std::string>> mountedVolumePaths() = 0;
    /// The facts of the volume mounted at `mountPath`; none when they cannot be read at all.
    virtual std::optional<VolumeResourceValues> resourceValues(const std::string& mountPath) = 0;
};

enum class WorkspaceNotificationName { didMount, didRenameVolume };

/// A mount or a change of name. `volumePath` is the mount point of the volume that was mounted,
/// or the new mount point of the one whose name changed; absent when the system gave none.
struct WorkspaceNotification {
    WorkspaceNotificationName name = WorkspaceNotificationName::didMount;
    std::optional<std::string> volumePath{};
};

/// The desktop's volume notifications.
class WorkspaceNotifications {
public:
    virtual ~WorkspaceNotifications() = default;
    /// Calls `handler` on the main thread for every notification with this name until the
    /// returned subscription ends.
    [[nodiscard]] virtual Subscription
    observe(WorkspaceNotificationName name,
            std::function<void(const WorkspaceNotification&)> handler) = 0;
};

/// What disk arbitration tells about a disk; absent parts are unknown.
struct DiskDescription {
    std::optional<std::string> deviceProtocol{}; // the bus, e.g. "USB"
    std::optional<std::string> volumePath{};     // mount point, while mounted
};

struct Disk {
    std::optional<std::string> bsdName{}; // kernel device name, e.g. "sdb1"
    std::optional<DiskDescription> description{};
};

/// The three disk-arbitration callbacks. An unmount request is always approved: the callback
/// only learns of it, before the disk departs.
struct DiskCallbacks {
    std::function<void(const Disk&)> diskAppeared;
    std::function<void(const Disk&)> diskDisappeared;
    std::function<void(const Disk&)> unmountApproval;
};

/// An open disk-arbitration session. Destroying it stops every callback at once.
class DiskSession {
public:
    virtual ~DiskSession() = default;
    /// The disk that holds the volume mounted at `mountPath`, if the system knows one.
    virtual std::optional<Disk> diskForVolumePath(const std::string& mountPath) = 0;
};

class DiskArbitration {
public:
    virtual ~DiskArbitration() = default;
    /// A session whose callbacks arrive on the main thread (registered in the order appeared,
    /// disappeared, unmount approval), or none when the system refuses one.
    virtual std::unique_ptr<DiskSession> openSession(DiskCallbacks callbacks) = 0;
};

/// The system as the volume monitor sees it. The catalog and the workspace must outlive the
/// monitor; so must disk arbitration, which may be absent: the monitor then has no session.
struct VolumePorts {
    VolumeCatalog& catalog;
    WorkspaceNotifications& workspace;
    DiskArbitration* diskArbitration = nullptr;
    std::vector<std::string> mediaRoots = removableMediaRoots();
};

} // namespace vornix
