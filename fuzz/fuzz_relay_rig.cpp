#include "fuzz_relay_rig.h"

#include "fuzz_check.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

FuzzRelayRig& FuzzRelayRig::Get() {
    static FuzzRelayRig* rig = new FuzzRelayRig;  // outlives every input; never destroyed
    return *rig;
}

FuzzRelayRig::FuzzRelayRig()
    : relay(Relay::Ports{&loop, &terminal, nullptr, &recorder}) {
    // The log file lands in the working folder: give the fuzzer one of its own.
    char tmpl[] = "/tmp/brisca-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl) != nullptr);
    m_folder = tmpl;
    FUZZ_CHECK(chdir(m_folder.c_str()) == 0);
    static std::string folder = m_folder;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    });
    relay.SetLog(1);
    relay.SetVersionText("1, 0, 0, 5");
    relay.SetRateText("38400");
    m_loopThread = std::thread([this] { loop.Run(); });
}

void FuzzRelayRig::Burst(const std::string& bytes) {
    OnWindow([&] {
        relay.OnTerminalFrame(reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<unsigned>(bytes.size()));
    });
}

void FuzzRelayRig::TrimLog() {
    if (++m_runs % 2000 != 0) return;
    std::error_code ec;
    std::filesystem::remove_all(m_folder + "/gate_log", ec);
}
