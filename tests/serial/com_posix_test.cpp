// CCom on a real pseudo-terminal pair: the test holds the master (the terminal's end) and its
// own slave fd; CCom opens the slave by its path, as it would open a serial device.
#include "support/pty_pair.h"
#include "support/serial_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <initializer_list>

#include <fcntl.h>
#include <sys/syscall.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The shared pty pair; a byte that does not reach the line fails the test.
struct Pty : PtyPair {
    void Send(const std::string& s) const { ASSERT_TRUE(PtyPair::Send(s)) << std::strerror(errno); }
};

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return s;
}

class ComTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(pty.master, 0) << "openpty failed";
        window.Start();
        com.SetOwner(&window, &sink);
        com.SetParams(pty.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    }
    void TearDown() override {
        com.Close();
        window.Stop();
    }
    void OpenOrFail() { ASSERT_EQ(com.Open(), 1) << pty.name; }

    Pty pty;
    ProbeWindow window;
    BurstRecorder sink{&window};
    CCom com;
};

// --- Bursts -------------------------------------------------------------------------------------

TEST_F(ComTest, MessageSentInOneGoIsOneHandOverWithItsLength) {
    OpenOrFail();
    const std::string msg = "S127.0.0.1:9000E";
    const auto sent = Clock::now();
    pty.Send(msg);
    ASSERT_TRUE(sink.WaitFrames(1));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, msg);
    EXPECT_TRUE(frames[0].onWindowThread);
    // The burst ends only after the line has been quiet for 100 ms.
    EXPECT_GE(MsBetween(sent, frames[0].at), 95);
    std::printf("[ timing ] one message: handed over %lld ms after it was sent\n",
                MsBetween(sent, frames[0].at));
}

TEST_F(ComTest, SilenceDecidesWhereOneBurstEnds) {
    OpenOrFail();
    // 30 ms of quiet: one burst.
    pty.Send("abc");
    std::this_thread::sleep_for(milliseconds(30));  // the gap under test, not a synchronisation
    pty.Send("def");
    ASSERT_TRUE(sink.WaitBytes(6));
    // Quiet until the first is handed over (100 ms at least): two bursts.
    const auto first = Clock::now();
    pty.Send("ghi");
    ASSERT_TRUE(sink.WaitBytes(9));
    const auto second = Clock::now();
    pty.Send("jkl");
    ASSERT_TRUE(sink.WaitBytes(12));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].bytes, "abcdef");
    EXPECT_EQ(frames[1].bytes, "ghi");
    EXPECT_EQ(frames[2].bytes, "jkl");
    std::printf("[ timing ] gap until the hand-over: bursts handed over %lld ms and %lld ms after their bytes\n",
                MsBetween(first, frames[1].at), MsBetween(second, frames[2].at));
}

TEST_F(ComTest, EveryByteRestartsTheSilenceTimer) {
    OpenOrFail();
    // Six bytes 60 ms apart: 300 ms in all, never 100 ms of quiet.
    const auto start = Clock::now();
    for (char c : std::string("123456")) {
        pty.Send(std::string(1, c));
        std::this_thread::sleep_for(milliseconds(60));  // the gap under test
    }
    ASSERT_TRUE(sink.WaitBytes(6));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, "123456");
    std::printf("[ timing ] bytes 60 ms apart: one burst after %lld ms\n", MsBetween(start, frames[0].at));
}

TEST_F(ComTest, MoreThanABufferWithoutPauseIsSplitAt4096) {
    OpenOrFail();
    const std::string data = Pattern(5000, 7);
    pty.Send(data);
    ASSERT_TRUE(sink.WaitBytes(5000));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes.size(), 4096u);
    EXPECT_EQ(frames[1].bytes.size(), 904u);
    EXPECT_TRUE(frames[0].bytes + frames[1].bytes == data);
}

// --- Opening --------------------------------------------------------------------------------------

