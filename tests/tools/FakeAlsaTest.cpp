// The fake ALSA hardware seen through plain libasound calls, the way the
// daemon's ALSA back end sees a DAC.

#include "support/FakeAlsa.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using QUORVELTEST::FakeAlsa;
using QUORVELTEST::FakeCard;
using QUORVELTEST::FakeMixerElement;
using QUORVELTEST::FakePcmDevice;

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct MixerCloser {
    void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using MixerHandle = std::unique_ptr<snd_mixer_t, MixerCloser>;

struct CtlCloser {
    void operator()(snd_ctl_t* ctl) const { snd_ctl_close(ctl); }
};
using CtlHandle = std::unique_ptr<snd_ctl_t, CtlCloser>;

PcmHandle openPcm(const char* name, int mode = 0) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name, SND_PCM_STREAM_PLAYBACK, mode) < 0) {
        return nullptr;
    }
    return PcmHandle(pcm);
}

MixerHandle openMixer(const char* card) {
    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) {
        return nullptr;
    }
    MixerHandle handle(mixer);
    if (snd_mixer_attach(mixer, card) < 0 || snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer) < 0) {
        return nullptr;
    }
    return handle;
}

snd_mixer_elem_t* findElement(snd_mixer_t* mixer, const char* name) {
    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_name(id, name);
    snd_mixer_selem_id_set_index(id, 0);
    return snd_mixer_find_selem(mixer, id);
}

std::vector<uint8_t> pattern(size_t bytes, uint8_t seed) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<uint8_t>(seed + i * 131 + (i >> 8));
    }
    return data;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

FakePcmDevice dsdDevice() {
    FakePcmDevice device;
    device.formats = {"S32_LE", "DSD_U32_LE", "DSD_U32_BE"};
    device.channelsMin = 2;
    device.channelsMax = 8;
    device.rateMin = 44100;
    device.rateMax = 705600;
    device.bufferBytesMax = 96000;
    return device;
}

