#!/usr/bin/env python3
"""Soak: secure exchanges back to back through the real gateway, a pty and a loopback server,
with a fresh connection every 100 exchanges. Every answer must be right, and the gateway's open
descriptors, threads and resident memory must stay flat once it has warmed up (descriptors and
threads exactly, memory within 1 %; memory is not judged in sanitizer builds, whose allocators
keep freed memory on purpose).

    tests/e2e/soak.py [--exchanges 10000] [--build-dir build/linux]

The e2e suite runs a short version (test_soak.py)."""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from e2e_support import DLE, Figures, PtyLine, connect_frame, request_frame  # noqa: E402
from harness import Proc, WAIT  # noqa: E402

PER_CONNECTION = 100
SAMPLE_EVERY = 100


class SoakFailure(Exception):
    pass


def run_soak(brisca, servsim, exchanges, sanitized, progress=None):
    """Runs the soak; returns a dict of figures, raises SoakFailure with what went wrong."""
    root = tempfile.mkdtemp(prefix="brisca-soak-")
    procs = []
    line = None
    try:
        env = dict(os.environ)
        for d in ("config", "run", "home", "work"):
            os.mkdir(os.path.join(root, d), 0o700)
        env.update(XDG_CONFIG_HOME=os.path.join(root, "config"),
                   XDG_RUNTIME_DIR=os.path.join(root, "run"), HOME=os.path.join(root, "home"))
        work = os.path.join(root, "work")
        serv = Proc([servsim, "--listen", "127.0.0.1:0", "--secure"], env, work)
        procs.append(serv)
        i = serv.out.wait_for(r"^servsim: listening ")
        if i is None:
            raise SoakFailure("server simulator did not start\n" + serv.report())
        port = int(serv.out.lines[i].split()[2].rsplit(":", 1)[1])
        tty = os.path.join(root, "ttyCAT")
        line = PtyLine(tty)
        gw = Proc([brisca, "--port", tty, "--rate", "38400", "--log"], env, work)
        procs.append(gw)
        if gw.out.wait_for(r"Open 성공!$") is None:
            raise SoakFailure("gateway did not open its port\n" + gw.report())

        samples = []  # (exchange number, Figures)
        t0 = time.monotonic()
        for n in range(exchanges):
            if n % PER_CONNECTION == 0:
                if n:
                    line.send(DLE * 3)
                line.send(connect_frame(b"S", "127.0.0.1", port))
            frame = request_frame(b"0200SOAK%06d" % n)
            line.send(frame, gap=0)  # the answer comes after the burst's 100 ms of silence
            got = line.read(len(frame), timeout=WAIT)
            if got != frame:
                raise SoakFailure("exchange %d: sent %r, got %r\n%s" % (n, frame, got, gw.report()[-4000:]))
            if (n + 1) % SAMPLE_EVERY == 0:
                samples.append((n + 1, Figures(gw.pid)))
                if progress:
                    progress(n + 1, samples[-1][1], time.monotonic() - t0)
        seconds = time.monotonic() - t0
        line.send(DLE * 3)

        gw.popen.send_signal(signal.SIGTERM)
        rc = gw.wait(timeout=10)
        if rc != 0:
            raise SoakFailure("gateway ended with %r\n%s" % (rc, gw.report()[-4000:]))
        if "Sanitizer" in gw.err.text() or "runtime error:" in gw.err.text():
            raise SoakFailure("sanitizer report\n" + gw.err.text())
        if serv.out.matching(r"FAIL"):
            raise SoakFailure("malformed envelope\n" + "\n".join(serv.out.matching("FAIL")))

        warm = [f for k, f in samples if k > max(exchanges // 10, SAMPLE_EVERY)]
        if not warm:
            warm = [samples[-1][1]]
        fig = {
            "exchanges": exchanges,
            "seconds": seconds,
            "per_second": exchanges / seconds,
            "first": samples[0][1],
            "last": samples[-1][1],
            "fds": sorted({f.fds for f in warm}),
            "threads": sorted({f.threads for f in warm}),
            "rss_min": min(f.rss_kb for f in warm),
            "rss_max": max(f.rss_kb for f in warm),
            "samples": len(warm),
            "connections": len(serv.out.matching(r"accepted from")),
        }
        fig["rss_spread"] = (fig["rss_max"] - fig["rss_min"]) / fig["rss_min"]
        problems = []
        if len(fig["fds"]) != 1:
            problems.append("open descriptors changed: %s" % fig["fds"])
        if len(fig["threads"]) != 1:
            problems.append("threads changed: %s" % fig["threads"])
        if not sanitized and fig["rss_spread"] > 0.01:
            problems.append("resident memory grew %.2f %% (%d -> %d kB)" %
                            (100 * fig["rss_spread"], fig["rss_min"], fig["rss_max"]))
        if problems:
            raise SoakFailure("; ".join(problems) + "\n" +
                              "\n".join("%6d  %r" % (k, f) for k, f in samples))
        return fig
    finally:
        for p in procs:
            p.kill()
        if line:
            line.unplug()
        shutil.rmtree(root, True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--exchanges", type=int, default=10000)
    ap.add_argument("--build-dir", default=os.path.join(root, "build", "linux"))
    args = ap.parse_args()
    build = os.path.abspath(args.build_dir)
    brisca = os.path.join(build, "src", "app", "posix", "brisca")
    servsim = os.path.join(build, "tools", "sim", "brisca-servsim")
    sanitized = False
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            sanitized = any(l.startswith("BRISCA_SANITIZE:") and l.strip().split("=", 1)[1]
                            for l in f)
    except OSError:
        pass

    def progress(n, f, s):
        print("%6d exchanges  %7.1f s  %r" % (n, s, f), flush=True)

    try:
        fig = run_soak(brisca, servsim, args.exchanges, sanitized, progress)
    except SoakFailure as e:
        print("SOAK FAILED: %s" % e, file=sys.stderr)
        return 1
    print("\n%d secure exchanges in %.0f s (%.1f a second), %d connections; every answer right"
          % (fig["exchanges"], fig["seconds"], fig["per_second"], fig["connections"]))
    print("after warm-up (%d samples): descriptors %s, threads %s, resident %d..%d kB (%.2f %%)%s"
          % (fig["samples"], fig["fds"], fig["threads"], fig["rss_min"], fig["rss_max"],
             100 * fig["rss_spread"], " (sanitizer build: memory not judged)" if sanitized else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