TEST_F(ComTest, OpenFailsWithoutADeviceOrAnOwner) {
    com.SetParams("/dev/brisca-no-such-device", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 0);
    EXPECT_FALSE(com.IsOpen());
    com.SetParams("", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 0);

    CCom orphan;  // never told where bursts go
    orphan.SetParams(pty.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(orphan.Open(), 0);
    EXPECT_FALSE(orphan.IsOpen());
}

TEST_F(ComTest, SpeedWithoutALineSettingIsRefusedAndReleasesTheDevice) {
    for (uint32_t speed : {0u, 12345u}) {
        com.SetParams(pty.name.c_str(), speed, 8, COM_STOP_ONE, COM_PARITY_NONE);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(com.Open(), 0) << speed;
        const std::string err = ::testing::internal::GetCapturedStderr();
        // Named in this system's terms: the speed and the device.
        EXPECT_EQ(err, "speed " + std::to_string(speed) + " not supported by " + pty.name + "\n");
        EXPECT_FALSE(com.IsOpen());
    }
    // Nothing of the refused attempts holds the device.
    CCom other;
    other.SetOwner(&window, &sink);
    other.SetParams(pty.name.c_str(), 57600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(other.Open(), 1);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

// The stop-bit codes the Windows DCB takes, on the termios line. (A pty keeps 8 data bits and
// no parity whatever is asked, so only a real line shows the parity codes.)
TEST_F(ComTest, StopBitsReachTheLineAndCodesWithoutATermiosFormAreRefused) {
    for (ComStopBits stopBits : {COM_STOP_TWO, COM_STOP_ONE}) {
        SCOPED_TRACE(testing::Message() << "stop bits code " << int(stopBits));
        com.SetParams(pty.name.c_str(), 9600, 8, stopBits, COM_PARITY_NONE);
        ASSERT_EQ(com.Open(), 1);
        termios t{};
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB), stopBits == COM_STOP_TWO ? CSTOPB : 0u);
        com.Close();
    }
    // One and a half stop bits exist for 5 data bits only; codes outside the DCB's are refused.
    const struct {
        uint8_t byteSize;
        ComStopBits stopBits;
        ComParity parity;
    } refused[] = {
        {8, COM_STOP_ONE_HALF, COM_PARITY_NONE},
        {8, static_cast<ComStopBits>(3), COM_PARITY_NONE},
        {8, COM_STOP_ONE, static_cast<ComParity>(5)},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(testing::Message() << "stop bits code " << int(c.stopBits) << ", parity code "
                                        << int(c.parity));
        com.SetParams(pty.name.c_str(), 9600, c.byteSize, c.stopBits, c.parity);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(com.Open(), 0);
        ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(com.IsOpen());
    }
    // Nothing of the refused attempts holds the device.
    com.SetParams(pty.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 1);
}

TEST_F(ComTest, PortIsOpenedExclusively) {
    OpenOrFail();
    CCom second;
    second.SetOwner(&window, &sink);
    second.SetParams(pty.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(second.Open(), 0);
    com.Close();
    EXPECT_EQ(second.Open(), 1);
}

// --- Closing ---------------------------------------------------------------------------------------

TEST_F(ComTest, CloseWakesABlockedWatcherAtOnceAndHandsNothingOver) {
    com.Close();  // before any Open
    OpenOrFail();
    // One burst handed over: the watcher is running and goes back to its wait.
    pty.Send("x");
    ASSERT_TRUE(sink.WaitFrames(1));
    sink.Clear();
    const auto t0 = Clock::now();
    com.Close();
    const auto took = MsBetween(t0, Clock::now());
    EXPECT_LT(took, 200);
    EXPECT_FALSE(com.IsOpen());
    com.Close();  // twice
    pty.Send("late");
    std::this_thread::sleep_for(milliseconds(150));  // a silence and more in which nothing may come
    EXPECT_EQ(sink.FrameCount(), 0u);
    std::printf("[ timing ] Close with a blocked watcher took %lld ms\n", took);
}

TEST_F(ComTest, CloseInTheMiddleOfABurstDropsIt) {
    OpenOrFail();
    pty.Send("half a message");
    com.Close();  // well inside the 100 ms of quiet that would end the burst
    EXPECT_EQ(sink.FrameCount(), 0u);
}

TEST_F(ComTest, ReopenedPortHasExactlyOneWatcher) {
    OpenOrFail();
    com.Close();
    OpenOrFail();
    ASSERT_EQ(com.Open(), 1);  // Open on an open port closes it first
    const std::string msg = Pattern(300, 3);
    pty.Send(msg);
    ASSERT_TRUE(sink.WaitBytes(300));
    // A second watcher would have taken part of the bytes as a burst of its own: a silence and
    // more in which no other burst may come.
    std::this_thread::sleep_for(milliseconds(150));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].bytes == msg);
}

