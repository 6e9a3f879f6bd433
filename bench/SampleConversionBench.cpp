// Throughput of each write-path conversion against memcpy of the same output
// size: bytes/s counts output bytes, so the rows compare directly.
#include "alsa/SampleConversion.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using ALSAOUT::DopContainer;

// One block of the write path: 1024 stereo frames.
constexpr size_t kFrames = 1024;
constexpr uint32_t kChannels = 2;

std::vector<uint8_t> noise(size_t bytes) {
    std::mt19937 generator(1);
    std::vector<uint8_t> data(bytes);
    for (uint8_t& b : data) {
        b = static_cast<uint8_t>(generator());
    }
    return data;
}

void runMemcpy(benchmark::State& state, size_t outBytes) {
    const std::vector<uint8_t> in = noise(outBytes);
    std::vector<uint8_t> out(outBytes);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), outBytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * outBytes));
}

void BM_Widen16(benchmark::State& state) {
    const size_t samples = kFrames * kChannels;
    const std::vector<uint8_t> in = noise(samples * 2);
    std::vector<uint8_t> out(samples * 4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ALSAOUT::widenTo32(in.data(), samples, 2, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_Widen24(benchmark::State& state) {
    const size_t samples = kFrames * kChannels;
    const std::vector<uint8_t> in = noise(samples * 3);
    std::vector<uint8_t> out(samples * 4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ALSAOUT::widenTo32(in.data(), samples, 1, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_Place24In32(benchmark::State& state) {
    const size_t samples = kFrames * kChannels;
    const std::vector<uint8_t> in = noise(samples * 3);
    std::vector<uint8_t> out(samples * 4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ALSAOUT::place24In32(in.data(), samples, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_MemcpyPcm32Block(benchmark::State& state) {
    runMemcpy(state, kFrames * kChannels * 4);
}

// 16-bit stereo onto an 8-channel device.
void BM_Upmix2To8(benchmark::State& state) {
    const std::vector<uint8_t> in = noise(kFrames * kChannels * 2);
    std::vector<uint8_t> out(kFrames * 8 * 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ALSAOUT::upmixFrames(in.data(), kFrames, 2, kChannels, 8, 0, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_MemcpyUpmixBlock(benchmark::State& state) {
    runMemcpy(state, kFrames * 8 * 2);
}

void BM_Dop(benchmark::State& state) {
    const auto container = static_cast<DopContainer>(state.range(0));
    const std::vector<uint8_t> in = noise(kFrames * kChannels * 4);
    std::vector<uint8_t> out(2 * kFrames * kChannels * ALSAOUT::dopSampleBytes(container));
    for (auto _ : state) {
        benchmark::DoNotOptimize(ALSAOUT::packDop(in.data(), kFrames, kChannels, container, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_MemcpyDopBlock(benchmark::State& state) {
    const auto container = static_cast<DopContainer>(state.range(0));
    runMemcpy(state, 2 * kFrames * kChannels * ALSAOUT::dopSampleBytes(container));
}

} // namespace

BENCHMARK(BM_Widen16);
BENCHMARK(BM_Widen24);
BENCHMARK(BM_Place24In32);
BENCHMARK(BM_MemcpyPcm32Block);
BENCHMARK(BM_Upmix2To8);
BENCHMARK(BM_MemcpyUpmixBlock);
// 0 = S32_LE, 1 = S24_LE, 2 = S24_3LE containers.
BENCHMARK(BM_Dop)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_MemcpyDopBlock)->Arg(0)->Arg(1)->Arg(2);
