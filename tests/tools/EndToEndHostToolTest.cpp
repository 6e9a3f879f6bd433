// ctest-labels: threads e2e
// The command-line Host against the running program in a network namespace:
// it finds the target, decodes what its fake DACs play, sets the volume on
// the fake card, round-trips a setting, relays the log and restarts it.
#include "tests/tools/HostToolRun.h"

#include <gtest/gtest.h>

namespace {

using namespace E2E;

QUORVELTEST::FakePcmDevice dac(int card, std::vector<std::string> formats, unsigned rateMax) {
    QUORVELTEST::FakePcmDevice device;
    device.card = card;
    device.formats = std::move(formats);
    device.rateMin = 44100;
    device.rateMax = rateMax;
    device.paced = true;
    return device;
}

// One cB per raw step: -20 dB is raw 4000.
QUORVELTEST::FakeCard cardWithVolume(int card, const std::string& name) {
    QUORVELTEST::FakeCard fake = namedCard(card, name);
    QUORVELTEST::FakeMixerElement element;
    element.name = "PCM";
    element.rawMin = 0;
    element.rawMax = 6000;
    element.dbMin = -6000;
    element.dbMax = 0;
    fake.elements.push_back(element);
    return fake;
}

// The part of an info JSON document that describes sink `number`.
std::string sinkJson(const std::string& json, int number) {
    const size_t from = json.find("{\"number\":" + std::to_string(number) + ",\"name\"");
    if (from == std::string::npos) {
        return {};
    }
    const size_t to = json.find("{\"number\":" + std::to_string(number + 1) + ",\"name\"", from);
    return json.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

class EndToEndHostTool : public HostToolRig {
protected:
    void SetUp() override {
        setUpRig("quorvel_app_target_testbuild", {cardWithVolume(1, "Native DAC"), namedCard(2, "DoP DAC")},
                 {dac(1, {"S16_LE", "S24_3LE", "S32_LE", "DSD_U32_LE"}, 384000),
                  dac(2, {"S16_LE", "S24_3LE", "S32_LE"}, 192000)});
        ASSERT_TRUE(daemon->writeFile(Daemon::kSettingsFile, "TrgetName=ToolTest\nVolumeCtl=0db\n"));
    }
};

TEST_F(EndToEndHostTool, DiscoversTheTargetAndDecodesWhatItsDacsPlay) {
    startDaemon();
    // One after the other, so that the native DAC is sink 1 and the DoP DAC sink 2.
    plug(1);
    waitForSink(1);
    plug(2);
    waitForSink(2);

    const ToolResult found = runTool({"discover", "--interface", VethNamespaces::kHostInterface, "--json"});
    ASSERT_EQ(found.status, std::optional<int>(0)) << found.err;
    EXPECT_NE(
        found.out.find("\"address\":\"fe80::a\",\"interface\":\"qh\",\"port\":19642,\"name\":\"ToolTest\""
                       ",\"identifier\":\"6b6369776c6c6542\",\"version\":\"142_1\""),
        std::string::npos)
        << found.out;

    const ToolResult info = runTool({"info", target(), "--json"});
    ASSERT_EQ(info.status, std::optional<int>(0)) << info.err;
    const std::string native = sinkJson(info.out, 1);
    EXPECT_NE(native.find("\"name\":\"Native DAC\",\"control_port\":19644"), std::string::npos) << info.out;
    // Packed 24-bit and 32-bit natively, 1 channel by up-mixing, PCM up to
    // 384 kHz and 32 DSD bits per frame up to DSD256.
    EXPECT_NE(
        native.find("\"encodings\":[\"16-bit integer\",\"24-bit integer\",\"32-bit integer\"],\"rates\":"
                    "[44100,48000,88200,96000,176400,192000,352800,384000],\"channels\":[1,2]"),
        std::string::npos)
        << native;
    EXPECT_NE(native.find("\"dsd_transport\":\"native\""), std::string::npos) << native;
    EXPECT_NE(native.find("\"encodings\":[\"1-bit DSD\"],\"options\":[\"MSB first\",\"little-endian words\","
                          "\"4-byte words\"],\"rates\":[2822400,5644800,11289600],\"channels\":[1,2]"),
              std::string::npos)
        << native;
    EXPECT_NE(native.find("\"type\":\"volume\",\"low\":-6000,\"high\":0,\"value\":0"), std::string::npos)
        << native;
    const std::string dop = sinkJson(info.out, 2);
    EXPECT_NE(dop.find("\"name\":\"DoP DAC\""), std::string::npos) << info.out;
    EXPECT_NE(dop.find("\"rates\":[44100,48000,88200,96000,176400,192000]"), std::string::npos) << dop;
    // DoP carries 16 DSD bits per 24/32-bit frame: DSD64 at 176.4 kHz.
    EXPECT_NE(dop.find("\"dsd_transport\":\"DoP\""), std::string::npos) << dop;
    EXPECT_NE(dop.find("\"rates\":[2822400],\"channels\":[1,2]"), std::string::npos) << dop;
    EXPECT_EQ(dop.find("\"type\":\"volume\""), std::string::npos) << "no mixer volume on that card";
    EXPECT_NE(info.out.find("{\"number\":1,\"name\":\"TargetName\",\"type\":\"text\",\"value\":\"ToolTest\""),
              std::string::npos)
        << info.out;

    // By name, for people.
    const ToolResult byName = runTool({"info", "ToolTest", "--interface", VethNamespaces::kHostInterface});
    ASSERT_EQ(byName.status, std::optional<int>(0)) << byName.err;
    EXPECT_NE(byName.out.find("Sink 2  \"DoP DAC\"  control port 19646"), std::string::npos) << byName.out;
    EXPECT_NE(byName.out.find("DoP (DSD over 24/32-bit PCM)"), std::string::npos) << byName.out;
    EXPECT_NE(byName.out.find("DSD256 (11.2896 MHz)"), std::string::npos) << byName.out;
}

TEST_F(EndToEndHostTool, VolumeReachesTheFakeCard) {
    plug(1);
    plug(2);
    startDaemon();
    waitForSink(1);
    waitForSink(2);
    const auto client = hostClient();
    // The directory order decides which DAC got which index.
    const std::string nativeKey = client->port(1)->name == "Native DAC" ? "1" : "2";
    const std::string dopKey = nativeKey == "1" ? "2" : "1";

    const ToolResult set = runTool({"volume", target(), nativeKey, "-20"});
    ASSERT_EQ(set.status, std::optional<int>(0)) << set.err;
    EXPECT_NE(set.out.find("volume -20.00 dB"), std::string::npos) << set.out;
    std::vector<long> raw;
    ASSERT_TRUE(alsa->mixerValues(1, "PCM Playback Volume", raw));
    EXPECT_EQ(raw, (std::vector<long>{4000, 4000})) << "-20.00 dB on a 0.01 dB scale from -60 dB";
    EXPECT_TRUE(daemon->waitForOutput("PCM -2000db", kReady));

    // By the sink's name; below the range is clamped to it.
    const ToolResult low = runTool({"volume", target(), "Native DAC", "-75", "--json"});
    ASSERT_EQ(low.status, std::optional<int>(0)) << low.err;
    EXPECT_NE(low.out.find("\"volume\":-6000,"), std::string::npos) << low.out;
    const ToolResult read = runTool({"volume", target(), nativeKey, "--json"});
    ASSERT_EQ(read.status, std::optional<int>(0)) << read.err;
    EXPECT_NE(read.out.find("\"volume\":-6000,\"volume_db\":-60.000,\"muted\":true"), std::string::npos)
        << read.out;

    const ToolResult none = runTool({"volume", target(), dopKey, "-20"});
    EXPECT_EQ(none.status, std::optional<int>(1));
    EXPECT_TRUE(oneErrorLine(none)) << none.err;
    EXPECT_NE(none.err.find("offers no volume control"), std::string::npos) << none.err;
}

TEST_F(EndToEndHostTool, SettingRoundTripsAndSaveRestarts) {
    startDaemon();
    ASSERT_TRUE(discover());

    const ToolResult set = runTool({"config", target(), "TargetName", "Kitchen"});
    ASSERT_EQ(set.status, std::optional<int>(0)) << set.err;
    const ToolResult read = runTool({"config", target(), "1", "--json"});
    ASSERT_EQ(read.status, std::optional<int>(0)) << read.err;
    EXPECT_NE(read.out.find("\"name\":\"TargetName\",\"type\":\"text\",\"value\":\"Kitchen\""),
              std::string::npos)
        << read.out;
    const ToolResult choice = runTool({"config", target(), "volumectl", "-40db"});
    ASSERT_EQ(choice.status, std::optional<int>(0)) << choice.err;
    EXPECT_NE(choice.out.find("9 VolumeCtl = -40db"), std::string::npos) << choice.out;

    // Values that do not fit the item: one line each, nothing changed.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"config", target(), "AlsaLatency", "5000"},
          std::vector<std::string>{"config", target(), "DoPauto", "maybe"},
          std::vector<std::string>{"config", target(), "VolumeCtl", "-30db"}}) {
        const ToolResult refused = runTool(bad);
        EXPECT_EQ(refused.status, std::optional<int>(2)) << bad[2];
        EXPECT_TRUE(oneErrorLine(refused)) << refused.err;
    }
    const ToolResult missing = runTool({"config", target(), "NoSuchItem"});
    EXPECT_EQ(missing.status, std::optional<int>(1));
    EXPECT_TRUE(oneErrorLine(missing)) << missing.err;

