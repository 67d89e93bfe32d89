#!/usr/bin/env python3
"""Writes docs/benchmarks.md from one run of bench/run.sh: the relay runs' JSON and samples,
Google Benchmark's JSON, the silence-timer JSON and the `openssl speed -mr` outputs."""
import csv
import glob
import json
import math
import os
import sys

SILENCE_US = 100_000.0
RELAYS = ("brisca-log", "brisca-nolog", "before-log", "before-nolog", "base-log", "base-nolog",
          "socat", "ser2net")
BRISCAS = ("brisca-log", "brisca-nolog", "before-log", "before-nolog", "base-log", "base-nolog")
MODES = ("b2b", "paced")
LABEL = {"brisca-log": "brisca, log on", "brisca-nolog": "brisca, log off",
         "before-log": "brisca before, log on", "before-nolog": "brisca before, log off",
         "base-log": "brisca base, log on", "base-nolog": "brisca base, log off",
         "socat": "socat", "ser2net": "ser2net"}
MODE_LABEL = {"b2b": "back to back", "paced": "paced (100 ms before each answer)"}


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def meta(work):
    m = {}
    with open(os.path.join(work, "meta.txt"), encoding="utf-8") as f:
        for line in f:
            k, _, v = line.rstrip("\n").partition("=")
            m[k] = v
    return m


def rank(values, q):
    """Nearest-rank percentile."""
    v = sorted(values)
    if not v:
        return float("nan")
    i = math.ceil(q * len(v))
    return v[max(i, 1) - 1]


def merge_rounds(work, name):
    """One relay's rounds as one run: samples joined, counts added, peaks taken."""
    runs = [load(p) for p in sorted(glob.glob(os.path.join(work, f"{name}-r*.json")))]
    runs = [r for r in runs if r]
    if not runs:
        return None
    req, ans = [], []
    for path in sorted(glob.glob(os.path.join(work, f"{name}-r*.csv"))):
        with open(path, encoding="utf-8") as f:
            for row in csv.DictReader(f):
                req.append(float(row["request_us"]))
                ans.append(float(row["answer_us"]))
    total = {k: sum(r[k] for r in runs) for k in
             ("exchanges", "cpu_ms", "cpu_ticks", "allocations", "alloc_bytes",
              "context_switches")}
    return {
        "name": name, "rounds": len(runs), "req": req, "ans": ans, **total,
        "clock_hz": runs[0]["clock_hz"],
        "request_bytes": runs[0]["request_bytes"], "answer_bytes": runs[0]["answer_bytes"],
        "vmhwm_kb": max(r["vmhwm_kb"] for r in runs),
        "allocations_whole_run": max(r.get("allocations_whole_run", 0) for r in runs),
        "threads": max(r["threads"] for r in runs),
        "errors": [r["error"] for r in runs if r.get("error")],
    }


def openssl_cipher(path):
    """Bytes per second by block size from `openssl speed -mr -evp ...`."""
    sizes, rates = [], []
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("+H:"):
                    sizes = [int(x) for x in line.strip().split(":")[1:]]
                elif line.startswith("+F:"):
                    rates = [float(x) for x in line.strip().split(":")[3:]]
    except OSError:
        pass
    return dict(zip(sizes, rates))


