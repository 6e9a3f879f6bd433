#include "foundation/SocketWaitSet.h"
#include "foundation/Socket.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using VEMRA::Socket;
using VEMRA::SocketAddress;
using VEMRA::SocketWaitSet;

constexpr uint64_t kMillisecond = 1'000'000'000ULL;

TEST(SocketWaitSet, TimeoutConversionKeepsShortWaitsReal) {
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(100 * kMillisecond), 100);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(100'000'000'000ULL), 100);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(1'500 * kMillisecond), 1500);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(0), 0);
    // Below one microsecond the wait is a poll, as a timeval would have it.
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(999'999), 0);
    // Any whole microsecond waits at least a millisecond rather than spinning.
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(1'000'000), 1);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(1'000'999'999), 1);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(1'001'000'000), 2);
    EXPECT_EQ(VEMRA::pollTimeoutMilliseconds(UINT64_MAX), INT_MAX);
}

struct Endpoint {
    Socket socket;
    SocketAddress address = SocketAddress::loopback(0);

    Endpoint() {
        EXPECT_TRUE(socket.open(Socket::UdpV6Only));
        EXPECT_TRUE(socket.bind(address, 0));
    }
};

TEST(SocketWaitSet, ReportsTheSocketThatIsReady) {
    SocketWaitSet set;
    Endpoint first;
    Endpoint second;
    Socket closed;
    EXPECT_TRUE(set.isEmpty());
    EXPECT_FALSE(set.add(closed));
    ASSERT_TRUE(set.add(first.socket));
    ASSERT_TRUE(set.add(second.socket));

    EXPECT_EQ(set.wait(10 * kMillisecond), SocketWaitSet::Timeout);
    EXPECT_FALSE(set.isReady(first.socket));

    ASSERT_TRUE(first.socket.sendTo("x", 1, second.address, false));
    EXPECT_EQ(set.wait(2000 * kMillisecond), SocketWaitSet::Ready);
    EXPECT_TRUE(set.isReady(second.socket));
    EXPECT_FALSE(set.isReady(first.socket));

    // A removed socket is neither waited on nor reported any more.
    ASSERT_TRUE(set.remove(second.socket));
    EXPECT_FALSE(set.isReady(second.socket));
    EXPECT_EQ(set.wait(10 * kMillisecond), SocketWaitSet::Timeout);

    set.clear();
    EXPECT_TRUE(set.isEmpty());
}

TEST(SocketWaitSet, DescriptorAboveSelectLimitWorks) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = 1200;
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (raised.rlim_max != RLIM_INFINITY && raised.rlim_max < wanted) {
            raised.rlim_max = wanted; // allowed as root only
        }
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << wanted;
        }
    }
    // Occupy every free descriptor below 1100 so the next socket lands above.
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    std::vector<int> fillers{null};
    for (int fd = 0; fd < 1100; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && dup2(null, fd) == fd) {
            fillers.push_back(fd);
        }
    }
    Endpoint high;
    for (int fd : fillers) {
        close(fd);
    }
    ASSERT_GE(high.socket.descriptor(), 1100);
    Endpoint low;
    ASSERT_LT(low.socket.descriptor(), 1024);

    SocketWaitSet set;
    ASSERT_TRUE(set.add(low.socket));
    ASSERT_TRUE(set.add(high.socket));
    ASSERT_TRUE(low.socket.sendTo("x", 1, high.address, false));
    EXPECT_EQ(set.wait(2000 * kMillisecond), SocketWaitSet::Ready);
    EXPECT_TRUE(set.isReady(high.socket));
    EXPECT_FALSE(set.isReady(low.socket));

    ASSERT_TRUE(high.socket.sendTo("y", 1, low.address, false));
    EXPECT_EQ(set.wait(2000 * kMillisecond), SocketWaitSet::Ready);
    EXPECT_TRUE(set.isReady(low.socket));
    EXPECT_EQ(high.socket.waitReadable(0), Socket::WaitReadable);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
}

TEST(SocketWaitSet, ClosedDescriptorInSetIsAnError) {
    SocketWaitSet set;
    Endpoint endpoint;
    ASSERT_TRUE(set.add(endpoint.socket));
    endpoint.socket.close();
    EXPECT_EQ(set.wait(10 * kMillisecond), SocketWaitSet::Error);
}

} // namespace
