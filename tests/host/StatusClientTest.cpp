// ctest-labels: threads
// The Host's status-channel client against a real status channel on [::1]:
// negative volumes survive the 48-bit value field both ways, and the
// channel's clamping and refusals reach the caller.
#include "host/StatusClient.h"
#include "protocol/Status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using QUORVEL::StatusControlInfo;

// A status channel stepped on a thread of its own, as the node thread steps it.
class RunningStatus {
public:
    RunningStatus() {
        registrar.open(VEMRA::SocketAddress::loopback(0));
        QUORVEL::StatusDescriptor descriptor;
        descriptor.sinkId = 2;
        descriptor.name = "USB DAC Control";
        descriptor.addressBlock = QUORVEL::StatusDescriptor::loopbackBlock(2);
        descriptor.controls.push_back(QUORVEL::StatusControl{QUORVEL::StatusControl::kFormat, 0, 0});
        descriptor.controls.push_back(QUORVEL::StatusControl{QUORVEL::StatusControl::kVolume, -6000, 0});
        QUORVEL::StatusConfig config;
        config.registrationPort = registrar.localPort();
        status = std::make_unique<QUORVEL::Status>(descriptor, pollSet, config);
        started = status->start();
        stepper = std::thread([this] {
            while (running.load(std::memory_order_acquire)) {
                pollSet.wait(10 * VEMRA::kPicosecondsPerMillisecond);
                status->step();
            }
        });
    }
    ~RunningStatus() {
        running.store(false, std::memory_order_release);
        stepper.join();
    }

    VEMRA::SocketWaitSet pollSet;
    QUORVEL::HostSocket registrar;
    std::unique_ptr<QUORVEL::Status> status; // stepped only by `stepper` once it runs
    bool started = false;
    std::atomic<bool> running{true};
    std::thread stepper;
};

TEST(StatusClient, ControlsAndSignedVolumes) {
    RunningStatus channel;
    ASSERT_TRUE(channel.started);
    QUORVEL::StatusClient client(VEMRA::SocketAddress::loopback(channel.status->boundPort()));
    ASSERT_TRUE(client.open());

    EXPECT_EQ(client.controlCount(), std::optional<uint16_t>(2));
    const auto volume = client.control(2);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->type, StatusControlInfo::kVolume);
    EXPECT_EQ(volume->low, -6000);
    EXPECT_EQ(volume->high, 0);
    EXPECT_FALSE(client.control(3)) << "beyond the list";
    EXPECT_FALSE(client.control(0)) << "0 asks for the count, not a control";

    const auto set = client.setValue(2, -2000);
    ASSERT_TRUE(set);
    EXPECT_TRUE(set->accepted);
    EXPECT_EQ(set->value, -2000);
    const auto read = client.value(2);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value, -2000);
    EXPECT_FALSE(read->connected);

    const auto clamped = client.setValue(2, -7000);
    ASSERT_TRUE(clamped);
    EXPECT_EQ(clamped->value, -6000) << "the channel clamps to its range";
    const auto loud = client.setValue(2, 600);
    ASSERT_TRUE(loud);
    EXPECT_EQ(loud->value, 0);

    const auto format = client.setValue(1, 5);
    ASSERT_TRUE(format);
    EXPECT_FALSE(format->accepted) << "the format control is read-only";
    EXPECT_EQ(format->value, 0);
    EXPECT_EQ(client.setControlName("quorvel_host"), std::optional<bool>(true));
}

} // namespace