def openssl_rsa(path):
    """(sign/s, verify/s) for rsa1024 from `openssl speed -mr rsa1024`."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                parts = line.strip().split(":")
                if line.startswith("+F2:") and parts[2] == "1024":
                    return float(parts[3]), float(parts[4])
    except OSError:
        pass
    return None


def us(x):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "–"
    if abs(x) >= 10_000:
        return f"{x / 1000:,.2f} ms"
    return f"{x:,.0f} µs" if abs(x) >= 100 else f"{x:,.1f} µs"


def mbs(bps):
    return f"{bps / 1e6:,.1f} MB/s"


def ratio_per(r, o, key):
    """r's key per exchange over o's."""
    return (r[key] / max(r["exchanges"], 1)) / max(o[key] / max(o["exchanges"], 1), 1e-9)


def share_over(values, limit):
    return 100.0 * sum(1 for x in values if x > limit) / max(len(values), 1)


def main():
    work, out = sys.argv[1], sys.argv[2]
    if len(sys.argv) > 3 and sys.argv[3] == "--report-only":
        replace_report_section(work, out)
        return
    m = meta(work)
    runs = {f"{n}-{mode}": merge_rounds(work, f"{n}-{mode}") for n in RELAYS for mode in MODES}
    sec = load(os.path.join(work, "brisca-secure.json"))
    idle = {n: load(os.path.join(work, f"idle-{n}.json"))
            for n in ("brisca", "brisca-conn", "socat", "ser2net")}
    timer = load(os.path.join(work, "silence-timer.json"))
    gb = load(os.path.join(work, "crypto.json")) or {"benchmarks": []}
    # The median of the repetitions; a single run where there are none.
    bench = {}
    for e in gb.get("benchmarks", []):
        if e.get("run_type") == "aggregate" and e.get("aggregate_name") == "median":
            bench[e["run_name"]] = e
        elif e.get("run_type") != "aggregate":
            bench.setdefault(e.get("run_name", e["name"]), e)
    seed_enc = openssl_cipher(os.path.join(work, "openssl-seed-enc.txt"))
    seed_dec = openssl_cipher(os.path.join(work, "openssl-seed-dec.txt"))
    rsa = openssl_rsa(os.path.join(work, "openssl-rsa.txt"))
    b, s = runs["brisca-log-paced"], runs["socat-paced"]

    L = []
    w = L.append
    w("# Benchmarks")
    w("")
    w(f"Written by `bench/run.sh` (`./dev bench`); every number on this page comes from the "
      f"run described here ({m.get('seconds')} s). Run it again to refresh the page.")
    w("")
    w("## The run")
    w("")
    w(f"- {m.get('date')}, commit {m.get('commit')}; {m.get('cpu')}, {m.get('cores')} virtual "
      f"cores, Linux {m.get('kernel')}; {m.get('compiler')}, RelWithDebInfo (`-O2 -g`).")
    w(f"- socat {m.get('socat')}, ser2net {m.get('ser2net') or '(not installed)'}, "
      f"OpenSSL {m.get('openssl')}, Google Benchmark 1.7 (Debian's library build).")
    busy = int(m.get('busy_relay') or 0)
    w(f"- **{'Quiet' if busy < 10 else 'Shared'} machine.** Load average before / after: "
      f"{m.get('load_before')} / {m.get('load_after')}. The 2 cores were {m.get('busy_relay')} % "
      f"busy during the relay runs and {m.get('busy_all')} % over the whole run "
      f"({m.get('seconds')} s). " +
      ("Little else ran: what the figures carry beyond the relays' own work is this virtual "
       "machine's timer and wake-up latency (see the silence timer line)."
       if busy < 10 else
       "The relays and the load driver use a few per cent of that: the rest is other "
       "developers' builds and test suites on the same 2 cores, and the tails (p99, max) carry "
       "their preemptions."))
    w(f"- The timed programs ran at `{m.get('nice')}` (the same for every relay), so that "
      "ordinary work on the machine preempts them less.")
    w("")

    w("### Setup of the relay runs")
    w("")
    w("`bench/relay_load.cpp` (`brisca-relay-load`) plays both ends at once: the terminal on the "
      "master of a fresh pty pair (raw, 38400 bit/s, which a pty does not pace) and the server "
      "on a listener at 127.0.0.1. The relay under test opens the pty slave and connects to "
      "the listener:")
    w("")
    w("- **brisca**: `brisca --port /dev/pts/N --rate 38400 --log` (log on: the daily log file "
      "written, every trace line in it) or `--no-log` (log off), trace lines on standard "
      "output (to a file) either way; the terminal sends the connect frame "
      "`P127.0.0.1:<port>E` (plain route) once. Settings, lock, log and autostart folder in a "
      "temporary directory."
      + (f" **brisca before** is the build of commit {m.get('before_commit') or '?'} "
         f"(`BENCH_BEFORE={m.get('before')}`), run the same way in the same rounds."
         if m.get("before") else "")
      + (f" **brisca base** is the build of commit {m.get('base_commit') or '?'} "
         f"(`BENCH_BASE={m.get('base')}`), likewise."
         if m.get("base") else ""))
    w("- **socat**: `socat /dev/pts/N,raw,echo=0,b38400 TCP:127.0.0.1:<port>,nodelay`.")
    w("- **ser2net**: `ser2net -n -c ser2net.yaml` with `accepter: conacc,tcp,127.0.0.1,<port>` "
      "and `connector: serialdev,/dev/pts/N,38400n81,local` (`bench/ser2net.yaml.in`). "
      "ser2net normally accepts TCP and then opens the device; the `conacc` accepter instead "
      "connects out at start-up and serves that connection as if accepted, so ser2net relays "
      "in the same direction as brisca and socat. `chardelay: false`: by default ser2net holds "
      "bytes from the line for at least 1 ms to gather more, which would add that to its "
      "request path by design.")
    w("")
    msg = m.get("message_bytes", "64")
    w(f"One exchange: the terminal writes a {msg}-byte request (STX … ETX LRC); the server times "
      "the first byte that arrives (**request path**: terminal's last byte written → server's "
      f"first byte read). Then the server writes a {msg}-byte answer and the terminal times its "
      "last byte (**answer path**: server's write → terminal has read it all): **back to back**, "
      "as soon as the whole request is in, or **paced**, 100 ms later, so that the answer "
      "finds every thread of the relay asleep. brisca's request path always holds the 100 ms "
      "of line silence that ends a burst; socat and ser2net forward at once. Every byte is "
      f"checked. The relays take turns in {m.get('rounds')} rounds (rotating order, 10 warm-up "
      f"exchanges each), {m.get('exchanges')} measured exchanges per relay and mode in all, so "
      "that changes in the machine's other load fall on all of them alike. CPU time is the "
      "relay's process CPU clock (`clock_getcpuclockid`, all threads) read around the measured "
      "exchanges; context switches are the sum over the relay's threads from "
      "`/proc/<pid>/task/*/status`. Heap calls are counted by `bench/alloc_count.c`, preloaded "
      "into the relay (malloc, calloc, realloc and the aligned forms), over the measured "
      "exchanges only. Peak RSS is `VmHWM` at the end.")
    w("")

    w("## Relay latency and cost")
    w("")
    for mode in MODES:
        w(f"### {MODE_LABEL[mode].capitalize()}")
        w("")
        w("| relay | exchanges | request p50 | request p99 | answer p50 | answer p90 | answer p99 "
          "| answer max | CPU per exchange | context switches per exchange "
          "| heap calls per exchange | peak RSS |")
        w("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for name in RELAYS:
            r = runs[f"{name}-{mode}"]
            if not r:
                continue
            n = max(r["exchanges"], 1)
            w(f"| {LABEL[name]} | {r['exchanges']} | {us(rank(r['req'], .5))} | "
              f"{us(rank(r['req'], .99))} | {us(rank(r['ans'], .5))} | {us(rank(r['ans'], .9))} | "
              f"{us(rank(r['ans'], .99))} | {us(max(r['ans']) if r['ans'] else None)} | "
              f"{us(r['cpu_ms'] / n * 1000)} | {r['context_switches'] / n:.1f} | "
              f"{r['allocations'] / n:.2f} | {r['vmhwm_kb'] / 1024:.1f} MB |")
        for name in RELAYS:
            r = runs[f"{name}-{mode}"]
            if r and r["errors"]:
                w("")
                w(f"{LABEL[name]}: " + "; ".join(r["errors"]))
        w("")
        so = runs[f"socat-{mode}"]
        for name in BRISCAS:
            r = runs[f"{name}-{mode}"]
            if not r or not r["req"]:
                continue
            over = [x - SILENCE_US for x in r["req"]]
            line = (f"- {LABEL[name]}: request path beyond the 100 ms silence "
                    f"**{us(rank(over, .5))} p50, {us(rank(over, .99))} p99**")
            if so and so["ans"]:
                line += (f"; answer p50 × {rank(r['ans'], .5) / rank(so['ans'], .5):.2f} and p99 "
                         f"× {rank(r['ans'], .99) / rank(so['ans'], .99):.2f} socat's; CPU per "
                         f"exchange × {ratio_per(r, so, 'cpu_ms'):.2f}, context switches "
                         f"{r['context_switches'] / max(r['exchanges'], 1):.1f} against "
                         f"{so['context_switches'] / max(so['exchanges'], 1):.1f}")
            w(line + ".")
        w("")
    if timer:
        pl, tf = timer["poll_late_us"], timer["timerfd_late_us"]
        w(f"**The silence timer alone** (`bench/silence_timer.cpp`, {timer['samples']} sleeps of "
          "100 ms each, nothing else): a 100 ms poll time-out, as the serial watcher uses, "
          f"returns {us(pl['p50'])} late at p50, {us(pl['p90'])} at p90 and **{us(pl['p99'])} at "
          f"p99, {pl['over_1ms_pct']:.1f} % over 1 ms**; a timerfd {us(tf['p50'])}, {us(tf['p90'])} "
          f"and {us(tf['p99'])} ({tf['over_1ms_pct']:.1f} % over 1 ms). The kernel lets a poll "
          "time-out fire up to 0.1 % late (100 µs at 100 ms) so that wake-ups can be merged; a "
          "timerfd has no such slack. What is left is how long this virtual machine takes to "
          "deliver the timer and run the thread again after it has slept 100 ms, longer while "
          "other work holds the cores. It is the floor under brisca's request path, which adds "
          "the wake-up that reads the last bytes (the 100 ms count starts there) and the send.")
        w("")
    if sec:
        n = max(sec["exchanges"], 1)
        w(f"Secure route (`S127.0.0.1:<port>E`, {sec['exchanges']} requests of "
          f"{sec['request_bytes']} bytes, each sent in the SEED/RSA envelope; the server answers "
          "one ACK byte, which the secure worker passes on unwrapped): request path less the "
          f"silence {us(sec['request_us']['p50'] - SILENCE_US)} at p50, "
          f"{us(sec['request_us']['p99'] - SILENCE_US)} at p99 (session key, RSA, SEED and the "
          f"send included); **{sec['allocations'] / n:.1f} heap calls per secure request** "
          f"({sec['alloc_bytes'] / n:,.0f} bytes); CPU "
          f"{sec['cpu_ms'] / n * 1000:.0f} ms per 1000 requests."
          + (f" Error: {sec['error']}" if sec.get("error") else ""))
        w("")

    w("## Idle")
    w("")
    w(f"Each relay sat {m.get('idle_sec')} s with its port open and no traffic (after 2 s to "
      "settle), all four side by side; brisca twice: without a server "
      "connection, and with one open (its receive worker waiting on the socket).")
    w("")
    w("| relay | state | CPU in the idle time | per 10 s | ticks (10 ms) | threads | RSS |")
    w("|---|---|---|---|---|---|---|")
    labels = {"brisca": ("brisca", "port open, no connection"),
              "brisca-conn": ("brisca", "port open, plain connection open"),
              "socat": ("socat", "pty and connection open"),
              "ser2net": ("ser2net", "pty and connection open")}
    for key, (name, state) in labels.items():
        r = idle[key]
        if not r:
            continue
        if r.get("error"):
            w(f"| {name} | {state} | error: {r['error']} | | | | |")
            continue
        per10 = r["idle_cpu_ms"] / max(r["idle_sec"], 1e-9) * 10
        w(f"| {name} | {state} | {r['idle_cpu_ms'] * 1000:.0f} µs over {r['idle_sec']:.1f} s | "
          f"{per10 * 1000:.0f} µs | {r['idle_ticks']} | {r['threads']} | "
          f"{r['vmrss_kb'] / 1024:.1f} MB |")
    w("")

    w("## Crypto")
    w("")
    w("`bench/crypto_bench.cpp` (Google Benchmark). `SeedEncrypt` / `SeedDecrypt` are the "
      "adapter's calls as the secure route makes them: key blob, parameter block, key "
      "schedule and CBC with PKCS#7 on every call. The cipher rows run SEED-CBC alone with "
      "the key scheduled once, as `openssl speed` does. OpenSSL's SEED comes from its legacy "
      "provider (`openssl speed -provider legacy -provider default -evp seed-cbc`, `-decrypt` "
      "for the other direction). Ours: the median of 3 repetitions, CPU time (wall time on "
      "the shared cores carries other programs' preemptions); OpenSSL: one run.")
    w("")
    w("| operation | size | ours | OpenSSL |")
    w("|---|---|---|---|")

    def row(label, name, size, ossl):
        bm = bench.get(name)
        if not bm:
            return
        ours = mbs(bm["bytes_per_second"]) if "bytes_per_second" in bm else "–"
        ref = mbs(ossl[size]) if size in ossl else "–"
        w(f"| {label} | {size} B | {ours} ({bm['cpu_time']:,.0f} {bm.get('time_unit', 'ns')} "
          f"a call) | {ref} |")

    for size in (16, 256, 1024, 4096):
        row("SEED-CBC encrypt (adapter)", f"BM_SeedEncrypt/{size}", size, seed_enc)
    row("SEED-CBC encrypt (cipher)", "BM_SeedCbcEncryptRaw/16384", 16384, seed_enc)
    for size in (16, 256, 1024, 4096):
        row("SEED-CBC decrypt (adapter)", f"BM_SeedDecrypt/{size}", size, seed_dec)
    row("SEED-CBC decrypt (cipher)", "BM_SeedCbcDecryptRaw/16384", 16384, seed_dec)
    w("")
    w("At 16 bytes the adapter's figure includes its key schedule and the padding block (two "
      "blocks out for one in), which `openssl speed` does not do per call."
      + (" OpenSSL has no 4096-byte size in its table; its 1024- and 8192-byte figures "
         "bracket it." if 4096 not in seed_enc else ""))
    w("")
    rb = bench.get("BM_RsaPublicEncrypt")
    if rb:
        ours_us = rb["cpu_time"] / 1000 if rb.get("time_unit", "ns") == "ns" else rb["cpu_time"]
        line = ("RSA-1024, e = 3, PKCS#1 v1.5 encryption of the 16-digit session key through the "
                f"adapter: **{ours_us:.1f} µs** a call ({1e6 / ours_us:,.0f}/s), the DER key "
                "decoded once per run.")
        if rsa:
            line += (f" `openssl speed rsa1024` (e = 65537, key loaded once): public operation "
                     f"(verify) {1e6 / rsa[1]:.1f} µs ({rsa[1]:,.0f}/s), private (sign) "
                     f"{1e6 / rsa[0]:.1f} µs ({rsa[0]:,.0f}/s). The exponentiation itself is "
                     "cheaper with e = 3 (2 modular multiplications instead of 17).")
        w(line)
        w("")
    env = bench.get("BM_SecureEnvelope/4096")
    envc = bench.get("BM_EnvelopeCrypto/4096")
    if env:
        w("Secure envelope of a 4096-byte request (`Relay::SendSecureRequest`: session key from "
          "getrandom, RSA, SEED, length fields and the send on a loopback connection): "
          f"**{env['real_time']:,.1f} µs** wall time, {env['cpu_time']:,.1f} µs CPU (medians)"
          + (f"; the cipher work alone (RSA + SEED of 4096 bytes) {envc['cpu_time']:,.1f} µs CPU."
             if envc else "."))
        w("")

    # Goals, all against socat in the same run, logging on.
    goals = []

    def per(r, key):
        return r[key] / max(r["exchanges"], 1)

    for mode in MODES:
        r, o = runs[f"brisca-log-{mode}"], runs[f"socat-{mode}"]
        if not (r and o and r["ans"] and o["ans"]):
            continue
        for q, label in ((.5, "p50"), (.99, "p99")):
            mine, theirs = rank(r["ans"], q), rank(o["ans"], q)
            goals.append((f"answer path {label}, log on, {MODE_LABEL[mode]}: no higher than "
                          "socat's", f"{us(mine)} vs {us(theirs)}: × {mine / theirs:.2f}",
                          mine <= theirs))
    for mode in MODES:
        r = runs[f"brisca-log-{mode}"]
        if not (r and r["req"]):
            continue
        over = [x - SILENCE_US for x in r["req"]]
        p50, p99 = rank(over, .5), rank(over, .99)
        goals.append((f"request path beyond the silence, {MODE_LABEL[mode]}: p50 ≤ 150 µs",
                      us(p50) + (f" (the bare timerfd's p50 on this run: "
                                 f"{us(timer['timerfd_late_us']['p50'])})" if timer else ""),
                      p50 <= 150))
        goals.append((f"request path beyond the silence, {MODE_LABEL[mode]}: p99 ≤ 500 µs",
                      us(p99) + (f" (the bare timerfd's p99 on this run: "
                                 f"{us(timer['timerfd_late_us']['p99'])})" if timer else ""),
                      p99 <= 500))
    for mode in MODES:
        r, o = runs[f"brisca-log-{mode}"], runs[f"socat-{mode}"]
        if not (r and o):
            continue
        cpu = ratio_per(r, o, "cpu_ms")
        goals.append((f"CPU per exchange ≤ 1.5 × socat's, {MODE_LABEL[mode]}",
                      f"{us(per(r, 'cpu_ms') * 1000)} vs {us(per(o, 'cpu_ms') * 1000)}: "
                      f"× {cpu:.2f}", cpu <= 1.5))
        cs, cso = per(r, "context_switches"), per(o, "context_switches")
        goals.append((f"context switches per exchange ≤ socat's + 2, {MODE_LABEL[mode]}",
                      f"{cs:.1f} vs {cso:.1f}", cs <= cso + 2))
    if sec and sec.get("exchanges"):
        heap = sec["allocations"] / sec["exchanges"]
        goals.append(("secure request: ≤ 12 heap calls", f"{heap:.1f} per request", heap <= 12))
    if env:
        goals.append(("envelope of a 4096-byte request under 100 µs",
                      f"{env['real_time']:,.1f} µs", env["real_time"] < 100))
    idle_b = [r for r in (idle["brisca"], idle["brisca-conn"]) if r and not r.get("error")]
    if idle_b:
        worst = max(r["idle_cpu_ms"] for r in idle_b)
        goals.append(("idle CPU 0", f"{worst * 1000:.0f} µs over the idle time (the worse of "
                      "the two idle states)", worst == 0))
    plain = [r for name in ("brisca-log", "brisca-nolog") for mode in MODES
             for r in [runs[f"{name}-{mode}"]] if r]
    if plain:
        heap = sum(r["allocations"] for r in plain)
        n = sum(r["exchanges"] for r in plain)
        goals.append(("zero heap calls per plain frame", f"{heap} heap calls in {n} plain "
                      "exchanges (a request frame and an answer each)", heap == 0))
        before = [runs[f"before-log-{mode}"] for mode in MODES if runs[f"before-log-{mode}"]]
        peak = max(r["vmhwm_kb"] for r in plain)
        text = f"peak {peak / 1024:.1f} MB"
        ok = True
        if before:
            was = max(r["vmhwm_kb"] for r in before)
            text += f" (before: {was / 1024:.1f} MB)"
            ok = peak <= was * 1.05
        goals.append(("RSS no worse", text, ok))
    for line in report_section(work):
        w(line)
    w("## Goals")
    w("")
    w("| goal | result | |")
    w("|---|---|---|")
    for text, result, ok in goals:
        w(f"| {text} | {result} | {'**met**' if ok else '**missed**'} |")
    w("")
    w(NOTES)
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(L).replace("\n\n\n", "\n\n"))
    print("\n".join(L[L.index("## Goals"):L.index("## Goals") + len(goals) + 4]))


def report_section(work):
    """The day report's section: `brisca report` over a full day's log (bench/report_bench.py)."""
    r = load(os.path.join(work, "report-bench.json"))
    if not r:
        return []
    mb = r["bytes"] / (1 << 20)
    L = ["## Day report (`brisca report`)", "",
         f"A synthetic day of {mb:.0f} MB (the default `Log Limit`) in the program's own log format: "
         f"{r['exchanges']:,} connections and events, secure and plain exchanges with time-outs, decrypt failures, refused "
         "connects and port losses among them. Each line is the whole program run as support staff "
         "run it; peak memory is the process's maximum resident set (`ru_maxrss`). "
         f"Measured {r.get('date', '?')} on {r.get('cores', '?')} cores, load average "
         f"{r.get('load_average', '?')} at the end (the machine was shared: the times are upper bounds). "
         "The file was just written, so it is read from the page cache; a cold disk adds its read time.", "",
         "| run | time | CPU | peak memory |", "|---|---|---|---|"]
    for i, t in enumerate(r["text_runs"]):
        what = "terminal summary, first run" if i == 0 else f"terminal summary, run {i + 1}"
        L.append(f"| {what} | {t['seconds']:.2f} s | {t['cpu_seconds']:.2f} s | "
                 f"{t['peak_rss_kb'] / 1024:.1f} MB |")
    h = r["html"]
    L.append(f"| HTML page ({r['html_bytes'] / 1024:.0f} kB) | {h['seconds']:.2f} s | "
             f"{h['cpu_seconds']:.2f} s | {h['peak_rss_kb'] / 1024:.1f} MB |")
    t = r["one_mb"]
    L.append(f"| terminal summary of the first 1 MB of that day | {t['seconds']:.2f} s | "
             f"{t['cpu_seconds']:.2f} s | {t['peak_rss_kb'] / 1024:.1f} MB |")
    L += ["", "The reader streams the file in 1 MB pieces and keeps counts per hour, outcome and "
          "server, a fixed histogram of answer times, and the first 200 failures and 500 events: "
          "its memory does not grow with the day (the 1 MB row beside the full day shows it).", ""]
    return L


def replace_report_section(work, out):
    """Puts the day report's section into an existing page (before its goals), replacing the
    old one: `bench/run.sh BUILD report` measures only this."""
    section = report_section(work)
    with open(out, encoding="utf-8") as f:
        lines = f.read().split("\n")
    title = "## Day report (`brisca report`)"
    if title in lines:
        start = lines.index(title)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
        del lines[start:end]
        at = start
    else:
        at = lines.index("## Goals") if "## Goals" in lines else len(lines)
    lines[at:at] = section
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    print("\n".join(section))


NOTES = """## Notes

