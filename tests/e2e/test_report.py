"""The day's report against what was done: the real gateway logs a day of exchanges with the
simulators (answered on both routes, refused, not allowed, server closed, decrypt failure, time-out,
port lost and back, an end without stop, the log limit), then `brisca report` reads it back and
its counts and outcomes must be the ones the test made happen."""

import os
import re
import signal
import subprocess
import time

from e2e_support import ACK, DLE, connect_frame, request_frame
from harness import BRISCA, WAIT, unittest
from line_test import LineTest

END = r"접속해제!\((-?\d+)\)-->쓰레드종료"


def parse_summary(text):
    """The terminal summary's sections as {title: [lines]} (titles up to their colon)."""
    sections, current = {}, None
    for line in text.splitlines():
        if line and not line.startswith(" ") and line.endswith(":"):
            current = sections.setdefault(line[:-1], [])
        elif current is not None and line.startswith("  "):
            current.append(line.strip())
    return sections


def outcome_counts(text):
    """{"answered": 4, "refused": 2, ...} from the summary's outcome section."""
    counts = {}
    for line in parse_summary(text).get("결과 (outcomes)", []):
        m = re.match(r"^.*\(([^)]*)\)\s+(\d+)$", line)
        counts[m.group(1)] = int(m.group(2))
    return counts


