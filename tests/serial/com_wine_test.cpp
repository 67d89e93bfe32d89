// CCom under Wine on COM ports that are real pty lines (see run_wine_serial.sh): CCom holds
// COM5, the terminal's end is COM6, opened with plain CreateFile and WriteFile/ReadFile.
#include "support/serial_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// Message boxes shown on this thread are read and answered by a hook, so that a refused line
// setting does not wait for an operator.
class MessageBoxes {
public:
    MessageBoxes() {
        s_seen = &m_seen;
        m_hook = SetWindowsHookExA(WH_CBT, Proc, nullptr, GetCurrentThreadId());
    }
    ~MessageBoxes() {
        if (m_hook) UnhookWindowsHookEx(m_hook);
        s_seen = nullptr;
        s_last = nullptr;
    }
    bool Hooked() const { return m_hook != nullptr; }
    const std::vector<std::string>& Seen() const { return m_seen; }

private:
    static LRESULT CALLBACK Proc(int code, WPARAM w, LPARAM l) {
        char cls[16] = {};
        if (code == HCBT_ACTIVATE) GetClassNameA(reinterpret_cast<HWND>(w), cls, sizeof cls);
        // Only dialog boxes, each once (a box may be activated again before it closes).
        if (s_seen && std::strcmp(cls, "#32770") == 0 && reinterpret_cast<HWND>(w) != s_last) {
            const HWND box = reinterpret_cast<HWND>(w);
            s_last = box;
            char text[256] = {};
            char caption[128] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's message text
            GetWindowTextA(box, caption, sizeof caption);
            s_seen->push_back(std::string(caption) + "|" + text);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
        return CallNextHookEx(nullptr, code, w, l);
    }
    static inline std::vector<std::string>* s_seen = nullptr;
    static inline HWND s_last = nullptr;
    HHOOK m_hook = nullptr;
    std::vector<std::string> m_seen;
};

// The terminal's end of the line.
class Terminal {
public:
    explicit Terminal(const char* port) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\%s", port);
        m_h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_h == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(m_h, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        SetCommState(m_h, &dcb);
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 50;
        t.ReadTotalTimeoutConstant = 200;
        SetCommTimeouts(m_h, &t);
        PurgeComm(m_h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    ~Terminal() {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
    bool Send(const std::string& s) {
        DWORD n = 0;
        return WriteFile(m_h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr) && n == s.size();
    }
    std::string Receive(size_t count, milliseconds limit = milliseconds(5000)) {
        std::string out;
        const auto end = Clock::now() + limit;
        char buf[4096];
        while (out.size() < count && Clock::now() < end) {
            DWORD n = 0;
            if (!ReadFile(m_h, buf, sizeof buf, &n, nullptr)) break;
            out.append(buf, n);
        }
        return out;
    }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME f) {
        return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

class WineCom : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("BRISCA_WINE_COM")) GTEST_SKIP() << "needs the COM ports of run_wine_serial.sh";
        window.Start();
        com.SetOwner(&window, &sink);
        com.SetParams("COM5", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    }
    void TearDown() override {
        com.Close();
        window.Stop();
    }

    ProbeWindow window;
    BurstRecorder sink{&window};
    CCom com;
};

TEST_F(WineCom, MessageSentInOneGoIsOneBurst) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    ASSERT_EQ(com.Open(), 1);
    const std::string msg = "S127.0.0.1:9000E";
    const auto sent = Clock::now();
    ASSERT_TRUE(cat.Send(msg));
    ASSERT_TRUE(sink.WaitFrames(1));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, msg);
    EXPECT_TRUE(frames[0].onWindowThread);
    std::printf("[ timing ] wine: one message handed over %lld ms after it was sent\n",
                MsBetween(sent, frames[0].at));
}

TEST_F(WineCom, LongPauseMakesTwoBursts) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    ASSERT_EQ(com.Open(), 1);
    const auto first = Clock::now();
    ASSERT_TRUE(cat.Send("VVV"));
    ASSERT_TRUE(sink.WaitBytes(3));  // handed over: the line has been quiet long enough
    const auto second = Clock::now();
    ASSERT_TRUE(cat.Send("DATA"));
    ASSERT_TRUE(sink.WaitBytes(7));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, "VVV");
    EXPECT_EQ(frames[1].bytes, "DATA");
    std::printf("[ timing ] wine: bursts handed over %lld ms and %lld ms after their bytes\n",
                MsBetween(first, frames[0].at), MsBetween(second, frames[1].at));
}

