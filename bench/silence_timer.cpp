// brisca-silence-timer: how late a 100 ms line-silence timer fires on this machine; prints JSON.
//   brisca-silence-timer [N]             the timer alone, N times each: poll's time-out (with
//                                        the default timer slack and with slack 1 ns) and a
//                                        timerfd. Bounded: 3 x N x 100 ms.
//   brisca-silence-timer --handover [N]  the serial watcher itself: a 64-byte burst written to
//                                        a pty, CCom on its other end; how long after the 100 ms
//                                        of silence the burst reaches the window thread.
#include "core/event_loop.h"
#include "serial/com.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

double Rank(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(q * v.size() + 0.999999);
    return v[i == 0 ? 0 : i - 1];
}

void PrintStats(const char* key, const std::vector<double>& v, bool last) {
    const double over1ms =
        100.0 * std::count_if(v.begin(), v.end(), [](double x) { return x > 1000; }) / v.size();
    std::printf(" \"%s\": {\"p50\": %.1f, \"p90\": %.1f, \"p99\": %.1f, \"min\": %.1f, "
                "\"over_1ms_pct\": %.1f}%s\n",
                key, Rank(v, 0.5), Rank(v, 0.9), Rank(v, 0.99), Rank(v, 0.0), over1ms,
                last ? "}" : ",");
}

std::vector<double> PollLate(int n) {
    std::vector<double> late;
    for (int i = 0; i < n; ++i) {
        const int64_t t = NowNs();
        poll(nullptr, 0, 100);
        late.push_back((NowNs() - t) / 1000.0 - 100000.0);
    }
    return late;
}

bool TimerfdLate(int n, std::vector<double>* late) {
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) return false;
    for (int i = 0; i < n; ++i) {
        const int64_t t = NowNs();
        itimerspec s{};
        s.it_value.tv_nsec = 100000000;
        timerfd_settime(fd, 0, &s, nullptr);
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1000);
        uint64_t expirations;
        if (read(fd, &expirations, sizeof expirations) < 0) {
            close(fd);
            return false;
        }
        late->push_back((NowNs() - t) / 1000.0 - 100000.0);
    }
    close(fd);
    return true;
}

int Timers(int n) {
    const std::vector<double> pollLate = PollLate(n);
    const unsigned long slack = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const std::vector<double> pollSlack1Late = PollLate(n);
    prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
    std::vector<double> timerLate;
    if (!TimerfdLate(n, &timerLate)) return 1;
    std::printf("{\"samples\": %d,\n", n);
    PrintStats("poll_late_us", pollLate, false);
    PrintStats("poll_slack1_late_us", pollSlack1Late, false);
    PrintStats("timerfd_late_us", timerLate, true);
    return 0;
}

// Records when each burst reached the window thread.
class Stamps final : public TerminalSink {
public:
    void OnTerminalFrame(const unsigned char*, unsigned n) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_at = NowNs();
            m_bytes += n;
        }
        m_cond.notify_all();
    }
    // The time at which the burst that brings the total to `bytes` arrived, or 0 after 2 s.
    int64_t WaitFor(uint64_t bytes) {
        std::unique_lock<std::mutex> g(m_lock);
        if (!m_cond.wait_for(g, std::chrono::seconds(2), [&] { return m_bytes >= bytes; })) return 0;
        return m_at;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    int64_t m_at = 0;
    uint64_t m_bytes = 0;
};

int Handover(int n) {
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
    EventLoop window;
    std::thread windowThread([&] { window.Run(); });
    Stamps sink;
    CCom com;
    com.SetOwner(&window, &sink);
    com.SetParams(name, 115200, 8, COM_STOP_ONE, COM_PARITY_NONE);
    int rc = 1;
    if (com.Open()) {
        unsigned char burst[64];
        std::memset(burst, 'x', sizeof burst);
        std::vector<double> late;
        uint64_t sent = 0;
        for (int i = 0; i < n; ++i) {
            const int64_t t = NowNs();  // before the write: a writer preempted after it lies
            if (write(master, burst, sizeof burst) != static_cast<ssize_t>(sizeof burst)) break;
            sent += sizeof burst;
            const int64_t at = sink.WaitFor(sent);
            if (at == 0) break;
            late.push_back((at - t) / 1000.0 - 100000.0);
            // A pause of 0-9 ms, so that the bursts do not fall in step with anything periodic.
            const timespec pause{0, (i * 7919 % 10) * 1000000L};
            nanosleep(&pause, nullptr);
        }
        if (late.size() == static_cast<size_t>(n)) {
            std::printf("{\"samples\": %d,\n", n);
            PrintStats("handover_late_us", late, true);
            rc = 0;
        }
    }
    com.Close();
    window.Quit();
    windowThread.join();
    close(master);
    close(slave);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    const bool handover = argc > 1 && std::strcmp(argv[1], "--handover") == 0;
    const int at = handover ? 2 : 1;
    const int n = argc > at ? std::atoi(argv[at]) : 30;
    if (n < 1 || n > 1000) return 2;
    return handover ? Handover(n) : Timers(n);
}
