// What the "quorvel" ALSA output costs a player: aplay plays the same
// 2 ch / 192 kHz / 32-bit WAV once through the output to the running target
// (test build, in a network namespace pair, a paced fake DAC behind it),
// once straight into the same kind of paced fake DAC, and once to ALSA's
// null device, and the counters are aplay's CPU time per MB
// of audio in each (user + system of the reaped process, so the output's
// session thread is included). The null device takes everything at once;
// the output plays in real time, so its run is as long as the file.
//
// Needs root (namespaces) and aplay; run from the build directory:
//   bench/AlsaOutputBench --benchmark_repetitions=3

#include "support/Daemon.h"
#include "support/FakeAlsa.h"
#include "support/NetNamespace.h"
#include "support/PlayRig.h"
#include "support/ScratchDir.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <sys/resource.h>

namespace {

constexpr int kRate = 192000;
constexpr int kSeconds = 10;
constexpr double kMegabyte = 1024.0 * 1024.0;

double childCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The target with one paced DAC, the output's configuration and the file,
// made once for all runs.
struct Setup {
    VethNamespaces net;
    std::unique_ptr<QUORVELTEST::FakeAlsa> alsa;
    ScratchDir devices{"quorvel-snd"};
    ScratchDir files{"alsa-output-bench"};
    std::unique_ptr<Daemon> daemon;
    std::string wav;
    size_t audioBytes = 0;
    std::string failure;

    bool start() {
        if (!runningAsRoot()) {
            failure = "needs root for its network namespaces";
            return false;
        }
        if (!net.setUp(failure)) {
            return false;
        }
        QUORVELTEST::FakePcmDevice dac = E2E::pacedDac(1);
        dac.formats = {"S32_LE"};
        // The reference: the same paced fake DAC, opened by aplay itself.
        // The target never sees it (its file is not in the device directory).
        QUORVELTEST::FakePcmDevice reference = E2E::pacedDac(2);
        reference.formats = {"S32_LE"};
        alsa = std::make_unique<QUORVELTEST::FakeAlsa>(
            std::vector<QUORVELTEST::FakeCard>{E2E::namedCard(1, "Bench DAC"),
                                               E2E::namedCard(2, "Reference DAC")},
            std::vector<QUORVELTEST::FakePcmDevice>{dac, reference});
        std::ifstream snippet(std::string(QUORVEL_SOURCE_DIR) + "/tools/alsaplugin/quorvel.conf");
        std::stringstream text;
        text << snippet.rdbuf();
        std::ofstream(alsa->configPath(), std::ios::app)
            << "\npcm_type.quorvel { lib \"" << QUORVEL_ALSA_PLUGIN << "\" }\n"
            << text.str() << "\npcm.null { type null }\n";
        // 32-bit integer samples, random: nothing compresses or repeats.
        wav = files.path + "bench32.wav";
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
        SNDFILE* file = sf_open(wav.c_str(), SFM_WRITE, &info);
        if (file == nullptr) {
            failure = "cannot write " + wav;
            return false;
        }
        const std::vector<uint8_t> bytes = E2E::randomAudio(static_cast<size_t>(kRate) * 8, 32);
        for (int second = 0; second < kSeconds; ++second) {
            sf_writef_int(file, reinterpret_cast<const int*>(bytes.data()), kRate);
        }
        sf_close(file);
        audioBytes = static_cast<size_t>(kRate) * 8 * kSeconds;
        daemon = std::make_unique<Daemon>(E2E::builtProgram("quorvel_app_target_testbuild"));
        if (!daemon->start(net.target, {devices.path})) {
            failure = "cannot start the target";
            return false;
        }
        devices.touch("pcmC1D0p");
        // Until the target lists the DAC's sink.
        QUORVEL::HostClient client(
            *QUORVEL::hostEndpoint(VethNamespaces::kTargetAddress, E2E::kDiscoveryPort,
                                   net.host.interfaceIndex(VethNamespaces::kHostInterface)),
            std::chrono::milliseconds(1000));
        net.host.run([&] { client.open(); });
        for (int attempt = 0; attempt < 60; ++attempt) {
            const auto entry = client.port(1);
            if (entry && entry->found) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        failure = "the target never listed its DAC";
        return false;
    }
};

Setup& setup() {
    static Setup instance;
    static const bool started = instance.start();
    (void)started;
    return instance;
}

void playWithAplay(benchmark::State& state, const std::string& device) {
    Setup& rig = setup();
    if (!rig.failure.empty()) {
        state.SkipWithError(rig.failure.c_str());
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        Daemon aplay("/usr/bin/aplay");
        const double before = childCpuSeconds();
        if (!aplay.start(rig.net.host, {"-q", "-D", device, rig.wav})) {
            state.SkipWithError("cannot start aplay");
            return;
        }
        const auto status = aplay.waitExit(std::chrono::milliseconds(60000));
        cpu += childCpuSeconds() - before;
        if (status != std::optional<int>(0)) {
            state.SkipWithError(("aplay failed: " + aplay.errors()).c_str());
            return;
        }
    }
    const double megabytes =
        static_cast<double>(rig.audioBytes) * static_cast<double>(state.iterations()) / kMegabyte;
    state.counters["cpu_ms_per_MB"] = cpu * 1000.0 / megabytes;
}

void BM_AplayToQuorvelOutput(benchmark::State& state) {
    playWithAplay(state, std::string("quorvel:TARGET=") + VethNamespaces::kTargetAddress + "%" +
                             VethNamespaces::kHostInterface + ",SINK=1");
}
BENCHMARK(BM_AplayToQuorvelOutput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// aplay straight into a paced device, as a player feeds a sound card: one
// wait and one write a period, and the fake DAC's recording of every byte.
void BM_AplayToPacedFakeDac(benchmark::State& state) {
    playWithAplay(state, "hw:2,0");
}
BENCHMARK(BM_AplayToPacedFakeDac)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AplayToNullDevice(benchmark::State& state) {
    playWithAplay(state, "null");
}
BENCHMARK(BM_AplayToNullDevice)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
