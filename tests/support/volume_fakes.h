#pragma once

// A deterministic volume system: nothing happens until a test says so, and every handler runs
// inside the call that delivers it, as on the main thread.

#include "volumes/volume_ports.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vornix::testing {

/// Facts of a USB stick as the system would give them (path, device and bus set by plugIn).
inline MountedVolume externalVolumeValues(std::optional<std::string> name,
                                          std::optional<std::string> uuid) {
    MountedVolume facts{.name = std::move(name), .uuid = std::move(uuid), .isInternal = false};
    facts.isRemovable = facts.isHotPluggable = true;
    facts.isNetworkFileSystem = facts.isVirtual = false;
    return facts;
}

class FakeVolumeSystem final : public VolumeSystem {
public:
    std::vector<MountedVolume> mounted; // in mount order
    std::optional<std::string> rootUuid;
    bool listAnswers = true;
    std::map<int, std::function<void(const VolumeEvent&)>> watchers;

    VolumePorts ports() { return VolumePorts{*this}; }
    std::optional<std::string> rootFileSystemUuid() override { return rootUuid; }
    std::optional<std::vector<MountedVolume>> mountedVolumes() override {
        return listAnswers ? std::optional(mounted) : std::nullopt;
    }
    Subscription watch(std::function<void(const VolumeEvent&)> handler) override {
        watchers[++next_] = std::move(handler);
        return Subscription([this, key = next_] { watchers.erase(key); });
    }
    std::vector<WatchFailure> watchFailures() override { return {}; }
    void post(VolumeEvent::Kind kind, MountedVolume volume) {
        for (const auto& [key, handler] : decltype(watchers)(watchers))
            if (watchers.count(key))
                handler({kind, volume});
    }

    /// A drive mounted at `path`, announced when `announce` holds.
    void plugIn(const std::string& path, MountedVolume facts, std::optional<std::string> kernelName,
                std::optional<ConnectionBus> bus = ConnectionBus::usb, bool announce = true) {
        facts.mountPath = path;
        facts.kernelName = std::move(kernelName);
        facts.bus = bus;
        mounted.push_back(facts);
        if (announce)
            post(VolumeEvent::Kind::mounted, facts);
    }
    /// The drive at `path` is unmounted with its device still there (`ejected`) or pulled.
    void remove(const std::string& path, bool ejected) {
        const auto it = std::ranges::find(mounted, path, &MountedVolume::mountPath);
        const auto kernelName = it->kernelName;
        mounted.erase(it);
        post(ejected ? VolumeEvent::Kind::unmountedDevicePresent
                     : VolumeEvent::Kind::deviceGoneWhileMounted,
             {.kernelName = kernelName});
    }

private:
    int next_ = 0;
};

} // namespace vornix::testing
