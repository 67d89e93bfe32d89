// brisca: the headless Linux gateway between a card terminal on a serial port and its payment
// servers. Runs until SIGINT or SIGTERM; one instance per user session (or per service instance
// with --system).
#include "app/posix/gateway.h"
#include "app/posix/options.h"
#include "app/posix/port_list.h"
#include "app/posix/report_command.h"
#include "app/posix/signals.h"
#include "app/posix/single_instance.h"
#include "app/posix/system_mode.h"
#include "crypto/server_key.h"
#include "sys/sys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#ifndef BRISCA_PRODUCT_VERSION
#define BRISCA_PRODUCT_VERSION "1, 0, 0, 5"
#endif

int main(int argc, char** argv) {
    // Before any frame can arrive: a crash leaves no core file with card data in it.
    if (!sys::KeepOutOfDumps()) std::fputs("<4>brisca: core dumps could not be switched off\n", stderr);
    if (argc > 1 && std::strcmp(argv[1], "report") == 0) return RunReport(argc - 1, argv + 1);
    Options opts;
    std::string error;
    if (!ParseOptions(argc, argv, &opts, &error)) {
        std::fprintf(stderr, "brisca: %s\n\n%s", error.c_str(), UsageText());
        return 64;
    }
    if (opts.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (opts.version) {
        std::printf("%s\n%s\n", BRISCA_PRODUCT_VERSION, ServerKeyLine());
        return 0;
    }

    if (opts.checkConfig) return CheckSettings(opts, stdout);

    if (opts.listPorts) {
        std::fputs(FormatPortList(ListSerialPorts("/dev")).c_str(), stdout);
        return 0;
    }

    BlockTerminationSignals();  // before any thread starts, so every thread inherits the mask
    // One gateway per user session, or per service instance.
    const std::string lockPath =
        opts.system ? SystemModePaths(opts.instance, nullptr, nullptr, std::getenv("RUNTIME_DIRECTORY")).lockFile
                    : InstanceLockPath(std::getenv("XDG_RUNTIME_DIR"), getuid());
    InstanceLock instance;
    const InstanceLock::Result locked = instance.Acquire(lockPath);
    if (locked == InstanceLock::ALREADY_RUNNING) {
        std::fputs("프로그램이 실행중입니다!\n", stderr);
        return 1;
    }
    if (locked == InstanceLock::REFUSED) std::fprintf(stderr, "%s\n", instance.Refusal().c_str());

    HeadlessGateway gateway(opts, BRISCA_PRODUCT_VERSION);
    if (const int rc = gateway.Start(); rc != 0) return rc;

    SignalWatcher signals;
    signals.Start(&gateway.Loop());
    gateway.Run();
    // The port closes before the connection, so that no burst during the stop opens another.
    gateway.Stop();
    signals.Stop();
    return 0;
}
