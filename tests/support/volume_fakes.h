#pragma once

// Deterministic stand-ins for the system behind the volume monitor: a catalog of mounted volumes,
// the workspace notifications and disk arbitration. Nothing happens until a test says so, and
// every handler runs inside the call that delivers it, as on the main thread.

#include "volumes/volume_ports.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vornix::testing {

/// Facts of a USB stick as the system would give them.
inline VolumeResourceValues externalVolumeValues(std::optional<std::string> name,
                                                 std::optional<std::string> uuid) {
    return {std::move(name), true, true, true, std::move(uuid), false};
}

class FakeVolumeCatalog final : public VolumeCatalog {
public:
    struct Entry {
        std::string path;
        std::optional<VolumeResourceValues> values; // none: the read fails
        bool hidden = false;
    };

    std::vector<Entry> mounted;               // in the system's order
    std::optional<VolumeResourceValues> root; // the facts of "/"
    bool listAnswers = true;                  // false: the system cannot list volumes
    std::vector<std::string> valueReads;      // every path whose facts were read

    void mount(std::string path, std::optional<VolumeResourceValues> values, bool hidden = false) {
        unmount(path);
        mounted.push_back({std::move(path), std::move(values), hidden});
    }
    void unmount(const std::string& path) {
        std::erase_if(mounted, [&](const Entry& e) { return e.path == path; });
    }

    std::optional<std::vector<std::string>> mountedVolumePaths() override {
        if (!listAnswers)
            return std::nullopt;
        std::vector<std::string> paths;
        for (const auto& e : mounted)
            if (!e.hidden)
                paths.push_back(e.path);
        return paths;
    }

    std::optional<VolumeResourceValues> resourceValues(const std::string& path) override {
        valueReads.push_back(path);
        if (path == "/")
            return root;
        for (const auto& e : mounted)
            if (e.path == path)
                return e.values;
        return std::nullopt;
    }
};

class FakeWorkspace final : public WorkspaceNotifications {
public:
    Subscription observe(WorkspaceNotificationName name,
                         std::function<void(const WorkspaceNotification&)> handler) override {
        const int key = next_++;
        (*observers_)[key] = {name, std::move(handler)};
        std::weak_ptr<Observers> weak = observers_;
        return Subscription([weak, key] {
            if (auto observers = weak.lock())
                observers->erase(key);
        });
    }

    void post(WorkspaceNotification notification) {
        const auto snapshot = *observers_;
        for (const auto& [key, observer] : snapshot)
            if (observers_->count(key) && observer.first == notification.name)
                observer.second(notification);
    }
    void mounted(std::string path) { post({WorkspaceNotificationName::didMount, std::move(path)}); }
    void renamed(std::string path) {
        post({WorkspaceNotificationName::didRenameVolume, std::move(path)});
    }
    std::size_t observerCount() const { return observers_->size(); }

private:
    using Observers = std::map<int, std::pair<WorkspaceNotificationName,
                                              std::function<void(const WorkspaceNotification&)>>>;
    int next_ = 0;
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

class FakeDiskArbitration final : public DiskArbitration {
public:
    bool refuse = false;                     // openSession gives none
    std::map<std::string, Disk> disksByPath; // what diskForVolumePath answers
    std::vector<std::string> diskQueries;    // every path asked about

    std::unique_ptr<DiskSession> openSession(DiskCallbacks callbacks) override {
        if (refuse)
            return nullptr;
        auto shared = std::make_shared<DiskCallbacks>(std::move(callbacks));
        open_.push_back(shared);
        return std::make_unique<Session>(*this, shared);
    }

    /// Mount-time knowledge: the disk behind `path`.
    void attach(const std::string& path, std::optional<std::string> bsdName,
                std::optional<std::string> protocol) {
        disksByPath[path] = Disk{std::move(bsdName), DiskDescription{std::move(protocol), path}};
    }

    void appeared(const Disk& disk) { deliver(&DiskCallbacks::diskAppeared, disk); }
    void disappeared(std::optional<std::string> bsdName) {
        deliver(&DiskCallbacks::diskDisappeared, Disk{std::move(bsdName), std::nullopt});
    }
    void unmountRequested(std::optional<std::string> bsdName) {
        deliver(&DiskCallbacks::unmountApproval, Disk{std::move(bsdName), std::nullopt});
    }
    std::size_t openSessions() const {
        return static_cast<std::size_t>(std::count_if(
            open_.begin(), open_.end(), [](const auto& weak) { return !weak.expired(); }));
    }

private:
    class Session final : public DiskSession {
    public:
        Session(FakeDiskArbitration& owner, std::shared_ptr<DiskCallbacks> callbacks)
            : owner_(owner), callbacks_(std::move(callbacks)) {}
        std::optional<Disk> diskForVolumePath(const std::string& path) override {
            owner_.diskQueries.push_back(path);
            const auto it = owner_.disksByPath.find(path);
            if (it == owner_.disksByPath.end())
                return std::nullopt;
            return it->second;
        }

    private:
        FakeDiskArbitration& owner_;
        std::shared_ptr<DiskCallbacks> callbacks_; // callbacks live exactly as long as this
    };

    template <class Member> void deliver(Member member, const Disk& disk) {
        const auto snapshot = open_;
        for (const auto& weak : snapshot)
            if (auto callbacks = weak.lock(); callbacks && (*callbacks).*member)
                ((*callbacks).*member)(disk);
    }

    std::vector<std::weak_ptr<DiskCallbacks>> open_;
};

/// The three fakes together, with one-call helpers for the common moves of a drive.
struct FakeVolumeSystem {
    FakeVolumeCatalog catalog;
    FakeWorkspace workspace;
    FakeDiskArbitration diskArbitration;

    VolumePorts ports() { return VolumePorts{catalog, workspace, &diskArbitration}; }

    /// A drive mounted at `path` that the system describes with `values`, behind `bsdName` on
    /// `protocol`; announced by a mount notification when `announce` holds.
    void plugIn(const std::string& path, VolumeResourceValues values,
                std::optional<std::string> bsdName, std::optional<std::string> protocol = "USB",
                bool announce = true) {
        catalog.mount(path, std::move(values));
        diskArbitration.attach(path, std::move(bsdName), std::move(protocol));
        if (announce)
            workspace.mounted(path);
    }

    /// The drive at `path` leaves: approved first when `ejected`, then gone.
    void remove(const std::string& path, bool ejected) {
        const auto disk = diskArbitration.disksByPath[path];
        catalog.unmount(path);
        diskArbitration.disksByPath.erase(path);
        if (ejected)
            diskArbitration.unmountRequested(disk.bsdName);
        diskArbitration.disappeared(disk.bsdName);
    }
};

} // namespace vornix::testing
