// The stop of the program while a connect to a server that does not answer is under way: the
// cancel wakes it, and every connect after it fails at once. A program of its own, since the
// cancel lasts for the rest of the process.
#include "support/temp_dir.h"
#include "support/loopback.h"
#include "net/transport.h"

#include <chrono>
#include <future>
#include <string>

using namespace std::chrono_literals;

namespace {
[[maybe_unused]] loopback::Library g_library;
}  // namespace

using CancelConnects = InTempDir;

TEST_F(CancelConnects, WakesTheConnectUnderWayAndRefusesLaterOnes) {
    // A listener whose queue is full and that never accepts: the connect gets no answer.
    int port = 0;
    const int full = loopback::Bound(0, &port);
    ASSERT_GT(full, 0);
    const int filler = loopback::Connect(port);
    ASSERT_GT(filler, 0);
    ASSERT_TRUE(loopback::Readable(full, 5000));

    ServerLink link;
    auto connect = std::async(std::launch::async, [&] { return link.Connect("127.0.0.1", port); });
    ASSERT_EQ(connect.wait_for(300ms), std::future_status::timeout);  // really waiting
    CancelPendingConnects();
    // Well before the 6 s bound of an unanswered connect.
    ASSERT_EQ(connect.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(connect.get().status, NetStatus::kCancelled);

    // A server that would answer is not even tried any more.
    int openPort = 0;
    const int listening = loopback::Bound(4, &openPort);
    ASSERT_GT(listening, 0);
    EXPECT_EQ(link.Connect("127.0.0.1", openPort).status, NetStatus::kCancelled);
    EXPECT_FALSE(loopback::Readable(listening, 0));  // nothing reached its queue

    loopback::Close(listening);
    loopback::Close(filler);
    loopback::Close(full);
}