TEST_F(WineCom, ShortPauseStaysInOneBurst) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    ASSERT_EQ(com.Open(), 1);
    ASSERT_TRUE(cat.Send("abc"));
    Sleep(20);  // the gap under test, not a synchronisation
    ASSERT_TRUE(cat.Send("def"));
    ASSERT_TRUE(sink.WaitBytes(6));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, "abcdef");
}

TEST_F(WineCom, MoreThanABufferIsSplitAt4096) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    ASSERT_EQ(com.Open(), 1);
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('A' + i % 26);
    ASSERT_TRUE(cat.Send(data));
    ASSERT_TRUE(sink.WaitBytes(5000));
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes.size(), 4096u);
    EXPECT_EQ(frames[1].bytes.size(), 904u);
    EXPECT_TRUE(frames[0].bytes + frames[1].bytes == data);
}

TEST_F(WineCom, WriteReachesTheTerminal) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    EXPECT_EQ(com.Write("x", 1), 0u);  // not open
    ASSERT_EQ(com.Open(), 1);
    const std::string reply = "VG01:Tevnmark:1, 0, 0, 5::1, 0, 0, 5::E";
    EXPECT_EQ(com.Write(reply.data(), static_cast<uint32_t>(reply.size())), reply.size());
    EXPECT_EQ(cat.Receive(reply.size()), reply);
}

TEST_F(WineCom, CloseWakesABlockedWatcherAndHandsNothingOver) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    com.Close();  // before any Open
    ASSERT_EQ(com.Open(), 1);
    // One burst handed over: the watcher is running and goes back to WaitCommEvent.
    ASSERT_TRUE(cat.Send("x"));
    ASSERT_TRUE(sink.WaitFrames(1));
    sink.Clear();
    const auto t0 = Clock::now();
    com.Close();
    const auto took = MsBetween(t0, Clock::now());
    EXPECT_LT(took, 1000);
    com.Close();  // twice
    ASSERT_TRUE(cat.Send("late"));
    Sleep(300);  // a silence and more in which nothing may come
    EXPECT_EQ(sink.FrameCount(), 0u);
    // And the port opens again (the old watcher has gone).
    ASSERT_EQ(com.Open(), 1);
    ASSERT_TRUE(cat.Send("again"));
    ASSERT_TRUE(sink.WaitFrames(1));
    EXPECT_EQ(sink.Frames()[0].bytes, "again");
    std::printf("[ timing ] wine: Close with a blocked watcher took %lld ms\n", took);
}