    const ToolResult save = runTool({"config", target(), "--save"});
    ASSERT_EQ(save.status, std::optional<int>(0)) << save.err;
    EXPECT_NE(save.out.find("restarts"), std::string::npos) << save.out;
    EXPECT_EQ(daemon->waitExit(kReady), std::optional<int>(0)) << "a save restarts the target";
    const std::string saved = daemon->readFile(Daemon::kSettingsFile);
    EXPECT_NE(saved.find("TrgetName=Kitchen"), std::string::npos) << saved;
    EXPECT_NE(saved.find("VolumeCtl=-40db"), std::string::npos) << saved;
}

TEST_F(EndToEndHostTool, LogRelayUntilCtrlCThenRestart) {
    startDaemon();
    ASSERT_TRUE(discover());

    const auto log = startTool({"log", target()});
    // The target logs the relay's new destination, and relays that line too.
    ASSERT_TRUE(daemon->waitForOutput("Host Debug : fe80::b", kReady));
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (log->output().find("Host Debug : fe80::b") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    interrupt(*log);
    const ToolResult ended = finish(*log);
    EXPECT_EQ(ended.status, std::optional<int>(0)) << ended.err;
    EXPECT_NE(ended.out.find("Host Debug : fe80::b"), std::string::npos) << ended.out;
    EXPECT_TRUE(daemon->waitForOutput("Host Debug : disable", kReady)) << "Ctrl-C switches the relay off";

    const ToolResult restart = runTool({"restart", target()});
    ASSERT_EQ(restart.status, std::optional<int>(0)) << restart.err;
    EXPECT_EQ(daemon->waitExit(kReady), std::optional<int>(0));
    const ToolResult gone = runTool({"info", target(), "--timeout", "0.3"});
    EXPECT_EQ(gone.status, std::optional<int>(1));
    EXPECT_TRUE(oneErrorLine(gone)) << gone.err;
    EXPECT_NE(gone.err.find("no answer from fe80::a%qh"), std::string::npos) << gone.err;
}

} // namespace
