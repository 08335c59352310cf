#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

TEST(RegistryTest, UnknownIdsChangeNothingAndAChangeFromInsideADeliveryStands) {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    testing::FakeVolumeSystem system;
    system.plugIn("/media/u/A", testing::externalVolumeValues("A", "A"), "sdb1", "USB", false);
    system.plugIn("/media/u/B", testing::externalVolumeValues("B", "B"), "sdc1", "USB", false);
    VolumeMonitor monitor(log, time, system.ports());
    const auto before = monitor.volumes.get();
    monitor.setWatched("missing", false);
    monitor.markStatus("missing", VolumeStatus::active, time.now());
    EXPECT_EQ(monitor.volumes.get(), before);

    Subscription excluder = monitor.volumes.subscribe([&](const auto& list) {
        for (const auto& v : list)
            if (v.id == "B" && v.isWatched)
                monitor.setWatched("B", false);
    });
    EXPECT_FALSE(monitor.volume("B")->isWatched);
    monitor.markStatus("A", VolumeStatus::failed, time.now(), "I/O error");
    auto expected = before;
    expected[0].status = VolumeStatus::failed;
    expected[0].statusDetail = "I/O error";
    expected[0].lastPingAt = time.now();
    expected[1].isWatched = false;
    EXPECT_EQ(monitor.volumes.get(), expected);
}

TEST(VolumeStatusTest, RawValuesRoundTripAndRejectOtherText) {
    for (auto status : {VolumeStatus::idle, VolumeStatus::active, VolumeStatus::stalled,
                        VolumeStatus::readOnly, VolumeStatus::full, VolumeStatus::failed})
        EXPECT_EQ(volumeStatusFromRawValue(rawValue(status)), status);
    for (const char* text : {"Idle", "", "readonly", "full "})
        EXPECT_EQ(volumeStatusFromRawValue(text), std::nullopt) << text;
}

} // namespace
} // namespace vornix
