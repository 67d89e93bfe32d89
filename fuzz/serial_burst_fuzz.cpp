// The serial watcher's burst assembly on a real pty: the input is a list of pieces, each
// written to the terminal's end after a gap (none, short, about the silence, longer). Whatever
// the timing, the bursts handed over must add up to exactly the bytes written, in order, each
// 1 to 4096 bytes, each on the window thread. The silence is cut to 4 ms so that a run takes
// milliseconds, not seconds.
#include "fuzz_check.h"
#include "support/pty_pair.h"
#include "support/serial_probe.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include <unistd.h>

namespace {

constexpr unsigned kSilenceMs = 4;
constexpr size_t kMaxBytes = 24000;    // per input, so that one run stays short
constexpr long kMaxGapsUs = 150000;    // likewise for the gaps

struct Rig {
    PtyPair line;  // the slave held, so that the line never hangs up between inputs
    ProbeWindow window;
    BurstRecorder sink{&window};
    CCom com;

    Rig() {
        FUZZ_CHECK(line.Ok());
        CCom::SetSilenceMs(kSilenceMs);
        window.Start();
        com.SetOwner(&window, &sink);
        com.SetParams(line.name.c_str(), 115200, 8, COM_STOP_ONE, COM_PARITY_NONE);
        FUZZ_CHECK(com.Open() == 1);
    }
    ~Rig() {
        com.Close();
        window.Stop();
    }
};

void Pause(long us) {
    if (us <= 0) return;
    const timespec t{us / 1000000, (us % 1000000) * 1000};
    nanosleep(&t, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    rig.sink.Clear();
    // Each piece: a control byte (gap kind in the low 2 bits, size code above) and, for a gap
    // about the silence, a byte that places it between half and one and a half silences.
    std::string written;
    long gapsUs = 0;
    constexpr long silenceUs = kSilenceMs * 1000L;
    size_t at = 0;
    while (at < size && written.size() < kMaxBytes) {
        const uint8_t control = data[at++];
        const unsigned code = control >> 2;
        size_t length = code < 56 ? code + 1 : 512 * (code - 55);  // 1..56, 512..4096
        length = std::min(length, kMaxBytes - written.size());
        long gap = 0;
        switch (control & 3) {
            case 0: break;
            case 1: gap = silenceUs / 4; break;
            case 2: gap = silenceUs / 2 + (at < size ? data[at++] : 128) * silenceUs / 256; break;
            case 3: gap = 3 * silenceUs; break;
        }
        if (gapsUs + gap > kMaxGapsUs) gap = 0;
        gapsUs += gap;
        Pause(gap);
        const size_t from = written.size();
        for (size_t i = 0; i < length; ++i)
            written.push_back(static_cast<char>((from + i) * 151 + control));
        for (size_t done = from; done < written.size();) {
            const ssize_t n = write(rig.line.master, written.data() + done, written.size() - done);
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
    }
    // Every byte comes out, however the gaps fell against the silence.
    FUZZ_CHECK(rig.sink.WaitBytes(written.size(), milliseconds(10000)));
    std::string joined;
    for (const BurstRecorder::Frame& f : rig.sink.Frames()) {
        FUZZ_CHECK(!f.bytes.empty() && f.bytes.size() <= kComBufferSize);
        FUZZ_CHECK(f.onWindowThread);
        joined += f.bytes;
    }
    FUZZ_CHECK(joined == written);
    FUZZ_CHECK(rig.sink.LostCount() == 0);
    return 0;
}
