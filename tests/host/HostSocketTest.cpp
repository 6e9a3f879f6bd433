// ctest-labels: threads
#include "host/HostSocket.h"
#include "protocol/MessageCode.h"

#include <gtest/gtest.h>

#include <thread>

using QUORVEL::HostSocket;
using QUORVEL::Send;
using QUORVEL::SendBuffer;
using namespace std::chrono_literals;

namespace {

class HostSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(client.open(VEMRA::SocketAddress::loopback(0)));
        ASSERT_TRUE(peer.open(VEMRA::SocketAddress::loopback(0)));
        ASSERT_TRUE(other.open(VEMRA::SocketAddress::loopback(0)));
        clientAddress = VEMRA::SocketAddress::loopback(client.localPort());
        peerAddress = VEMRA::SocketAddress::loopback(peer.localPort());
    }

    HostSocket client;
    HostSocket peer;
    HostSocket other;
    VEMRA::SocketAddress clientAddress;
    VEMRA::SocketAddress peerAddress;
};

TEST_F(HostSocketTest, ReceiveSkipsOtherCodesSendersAndInvalidDatagrams) {
    Send wrongCode(QUORVEL::INFO_ANS, 1);
    ASSERT_TRUE(peer.send(wrongCode, clientAddress));
    const uint8_t garbage[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(peer.sendBytes(garbage, sizeof(garbage), clientAddress));
    Send wrongSender(QUORVEL::VERSION_ANS, 1, 9, 0, 0, 0);
    ASSERT_TRUE(other.send(wrongSender, clientAddress));
    SendBuffer wanted;
    wanted.setHeader(QUORVEL::VERSION_ANS, 1, 7, 0, 0, 0);
    wanted.setPayload("142_1", 5);
    ASSERT_TRUE(peer.send(wanted, clientAddress));

    const auto answer = client.receive(QUORVEL::VERSION_ANS, 2000ms, &peerAddress);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->param0(), 7);
    EXPECT_TRUE(answer->accepted());
    EXPECT_EQ(answer->payloadText(), "142_1");
    EXPECT_EQ(answer->from, peerAddress);
    EXPECT_FALSE(client.receive(QUORVEL::VERSION_ANS, 20ms)) << "everything before it was consumed";
}

TEST_F(HostSocketTest, ReceiveAnyKeepsRawDatagramsAndTimesOut) {
    const uint8_t garbage[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(peer.sendBytes(garbage, sizeof(garbage), clientAddress));
    const auto raw = client.receiveAny(2000ms);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->bytes, std::vector<uint8_t>(garbage, garbage + 5));
    EXPECT_FALSE(raw->message().isValid());
    EXPECT_FALSE(client.receiveAny(20ms));
}

TEST_F(HostSocketTest, LargeAnswersArriveWhole) {
    SendBuffer large;
    large.setHeader(QUORVEL::ICON_ANS, 1);
    large.setPayloadSize(65504);
    large.fillPayload(0x5A);
    ASSERT_TRUE(peer.send(large, clientAddress));
    const auto answer = client.receive(QUORVEL::ICON_ANS, 2000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload().size(), 65504U);
}

TEST_F(HostSocketTest, RequestWaitsForTheAnswerFromTheTarget) {
    std::thread responder([&] {
        const auto request = peer.receive(QUORVEL::INFO_REQ, 2000ms);
        if (!request) {
            return;
        }
        Send stray(QUORVEL::INFO_ANS, 1, 1, 0, 0, 0);
        other.send(stray, request->from);
        Send answer(QUORVEL::INFO_ANS, 1, 2, 0, 0, 0);
        peer.send(answer, request->from);
    });
    Send request(QUORVEL::INFO_REQ, 0);
    const auto answer = client.request(request, peerAddress, QUORVEL::INFO_ANS, 2000ms);
    responder.join();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->param0(), 2) << "the stray answer from another endpoint is skipped";
}

TEST(HostEndpoint, ParsesAddressPortAndScope) {
    const auto endpoint = QUORVEL::hostEndpoint("fe80::a", 19642, 3);
    ASSERT_TRUE(endpoint);
    EXPECT_TRUE(endpoint->isLinkLocal());
    EXPECT_EQ(endpoint->hostPort(), 19642);
    EXPECT_EQ(endpoint->scope, 3U);
    EXPECT_FALSE(QUORVEL::hostEndpoint("not an address", 1));
}

} // namespace
