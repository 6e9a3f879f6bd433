// The sender's options for long and lossy runs, seen by a bare socket in its
// place: audio repeated up to a length, and datagrams dropped or swapped by
// the fate seam (resends are the gap-report tests' business).
#include "host/HostSocket.h"
#include "host/StreamSender.h"
#include "protocol/MessageCode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;

struct Datagram {
    uint16_t sequence = 0;
    std::vector<uint8_t> payload;
};

class StreamSenderSeam : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.open(VEMRA::SocketAddress::loopback(0)));
        ASSERT_TRUE(sink.open(VEMRA::SocketAddress::loopback(0)));
        config.format =
            QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                 QUORVEL::AudioFormat::channelBit(2));
        config.payloadBytes = 8; // two frames
        config.paced = false;
        config.flushInterval = 0;
        config.linger = 0ms;
        for (uint8_t i = 0; i < 24; ++i) {
            audio.push_back(static_cast<uint8_t>(i + 1));
        }
    }

    std::vector<Datagram> send() {
        QUORVEL::StreamSender sender(host, VEMRA::SocketAddress::loopback(sink.localPort()), config);
        EXPECT_TRUE(sender.stream(audio));
        std::vector<Datagram> received;
        while (const auto answer = sink.receiveAny(200ms)) {
            const QUORVEL::WireMessage message = answer->message();
            EXPECT_TRUE(message.isValid());
            EXPECT_EQ(message.code(), QUORVEL::STREAM_DATA);
            received.push_back(Datagram{message.param0(), answer->payload()});
        }
        return received;
    }

    std::vector<uint16_t> sequences(const std::vector<Datagram>& datagrams) const {
        std::vector<uint16_t> numbers;
        for (const Datagram& datagram : datagrams) {
            numbers.push_back(datagram.sequence);
        }
        return numbers;
    }

    QUORVEL::HostSocket host;
    QUORVEL::HostSocket sink;
    QUORVEL::StreamConfig config;
    std::vector<uint8_t> audio; // three datagrams' worth
};

TEST_F(StreamSenderSeam, RepeatToSendsTheAudioOverAndOverUpToTheLength) {
    config.repeatTo = 60; // seven and a half datagrams
    const auto received = send();
    ASSERT_EQ(sequences(received), (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (size_t index = 0; index < received.size(); ++index) {
        const size_t length = index == 7 ? 4 : 8;
        ASSERT_GE(received[index].payload.size(), length);
        for (size_t byte = 0; byte < length; ++byte) {
            EXPECT_EQ(received[index].payload[byte], audio[(index * 8 + byte) % audio.size()])
                << "datagram " << index << " byte " << byte;
        }
    }

    config.repeatTo = 10; // shorter than the audio: the audio once
    EXPECT_EQ(sequences(send()), (std::vector<uint16_t>{0, 1, 2}));
}

TEST_F(StreamSenderSeam, FateDropsAndSwapsDatagramsAndADelayedLastOneStillGoes) {
    config.repeatTo = 64;
    std::vector<uint64_t> asked;
    config.fate = [&](uint64_t index) {
        asked.push_back(index);
        if (index == 2) {
            return QUORVEL::DatagramFate::Drop;
        }
        return index == 4 || index == 7 ? QUORVEL::DatagramFate::Delay : QUORVEL::DatagramFate::Send;
    };
    const auto received = send();
    EXPECT_EQ(sequences(received), (std::vector<uint16_t>{0, 1, 3, 5, 4, 6, 7}));
    EXPECT_EQ(asked, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(received.size(), 7U);
    // The delayed datagram carries its own audio.
    ASSERT_GE(received[4].payload.size(), 8U);
    EXPECT_EQ(received[4].payload[0], audio[(4 * 8) % audio.size()]);
}

} // namespace
