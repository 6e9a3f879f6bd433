#pragma once

// The command-line Host as a process in the Host's namespace of an
// end-to-end rig: its standard output and error captured, ended by its pid.

#include "support/Daemon.h"
#include "support/EndToEndRig.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace E2E {

struct ToolResult {
    std::optional<int> status; // nothing when it did not exit in time (it was killed)
    std::string out;
    std::string err;
};

// A failure as the tool must report it: one line on standard error.
inline bool oneErrorLine(const ToolResult& result) {
    return result.err.rfind("quorvel_host: ", 0) == 0 &&
           std::count(result.err.begin(), result.err.end(), '\n') == 1 && result.err.back() == '\n';
}

class HostToolRig : public Rig {
protected:
    static std::string toolPath() { return builtProgram("tools/quorvel_host/quorvel_host"); }

    // Starts the tool and leaves it running.
    std::unique_ptr<Daemon> startTool(const std::vector<std::string>& arguments) {
        auto tool = std::make_unique<Daemon>(toolPath());
        EXPECT_TRUE(tool->ready());
        EXPECT_TRUE(tool->start(net.host, arguments));
        return tool;
    }

    static ToolResult finish(Daemon& tool, std::chrono::milliseconds limit = kReady) {
        ToolResult result;
        result.status = tool.waitExit(limit);
        tool.kill();
        result.out = tool.output();
        result.err = tool.errors();
        EXPECT_EQ(tool.sanitizerReport(), "");
        return result;
    }

    // Runs the tool to its end. A command to the running target waits up to
    // 10 s for each answer unless the test chose otherwise: the Target's
    // worker runs in the idle class, and a busy machine may keep it from
    // answering within the tool's default second.
    ToolResult runTool(std::vector<std::string> arguments) {
        if (arguments.size() >= 2 && arguments[1] == target() &&
            std::find(arguments.begin(), arguments.end(), "--timeout") == arguments.end()) {
            arguments.insert(arguments.end(), {"--timeout", "10"});
        }
        auto tool = startTool(arguments);
        return finish(*tool);
    }

    // Ctrl-C, by the tool's pid.
    static void interrupt(Daemon& tool) { ::kill(tool.pid(), SIGINT); }

    // The target as the Host sees it: fe80::a%qh.
    static std::string target() {
        return std::string(VethNamespaces::kTargetAddress) + "%" + VethNamespaces::kHostInterface;
    }

    // Until the target lists sink `key` and its status channel.
    void waitForSink(uint16_t key) {
        const auto client = hostClient();
        ASSERT_TRUE(sinkPort(*client, key)) << daemon->output();
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto status = client->status(key);
            if (status && status->found) {
                return;
            }
            std::this_thread::sleep_for(100ms);
        }
        FAIL() << "no status channel for sink " << key;
    }
};

} // namespace E2E
