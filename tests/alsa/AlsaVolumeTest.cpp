// ctest-labels: threads
// Volume on the fake card's simple mixer: the setting decides whether the
// Host is offered a control and what the probe applies; the status channel's
// value reaches every playback-volume element.
#include "AlsaSinkFixture.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using ALSATEST::AlsaSinkFixture;
using QUORVELTEST::FakeAlsa;
using QUORVELTEST::FakeCard;
using QUORVELTEST::FakeMixerElement;
using QUORVELTEST::FakePcmDevice;
using namespace std::chrono_literals;

// 0..255 raw over -51.00..0 dB: 0.20 dB per step, so -20 dB is raw 155.
FakeMixerElement element(const char* name) {
    FakeMixerElement e;
    e.name = name;
    return e;
}

class AlsaVolumeTest : public ::testing::Test {
protected:
    void start(const ALSATEST::Keys& keys,
               std::vector<FakeMixerElement> elements = {element("Master"), element("PCM")}) {
        FakeCard card;
        card.elements = std::move(elements);
        fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{card},
                                          std::vector<FakePcmDevice>{FakePcmDevice()});
        ASSERT_TRUE(fake->ok());
        ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith(keys)));
    }
    std::vector<long> raw(const std::string& element) const {
        std::vector<long> values;
        fake->mixerValues(1, element + " Playback Volume", values);
        return values;
    }
    bool written(const std::string& element) const {
        std::vector<long> values;
        return fake->mixerValues(1, element + " Playback Volume", values);
    }
    // Sends a request to the status channel and runs the node's control
    // turns until its answer arrives.
    std::optional<QUORVEL::HostAnswer> ask(QUORVEL::Send request, uint16_t answerCode) {
        QUORVEL::HostSocket host;
        if (!host.open()) {
            return std::nullopt;
        }
        const auto to = QUORVEL::hostEndpoint("::1", fixture.sink->status().boundPort());
        if (!to || !host.send(request, *to)) {
            return std::nullopt;
        }
        for (int turn = 0; turn < 20; ++turn) {
            if (!fixture.sink->controlTurn()) {
                return std::nullopt;
            }
            if (auto answer = host.receive(answerCode, 10ms)) {
                return answer;
            }
        }
        return std::nullopt;
    }
    size_t controlCount() {
        auto answer = ask(QUORVEL::Send(QUORVEL::CONTROL_INFO_REQ, 0, 0, 0, 0, 0), QUORVEL::CONTROL_INFO_ANS);
        return answer ? answer->param0() : 0;
    }
    void TearDown() override {
        fixture.release();
        fake.reset();
    }

    QUORVEL::LogCapture log;
    AlsaSinkFixture fixture;
    std::unique_ptr<FakeAlsa> fake;
};

TEST_F(AlsaVolumeTest, InitialCutOnEveryElement) {
    start({{"VolumeCtl", "-20db"}});
    EXPECT_EQ(raw("Master"), (std::vector<long>{155, 155}));
    EXPECT_EQ(raw("PCM"), (std::vector<long>{155, 155}));
    EXPECT_TRUE(log.contains("Master -2000db"));
    EXPECT_TRUE(log.contains("PCM -2000db"));
    EXPECT_TRUE(log.contains("VOLUME ENABLE"));
    EXPECT_EQ(controlCount(), 2u);
    // The status channel starts from the applied value.
    EXPECT_EQ(static_cast<int64_t>(fixture.sink->status().value(1)), -2000);
}

TEST_F(AlsaVolumeTest, MuteSetsRawZero) {
    start({{"VolumeCtl", "mute"}});
    EXPECT_EQ(raw("Master"), (std::vector<long>{0, 0}));
    EXPECT_EQ(raw("PCM"), (std::vector<long>{0, 0}));
    EXPECT_TRUE(log.contains("Master0"));
    EXPECT_TRUE(log.contains("PCM0"));
}

TEST_F(AlsaVolumeTest, DisabledOrUnusableVolumeIsNotOffered) {
    start({{"VolumeCtl", "disable"}});
    EXPECT_EQ(controlCount(), 1u);
    EXPECT_FALSE(log.contains("VOLUME ENABLE"));
    EXPECT_FALSE(written("Master"));
    EXPECT_FALSE(written("PCM"));
    TearDown();

    // A card without playback-volume elements offers none, whatever the setting.
    start({{"VolumeCtl", "-20db"}}, {});
    EXPECT_EQ(controlCount(), 1u);
    EXPECT_FALSE(log.contains("VOLUME ENABLE"));
    const QUORVEL::StatusDescriptor descriptor = CertifiedSinkAlsa::buildControlDescriptor(
        fixture.sink->sinkInfo(), "hw:1,0", ALSATEST::settingsWith({{"VolumeCtl", "0db"}}));
    ASSERT_EQ(descriptor.controls.size(), 1u);
    EXPECT_EQ(descriptor.controls[0].type, QUORVEL::StatusControl::kFormat);
    EXPECT_EQ(descriptor.name, fixture.sink->name() + " Control");
}

TEST_F(AlsaVolumeTest, HostValuesAreClampedBeforeTheMixer) {
    FakeMixerElement quiet = element("Master");
    quiet.initial = 100;
    start({{"VolumeCtl", "0db"}}, {quiet, element("PCM")});
    EXPECT_EQ(raw("Master"), (std::vector<long>{255, 255})) << "0 dB applied at start";

    // -7000 is below the offered range: stored as -6000, which mutes.
    const uint16_t setVolume = 0x8000 | 2;
    auto answer = ask(
        QUORVEL::Send(QUORVEL::CONTROL_VALUE_REQ, 0, setVolume, static_cast<uint16_t>(-7000), 0xFFFF, 0xFFFF),
        QUORVEL::CONTROL_VALUE_ANS);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->accepted());
    EXPECT_EQ(answer->param1(), static_cast<uint16_t>(-6000));
    EXPECT_EQ(raw("Master"), (std::vector<long>{0, 0}));
    EXPECT_EQ(raw("PCM"), (std::vector<long>{0, 0}));

    // -1234 is applied in dB: -12.34 dB is nearest to raw 193 (-12.40 dB).
    answer = ask(
        QUORVEL::Send(QUORVEL::CONTROL_VALUE_REQ, 0, setVolume, static_cast<uint16_t>(-1234), 0xFFFF, 0xFFFF),
        QUORVEL::CONTROL_VALUE_ANS);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->param1(), static_cast<uint16_t>(-1234));
    EXPECT_TRUE(log.contains("PCM -1234db"));
    const std::vector<long> pcm = raw("PCM");
    ASSERT_EQ(pcm.size(), 2u);
    EXPECT_NEAR(pcm[0], 193, 1);
}

} // namespace
