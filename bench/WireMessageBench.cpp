#include "protocol/MessageCode.h"
#include "protocol/WireMessage.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// An answer with a PORT_ANS-sized table, built in one reused SendBuffer as a loop does.
void BM_SendBufferAnswer1024(benchmark::State& state) {
    std::vector<uint8_t> table(1024);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<uint8_t>(i);
    }
    QUORVEL::SendBuffer message;
    uint16_t sequence = 0;
    for (auto _ : state) {
        message.setHeader(QUORVEL::PORT_ANS, 1, ++sequence, 0, 0, 0);
        message.setPayload(table);
        message.prepare();
        benchmark::DoNotOptimize(message.bytes().data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1040);
}
BENCHMARK(BM_SendBufferAnswer1024);

void BM_SendHeaderOnly(benchmark::State& state) {
    uint16_t port = 19644;
    for (auto _ : state) {
        QUORVEL::Send answer(QUORVEL::CONNECT_ANS, 1, port++, 0, 0, 0);
        const auto bytes = answer.bytes();
        benchmark::DoNotOptimize(bytes.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SendHeaderOnly);

void BM_ReceiveValidateAndRead(benchmark::State& state) {
    QUORVEL::SendBuffer sent;
    QUORVEL::Block block{};
    block.fill(0x0102);
    sent.setHeader(QUORVEL::CONFIG_ITEM_ANS, 1, 3, 0, 0, 0);
    sent.setPayloadBlockAndText(block, "ALSA latency");
    sent.prepare();
    const std::vector<uint8_t> datagram(sent.bytes().begin(), sent.bytes().end());
    QUORVEL::Block readBlock{};
    std::string text;
    text.reserve(64);
    for (auto _ : state) {
        const QUORVEL::WireMessage received(datagram);
        if (received.isValid()) {
            benchmark::DoNotOptimize(received.code());
            benchmark::DoNotOptimize(received.value64());
            received.payloadBlockAndText(readBlock, text);
        }
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ReceiveValidateAndRead);

} // namespace
