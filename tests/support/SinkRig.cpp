#include "support/SinkRig.h"

namespace QUORVEL {

AudioFormat makeFormat(uint64_t encoding, uint32_t rate, uint32_t channels) {
    return AudioFormat(AudioFormat::channelBit(channels) | encoding | AudioFormat::rateBits(rate));
}

AudioFormat cdFormat() {
    return makeFormat(AudioFormat::kPcm16, 44100, 2);
}

AudioFormat hiResFormat() {
    return makeFormat(AudioFormat::kPcm32, 192000, 2);
}

SinkInfo SinkRig::defaultInfo() {
    SinkInfo info;
    info.index = 1;
    info.name = "Test DAC";
    info.infoValue1 = 11;
    info.infoValue2 = 22;
    info.infoValue3 = 33;
    return info;
}

bool SinkRig::start(const SinkInfo& info, const TestBackEndOptions& options,
                    const std::function<void(SinkConfig&)>& adjust, bool withTransport) {
    if (!registrar.open(VEMRA::SocketAddress::loopback(0))) {
        return false;
    }
    SinkConfig config = testSinkConfig(registrar.localPort(), &cache);
    if (adjust) {
        adjust(config);
    }
    node = std::make_unique<TestSinkNode>(info, config, options);
    if (!node->start(0, 0, withTransport)) {
        return false;
    }
    client = newClient();
    return client != nullptr;
}

std::unique_ptr<SinkClient> SinkRig::newClient() const {
    // Answers wait long: the sink's threads run at normal priority here and
    // a loaded machine may keep them off the processor for a while.
    auto created = std::make_unique<SinkClient>(node->controlAddress(), std::chrono::milliseconds(10000));
    if (!created->open()) {
        return nullptr;
    }
    return created;
}

uint16_t SinkRig::connect(AudioFormat format) {
    const auto connection = client->connect(format);
    return connection && connection->accepted ? connection->streamPort : 0;
}

} // namespace QUORVEL