- **Load.** The tails (p99, max) on shared cores carry other programs' preemptions; the load
  average and the cores' busy share are given above. The silence-timer line shows what a bare
  100 ms timer does alone in the same run, beside brisca's request path.
- **Older builds.** "before" and "base" rows, where present, are older builds of brisca run in
  the same rounds, so that their figures and the current ones share the machine's load.
- **What the answer path does.** The receive worker reads the answer, renders its trace line
  and writes the log line itself (one lock serialises the trace of all threads, so lines and the
  console's 5000-event count stay in order), writes the answer to the terminal, and then hands
  the finished console line to standard output (Linux) or to the debug window's pending text
  with one posted message (Windows): no round trip to the window thread. The day's log file
  stays open; on Linux an inotify watch on it and its folder replaces a look-up of its name
  before every line.
- **What the request path does.** The serial watcher ends the burst with a timerfd re-armed on
  every read, then hands the burst over to the window thread once, waking it (as on Windows:
  a burst always runs on the window thread, never on the watcher). A frame
  for the open plain connection is sent first and traced and logged after the send. What the
  request path cannot lose: the 100 ms count starts when the watcher has read the last bytes,
  not when they arrived, and the timer then fires as late as the bare timerfd line shows; the
  first send after 100 ms of idleness runs through cold caches.
- **The window-thread hop.** The serial watcher waits while the window thread handles its burst
  and is woken again afterwards. Back to back, the answer that the server writes at once meets
  those wake-ups on the two cores, so the back-to-back answer path of a build with the hop is
  about twice that of one where the watcher ran the burst itself (older Linux builds did, and
  the Windows program never could); paced answers are not touched by it.
- **One core.** The relays and the load driver usually share one of the two cores (the kernel
  keeps a woken thread beside its waker), so a peer woken by a send runs only once the relay
  sleeps or is preempted: what brisca does after a send (its trace and log lines) can count in
  the peer's latency, as socat's next system calls do.
- Repeat: `./dev bench`; `BENCH_BEFORE=/path/to/older/brisca` (and `BENCH_BASE`) add older
  builds to the same rounds; `BENCH_EXCHANGES`, `BENCH_ROUNDS` and `BENCH_IDLE_SEC` shorten a
  run.
"""


if __name__ == "__main__":
    main()
