// ctest-labels: threads
// The sinks and status channels a Host lists from a Target on [::1]: the key
// bitmap marks every key up to the largest, so keys without a sink must not
// be listed.
#include "host/TargetSurvey.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(TargetSurvey, ListsTheRegisteredSinksAndStatusChannelsOnly) {
    ManualClock clock;
    AddressList addresses;
    QUORVEL::Target target(sampleInfo(), loopbackConfig(&clock, &addresses));
    ASSERT_TRUE(target.start(false));
    QUORVEL::HostClient client = loopbackClient(target);

    const auto empty = QUORVEL::listSinks(client);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    FakeChannel first(target.boundDiscoveryPort());
    FakeChannel third(target.boundDiscoveryPort());
    FakeChannel thirdStatus(target.boundDiscoveryPort());
    ASSERT_TRUE(first.portRegist(1, 0, "Desk DAC"));
    ASSERT_TRUE(third.portRegist(3, 0, "Shelf DAC"));
    ASSERT_TRUE(thirdStatus.statusRegist(3, 1, 1, QUORVEL::Block{}, "Shelf DAC Control"));
    ASSERT_TRUE(eventually([&] {
        const auto status = client.status(3);
        const auto sink = client.port(3);
        return status && status->found && sink && sink->found;
    }));

    const auto sinks = QUORVEL::listSinks(client);
    ASSERT_TRUE(sinks);
    ASSERT_EQ(sinks->size(), 2U) << "key 2 is marked in the bitmap but has no sink";
    EXPECT_EQ((*sinks)[0].key, 1);
    EXPECT_EQ((*sinks)[0].controlPort, first.port());
    EXPECT_EQ((*sinks)[0].name, "Desk DAC");
    EXPECT_EQ((*sinks)[1].key, 3);
    EXPECT_EQ((*sinks)[1].controlPort, third.port());
    EXPECT_EQ((*sinks)[1].name, "Shelf DAC");

    const auto channels = QUORVEL::listStatusChannels(client);
    ASSERT_TRUE(channels);
    ASSERT_EQ(channels->size(), 1U);
    EXPECT_EQ((*channels)[0].key, 3);
    EXPECT_EQ((*channels)[0].port, thirdStatus.port());
    EXPECT_EQ((*channels)[0].name, "Shelf DAC Control");

    target.stop();
    QUORVEL::HostClient late = loopbackClient(target, 200ms);
    EXPECT_FALSE(QUORVEL::listSinks(late)) << "no answer is not an empty list";
}

} // namespace
