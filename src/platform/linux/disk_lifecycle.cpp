#include "platform/linux/disk_lifecycle.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <set>

namespace vornix::linux_platform {

namespace {

bool isBlockDevice(dev_t device) {
    return major(device) != 0;
}

std::set<dev_t> blockDevicesOf(const std::vector<RootMount>& mounts) {
    std::set<dev_t> devices;
    for (const auto& m : mounts)
        if (isBlockDevice(m.device))
            devices.insert(m.device);
    return devices;
}

} // namespace

bool DiskLifecycle::Tracked::standsOn(dev_t device, dev_t other) const {
    const auto& beneath = identity.beneath;
    return device == other || identity.wholeDisk == other ||
           std::find(beneath.begin(), beneath.end(), other) != beneath.end();
}

bool DiskLifecycle::isPresent(dev_t device, const Tracked& tracked) {
    const auto present = [this](dev_t d) { return probe_.presence(d) == DevicePresence::present; };
    const auto& beneath = tracked.identity.beneath;
    return present(device) && std::all_of(beneath.begin(), beneath.end(), present);
}

void DiskLifecycle::track(dev_t device) {
    if (devices_.count(device))
        return;
    Tracked tracked;
    tracked.identity.wholeDisk = device;
    if (auto id = probe_.identity(device))
        tracked.identity = std::move(*id);
    devices_.emplace(device, std::move(tracked));
}

void DiskLifecycle::reportGone(dev_t device, Tracked& tracked, std::vector<VolumeReport>& out,
                               VolumeReport::Kind kind) {
    if (tracked.reportedGone)
        return;
    tracked.reportedGone = true;
    if (!tracked.identity.kernelName.empty())
        out.push_back({kind, tracked.identity.kernelName, {}, device});
}

void DiskLifecycle::start(const std::vector<RootMount>& mounts) {
    mounts_ = mounts;
    devices_.clear();
    for (const auto device : blockDevicesOf(mounts))
        track(device);
}

std::optional<std::string> DiskLifecycle::mountPointOf(dev_t device) const {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
        if (it->device == device)
            return it->target;
    return std::nullopt;
}

std::vector<VolumeReport> DiskLifecycle::mountsChanged(const std::vector<RootMount>& mounts) {
    std::vector<VolumeReport> out;
    const auto before = blockDevicesOf(mounts_);
    const auto after = blockDevicesOf(mounts);

    for (auto it = devices_.begin(); it != devices_.end();) {
        if (after.count(it->first)) {
            ++it;
            continue;
        }
        auto& tracked = it->second;
        // Read now: udisks lazily unmounts a pulled drive right after its removal, and that
        // unmount must not pass for an orderly one.
        if (!tracked.reportedGone)
            reportGone(it->first, tracked, out,
                       isPresent(it->first, tracked) ? VolumeReport::Kind::unmounted
                                                     : VolumeReport::Kind::gone);
        it = devices_.erase(it);
    }
    for (const auto device : after)
        track(device);

    std::map<int, const RootMount*> old;
    for (const auto& m : mounts_)
        old[m.mountId] = &m;
    for (const auto& m : mounts) {
        const auto was = old.find(m.mountId);
        if (was != old.end()) {
            if (was->second->target != m.target) // moved
                out.push_back({VolumeReport::Kind::renamed, {}, m.target, m.device});
            continue;
        }
        const bool knownDevice = isBlockDevice(m.device) && before.count(m.device);
        out.push_back({knownDevice ? VolumeReport::Kind::renamed : VolumeReport::Kind::mounted,
                       {},
                       m.target,
                       m.device});
    }
    mounts_ = mounts;
    return out;
}

std::vector<VolumeReport> DiskLifecycle::blockEvent(const BlockEvent& event) {
    std::vector<VolumeReport> out;
    using Action = BlockEvent::Action;
    // Devices that hold no reported volume cost nothing beyond this look-up.
    bool concerned = false;
    for (const auto& [device, tracked] : devices_)
        concerned = concerned || tracked.standsOn(device, event.device);
    if (!concerned)
        return out;
    bool gone = event.action == Action::remove;
    if (event.action == Action::change)
        gone = probe_.presence(event.device) != DevicePresence::present;

    if (gone) {
        // A whole disk's departure or lost media takes its partitions with it, and the
        // device-mapper devices on them, which stay until someone closes them.
        for (auto& [device, tracked] : devices_)
            if (tracked.standsOn(device, event.device))
                reportGone(device, tracked, out);
        return out;
    }
    if (event.action != Action::add && event.action != Action::change)
        return out;
    const auto it = devices_.find(event.device);
    if (it == devices_.end())
        return out;
    auto& tracked = it->second;
    if (tracked.reportedGone) {
        // A device that went away while still mounted only counts again once it is back.
        if (event.action != Action::add)
            return out;
        tracked.reportedGone = false;
        if (auto id = probe_.identity(event.device))
            tracked.identity = std::move(*id);
    }
    if (const auto path = mountPointOf(event.device); path && !tracked.identity.kernelName.empty())
        out.push_back(
            {VolumeReport::Kind::renamed, tracked.identity.kernelName, *path, event.device});
    return out;
}

std::vector<VolumeReport> DiskLifecycle::resynchronize() {
    std::vector<VolumeReport> out;
    for (auto& [device, tracked] : devices_)
        if (!tracked.reportedGone && !isPresent(device, tracked))
            reportGone(device, tracked, out);
    return out;
}

} // namespace vornix::linux_platform