class ReportTest(LineTest):

    def report(self, *args, cwd=None):
        """Runs `brisca report ARGS` to its end; returns (exit status, stdout, stderr)."""
        done = subprocess.run([BRISCA, "report"] + list(args), cwd=cwd or self.work, env=self.env,
                              capture_output=True, timeout=WAIT)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def exchange(self, line, gw, kind, port, text=b"0200HELLO", host="127.0.0.1"):
        """Connect, a request echoed back, DLE DLE DLE and the worker's end."""
        ends = len(self.traces(gw, END))
        line.send(connect_frame(kind, host, port))
        frame = request_frame(text)
        line.send(frame)
        self.assertEqual(line.read(len(frame)), frame, self.dump())
        line.send(ACK)
        line.send(DLE * 3)
        self.wait_count(gw, END, ends + 1)

    def connect_fails(self, line, gw, kind, port, host="127.0.0.1"):
        fails = len(self.traces(gw, r"서버 접속오류!-->.*")) + len(self.traces(gw, r"\[CAT<-TMS\] \[000\] \[전문수신\]"))
        line.send(connect_frame(kind, host, port))
        line.send(request_frame(b"0200LOST"))
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if len(self.log_matching(r"^TEVN-> 서버 접속 실패 : ")) >= self.failed_connects + 1:
                break
            gw.out.wait_for(r"서버 접속오류|CAT<-TMS", start=fails, timeout=0.2)
        self.failed_connects += 1
        self.assertEqual(len(self.log_matching(r"^TEVN-> 서버 접속 실패 : ")), self.failed_connects,
                         self.dump())

    def setUp(self):
        super().setUp()
        self.failed_connects = 0

    def test_a_day_of_exchanges_read_back(self):
        self.write_settings("Allowed Servers=127.0.0.1")
        secure, sport = self.servsim("--secure")
        plain, pport = self.servsim()
        refusing, rport = self.servsim("--refuse")
        replay, yport = self.servsim("--secure", "--replay-previous")
        closing, cport = self.servsim("--cut-after", "0", "--then", "close")
        line, gw = self.start()

        for _ in range(2):
            self.exchange(line, gw, b"S", sport)
        self.exchange(line, gw, b"P", pport)
        self.connect_fails(line, gw, b"S", rport)
        self.connect_fails(line, gw, b"P", rport)
        self.connect_fails(line, gw, b"S", 9, host="127.0.0.5")  # not on the allow-list
        # The second connection to this server gets the first one's answer again: it cannot be
        # decrypted with the new session key.
        self.exchange(line, gw, b"S", yport)
        ends = len(self.traces(gw, END))
        line.send(connect_frame(b"S", "127.0.0.1", yport))
        self.wait_count(gw, END, ends + 1)
        # A plain server that closes without an answer.
        ends = len(self.traces(gw, END))
        line.send(connect_frame(b"P", "127.0.0.1", cport))
        line.send(request_frame(b"0200CLOSED"))
        self.wait_count(gw, END, ends + 1)
        # The adapter goes and comes back.
        line.unplug()
        self.trace(gw, r"시리얼 포트 끊김!-->.*")
        line = self.plug()
        self.trace(gw, r"시리얼 포트 복구!-->.*")
        self.exchange(line, gw, b"S", sport)
        rc, _ = self.stop(gw)
        self.assertEqual(rc, 0, self.dump())

        # The new log lines name route, server and outcome of every connection.
        log = self.log()
        opened = self.log_matching(r"^TEVN-> 서버 접속 : ")
        ended = self.log_matching(r"^TEVN-> 서버 접속 종료 : ")
        self.assertEqual(opened, ["TEVN-> 서버 접속 : %s" % s for s in (
            "SECURE 127.0.0.1:%d" % sport, "SECURE 127.0.0.1:%d" % sport, "PLAIN 127.0.0.1:%d" % pport,
            "SECURE 127.0.0.1:%d" % yport, "SECURE 127.0.0.1:%d" % yport, "PLAIN 127.0.0.1:%d" % cport,
            "SECURE 127.0.0.1:%d" % sport)], "\n".join(log))
        self.assertEqual(self.log_matching(r"^TEVN-> 서버 접속 실패 : "), [
            "TEVN-> 서버 접속 실패 : SECURE 127.0.0.1:%d (connect)" % rport,
            "TEVN-> 서버 접속 실패 : PLAIN 127.0.0.1:%d (connect)" % rport,
            "TEVN-> 서버 접속 실패 : SECURE 127.0.0.5:9 (not-allowed)"])
        pattern = re.compile(r"^TEVN-> 서버 접속 종료 : (\w+) ([\d.:]+), 송신 (\d+), 수신 (\d+), "
                             r"첫응답 (\d+ms|-), 접속 (\d+)ms, 결과 ([a-z-]+)$")
        fields = [pattern.match(m) for m in ended]
        self.assertTrue(all(fields), "\n".join(ended))
        self.assertEqual([(f.group(1), f.group(4), f.group(7)) for f in fields], [
            ("SECURE", "1", "ended"), ("SECURE", "1", "ended"), ("PLAIN", "1", "ended"),
            ("SECURE", "1", "ended"), ("SECURE", "0", "decrypt-error"), ("PLAIN", "0", "server-closed"),
            ("SECURE", "1", "ended")], "\n".join(ended))
        self.assertEqual([f.group(3) for f in fields], ["2", "2", "2", "2", "0", "1", "2"])
        self.assertEqual(log[-1], "TEVN-> 프로그램 종료")

        rc, text, err = self.report()
        self.assertEqual(rc, 0, err)
        print(text)
        self.assertEqual(outcome_counts(text), {
            "answered": 5, "refused": 2, "not allowed": 1, "decrypt failure": 1,
            "server closed": 1}, text)
        self.assertIn("접속 (connections): 10, 응답 (answered) 5, 실패 (failed) 5", text)
        self.assertNotIn("읽지 못한 줄", text)
        self.assertNotIn("HELLO", text)
        sections = parse_summary(text)
        by_server = {"%s %s" % re.match(r"^\S+ \((\w+)\)\s+(\S+)", l).groups(): l
                     for l in sections["경로와 서버별 (by route and server)"]}
        self.assertRegex(by_server["SECURE 127.0.0.1:%d" % sport], r"\s3  응답 \(answered\) 3; p50 \d+ ms")
        self.assertRegex(by_server["PLAIN 127.0.0.1:%d" % pport], r"\s1  응답 \(answered\) 1;")
        self.assertRegex(by_server["SECURE 127.0.0.1:%d" % rport], r"\s1  접속 거부 \(refused\) 1$")
        self.assertRegex(by_server["PLAIN 127.0.0.1:%d" % rport], r"\s1  접속 거부 \(refused\) 1$")
        self.assertRegex(by_server["SECURE 127.0.0.5:9"], r"\s1  허용되지 않은 서버 \(not allowed\) 1$")
        self.assertRegex(by_server["SECURE 127.0.0.1:%d" % yport],
                         r"\s2  응답 \(answered\) 1, 복호화 오류 \(decrypt failure\) 1;")
        self.assertRegex(by_server["PLAIN 127.0.0.1:%d" % cport], r"\s1  서버가 끊음 \(server closed\) 1$")
        events = [re.sub(r"^\d\d:\d\d:\d\d  ", "", e) for e in sections["이벤트 (events)"]]
        self.assertEqual([e.split("  ")[0] for e in events], [
            "프로그램 시작 (start)", "시리얼 포트 끊김 (port lost)", "시리얼 포트 복구 (port back)",
            "프로그램 종료 (stop)"], text)
        self.assertIn(self.tty, events[1])
        failures = sections["첫 실패 (first failures)"]
        self.assertEqual(len(failures), 5, text)
        self.assertRegex(failures[0], r"보안 \(SECURE\) 127\.0\.0\.1:%d  접속 거부 \(refused\)  \(ERRNO = 111\)$" % rport)
        times = sections["서버 응답 시간 (server answer time, first frame sent to first answer)"]
        self.assertRegex(times[0], r"^일반 \(PLAIN\)\s+p50 \d+ ms, p90 \d+ ms, max \d+ ms \(응답 answered 1\)$")
        self.assertRegex(times[1], r"^보안 \(SECURE\)\s+p50 \d+ ms, p90 \d+ ms, max \d+ ms \(응답 answered 4\)$")
        self.assertEqual(len(sections["시간대별 실패 (failures per hour)"]), 1, text)

        # The page: the same counts, written where asked; the folder and the day as options.
        page = os.path.join(self.root, "day.html")
        day = time.strftime("%Y-%m-%d")
        rc, out, err = self.report(day, "--folder", os.path.join(self.work, "gate_log"), "--html", page,
                                   cwd=self.root)
        self.assertEqual(rc, 0, err)
        with open(page, encoding="utf-8") as f:
            html = f.read()
        self.assertIn('<b id="connections">10</b>', html)
        self.assertIn('<b id="answered">5</b>', html)
        # The outcomes carry the summary's names, in the key and in the failures table.
        self.assertIn("접속 거부 (refused) 2", html)
        self.assertEqual(html.count("접속 거부 (refused)</td>"), 2)
        self.assertEqual(html.count("<svg"), 3)
        self.assertNotRegex(html, r"<script|https?://|src=")
        self.assertNotIn("HELLO", html)

    def test_time_out_an_end_without_stop_and_the_log_limit(self):
        # The day's file is nearly full already: a few more lines reach the limit.
        self.write_settings("Log Limit=1")
        folder = os.path.join(self.work, "gate_log")
        os.makedirs(folder, mode=0o700)
        stamp = time.strftime("[%Y/%m/%d %H:%M:%S][1] ").encode() + "\u25b7 ".encode("cp949")
        filler = stamp + b"[CAT->VAN] [010] [" + "전문수신".encode("cp949") + b"]\r\r\n"
        path = os.path.join(folder, time.strftime("brisca%Y%m%d.log"))
        with open(path, "wb") as f:
            f.write(filler * ((1 << 20) // len(filler) - 140))
        os.chmod(path, 0o600)
        silent, qport = self.servsim("--secure", "--silent")
        secure, sport = self.servsim("--secure")
        line, gw = self.start()
        # A server that never answers: the secure route's 30 s silence ends it.
        line.send(connect_frame(b"S", "127.0.0.1", qport))
        line.send(request_frame(b"0200SILENT"))
        self.trace(gw, r"TIMEOUT 접속해제!-->\(0\)", timeout=45)
        self.wait_count(gw, END, 1)
        # A connection open when the program is killed: its end is never logged.
        line.send(connect_frame(b"S", "127.0.0.1", sport))
        self.trace(gw, r"서버접속-->127\.0\.0\.1:%d" % sport)
        gw.popen.send_signal(signal.SIGKILL)
        gw.wait()
        gw = self.brisca("--rate", "38400", "--log")
        self.assertIsNotNone(gw.out.wait_for(r"Open 성공!$"), self.dump())
        for _ in range(40):
            self.exchange(line, gw, b"S", sport)
            if any("로그 용량 제한" in m for m in self.log()):
                break
        rc, _ = self.stop(gw)
        self.assertEqual(rc, 0, self.dump())

        rc, text, err = self.report()
        self.assertEqual(rc, 0, err)
        print(text)
        counts = outcome_counts(text)
        self.assertEqual(counts.get("time-out"), 1, text)
        # The time-out has no answer time: the secure route's times say it is left out.
        self.assertRegex(text, r"보안 \(SECURE\)\s+p50 .*시간 초과 time-outs 1 제외 not counted\)")
        # Unfinished: the connection of the killed run, and one whose end the limit held back.
        opened = len(self.log_matching(r"^TEVN-> 서버 접속 : SECURE 127\.0\.0\.1:%d$" % sport))
        logged = len(self.log_matching(r"^TEVN-> 서버 접속 종료 : SECURE 127\.0\.0\.1:%d, .*결과 ended$" % sport))
        self.assertGreater(logged, 0)
        self.assertEqual(counts.get("answered"), logged, text)
        self.assertEqual(counts.get("unfinished"), opened - logged, text)
        self.assertIn(opened - logged, (1, 2), text)
        # The killed run's connection counts at its connect, before the next start said so.
        unfinished = [f for f in parse_summary(text)["첫 실패 (first failures)"] if "(unfinished)" in f]
        events = parse_summary(text)["이벤트 (events)"]
        self.assertTrue(events[0][:8] <= unfinished[0][:8] <= events[1][:8], text)
        kinds = [e.split("  ")[1] for e in parse_summary(text)["이벤트 (events)"]]
        self.assertEqual(kinds[:3], ["프로그램 시작 (start)", "종료 기록 없이 끝남 (ended without stop)",
                                     "프로그램 시작 (start)"], text)
        self.assertEqual(kinds[-1], "로그 용량 제한 (log limit reached)", text)
        self.assertNotIn("프로그램 종료 (stop)", kinds, "the stop came after the limit")
        self.assertRegex(text, r"단말기 프레임 \(terminal frames\): 받음 \(from the terminal\) \d{4,}")

    def test_damaged_foreign_and_missing_days(self):
        folder = os.path.join(self.root, "logs")
        os.mkdir(folder)
        stamp = lambda t: ("[2026/12/07 %s][77] \u25b7 " % t).encode("cp949")
        good = [
            stamp("09:00:00") + "TEVN-> 프로그램 시작 : 버전 1, 0, 0, 5, 포트 COM3, 로그 폴더 C:\\로그".encode("cp949"),
            stamp("09:10:00") + "TEVN-> 서버 접속 : SECURE 10.1.2.3:9000".encode("cp949"),
            stamp("09:10:01") + b"TEVN-> [" + "요청전문".encode("cp949") + b"][12][\x02ab\ncd\r\nef\x03]",
            stamp("09:10:02") + "TEVN-> 서버 접속 종료 : SECURE 10.1.2.3:9000, 송신 2, 수신 1, 첫응답 812ms, 접속 2000ms, 결과 ended".encode("cp949"),
            stamp("09:11:00") + "TEVN-> 서버 접속 : PLAIN 10.1.2.4:9100".encode("cp949"),
        ]
        damaged = [
            b"\x00\xff\xfe garbage",                                   # not a line of the log
            stamp("25:00:00") + b"TEVN-> nonsense",                    # no such hour
            ("[2026/12/08 00:00:01][77] \u25b7 TEVN-> 프로그램 종료").encode("cp949"),  # another day
            stamp("09:12:00") + "TEVN-> 서버 접속 종료 : SECURE 10.1.2.3:9000, 송신 x".encode("cp949"),
        ]
        cut = stamp("09:13:00") + "TEVN-> 서버 접속 종료 : PLAIN 10.1.2.4:9100, 송신 1, 수신 0, 첫응답 -, 접속 50ms, 결과 time".encode("cp949")
        with open(os.path.join(folder, "brisca20261207.log"), "wb") as f:
            f.write(b"\r\n".join(good + damaged) + b"\r\n" + cut)  # the last line cut short
        rc, text, err = self.report("20261207", "--folder", folder)
        self.assertEqual(rc, 0, err)
        self.assertIn("읽지 못한 줄 (lines not placed): 4, 다른 날짜의 줄 (lines of another day): 1", text)
        self.assertEqual(outcome_counts(text), {"answered": 1, "unfinished": 1}, text)
        self.assertIn("p50 812 ms", text)

        # A foreign file: nothing placed, said so, still a report.
        with open(os.path.join(folder, "brisca20261206.log"), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + os.urandom(4096))
        rc, text, err = self.report("2026-12-06", "--folder", folder)
        self.assertEqual(rc, 0, err)
        self.assertRegex(text, r"읽지 못한 줄 \(lines not placed\): \d+")
        self.assertIn("접속 (connections): 0", text)

        # A day with no log, and a day that is no date.
        rc, text, err = self.report("2026-12-05", "--folder", folder)
        self.assertEqual(rc, 1)
        self.assertIn("no log for 2026-12-05", err)
        self.assertIn("brisca20261205.log", err)
        rc, _, err = self.report("2026-02-30", "--folder", folder)
        self.assertEqual(rc, 64, err)
        self.assertIn("날짜는", err)
        # An empty DAY is no day (not today); a folder that is not there, or is a file, is said so.
        rc, _, err = self.report("", "--folder", folder)
        self.assertEqual(rc, 64, err)
        rc, _, err = self.report("2026-12-07", "--folder", os.path.join(folder, "nowhere"))
        self.assertEqual((rc, "no such log folder" in err), (1, True), err)
        rc, _, err = self.report("2026-12-07", "--folder", os.path.join(folder, "brisca20261207.log"))
        self.assertEqual((rc, "not a folder" in err), (1, True), err)

    def test_the_page_is_never_written_over_the_log_or_another_file(self):
        folder = os.path.join(self.root, "logs")
        os.mkdir(folder)
        log = os.path.join(folder, "brisca20261207.log")
        day = ("[2026/12/07 09:00:00][77] \u25b7 TEVN-> 프로그램 종료\r\n").encode("cp949")
        with open(log, "wb") as f:
            f.write(day)
        notes = os.path.join(self.root, "notes.txt")
        with open(notes, "wb") as f:
            f.write(b"the shop's notes")
        os.symlink(log, os.path.join(self.root, "day.html"))
        for target, why in ((log, "over the log it reads"), (os.path.join(self.root, "day.html"), "over the log it reads"),
                            (os.path.join(folder, "brisca20261206.log"), "to a .log file"),
                            (notes, "not an earlier report page")):
            rc, _, err = self.report("20261207", "--folder", folder, "--html", target)
            self.assertEqual(rc, 2, target)
            self.assertIn(why, err)
        with open(log, "rb") as f:
            self.assertEqual(f.read(), day)
        with open(notes, "rb") as f:
            self.assertEqual(f.read(), b"the shop's notes")
        self.assertFalse(os.path.exists(os.path.join(folder, "brisca20261206.log")))
        # An earlier page is replaced.
        page = os.path.join(self.root, "page.html")
        for _ in range(2):
            rc, _, err = self.report("20261207", "--folder", folder, "--html", page)
            self.assertEqual(rc, 0, err)
        with open(page, encoding="utf-8") as f:
            self.assertIn("시작 기록 없음 (no start line)", f.read())


if __name__ == "__main__":
    unittest.main()
