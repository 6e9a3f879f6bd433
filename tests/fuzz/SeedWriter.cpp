// Writes the seed corpora of the protocol fuzzers from the program's own
// message encoders: a valid message of every code each surface serves, with
// a few parameter choices, and the exchanges that reach deeper states
// (register then ask, prepare then connect, a stream with gaps and flush
// marks). Run by hand: quorvel_fuzz_seeds tests/fuzz/corpus
#include "FuzzSupport.h"
#include "protocol/AudioFormat.h"
#include "protocol/MessageCode.h"
#include "protocol/PrepareFormat.h"
#include "protocol/WireMessage.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

using namespace QUORVEL;

namespace {

using Bytes = std::vector<uint8_t>;

struct Params {
    uint16_t status = 0;
    uint16_t p0 = 0;
    uint16_t p1 = 0;
    uint16_t p2 = 0;
    uint16_t p3 = 0;
};

Bytes message(uint16_t code, Params params, const Bytes& payload = {}) {
    SendBuffer buffer;
    buffer.setHeader(code, params.status, params.p0, params.p1, params.p2, params.p3);
    buffer.setPayload(payload.data(), payload.size());
    buffer.prepare();
    const auto bytes = buffer.bytes();
    return Bytes(bytes.begin(), bytes.end());
}

Bytes message64(uint16_t code, uint16_t status, uint64_t value, const Bytes& payload = {}) {
    SendBuffer buffer;
    buffer.setHeader(code, status, value);
    buffer.setPayload(payload.data(), payload.size());
    buffer.prepare();
    const auto bytes = buffer.bytes();
    return Bytes(bytes.begin(), bytes.end());
}

Bytes text(const std::string& value) {
    return Bytes(value.begin(), value.end());
}

Bytes le64(uint64_t value) {
    Bytes bytes(8);
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

class Corpus {
public:
    Corpus(const std::filesystem::path& root, const std::string& name) : dir(root / name) {
        std::filesystem::create_directories(dir);
    }
    // One input of records, each optionally preceded by a prefix byte.
    void add(const std::string& name, std::initializer_list<Bytes> datagrams, int prefix = -1) {
        Bytes input;
        for (const Bytes& datagram : datagrams) {
            Bytes record;
            if (prefix >= 0) {
                record.push_back(static_cast<uint8_t>(prefix));
            }
            record.insert(record.end(), datagram.begin(), datagram.end());
            FUZZ::appendRecord(input, record);
        }
        write(name, input);
    }
    void write(const std::string& name, const Bytes& input) {
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }

private:
    std::filesystem::path dir;
};

AudioFormat format(uint64_t encoding, uint32_t rate, uint32_t channels) {
    return AudioFormat(AudioFormat::channelBit(channels) | encoding | AudioFormat::rateBits(rate));
}

void targetSeeds(const std::filesystem::path& root) {
    Corpus corpus(root, "TargetFuzzer");
    constexpr int kLocal = 0;
    constexpr int kRemote = 1;
    Block block{};
    block[7] = 1;
    SendBuffer statusRegist;
    statusRegist.setHeader(STATUS_REGIST, 2, 3, 1, 0, 1);
    statusRegist.setPayloadBlockAndText(block, "DAC Control");
    statusRegist.prepare();
    const Bytes statusBytes(statusRegist.bytes().begin(), statusRegist.bytes().end());

    corpus.add("discover", {message(DISCOVER, {})}, kRemote);
    corpus.add("discover-local", {message(DISCOVER, {})}, kLocal);
    corpus.add("port-bitmap", {message(PORT_REGIST, {2, 1, 0, 0, 0}, text("DAC")), message(PORT_REQ, {})},
               kLocal);
    corpus.add("port-lookup",
               {message(PORT_REGIST, {0, 0, 2, 0, 0}, text("DAC")), message(PORT_REQ, {0, 0, 2, 0, 0})},
               kLocal);
    corpus.add("port-table",
               {message(PORT_REGIST, {0, 5, 0, 0, 0}, text("DAC")), message(PORT_REQ, {0, 0xFFFF, 0, 0, 0}),
                message(PORT_REQ, {0, 0, 0xFFFF, 4, 0})},
               kLocal);
    corpus.add("port-kind", {message(PORT_REQ, {0, 0, 0, 7, 0})}, kRemote);
    corpus.add("status", {statusBytes, message(STATUS_REQ, {0, 3, 0, 0, 0}), message(STATUS_REQ, {})},
               kLocal);
    corpus.add("info", {message(INFO_REQ, {}), message(VERSION_REQ, {}), message(URL_REQ, {})}, kRemote);
    for (uint16_t selector = 0; selector <= 6; ++selector) {
        corpus.add("text-" + std::to_string(selector), {message(TEXT_REQ, {0, selector, 1, 0, 0})}, kRemote);
    }
    corpus.add("syncname", {message64(SYNCNAME_SET, 0, 42, text("group"))}, kRemote);
    corpus.add("reboot-ask", {message(REBOOT, {})}, kRemote);
    corpus.add("reboot", {message(REBOOT, {0, 1, 0, 0, 0})}, kRemote);
    corpus.add("host-debug", {message(HOST_DEBUG, {0, 1, 0, 0, 0}), message(HOST_DEBUG, {})}, kRemote);
    corpus.add("synchro",
               {message(SYNCHRO, {0, 1, 0, 0, 0}, le64(123456789)),
                message(SYNCHRO, {0, 2, 0, 0, 0}, le64(123999999)), message(TEXT_REQ, {0, 2, 0, 0, 0}),
                message(PORT_REGIST, {0, 1, 0, 0, 0}, text("DAC"))},
               kRemote);
    for (uint16_t item = 0; item <= 7; ++item) {
        corpus.add("config-item-" + std::to_string(item), {message(CONFIG_ITEM_REQ, {0, item, 0, 0, 0})},
                   kRemote);
        corpus.add("config-value-" + std::to_string(item),
                   {message(CONFIG_VALUE_REQ, {0, item, 0, 0, 0}),
                    message(CONFIG_VALUE_REQ, {0, item, 1, 2, 0}, text("7")),
                    message(CONFIG_VALUE_REQ, {0, item, 3, 1, 0}),
                    message(CONFIG_VALUE_REQ, {0, item, 2, 0, 0})},
                   kRemote);
    }
    corpus.add("config-save",
               {message(CONFIG_VALUE_REQ, {0, 1, 1, 3, 0}, text("x")),
                message(CONFIG_VALUE_REQ, {0, 0, 1, 0, 0}), message(CONFIG_VALUE_REQ, {0, 0, 2, 0, 0})},
               kRemote);
    corpus.add("transfer",
               {message(TRANSFERDATA_INFO, {}), message(TRANSFERDATA_INFO, {0, 1, 0, 0, 0}),
                message(TRANSFERDATA_SET, {0, 1, 0, 0, 0}, text("first piece")),
                message(TRANSFERDATA_SET, {0, 1, 1, 4, 0}, text("second")),
                message(TRANSFERDATA_CHECK, {0, 1, 0x1234, 1, 0})},
               kRemote);
    for (uint16_t number = 0; number <= 9; number += 3) {
        corpus.add("icon-" + std::to_string(number),
                   {message(ICON_REQ, {0, number, 0, 0, 0}), message(ICON_REQ, {0, number, 1, 1, 0}),
                    message(ICON_REQ, {0, number, 2, 1, 1}), message(ICON_REQ, {0, number, 1, 2, 5})},
                   kRemote);
    }
    corpus.add("icon-long", {message(ICON_REQ, {0, 2, 1, 1, 0}), message(ICON_REQ, {0, 3, 1, 1, 0})},
               kRemote);
    corpus.add("unknown", {message(0x0050, {}), message(CONNECT, {}), message(SYNC_FORWARD, {})}, kRemote);
    corpus.add("answer-dropped", {message(DISCOVER_ANS, {}), message(0x1234, {}, text("x"))}, kRemote);
}

void sinkControlSeeds(const std::filesystem::path& root) {
    Corpus corpus(root, "SinkControlFuzzer");
    const AudioFormat cd = format(AudioFormat::kPcm16, 44100, 2);
    const AudioFormat hiRes = format(AudioFormat::kPcm32, 192000, 2);
    const AudioFormat dsd = format(AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst, 2822400, 2);
    const uint64_t prepared = PrepareFormat::fromFormat(cd, 500).value();
    corpus.add("format-query",
               {message64(FORMAT_QUERY, 0, ~0ULL), message64(FORMAT_QUERY, 0, hiRes.value())});
    corpus.add("latency",
               {message(LATENCY_QUERY, {0, 0, 0, 0, 0}), message(LATENCY_QUERY, {0, 50000, 1, 2, 0})});
    corpus.add("payload-check", {message(PAYLOAD_CHECK, {}, Bytes(1400, 0xA5))});
    corpus.add("sink-info", {message(SINK_INFO_REQ, {})});
    corpus.add("prepare-connect",
               {message64(PREPARE_FORMAT, 0, prepared), message64(HOST_NAME_SET, 0, 7, text("host")),
                message64(CONNECT, 0, cd.value()), message64(CONNECT, 0, cd.value())});
    corpus.add("connect", {message64(CONNECT, 0, hiRes.value())});
    corpus.add("connect-dsd", {message64(CONNECT, 0, dsd.value())});
    corpus.add("connect-invalid", {message64(CONNECT, 0, 0), message64(CONNECT, 0, ~0ULL)});
    corpus.add("connect-ms", {message64(CONNECT_MS, 0, cd.value(), le64(0))});
    corpus.add("prepare-other", {message64(PREPARE_FORMAT, 0, PrepareFormat::fromFormat(hiRes, 0).value()),
                                 message64(CONNECT, 0, cd.value())});
    for (uint16_t item = 0; item <= 7; ++item) {
        corpus.add("item-" + std::to_string(item),
                   {message(SINK_ITEM_REQ, {0, item, 0, 0, 0}), message(SINK_VALUE_REQ, {0, item, 0, 0, 0}),
                    message(SINK_VALUE_REQ, {0, item, 1, 3, 0}, text("5")),
                    message(SINK_VALUE_REQ, {0, item, 2, 0, 0})});
    }
    for (uint16_t number = 0; number <= 4; ++number) {
        corpus.add("icon-" + std::to_string(number), {message(SINK_ICON_REQ, {0, number, 0, 0, 0}),
                                                      message(SINK_ICON_REQ, {0, number, 1, 1, 0}),
                                                      message(SINK_ICON_REQ, {0, number, 2, 2, 3})});
    }
    corpus.add("synchro-info", {message(SYNCHRO_INFO_REQ, {}), message(SYNCHRO_INFO_REQ, {0, 1, 0, 0, 0})});
    Bytes records;
    for (int i = 0; i < 3; ++i) {
        const Bytes value = le64(1000000ULL * (i + 1));
        records.insert(records.end(), value.begin(), value.end());
        Bytes address(16, 0);
        address[0] = 0xFE;
        address[1] = 0x80;
        address[15] = static_cast<uint8_t>(i + 1);
        records.insert(records.end(), address.begin(), address.end());
        records.push_back(static_cast<uint8_t>(i + 2));
        records.push_back(0);
    }
    corpus.add("sync-forward",
               {message(SYNC_FORWARD, {}, records), message64(CONNECT_MS, 0, cd.value(), le64(5))});
    corpus.add("unknown", {message(0x0050, {}), message(DISCOVER, {}), message(0x8123, {})});
}

void sinkStreamSeeds(const std::filesystem::path& root) {
    Corpus corpus(root, "SinkStreamFuzzer");
    auto data = [](uint16_t sequence, uint16_t status, size_t bytes) {
        Bytes audio(bytes);
        for (size_t i = 0; i < bytes; ++i) {
            audio[i] = static_cast<uint8_t>(i * 7 + sequence);
        }
        return message(STREAM_DATA, {status, sequence, 0, 0, 0}, audio);
    };
    auto ms = [](uint8_t trailer, size_t bytes) {
        Bytes datagram(bytes, 0x33);
        datagram.push_back(trailer);
        return datagram;
    };
    auto input = [](uint8_t head, std::initializer_list<std::pair<uint8_t, Bytes>> records) {
        Bytes bytes{head};
        for (const auto& [route, datagram] : records) {
            Bytes record{route};
            record.insert(record.end(), datagram.begin(), datagram.end());
            FUZZ::appendRecord(bytes, record);
        }
        return bytes;
    };
    corpus.write("stream", input(0, {{0, data(0, 0, 1200)},
                                     {0, data(1, 0x20, 1200)},
                                     {0, data(2, 0x40, 1200)},
                                     {0, message(STREAM_PING, {})},
                                     {0, message(DISCONNECT, {})}}));
    corpus.write("stream-gap", input(1, {{0, data(0, 0, 400)},
                                         {0, data(3, 0, 400)},
                                         {0, data(1, 0x20, 400)},
                                         {0, data(0, 0, 400)},
                                         {0, data(2, 0, 1484)}}));
    corpus.write("stream-held", input(2, {{2, data(0, 0x20, 1000)},
                                          {2, data(1, 0x20, 1000)},
                                          {0, data(2, 0x20, 8)},
                                          {0, message(DISCONNECT, {})},
                                          {0, data(0, 0, 64)}}));
    corpus.write("stream-other-formats", input(5, {{0, data(0, 0x60, 1024)}, {0, message(0x0050, {})}}));
    corpus.write("ms", input(8, {{1, ms(0, 1000)},
                                 {1, ms(1, 1000)},
                                 {1, ms(0x82, 1000)},
                                 {1, ms(5, 10)},
                                 {0, message(STREAM_PING, {})},
                                 {1, ms(3, 0)},
                                 {0, message(DISCONNECT, {})}}));
    corpus.write("ms-wrap",
                 input(9, {{1, ms(0, 100)}, {1, ms(1, 100)}, {1, ms(0x7F, 100)}, {0, data(0, 0, 100)}}));
}

void statusSeeds(const std::filesystem::path& root) {
    Corpus corpus(root, "StatusFuzzer");
    const uint64_t volume = static_cast<uint64_t>(int64_t{-1200}) << 16;
    corpus.add("name", {message(CONTROL_NAME, {}, text("Host"))});
    corpus.add("info",
               {message(CONTROL_INFO_REQ, {}), message(CONTROL_INFO_REQ, {0, 1, 0, 0, 0}),
                message(CONTROL_INFO_REQ, {0, 2, 0, 0, 0}), message(CONTROL_INFO_REQ, {0, 3, 0, 0, 0})});
    corpus.add("value",
               {message(CONTROL_VALUE_REQ, {0, 1, 0, 0, 0}), message(CONTROL_VALUE_REQ, {0, 2, 0, 0, 0}),
                message(CONTROL_VALUE_REQ, {0, 5, 0, 0, 0})});
    corpus.add("volume-set",
               {message64(CONTROL_VALUE_REQ, 0, 0x8002 | volume), message(CONTROL_VALUE_REQ, {0, 2, 0, 0, 0}),
                message64(CONTROL_VALUE_REQ, 0, 0x8002 | (uint64_t{0xF000} << 16)),
                message64(CONTROL_VALUE_REQ, 0, 0x8001 | volume)});
    for (uint16_t number = 0; number <= 3; ++number) {
        corpus.add("icon-" + std::to_string(number), {message(CONTROL_ICON_REQ, {0, number, 0, 0, 0}),
                                                      message(CONTROL_ICON_REQ, {0, number, 1, 1, 0}),
                                                      message(CONTROL_ICON_REQ, {0, number, 3, 2, 1}),
                                                      message(CONTROL_ICON_REQ, {0, number, 2, 1, 9})});
    }
    corpus.add("unknown", {message(0x0050, {}), message(DISCOVER, {}), Bytes{}});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root(argv[1]);
    targetSeeds(root);
    sinkControlSeeds(root);
    sinkStreamSeeds(root);
    statusSeeds(root);
    return 0;
}
