#!/usr/bin/env python3
"""How long `brisca report` takes over a full day's log, and how much memory it needs.

    bench/report_bench.py BRISCA WORK [MEGABYTES]

Writes WORK/gate_log/brisca20261207.log of MEGABYTES (default 256, the default log limit) in the
program's own format (code page 949, CR LF, the trace's CR CR LF, frame lines with card data
masked), a day of secure and plain exchanges with failures and port losses among them, then runs
the report on it (terminal summary and HTML page) and writes WORK/report-bench.json: seconds and
peak resident memory of each run."""

import json
import os
import random
import subprocess
import sys
import time

DAY = "2026/12/07"


def cp(text):
    return text.encode("cp949")


def write_day(path, megabytes):
    rnd = random.Random(7)
    target = megabytes << 20
    pid = 4242
    arrow = cp(" \u25b7 ")
    # The same few blocks of lines as the program writes for one exchange, each with its
    # time filled in later.
    request = b"\x020200" + b"411111******1111=****************" + b"0" * 240 + b"\x03"
    answer = b"\x020210" + b"0" * 120 + b"\x03"

    def line(stamp, body, end=b"\r\n"):
        return b"[" + stamp + b"][%d]" % pid + arrow + body + end

    def exchange(stamp, secure, server, outcome, first_ms):
        route = "SECURE" if secure else "PLAIN"
        out = [line(stamp, cp("[CAT->VAN] [022] [전문수신]"), b"\r\r\n"),
               line(stamp, cp("TEVN-> 서버 접속 : %s %s" % (route, server))),
               line(stamp, cp("서버접속-->%s" % server) if secure else cp("[CAT<-TMS] [000] [전문수신]"),
                    b"\r\r\n"),
               line(stamp, cp("[CAT->VAN] [%03d] [전문수신]" % len(request)), b"\r\r\n")]
        if secure:
            out.append(line(stamp, cp("TEVN-> [요청전문][%d][" % len(request)) + request + b"]"))
        answers = 0
        if outcome == "ended":
            answers = 1
            if secure:
                out.append(line(stamp, cp("TEVN-> [응답전문][%d][" % len(answer)) + answer + b"]"))
            out.append(line(stamp, cp("[CAT<-VAN] [%03d] [전문수신]" % len(answer)), b"\r\r\n"))
            out.append(line(stamp, cp("[CAT->VAN] [001] [ACK]"), b"\r\r\n"))
        elif outcome == "decrypt-error":
            out.append(line(stamp, cp("TEVN-> ERROR : SEED 복호화 오류!")))
        out.append(line(stamp, cp("TIMEOUT 접속해제!-->(%d)" % (0 if outcome == "timeout" else -1)),
                        b"\r\r\n"))
        out.append(line(stamp, cp("접속해제!(-1)-->쓰레드종료"), b"\r\r\n"))
        first = "%dms" % first_ms if answers else "-"
        out.append(line(stamp, cp("TEVN-> 서버 접속 종료 : %s %s, 송신 2, 수신 %d, 첫응답 %s, 접속 %dms, 결과 %s"
                                  % (route, server, answers, first, first_ms + 150, outcome))))
        return b"".join(out)

    def refused(stamp, server):
        return b"".join([line(stamp, cp("[CAT->VAN] [022] [전문수신]"), b"\r\r\n"),
                         line(stamp, cp("TEVN-> ERROR : Connect Error (ERRNO = 111)")),
                         line(stamp, cp("TEVN-> 서버 접속 실패 : SECURE %s (connect)" % server)),
                         line(stamp, cp("서버 접속오류!-->%s" % server), b"\r\r\n")])

    # A shop's day: quiet at night, busy at lunch and in the evening.
    weights = [0, 0, 0, 0, 0, 0, 1, 2, 4, 6, 8, 12, 14, 11, 7, 6, 7, 10, 12, 9, 6, 3, 1, 0]
    total = sum(weights)

    def second_of(fraction):
        acc = 0.0
        for hour, w in enumerate(weights):
            if w and fraction <= (acc + w) / total:
                return int(hour * 3600 + 3599 * (fraction * total - acc) / w)
            acc += w
        return 86399

    servers = ["10.20.30.%d:%d" % (i, 9000 + i) for i in range(1, 7)]
    written = 0
    n = 0
    with open(path, "wb") as f:
        f.write(line(cp(DAY + " 06:00:01"), cp("TEVN-> 프로그램 시작 : 버전 1, 0, 0, 5, 포트 COM3, 로그 폴더 C:\\gate_log")))
        while written < target:
            second = second_of(written / target)
            stamp = cp("%s %02d:%02d:%02d" % (DAY, second // 3600, second // 60 % 60, second % 60))
            r = rnd.random()
            if r < 0.9:
                block = exchange(stamp, rnd.random() < 0.8, rnd.choice(servers), "ended",
                                 int(rnd.lognormvariate(5, 0.6)))
            elif r < 0.95:
                block = exchange(stamp, True, rnd.choice(servers), "timeout", 0)
            elif r < 0.97:
                block = exchange(stamp, True, rnd.choice(servers), "decrypt-error", 0)
            elif r < 0.9995:
                block = refused(stamp, rnd.choice(servers))
            else:  # the port away for three minutes
                back = min(second + 180, 86399)
                block = (line(stamp, cp("TEVN-> ERROR : 시리얼 포트 끊김 (COM3)")) +
                         line(cp("%s %02d:%02d:%02d" % (DAY, back // 3600, back // 60 % 60, back % 60)),
                              cp("TEVN-> 시리얼 포트 복구 (COM3)")))
            f.write(block)
            written += len(block)
            n += 1
    return n


def run(args):
    """Seconds and peak resident memory (kB) of one run of args."""
    t0 = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode("utf-8", "replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise SystemExit("report failed (%d): %s" % (proc.returncode, err))
    return {"seconds": round(seconds, 3), "peak_rss_kb": usage.ru_maxrss,
            "cpu_seconds": round(usage.ru_utime + usage.ru_stime, 3)}


def main():
    brisca, work = sys.argv[1], sys.argv[2]
    megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 256
    folder = os.path.join(work, "gate_log")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "brisca20261207.log")
    t0 = time.monotonic()
    blocks = write_day(path, megabytes)
    made = time.monotonic() - t0
    size = os.path.getsize(path)
    # The file was just written: every run reads it from the page cache.
    text = [run([brisca, "report", "20261207", "--folder", folder]) for _ in range(3)]
    page = run([brisca, "report", "20261207", "--folder", folder, "--html",
                os.path.join(work, "day.html")])
    small = os.path.join(work, "small")
    os.makedirs(os.path.join(small, "gate_log"), exist_ok=True)
    with open(path, "rb") as f, open(os.path.join(small, "gate_log", "brisca20261207.log"), "wb") as g:
        g.write(f.read(1 << 20))
    tiny = run([brisca, "report", "20261207", "--folder", os.path.join(small, "gate_log")])
    result = {"load_average": "%.2f %.2f %.2f" % os.getloadavg(), "cores": os.cpu_count(),
              "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "bytes": size, "exchanges": blocks, "write_seconds": round(made, 1),
              "text_runs": text, "html": page, "one_mb": tiny,
              "html_bytes": os.path.getsize(os.path.join(work, "day.html"))}
    with open(os.path.join(work, "report-bench.json"), "w") as f:
        json.dump(result, f, indent=1)
    print(json.dumps(result, indent=1))
    os.remove(path)


if __name__ == "__main__":
    main()