TEST(ComWindowThread, CloseOnTheWindowThreadServesAWaitingHandOver) {
    Pty pty;
    ASSERT_GE(pty.master, 0);
    ProbeWindow window;
    window.Adopt();  // this thread is the window thread and serves only while it waits
    BurstRecorder sink{&window};
    CCom com;
    com.SetOwner(&window, &sink);
    com.SetParams(pty.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    ASSERT_EQ(com.Open(), 1);
    pty.Send("VVV");
    ASSERT_TRUE(window.WaitForWaitingSender(milliseconds(3000)));  // the watcher waits on us
    std::promise<void> closedSignal;
    std::thread watchdog([&, closed = closedSignal.get_future()] {
        if (closed.wait_for(milliseconds(5000)) != std::future_status::ready) {
            std::fprintf(stderr, "Close deadlocked with the watcher in its hand-over\n");
            std::_Exit(3);
        }
    });
    com.Close();
    closedSignal.set_value();
    watchdog.join();
    EXPECT_FALSE(com.IsOpen());
    EXPECT_EQ(sink.FrameCount(), 0u);  // the burst went with the close
    // The port works again afterwards, served the same way.
    ASSERT_EQ(com.Open(), 1);
    pty.Send("again");
    ASSERT_TRUE(window.WaitForWaitingSender(milliseconds(3000)));
    window.ServeUntilTrue([&] { return sink.FrameCount() == 1; });
    EXPECT_EQ(sink.Frames()[0].bytes, "again");
    com.Close();
}

TEST_F(ComTest, CloseFromInsideTheHandlerDoesNotWaitForItself) {
    OpenOrFail();
    std::promise<void> closed;
    sink.OnFrame([&] {
        com.Close();
        closed.set_value();
    });
    pty.Send("frame");
    auto result = closed.get_future();
    ASSERT_EQ(result.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_FALSE(com.IsOpen());
    sink.OnFrame(nullptr);
    pty.Send("ignored");
    std::this_thread::sleep_for(milliseconds(150));  // a silence and more in which nothing may come
    EXPECT_EQ(sink.FrameCount(), 1u);
    OpenOrFail();
    pty.Send("after");
    ASSERT_TRUE(sink.WaitFrames(2));
    EXPECT_EQ(sink.Frames()[1].bytes, "after");
}

// The system call a thread of this process is in, or -1.
long SyscallOf(pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
    FILE* f = std::fopen(path, "r");
    long nr = -1;
    if (f) {
        if (std::fscanf(f, "%ld", &nr) != 1) nr = -1;
        std::fclose(f);
    }
    return nr;
}

// Waits until the thread (once its id is known) is in one of the system calls; false after the
// limit. There is no event for "blocked in the kernel": /proc is looked at every millisecond.
bool WaitForSyscall(const std::atomic<pid_t>& tid, std::initializer_list<long> calls, milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (const pid_t t = tid.load()) {
            const long nr = SyscallOf(t);
            for (long c : calls)
                if (nr == c) return true;
        }
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// --- Writing ---------------------------------------------------------------------------------------

TEST_F(ComTest, WriteReachesTheTerminal) {
    EXPECT_EQ(com.Write("x", 1), 0u);  // not open
    OpenOrFail();
    const std::string reply = "VG01:Tevnmark:1, 0, 0, 5::1, 0, 0, 5::E";
    EXPECT_EQ(com.Write(reply.data(), static_cast<uint32_t>(reply.size())), reply.size());
    EXPECT_EQ(pty.Receive(reply.size()), reply);
    // More than the pty holds: the write waits for the terminal to take it.
    const std::string big = Pattern(60000, 11);
    auto received = std::async(std::launch::async, [&] { return pty.Receive(big.size()); });
    EXPECT_EQ(com.Write(big.data(), static_cast<uint32_t>(big.size())), big.size());
    const std::string got = received.get();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
}

TEST_F(ComTest, WritesFromTwoThreadsDoNotInterleave) {
    OpenOrFail();
    // Enough to fill the pty's buffers while nobody reads, so that writes come back short and
    // have to be continued: an unserialised pair would mix its chunks there.
    constexpr size_t kChunk = 3000;
    constexpr int kEach = 25;
    std::atomic<pid_t> tids[2] = {0, 0};
    auto writer = [&](char letter) {
        tids[letter - 'A'].store(gettid());
        const std::string chunk(kChunk, letter);
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(com.Write(chunk.data(), kChunk), kChunk);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    // Both stalled on the full line: one waits for room, the other for the write lock.
    EXPECT_TRUE(WaitForSyscall(tids[0], {SYS_poll, SYS_ppoll, SYS_futex}, milliseconds(5000)));
    EXPECT_TRUE(WaitForSyscall(tids[1], {SYS_poll, SYS_ppoll, SYS_futex}, milliseconds(5000)));
    const std::string got = pty.Receive(2 * kEach * kChunk, milliseconds(20000));
    a.join();
    b.join();
    ASSERT_EQ(got.size(), 2 * kEach * kChunk);
    size_t as = 0;
    for (size_t at = 0; at < got.size(); at += kChunk) {
        ASSERT_GE(got.find_first_not_of(got[at], at), at + kChunk) << "chunk at " << at << " is mixed";
        as += got[at] == 'A';
    }
    EXPECT_EQ(as, static_cast<size_t>(kEach));
}

TEST_F(ComTest, WriteToAStalledLineGivesUpAfterItsBoundWithoutSpinning) {
    OpenOrFail();
    // Nobody reads the master: fill the line until a one-byte write no longer goes through.
    const std::string block(64, 'z');
    while (com.Write(block.data(), 64) == 64) {
    }
    while (com.Write("z", 1) == 1) {
    }
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    const uint32_t n = com.Write(block.data(), 100);  // bound: 5 ms * 100 + 5 ms
    const auto took = MsBetween(t0, Clock::now());
    const double cpu = ProcessCpuMs() - cpu0;
    EXPECT_EQ(n, 0u);
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 3000);
    EXPECT_LT(cpu, 100.0);
    std::printf("[ timing ] write to a stalled line gave up after %lld ms, %.1f ms CPU\n", took, cpu);
}

// A terminal that has stopped reading takes part of a long answer; Close does not wait out the
// write's bound (2 minutes here) but ends it, and the write says how much went through.
TEST_F(ComTest, CloseEndsAWriteThatWaitsForRoomWithWhatWentThrough) {
    OpenOrFail();
    std::atomic<pid_t> writerTid{0};
    constexpr uint32_t kLong = 24000;  // more than a pty holds
    auto write = std::async(std::launch::async, [&] {
        writerTid.store(gettid());
        const std::string reply = Pattern(kLong, 9);
        return com.Write(reply.data(), kLong);
    });
    EXPECT_TRUE(WaitForSyscall(writerTid, {SYS_poll, SYS_ppoll}, milliseconds(5000)))
        << "the writer never waited for room";
    com.Close();
    ASSERT_EQ(write.wait_for(milliseconds(5000)), std::future_status::ready);
    const uint32_t part = write.get();
    EXPECT_GT(part, 0u);
    EXPECT_LT(part, kLong);
}

// --- Losing the device -----------------------------------------------------------------------------

TEST_F(ComTest, HungUpLineEndsTheWatcherOnceWithoutSpinning) {
    OpenOrFail();
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    ::testing::internal::CaptureStderr();
    pty.Hangup();  // the far side goes away: the slave reports POLLHUP from now on
    ASSERT_TRUE(sink.WaitLost());
    std::this_thread::sleep_for(milliseconds(300) - (Clock::now() - t0));
    const double cpu = ProcessCpuMs() - cpu0;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(cpu, 100.0) << "CPU time over 300 ms after the hang-up";
    EXPECT_EQ(sink.LostCount(), 1);
    EXPECT_EQ(sink.LostName(), pty.name);
    EXPECT_TRUE(sink.LostOnWindowThread());
    EXPECT_FALSE(com.IsOpen());
    EXPECT_EQ(com.Write("x", 1), 0u);
    EXPECT_NE(err.find("lost"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    com.Close();
    EXPECT_EQ(sink.LostCount(), 1);
    std::printf("[ timing ] hang-up: %.1f ms CPU in the 300 ms after it\n", cpu);
}

TEST_F(ComTest, OwnerCanReopenFromInsideTheLossNotice) {
    OpenOrFail();
    Pty replacement;  // the adapter comes back under another name
    ASSERT_GE(replacement.master, 0);
    std::promise<int> reopened;
    sink.OnLost([&] {
        com.SetParams(replacement.name.c_str(), 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
        reopened.set_value(com.Open());
    });
    ::testing::internal::CaptureStderr();
    pty.Hangup();
    auto result = reopened.get_future();
    ASSERT_EQ(result.wait_for(milliseconds(5000)), std::future_status::ready);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.get(), 1);
    EXPECT_TRUE(com.IsOpen());
    replacement.Send("back");
    ASSERT_TRUE(sink.WaitFrames(1));
    EXPECT_EQ(sink.Frames()[0].bytes, "back");
    EXPECT_EQ(sink.LostCount(), 1);
    // The replacement goes away at the end of this block, before TearDown: close first, or its
    // hang-up is a second (real) loss whose notice runs the hook on the promise again.
    com.Close();
}

}  // namespace