TEST(FakeAlsaPcm, HardwareParametersFollowTheConfiguration) {
    FakePcmDevice pcmOnly;
    pcmOnly.device = 1;
    pcmOnly.formats = {"S16_LE", "S24_3LE", "FLOAT_LE", "FLOAT64_LE"};
    pcmOnly.channelsMin = 1;
    pcmOnly.channelsMax = 2;
    pcmOnly.rates = {44100, 96000};
    FakeAlsa alsa({}, {dsdDevice(), pcmOnly});
    ASSERT_TRUE(alsa.ok());

    PcmHandle dsd = openPcm("hw:1,0");
    ASSERT_TRUE(dsd);
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    ASSERT_GE(snd_pcm_hw_params_any(dsd.get(), params), 0);
    ASSERT_EQ(snd_pcm_hw_params_set_access(dsd.get(), params, SND_PCM_ACCESS_RW_INTERLEAVED), 0);
    EXPECT_LT(snd_pcm_hw_params_test_access(dsd.get(), params, SND_PCM_ACCESS_MMAP_INTERLEAVED), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_format(dsd.get(), params, SND_PCM_FORMAT_DSD_U32_LE), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_format(dsd.get(), params, SND_PCM_FORMAT_DSD_U32_BE), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_format(dsd.get(), params, SND_PCM_FORMAT_S32_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(dsd.get(), params, SND_PCM_FORMAT_S16_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(dsd.get(), params, SND_PCM_FORMAT_S24_3LE), 0);
    unsigned int low = 0;
    unsigned int high = 0;
    ASSERT_EQ(snd_pcm_hw_params_get_channels_min(params, &low), 0);
    ASSERT_EQ(snd_pcm_hw_params_get_channels_max(params, &high), 0);
    EXPECT_EQ(low, 2u);
    EXPECT_EQ(high, 8u);
    ASSERT_EQ(snd_pcm_hw_params_get_rate_min(params, &low, nullptr), 0);
    ASSERT_EQ(snd_pcm_hw_params_get_rate_max(params, &high, nullptr), 0);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 705600u);
    // The byte limit becomes a frame limit once the frame size is fixed.
    ASSERT_EQ(snd_pcm_hw_params_set_format(dsd.get(), params, SND_PCM_FORMAT_S32_LE), 0);
    ASSERT_EQ(snd_pcm_hw_params_set_channels(dsd.get(), params, 2), 0);
    snd_pcm_uframes_t frames = 0;
    ASSERT_EQ(snd_pcm_hw_params_get_buffer_size_max(params, &frames), 0);
    EXPECT_EQ(frames, 96000u / 8u);

    PcmHandle pcm = openPcm("hw:1,1");
    ASSERT_TRUE(pcm);
    ASSERT_GE(snd_pcm_hw_params_any(pcm.get(), params), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_format(pcm.get(), params, SND_PCM_FORMAT_S24_3LE), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_format(pcm.get(), params, SND_PCM_FORMAT_FLOAT64_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(pcm.get(), params, SND_PCM_FORMAT_S24_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(pcm.get(), params, SND_PCM_FORMAT_DSD_U32_LE), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_rate(pcm.get(), params, 96000, 0), 0);
    EXPECT_LT(snd_pcm_hw_params_test_rate(pcm.get(), params, 48000, 0), 0);
    EXPECT_EQ(snd_pcm_hw_params_test_channels(pcm.get(), params, 1), 0);
    EXPECT_LT(snd_pcm_hw_params_test_channels(pcm.get(), params, 4), 0);
}

TEST(FakeAlsaPcm, DeviceNamesResolveLikeCards) {
    FakePcmDevice missing;
    missing.card = 3;
    missing.openError = ENODEV;
    FakeAlsa alsa({}, {dsdDevice(), missing});
    ASSERT_TRUE(alsa.ok());

    EXPECT_TRUE(openPcm("hw:1"));    // device 0 by default
    EXPECT_FALSE(openPcm("hw:2,0")); // no such card
    EXPECT_FALSE(openPcm("hw:1,5")); // no such device
    snd_pcm_t* pcm = nullptr;
    EXPECT_EQ(snd_pcm_open(&pcm, "hw:3,0", SND_PCM_STREAM_PLAYBACK, 0), -ENODEV);
    EXPECT_LT(snd_pcm_open(&pcm, "hw:1,0", SND_PCM_STREAM_CAPTURE, 0), 0);
}

TEST(FakeAlsaPcm, WrittenBytesArriveInTheOutputFileUnchanged) {
    FakePcmDevice device;
    device.formats = {"S24_3LE", "DSD_U32_BE"};
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());

    std::vector<uint8_t> expected;
    {
        PcmHandle pcm = openPcm("hw:1,0");
        ASSERT_TRUE(pcm);
        ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S24_3LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                     96000, 0, 20000),
                  0);
        snd_pcm_sframes_t buffer = snd_pcm_avail_update(pcm.get());
        ASSERT_GT(buffer, 0);
        // Chunks smaller than, equal to and larger than the buffer.
        for (snd_pcm_sframes_t frames : {snd_pcm_sframes_t{7}, buffer, 3 * buffer + 5}) {
            std::vector<uint8_t> chunk =
                pattern(static_cast<size_t>(frames) * 6, static_cast<uint8_t>(frames));
            ASSERT_EQ(snd_pcm_writei(pcm.get(), chunk.data(), static_cast<snd_pcm_uframes_t>(frames)),
                      frames);
            expected.insert(expected.end(), chunk.begin(), chunk.end());
        }
        // A format change on the open device continues the same file.
        ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_DSD_U32_BE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                     88200, 0, 20000),
                  0);
        std::vector<uint8_t> dsd = pattern(1000 * 8, 99);
        ASSERT_EQ(snd_pcm_writei(pcm.get(), dsd.data(), 1000), 1000);
        expected.insert(expected.end(), dsd.begin(), dsd.end());
        EXPECT_EQ(snd_pcm_drain(pcm.get()), 0);
    }
    EXPECT_EQ(alsa.output(1, 0), expected);
}