TEST_F(WineCom, TwoDigitPortOpensInTheDeviceForm) {
    Terminal cat("COM6");
    ASSERT_TRUE(cat.IsOpen());
    com.SetParams("COM12", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    ASSERT_EQ(com.Open(), 1);
    ASSERT_TRUE(cat.Send("twelve"));
    ASSERT_TRUE(sink.WaitFrames(1));
    EXPECT_EQ(sink.Frames()[0].bytes, "twelve");
}

TEST_F(WineCom, MissingPortFailsWithoutAMessage) {
    MessageBoxes boxes;
    com.SetParams("COM9", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 0);
    EXPECT_FALSE(com.IsOpen());
    EXPECT_TRUE(boxes.Seen().empty());
}

// Wine takes any speed on a pty (0 and 12345 included); a data size of 9 bits is what it
// refuses there, and it goes through the same path.
TEST_F(WineCom, RefusedLineSettingShowsTheSettingMessage) {
    MessageBoxes boxes;
    ASSERT_TRUE(boxes.Hooked());
    com.SetParams("COM5", 9600, 9, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 0);
    EXPECT_FALSE(com.IsOpen());
    for (const std::string& seen : boxes.Seen()) std::printf("[ box    ] %s\n", seen.c_str());
    ASSERT_EQ(boxes.Seen().size(), 1u);
    EXPECT_NE(boxes.Seen()[0].find("|Connect Failed. DCB Setting Error"), std::string::npos)
        << boxes.Seen()[0];
    // The device was closed: it opens again at once.
    com.SetParams("COM5", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    EXPECT_EQ(com.Open(), 1);
}

// Asks the runner to unplug COM7 (first call) or to plug it in again on a new pty (second).
void LineControl() {
    const char* control = std::getenv("BRISCA_LINE_CONTROL");
    ASSERT_NE(control, nullptr);
    const HANDLE fifo = CreateFileA(control, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(fifo, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(fifo, "x\n", 2, &n, nullptr);
    CloseHandle(fifo);
}

// The USB adapter's case: the port goes (its link, then its pty), the watcher reports it once
// and the port counts as closed; once the port is back, the same name opens and carries bytes
// both ways.
TEST_F(WineCom, UnpluggedLineIsLostOnceAndOpensAgainWhenBack) {
    com.SetParams("COM7", 9600, 8, COM_STOP_ONE, COM_PARITY_NONE);
    ASSERT_EQ(com.Open(), 1);
    ASSERT_EQ(sink.LostCount(), 0);
    LineControl();
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    ASSERT_TRUE(sink.WaitLost(milliseconds(15000)));
    const auto lostAfter = MsBetween(t0, Clock::now());
    EXPECT_EQ(sink.LostName(), "COM7");
    EXPECT_TRUE(sink.LostOnWindowThread());
    EXPECT_FALSE(com.IsOpen());
    EXPECT_EQ(com.Write("x", 1), 0u);
    // Nothing to open while the port is away.
    EXPECT_EQ(com.Open(), 0);
    const HANDLE absent = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const DWORD absentError = GetLastError();
    EXPECT_EQ(absent, INVALID_HANDLE_VALUE);
    if (absent != INVALID_HANDLE_VALUE) CloseHandle(absent);
    std::printf("[ wine   ] an absent COM7 opens with error %lu\n",
                static_cast<unsigned long>(absentError));
    // The watcher has ended: no second notice and no spinning in a window of 300 ms.
    Sleep(300);
    const double cpu = ProcessCpuMs() - cpu0;
    const double spentMs = static_cast<double>(MsBetween(t0, Clock::now()));
    EXPECT_EQ(sink.LostCount(), 1);
    EXPECT_LT(cpu, spentMs / 4) << "CPU ms over " << spentMs << " ms";

    LineControl();
    const auto back = Clock::now() + milliseconds(10000);
    int opened = 0;
    while (!(opened = com.Open()) && Clock::now() < back) Sleep(20);  // what the owner's retry does
    ASSERT_EQ(opened, 1);
    Terminal cat("COM8");
    ASSERT_TRUE(cat.IsOpen());
    ASSERT_TRUE(cat.Send("VVV"));
    ASSERT_TRUE(sink.WaitFrames(1));
    EXPECT_EQ(sink.Frames()[0].bytes, "VVV");
    const std::string reply = "VG01:Tevnmark:1, 0, 0, 5::1, 0, 0, 5::E";
    EXPECT_EQ(com.Write(reply.data(), static_cast<uint32_t>(reply.size())), reply.size());
    EXPECT_EQ(cat.Receive(reply.size()), reply);
    EXPECT_EQ(sink.LostCount(), 1);
    std::printf("[ timing ] wine: line lost after %lld ms; %.1f ms CPU over %.0f ms\n", lostAfter,
                cpu, spentMs);
}

}  // namespace
