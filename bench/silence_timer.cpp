// brisca-silence-timer: how late a 100 ms line-silence timer fires on this machine, as a poll
// time-out (what the serial watcher uses) and as a timerfd; prints JSON. Bounded: N × 100 ms.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 30;
    if (n < 1 || n > 1000) return 2;
    std::vector<double> pollLate, timerLate;
    for (int i = 0; i < n; ++i) {
        const int64_t t = NowNs();
        poll(nullptr, 0, 100);
        pollLate.push_back((NowNs() - t) / 1000.0 - 100000.0);
    }
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) return 1;
    for (int i = 0; i < n; ++i) {
        const int64_t t = NowNs();
        itimerspec s{};
        s.it_value.tv_nsec = 100000000;
        timerfd_settime(fd, 0, &s, nullptr);
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1000);
        uint64_t expirations;
        if (read(fd, &expirations, sizeof expirations) < 0) return 1;
        timerLate.push_back((NowNs() - t) / 1000.0 - 100000.0);
    }
    close(fd);
    auto over1ms = [](const std::vector<double>& v) {
        return 100.0 * std::count_if(v.begin(), v.end(), [](double x) { return x > 1000; }) / v.size();
    };
    std::printf("{\"samples\": %d,\n \"poll_late_us\": {\"p50\": %.1f, \"p90\": %.1f, \"p99\": %.1f, "
                "\"min\": %.1f, \"over_1ms_pct\": %.1f},\n \"timerfd_late_us\": {\"p50\": %.1f, "
                "\"p90\": %.1f, \"p99\": %.1f, \"min\": %.1f, \"over_1ms_pct\": %.1f}}\n",
                n, Rank(pollLate, 0.5), Rank(pollLate, 0.9), Rank(pollLate, 0.99), Rank(pollLate, 0.0),
                over1ms(pollLate), Rank(timerLate, 0.5), Rank(timerLate, 0.9), Rank(timerLate, 0.99),
                Rank(timerLate, 0.0), over1ms(timerLate));
    return 0;
}