TEST(FakeAlsaPcm, PacedDeviceBlocksTheWriterAtItsRate) {
    FakePcmDevice device;
    device.paced = true;
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());
    PcmHandle pcm = openPcm("hw:1,0");
    ASSERT_TRUE(pcm);
    ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 48000, 0,
                                 20000),
              0);
    snd_pcm_sframes_t buffer = snd_pcm_avail_update(pcm.get());
    ASSERT_GT(buffer, 0);

    const snd_pcm_sframes_t frames = 14400; // 0.3 s
    std::vector<uint8_t> data = pattern(static_cast<size_t>(frames) * 4, 1);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(snd_pcm_writei(pcm.get(), data.data(), frames), frames);
    double written = secondsSince(start);
    ASSERT_EQ(snd_pcm_drain(pcm.get()), 0);
    double drained = secondsSince(start);

    // Only the part beyond the first buffer waits for the device.
    EXPECT_GE(written, 0.8 * static_cast<double>(frames - buffer) / 48000.0);
    EXPECT_GE(drained, 0.8 * 0.3);
    EXPECT_LT(drained, 5.0);
    EXPECT_EQ(alsa.output(1, 0), data);
}

TEST(FakeAlsaPcm, PollReportsRoomOnlyWhenTheDeviceMadeSome) {
    FakePcmDevice device;
    device.paced = true;
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());
    PcmHandle pcm = openPcm("hw:1,0", SND_PCM_NONBLOCK);
    ASSERT_TRUE(pcm);
    ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 48000, 0,
                                 20000),
              0);
    snd_pcm_sframes_t buffer = snd_pcm_avail_update(pcm.get());
    ASSERT_GT(buffer, 0);
    ASSERT_EQ(snd_pcm_poll_descriptors_count(pcm.get()), 1);
    pollfd descriptor{};
    ASSERT_EQ(snd_pcm_poll_descriptors(pcm.get(), &descriptor, 1), 1);
    auto revents = [&] {
        unsigned short events = 0;
        EXPECT_EQ(snd_pcm_poll_descriptors_revents(pcm.get(), &descriptor, 1, &events), 0);
        return events;
    };

    // An empty prepared device has room at once.
    ASSERT_EQ(poll(&descriptor, 1, 1000), 1);
    EXPECT_TRUE(revents() & POLLOUT);

    // Full and not started, it makes no room: no wake-up.
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    ASSERT_EQ(snd_pcm_sw_params_current(pcm.get(), software), 0);
    ASSERT_EQ(snd_pcm_sw_params_set_start_threshold(pcm.get(), software, 2 * buffer), 0);
    ASSERT_EQ(snd_pcm_sw_params(pcm.get(), software), 0);
    std::vector<uint8_t> data = pattern(static_cast<size_t>(buffer) * 4, 3);
    ASSERT_EQ(snd_pcm_writei(pcm.get(), data.data(), static_cast<snd_pcm_uframes_t>(buffer)), buffer);
    EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_PREPARED);
    EXPECT_EQ(poll(&descriptor, 1, 50), 0);
    ASSERT_EQ(snd_pcm_start(pcm.get()), 0);

    // Running, it wakes the poller once a period's worth has been played.
    int woken = 0;
    unsigned short events = 0;
    for (int attempt = 0; attempt < 100 && !(events & POLLOUT); ++attempt) {
        woken = poll(&descriptor, 1, 1000);
        ASSERT_EQ(woken, 1);
        events = revents();
    }
    EXPECT_TRUE(events & POLLOUT);
    snd_pcm_uframes_t period = 0;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    ASSERT_EQ(snd_pcm_hw_params_current(pcm.get(), params), 0);
    ASSERT_EQ(snd_pcm_hw_params_get_period_size(params, &period, nullptr), 0);
    EXPECT_GE(snd_pcm_avail(pcm.get()), static_cast<snd_pcm_sframes_t>(period));
    EXPECT_EQ(snd_pcm_drop(pcm.get()), 0);
}

