// What idle DACs cost: the target's test build runs in a network namespace
// of its own, first with no DAC, then with four paced fake DACs that nobody
// streams to. Counters, over a 20 s window each: the process's CPU (the
// run time of all its threads, from /proc/PID/task/*/schedstat) as a
// percentage of one core, and its threads' context switches a second; the
// `per_dac` counters are the difference between the two runs over four.
//
// Needs root (namespaces); run from the build directory:
//   bench/IdleSinkBench

#include "support/Daemon.h"
#include "support/EndToEndRig.h"
#include "support/FakeAlsa.h"
#include "support/NetNamespace.h"
#include "support/ScratchDir.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr int kDacs = 4;
constexpr auto kWindow = std::chrono::seconds(20);

struct Sample {
    double runSeconds = 0;
    double switches = 0;
};

// Sums over every thread of `pid`: run time and voluntary plus involuntary switches.
Sample sampleProcess(pid_t pid) {
    Sample sample;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return sample;
    }
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream schedstat(task + "/schedstat");
        double runNanoseconds = 0;
        if (schedstat >> runNanoseconds) {
            sample.runSeconds += runNanoseconds * 1e-9;
        }
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                sample.switches += std::stod(line.substr(line.find(':') + 1));
            }
        }
    }
    closedir(dir);
    return sample;
}

struct Figures {
    double cpuPercent = 0;
    double switchesPerSecond = 0;
};

Figures measure(pid_t pid) {
    const Sample before = sampleProcess(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Sample after = sampleProcess(pid);
    return {(after.runSeconds - before.runSeconds) * 100.0 / seconds,
            (after.switches - before.switches) / seconds};
}

void BM_IdleDacs(benchmark::State& state) {
    if (!runningAsRoot()) {
        state.SkipWithError("needs root for its network namespace");
        return;
    }
    VethNamespaces net;
    std::string failure;
    if (!net.setUp(failure)) {
        state.SkipWithError(failure.c_str());
        return;
    }
    std::vector<QUORVELTEST::FakeCard> cards;
    std::vector<QUORVELTEST::FakePcmDevice> dacs;
    for (int card = 1; card <= kDacs; ++card) {
        cards.push_back(E2E::namedCard(card, "Idle DAC " + std::to_string(card)));
        dacs.push_back(E2E::pacedDac(card));
    }
    QUORVELTEST::FakeAlsa alsa(cards, dacs);
    ScratchDir devices{"quorvel-snd"};
    Daemon daemon(E2E::builtProgram("quorvel_app_target_testbuild"));
    if (!alsa.ok() || !daemon.start(net.target, {devices.path})) {
        state.SkipWithError("cannot start the target");
        return;
    }
    if (!daemon.waitForOutput("Quorvel Target Library ReleaseNo", std::chrono::seconds(30))) {
        state.SkipWithError("the target did not start");
        return;
    }
    for (auto _ : state) {
        const Figures none = measure(daemon.pid());
        for (int card = 1; card <= kDacs; ++card) {
            devices.touch("pcmC" + std::to_string(card) + "D0p");
        }
        if (!daemon.waitForOutput("controlLoop start", std::chrono::seconds(60), kDacs)) {
            state.SkipWithError(("the DACs' sinks did not start: " + daemon.output()).c_str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(2)); // let the nodes settle
        const Figures four = measure(daemon.pid());
        state.counters["cpu_percent_no_dac"] = none.cpuPercent;
        state.counters["switches_per_s_no_dac"] = none.switchesPerSecond;
        state.counters["cpu_percent_4_dacs"] = four.cpuPercent;
        state.counters["switches_per_s_4_dacs"] = four.switchesPerSecond;
        state.counters["cpu_percent_per_dac"] = (four.cpuPercent - none.cpuPercent) / kDacs;
        state.counters["switches_per_s_per_dac"] = (four.switchesPerSecond - none.switchesPerSecond) / kDacs;
    }
    daemon.kill();
}
BENCHMARK(BM_IdleDacs)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace
