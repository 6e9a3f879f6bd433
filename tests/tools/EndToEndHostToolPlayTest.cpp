// ctest-labels: threads e2e
// The command-line Host plays a tone through the running program to a fake
// DAC, stops cleanly on Ctrl-C, and reports a busy sink, an unreachable
// target and bad arguments in one line each.
#include "host/AudioSource.h"
#include "tests/tools/HostToolRun.h"

#include <gtest/gtest.h>

namespace {

using namespace E2E;

class EndToEndHostToolPlay : public HostToolRig {
protected:
    void SetUp() override {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
        plug(1);
        startDaemon();
        waitForSink(1);
    }
};

// 300 ms of buffer: room for a slow sanitizer build without an underrun.
constexpr const char* kLatencyMs = "300";

TEST_F(EndToEndHostToolPlay, ToneReachesTheDacExactly) {
    const ToolResult played = runTool({"play", target(), "1", "--tone", "1000", "--rate", "44100", "--bits",
                                       "16", "--seconds", "1", "--latency", kLatencyMs, "--json"});
    ASSERT_EQ(played.status, std::optional<int>(0)) << played.err << played.out;
    EXPECT_NE(played.out.find("\"outcome\":\"finished\",\"sink\":1"), std::string::npos) << played.out;
    EXPECT_NE(played.out.find("\"frames_sent\":44100,"), std::string::npos) << played.out;
    EXPECT_NE(played.out.find("\"drained\":true"), std::string::npos) << played.out;
    ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady));

    // The same tone, made here: every sample reaches the DAC unchanged and in order.
    std::string error;
    const auto tone = QUORVEL::makeToneSource(1000, 44100, 16, 2, 1.0, error);
    ASSERT_TRUE(tone) << error;
    std::vector<uint8_t> expected(44100 * 4);
    ASSERT_EQ(tone->read(expected), std::optional<size_t>(expected.size()));
    const std::vector<uint8_t> written = alsa->output(1, 0);
    EXPECT_NE(std::search(written.begin(), written.end(), expected.begin(), expected.end()), written.end())
        << "the tone is not in the DAC's " << written.size() << " bytes in one piece";
}

TEST_F(EndToEndHostToolPlay, BusySinkAndCtrlC) {
    const auto endless =
        startTool({"play", target(), "Desk DAC", "--tone", "440", "--seconds", "0", "--latency", kLatencyMs});
    ASSERT_TRUE(daemon->waitForOutput("Connect [quorvel_host]", kReady)) << daemon->output();

    const ToolResult busy = runTool({"play", target(), "1", "--tone", "440", "--seconds", "1"});
    EXPECT_EQ(busy.status, std::optional<int>(1));
    EXPECT_TRUE(oneErrorLine(busy)) << busy.err;
    EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;

    // Not a terminal: a plain line now and then.
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (endless->output().find("position") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    interrupt(*endless);
    const ToolResult stopped = finish(*endless);
    EXPECT_EQ(stopped.status, std::optional<int>(0)) << stopped.err;
    EXPECT_NE(stopped.out.find("position "), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("Stopped after "), std::string::npos) << stopped.out;
    EXPECT_EQ(stopped.err, "");
    EXPECT_TRUE(daemon->waitForOutput("disconnectStream end", kReady)) << "Ctrl-C disconnects";

    // The sink is free again.
    const ToolResult again = runTool({"play", target(), "1", "--tone", "440", "--seconds", "0.2"});
    EXPECT_EQ(again.status, std::optional<int>(0)) << again.err;
}

TEST_F(EndToEndHostToolPlay, MistakesGiveOneLineAndNonZeroStatus) {
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"play", target(), "1"}, 2, "expected TARGET SINK FILE"},
        {{"play", target(), "1", "--tone", "1000", "--bits", "20"}, 2, "bad --bits '20'"},
        {{"play", target(), "1", "--tone", "30000"}, 2, "not below half the rate"},
        {{"play", target(), "1", "/nonexistent/tone.wav"}, 1, "/nonexistent/tone.wav"},
        {{"play", target(), "7", "--tone", "1000"}, 1, "no sink '7'"},
        {{"volume", target(), "1", "loud"}, 2, "bad volume 'loud'"},
        {{"info", "fe80::99%qh", "--timeout", "0.3"}, 1, "no answer from fe80::99%qh"},
        {{"info", "fe80::99"}, 2, "needs its interface"},
        {{"info", "NoSuchTarget", "--interface", "qh", "--timeout", "0.3"},
         1,
         "no target named 'NoSuchTarget'"},
        {{"info", target(), "--colour"}, 2, "unknown option '--colour'"},
        {{"restart"}, 2, "expected TARGET"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
    };
    for (const Case& mistake : cases) {
        const ToolResult result = runTool(mistake.words);
        EXPECT_EQ(result.status, std::optional<int>(mistake.status))
            << mistake.words[0] << " " << mistake.says;
        EXPECT_TRUE(oneErrorLine(result)) << result.err;
        EXPECT_NE(result.err.find(mistake.says), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << mistake.says;
    }
    const ToolResult help = runTool({"play", "--help"});
    EXPECT_EQ(help.status, std::optional<int>(0));
    EXPECT_NE(help.out.find("usage: quorvel_host play TARGET SINK FILE"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
}

} // namespace