TEST(FakeAlsaPcm, UnderrunIsReportedOnceAndRecovers) {
    FakePcmDevice device;
    device.underrunAfter = 4800;
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());
    PcmHandle pcm = openPcm("hw:1,0");
    ASSERT_TRUE(pcm);
    ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 48000, 0,
                                 10000),
              0);
    snd_pcm_sframes_t buffer = snd_pcm_avail_update(pcm.get());
    ASSERT_GT(buffer, 0);

    std::vector<uint8_t> data = pattern(960 * 4, 5);
    snd_pcm_sframes_t accepted = 0;
    int underruns = 0;
    for (int chunk = 0; chunk < 20; ++chunk) {
        snd_pcm_sframes_t result = snd_pcm_writei(pcm.get(), data.data(), 960);
        if (result == -EPIPE) {
            ++underruns;
            EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_XRUN);
            EXPECT_GE(accepted, 4800);
            EXPECT_LE(accepted, 4800 + buffer);
            ASSERT_EQ(snd_pcm_recover(pcm.get(), -EPIPE, 1), 0);
            continue;
        }
        ASSERT_GT(result, 0) << "chunk " << chunk;
        accepted += result;
    }
    EXPECT_EQ(underruns, 1);
    EXPECT_EQ(alsa.output(1, 0).size(), static_cast<size_t>(accepted) * 4);
}

TEST(FakeAlsaPcm, PacedDeviceRunningDryWaitsUnlessToldToUnderrun) {
    FakePcmDevice waits;
    waits.paced = true;
    FakePcmDevice strict = waits;
    strict.device = 1;
    strict.xrunWhenEmpty = true;
    FakeAlsa alsa({}, {waits, strict});
    ASSERT_TRUE(alsa.ok());
    for (const char* name : {"hw:1,0", "hw:1,1"}) {
        SCOPED_TRACE(name);
        PcmHandle pcm = openPcm(name);
        ASSERT_TRUE(pcm);
        ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                     48000, 0, 10000),
                  0);
        snd_pcm_sframes_t buffer = snd_pcm_avail_update(pcm.get());
        ASSERT_GT(buffer, 0);
        std::vector<uint8_t> data = pattern(static_cast<size_t>(buffer) * 4, 9);
        ASSERT_EQ(snd_pcm_writei(pcm.get(), data.data(), static_cast<snd_pcm_uframes_t>(buffer)), buffer);
        ASSERT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_RUNNING);
        // Four buffer times without data: the device has run dry.
        std::this_thread::sleep_for(std::chrono::microseconds(40000));
        snd_pcm_sframes_t result =
            snd_pcm_writei(pcm.get(), data.data(), static_cast<snd_pcm_uframes_t>(buffer));
        if (name == std::string("hw:1,1")) {
            EXPECT_EQ(result, -EPIPE);
        } else {
            EXPECT_EQ(result, buffer);
        }
    }
}

TEST(FakeAlsaPcm, VanishedDeviceFailsEveryWrite) {
    FakePcmDevice device;
    device.failAfter = 2000;
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());
    PcmHandle pcm = openPcm("hw:1,0");
    ASSERT_TRUE(pcm);
    ASSERT_EQ(snd_pcm_set_params(pcm.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 48000, 0,
                                 10000),
              0);

    std::vector<uint8_t> data = pattern(960 * 4, 7);
    EXPECT_EQ(snd_pcm_writei(pcm.get(), data.data(), 960), 960);
    EXPECT_EQ(snd_pcm_writei(pcm.get(), data.data(), 960), 960);
    EXPECT_EQ(snd_pcm_writei(pcm.get(), data.data(), 960), 80);
    EXPECT_EQ(snd_pcm_writei(pcm.get(), data.data(), 960), -ENODEV);
    EXPECT_EQ(snd_pcm_state(pcm.get()), SND_PCM_STATE_DISCONNECTED);
    EXPECT_LT(snd_pcm_recover(pcm.get(), -ENODEV, 1), 0);
    EXPECT_LT(snd_pcm_prepare(pcm.get()), 0);
    EXPECT_LT(snd_pcm_writei(pcm.get(), data.data(), 960), 0);
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    EXPECT_LT(snd_pcm_hw_params_any(pcm.get(), params), 0);
    EXPECT_EQ(alsa.output(1, 0).size(), 2000u * 4u);
}

FakeCard mixerCard() {
    FakeCard card;
    card.card = 1;
    card.id = "Fake1";
    card.name = "Quorvel Test DAC";
    card.longname = "Quorvel Test DAC at usb-1";
    card.mixername = "Test Mixer";
    FakeMixerElement pcm; // 0..255 over -51.00..0 dB: 0.2 dB steps
    FakeMixerElement master;
    master.name = "Master";
    master.rawMax = 60;
    master.dbMin = -6000;
    master.tlv = FakeMixerElement::Tlv::DbMinMax;
    master.playbackSwitch = true;
    master.initial = 30;
    card.elements = {pcm, master};
    return card;
}

TEST(FakeAlsaControl, CardInfoCarriesTheConfiguredNames) {
    FakeAlsa alsa({mixerCard()}, {FakePcmDevice{}});
    ASSERT_TRUE(alsa.ok());
    snd_ctl_t* raw = nullptr;
    ASSERT_EQ(snd_ctl_open(&raw, "hw:1", 0), 0);
    CtlHandle ctl(raw);
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    ASSERT_EQ(snd_ctl_card_info(ctl.get(), info), 0);
    EXPECT_EQ(snd_ctl_card_info_get_card(info), 1);
    EXPECT_STREQ(snd_ctl_card_info_get_id(info), "Fake1");
    EXPECT_STREQ(snd_ctl_card_info_get_name(info), "Quorvel Test DAC");
    EXPECT_STREQ(snd_ctl_card_info_get_longname(info), "Quorvel Test DAC at usb-1");
    EXPECT_STREQ(snd_ctl_card_info_get_mixername(info), "Test Mixer");
    EXPECT_LT(snd_ctl_open(&raw, "hw:4", 0), 0);
}

TEST(FakeAlsaControl, MixerSetsVolumeInDecibelsAndPersistsIt) {
    FakeAlsa alsa({mixerCard()}, {});
    ASSERT_TRUE(alsa.ok());
    {
        MixerHandle mixer = openMixer("hw:1");
        ASSERT_TRUE(mixer);
        snd_mixer_elem_t* pcm = findElement(mixer.get(), "PCM");
        snd_mixer_elem_t* master = findElement(mixer.get(), "Master");
        ASSERT_NE(pcm, nullptr);
        ASSERT_NE(master, nullptr);
        for (snd_mixer_elem_t* element : {pcm, master}) {
            EXPECT_TRUE(snd_mixer_selem_is_active(element));
            EXPECT_TRUE(snd_mixer_selem_has_playback_volume(element));
        }
        EXPECT_FALSE(snd_mixer_selem_has_playback_switch(pcm));
        EXPECT_TRUE(snd_mixer_selem_has_playback_switch(master));
        long low = 0;
        long high = 0;
        ASSERT_EQ(snd_mixer_selem_get_playback_dB_range(pcm, &low, &high), 0);
        EXPECT_EQ(low, -5100);
        EXPECT_EQ(high, 0);
        ASSERT_EQ(snd_mixer_selem_get_playback_dB_range(master, &low, &high), 0);
        EXPECT_EQ(low, -6000);
        EXPECT_EQ(high, 0);
        long raw = 0;
        ASSERT_EQ(snd_mixer_selem_get_playback_volume(pcm, SND_MIXER_SCHN_FRONT_LEFT, &raw), 0);
        EXPECT_EQ(raw, 255); // starts at the maximum unless told otherwise
        ASSERT_EQ(snd_mixer_selem_get_playback_volume(master, SND_MIXER_SCHN_FRONT_LEFT, &raw), 0);
        EXPECT_EQ(raw, 30);

        ASSERT_EQ(snd_mixer_selem_set_playback_dB_all(pcm, -2000, 0), 0);
        ASSERT_EQ(snd_mixer_selem_set_playback_dB_all(master, -2000, 0), 0);
        ASSERT_EQ(snd_mixer_selem_get_playback_volume(pcm, SND_MIXER_SCHN_FRONT_RIGHT, &raw), 0);
        EXPECT_EQ(raw, 155); // (-20.00 + 51.00) dB / 0.2 dB
        long db = 0;
        ASSERT_EQ(snd_mixer_selem_get_playback_dB(master, SND_MIXER_SCHN_FRONT_LEFT, &db), 0);
        EXPECT_EQ(db, -2000);
    }
    std::vector<long> values;
    ASSERT_TRUE(alsa.mixerValues(1, "PCM Playback Volume", values));
    EXPECT_EQ(values, (std::vector<long>{155, 155}));
    ASSERT_TRUE(alsa.mixerValues(1, "Master Playback Volume", values));
    EXPECT_EQ(values, (std::vector<long>{40, 40}));

    // A later handle starts from what the earlier one left.
    MixerHandle mixer = openMixer("hw:1");
    ASSERT_TRUE(mixer);
    snd_mixer_elem_t* pcm = findElement(mixer.get(), "PCM");
    ASSERT_NE(pcm, nullptr);
    long raw = 0;
    ASSERT_EQ(snd_mixer_selem_get_playback_volume(pcm, SND_MIXER_SCHN_FRONT_LEFT, &raw), 0);
    EXPECT_EQ(raw, 155);
    ASSERT_EQ(snd_mixer_selem_set_playback_volume_all(pcm, 0), 0);
    ASSERT_TRUE(alsa.mixerValues(1, "PCM Playback Volume", values));
    EXPECT_EQ(values, (std::vector<long>{0, 0}));
}

TEST(FakeAlsaControl, ValuesOutsideTheRangeAreRefused) {
    FakeAlsa alsa({mixerCard()}, {});
    ASSERT_TRUE(alsa.ok());
    snd_ctl_t* raw = nullptr;
    ASSERT_EQ(snd_ctl_open(&raw, "hw:1", 0), 0);
    CtlHandle ctl(raw);
    snd_ctl_elem_value_t* value = nullptr;
    snd_ctl_elem_value_alloca(&value);
    snd_ctl_elem_value_set_interface(value, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_value_set_name(value, "Master Playback Volume");
    snd_ctl_elem_value_set_integer(value, 0, 61);
    snd_ctl_elem_value_set_integer(value, 1, 10);
    EXPECT_LT(snd_ctl_elem_write(ctl.get(), value), 0);
    std::vector<long> values;
    EXPECT_FALSE(alsa.mixerValues(1, "Master Playback Volume", values));
}

TEST(FakeAlsaControl, CardWithoutElementsHasAnEmptyMixer) {
    FakePcmDevice device;
    device.card = 2;
    FakeAlsa alsa({}, {device});
    ASSERT_TRUE(alsa.ok());
    MixerHandle mixer = openMixer("hw:2");
    ASSERT_TRUE(mixer);
    EXPECT_EQ(snd_mixer_first_elem(mixer.get()), nullptr);
}

TEST(FakeAlsaSetup, EachFakeReplacesTheConfigurationOfTheLast) {
    for (const char* name : {"First Fake", "Second Fake"}) {
        FakeCard card;
        card.name = name;
        FakeAlsa alsa({card}, {});
        ASSERT_TRUE(alsa.ok());
        snd_ctl_t* raw = nullptr;
        ASSERT_EQ(snd_ctl_open(&raw, "hw:1", 0), 0);
        CtlHandle ctl(raw);
        snd_ctl_card_info_t* info = nullptr;
        snd_ctl_card_info_alloca(&info);
        ASSERT_EQ(snd_ctl_card_info(ctl.get(), info), 0);
        EXPECT_STREQ(snd_ctl_card_info_get_name(info), name);
    }
}

} // namespace
