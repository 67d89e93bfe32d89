"""Hostile peers against the real gateway: a server that never reads while the terminal sends
megabytes, a secure answer dribbled a byte at a time, a plain answer sent one byte
per segment against a small "Log Limit", a console that nobody reads, and the "Allowed Servers"
list (allowed, refused, malformed, a host with control bytes). Every bound is the deadline of a
wait."""

import glob
import os
import random
import re
import select
import time

from e2e_support import DLE, connect_frame, request_frame
from harness import VERSION, unittest
from line_test import LineTest, VERSION_REPLY

END = r"접속해제!\((-?\d+)\)-->쓰레드종료"
BOUND = 20.0  # the send and answer bounds are 17 s; what the gateway may take in all
MB = 1 << 20


class HostileTest(LineTest):

    def exchange(self, line, gw, kind, host, port, text=b"0200AGAIN"):
        """Connect, a request answered by an echo server, DLE DLE DLE and the worker's end."""
        ends = len(self.traces(gw, END))
        line.send(connect_frame(kind, host, port))
        frame = request_frame(text)
        line.send(frame)
        self.assertEqual(line.read(len(frame)), frame, self.dump())
        line.send(DLE * 3)
        self.wait_count(gw, END, ends + 1)

    def log_file(self):
        files = glob.glob(os.path.join(self.work, "gate_log", "brisca*.log"))
        self.assertEqual(len(files), 1, files)
        with open(files[0], "rb") as f:
            return f.read()


class HostileServerTest(HostileTest):

    def flood_line(self, line, stream, bound=3.0):
        """Writes stream to the line back to back (so the line cuts it into 4096-byte bursts);
        fails when the gateway takes nothing from the line for `bound` seconds (it reads the
        line whatever its sends do); returns the longest time it left the line unread."""
        data, longest = memoryview(stream), 0.0
        os.set_blocking(line.master, False)
        while data:
            waited = time.monotonic()
            ready = select.select([], [line.master], [], bound)[1]
            self.assertTrue(ready, "the gateway took nothing from the line for %d s, %d bytes "
                            "before the end\n%s" % (bound, len(data), self.dump()))
            longest = max(longest, time.monotonic() - waited)
            data = data[os.write(line.master, data[:4096]):]
        os.set_blocking(line.master, True)
        return longest

    def version_at_once(self, line, say=True):
        """The version query, sent right after a flood, is answered within a second."""
        line.send(b"")  # the line's silence ends the last burst
        t0 = time.monotonic()
        line.send(b"VVV")
        self.assertEqual(line.read(len(VERSION_REPLY), timeout=1.0), VERSION_REPLY, self.dump())
        if say:
            print("[ timing ] the version reply %.2f s after the query" % (time.monotonic() - t0))

    def dropped_bytes(self):
        return sum(int(m.group(1)) for m in (re.search(r"^TEVN-> ERROR : 송신 대기 초과, 전문 버림 "
                                                       r"\((\d+)바이트\)$", l) for l in self.log()) if m)

    def test_server_that_never_reads(self):
        stuck, sport = self.servsim("--never-read")
        echo, eport = self.servsim()
        line, gw = self.start()
        line.send(connect_frame(b"P", "127.0.0.1", sport))
        self.assertIsNotNone(stuck.out.wait_for(r"conn 1  accepted"), self.dump())
        # Digits only, so no burst reads as a connect frame, a version query or an end.
        frame = request_frame(b"0200" + b"0123456789" * 400)
        t0 = time.monotonic()
        longest = self.flood_line(line, frame * (8 * MB // len(frame)))
        print("[ timing ] %d bytes in %.1f s, the line held at most %.2f s"
              % (len(frame) * (8 * MB // len(frame)), time.monotonic() - t0, longest))
        # The line is read whatever the send does: the query is answered while it is stalled.
        self.version_at_once(line)
        self.assertGreater(self.dropped_bytes(), 0, "nothing waited for the server\n" + self.dump())
        # The send's bound ends the connection once the server has taken nothing of what waits
        # for 17 s: the TMS mark, the worker's end, and what still waited is dropped with a line
        # of its own. The terminal goes on sending meanwhile (the buffers may still take a few
        # of its frames before they are full for good), and every query is answered at once.
        ends, t0 = len(self.traces(gw, END)), time.monotonic()
        while len(self.traces(gw, END)) == ends:
            self.assertLess(time.monotonic() - t0, 3 * BOUND, "the send's bound never ran out\n" + self.dump())
            line.send(frame)
            self.version_at_once(line, say=False)
        i = self.trace(gw, r"접속해제!\(-1\)-->쓰레드종료")
        print("[ timing ] the connection ended %.1f s after the flood" % (time.monotonic() - t0))
        self.trace(gw, r"\[CAT<-TMS\] \[000\] \[전문수신\]", start=i - 3)
        self.assertEqual(len(self.log_matching(r"^TEVN-> ERROR : Write Error \(ERRNO = 11\)$")), 1)
        self.assertEqual(len(self.log_matching(r"^TEVN-> ERROR : 송신 대기 전문 버림 \(\d+개, \d+바이트\)$")), 1)
        self.assertEqual(len(self.log_matching(r"결과 send-error$")), 1)
        # The monitoring hears it once, and the console says what was dropped.
        self.assertEqual(len(gw.err.matching(r"^<4>서버 송신 정체 : 127\.0\.0\.1:%d$" % sport)), 1, self.dump())
        self.trace(gw, r"송신 대기 초과!-->전문 버림\(4096\)")
        # It goes on: a second exchange, and the version again.
        self.exchange(line, gw, b"P", "127.0.0.1", eport)
        self.assert_version_works(line)

    def test_server_that_reads_late(self):
        # The server takes nothing for 4 s while the terminal sends 8 MB: the socket buffers
        # fill, a few bursts wait for the server, the rest are dropped with a log line each.
        # Once it reads, it gets every burst that was not dropped, whole and in order.
        record = os.path.join(self.work, "late.rec")
        late, port = self.servsim("--read-after", "4000", "--answer-all", "--silent", "--record", record)
        line, gw = self.start()
        line.send(connect_frame(b"P", "127.0.0.1", port))
        self.assertIsNotNone(late.out.wait_for(r"conn 1  accepted"), self.dump())
        rnd = random.Random(21)
        stream = bytes(rnd.choice(b"0123456789") for _ in range(8 * MB))
        longest = self.flood_line(line, stream)
        self.version_at_once(line)
        self.assertIsNotNone(late.out.wait_for(r"conn 1  reads again", timeout=BOUND), self.dump())
        dropped = self.dropped_bytes()
        expected = len(stream) - dropped
        deadline, got = time.monotonic() + BOUND, b""
        while len(got) < expected and time.monotonic() < deadline:
            got = self.recorded(record)
            if len(got) < expected:
                late.out.wait_for(r"conn 1  <- ", start=len(late.out.lines), timeout=0.5)
        print("[ timing ] line held at most %.2f s; %d bytes dropped, %d delivered"
              % (longest, dropped, len(got)))
        self.assertGreater(dropped, 0)
        self.assertEqual(len(got), expected, self.dump())
        # What arrived is the stream with whole bursts (at most 4096 bytes each) taken out.
        gaps, i, j = [], 0, 0
        while j < len(got):
            lo, hi = 0, min(len(stream) - i, len(got) - j)
            while lo < hi:  # the longest common run from here
                mid = (lo + hi + 1) // 2
                if stream[i:i + mid] == got[j:j + mid]:
                    lo = mid
                else:
                    hi = mid - 1
            i, j = i + lo, j + lo
            if j < len(got):
                k = stream.find(got[j:j + 40], i)
                self.assertGreater(k, i, "bytes the terminal never sent, or out of order")
                gaps.append(k - i)
                i = k
        gaps.append(len(stream) - i)
        # Every byte missing is a byte of a dropped burst; each gap holds one or more of them.
        self.assertEqual(sum(gaps), dropped)
        self.assertLessEqual(len([g for g in gaps if g]),
                             len(self.log_matching(r"^TEVN-> ERROR : 송신 대기 초과, 전문 버림 ")))
        self.assertEqual(len(self.log_matching(r"^TEVN-> ERROR : Write Error")), 0)

    def recorded(self, path):
        """What the simulator has recorded of connection 1 so far (whole lines only: it may be
        writing the next one)."""
        try:
            with open(path) as f:
                lines = f.read().split("\n")[:-1]
        except FileNotFoundError:
            return b""
        return b"".join(bytes.fromhex(l.split()[1]) for l in lines if l.startswith("1 "))

    def test_secure_answer_dribbled(self):
        # The count at once, then the length field and the 16-byte body a byte every 2.5 s: no
        # single receive waits 17 s, the length field alone takes 15 s, the whole answer would
        # take 55 s. One bound of 17 s holds for all of it.
        slow, port = self.servsim("--secure", "--trickle-after", "4", "--piece-gap", "2500")
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        t0 = time.monotonic()
        line.send(request_frame(b"0200DRIBBLE"))
        end = self.trace(gw, END, timeout=t0 + BOUND - time.monotonic())
        self.assertEqual(re.search(END, gw.out.lines[end]).group(1), "4", self.dump())
        dribbled = len(slow.out.matching(r"conn 1  -> 1 bytes"))
        print("[ timing ] worker ended %.1f s after the request, %d body bytes dribbled"
              % (time.monotonic() - t0, dribbled))
        self.assertGreaterEqual(dribbled, 2, "the answer was not dribbled\n" + self.dump())
        self.assert_log_in_order(r"^TEVN-> \[요청전문\]\[15\]", r"^TEVN-> ERROR : Read Error \(ERRNO = 11\)$",
                                 r"^TEVN-> Receive Error\[16\]!$")
        self.assertEqual(line.read_quiet(0.3), b"", "bytes of the dribbled answer reached the terminal")
        self.assert_version_works(line)
        self.exchange(line, gw, b"S", "127.0.0.1", gport)

    def test_byte_flood_under_a_log_limit(self):
        self.write_settings("Log Limit=1")
        # The gateway reads what has arrived: a millisecond between the pieces keeps them apart
        # however busy the machine is, so the log, a line a write, passes its limit.
        unit, size = "0123456789abcdef", 20000
        flood, port = self.servsim("--answer", unit, "--repeat", str(size // len(unit)),
                                   "--pieces", str(size), "--piece-gap", "1", "--quiet")
        echo, eport = self.servsim()
        line, gw = self.start()
        line.send(connect_frame(b"P", "127.0.0.1", port))
        line.send(request_frame(b"0200FLOOD"), gap=0)
        got = line.read(size, timeout=60)
        self.assertEqual(len(got), size, self.dump())
        self.assertEqual(got, unit.encode() * (size // len(unit)))
        self.assertIsNotNone(flood.out.wait_for(r"conn 1  -> %d bytes in %d pieces" % (size, size)))
        # The console shows every piece the gateway wrote to the terminal.
        counted, at, pieces = 0, 0, 0
        while counted < size:
            at = gw.out.wait_for(r"\[CAT<-VAN\] \[\d+\]", start=at)
            if at is None:
                self.fail("the console stopped at %d bytes\n%s" % (counted, self.dump()))
            counted += int(re.search(r"\[CAT<-VAN\] \[(\d+)\]", gw.out.lines[at]).group(1))
            at += 1
            pieces += 1
        log = self.log_file()
        limit_line = "TEVN-> 로그 용량 제한(1MB)에 도달하여 오늘은 더 기록하지 않습니다".encode("cp949")
        lines = log.split(b"\r\n")
        print("[ timing ] %d writes to the terminal; log %d bytes, %d lines" % (pieces, len(log), len(lines) - 1))
        self.assertEqual(lines[-1], b"")
        self.assertEqual(sum(limit_line in l for l in lines), 1)
        self.assertTrue(lines[-2].endswith(limit_line), lines[-2])
        self.assertLessEqual(len(log), MB + len(lines[-2]) + 2)
        self.assertGreater(len(log), MB - 200)  # the limit was reached, not something short of it
        # It goes on relaying and tracing; the log stays as it was.
        self.exchange(line, gw, b"P", "127.0.0.1", eport)
        self.assertEqual(self.log_file(), log)


class StalledOutputTest(HostileTest):

    def test_console_nobody_reads(self):
        # An answer written to the terminal a byte at a time: a console line for each piece,
        # many times what the pipe and the console's queue hold, while nobody reads the console.
        # A millisecond between the pieces keeps them apart however busy the machine is (the
        # gateway reads what has arrived), and the terminal's reader keeps up.
        unit, size = "0123456789abcdef", 8000
        flood, port = self.servsim("--answer", unit, "--repeat", str(size // len(unit)),
                                   "--pieces", str(size), "--piece-gap", "1", "--quiet")
        line, gw = self.start()
        gw.out.pause()
        line.send(connect_frame(b"P", "127.0.0.1", port))
        line.send(request_frame(b"0200FLOOD"), gap=0)
        self.assertEqual(line.read(size, timeout=60), unit.encode() * (size // len(unit)), self.dump())
        self.assert_version_works(line)
        gw.out.resume()
        i = gw.out.wait_for(r"^콘솔 출력 지연: \d+줄 생략$")
        self.assertIsNotNone(i, self.dump())
        # The console goes on once it is read again.
        line.send(b"VVV")
        self.trace(gw, r"\[CAT->VAN\] \[003\] \[Unknown : 56\]", start=i)


class AllowListTest(HostileTest):

    def test_allowed_and_refused_servers(self):
        near, nport = self.servsim("--secure", host="127.0.0.5")
        low, lport = self.servsim("--secure", host="127.0.0.1")
        other, oport = self.servsim("--secure", host="127.0.0.4")
        for setting, rule, host, port in (
                ("127.0.0.5", "127.0.0.5", "127.0.0.5", nport),
                (" 10.1.0.0/16 , 127.0.0.5/32", "10.1.0.0/16,127.0.0.5/32", "127.0.0.5", nport),
                ("127.0.0.0/30", "127.0.0.0/30", "127.0.0.1", lport)):
            with self.subTest(setting):
                self.write_settings("Allowed Servers=" + setting)
                line, gw = self.start()
                for kind in (b"S", b"P"):
                    line.send(connect_frame(kind, "127.0.0.4", oport))
                    line.send(request_frame(b"0200DENIED"))
                self.exchange(line, gw, b"S", host, port)
                self.assertEqual(line.read_quiet(0.2), b"")
                self.trace(gw, r"서버 접속오류!-->127\.0\.0\.4:%d" % oport)
                self.trace(gw, r"\[CAT<-TMS\] \[000\] \[전문수신\]")
                self.assertEqual(self.traces(gw, r"서버접속-->127\.0\.0\.4:.*"), [])
                self.stop_gateway(gw)
                refusals = [m for m in self.log() if "허용되지 않은 서버" in m]
                self.assertEqual(refusals[-2:], ["TEVN-> ERROR : 허용되지 않은 서버 (127.0.0.4:%d, "
                                                 "Allowed Servers=%s)" % (oport, rule)] * 2)
        self.assertEqual(other.out.matching(r"accepted"), [], "a refused server was connected")
        self.assertEqual(len(near.out.matching(r"accepted")), 2)
        self.assertEqual(len(low.out.matching(r"accepted")), 1)

    def test_malformed_list_allows_nothing(self):
        near, nport = self.servsim("--secure", host="127.0.0.5")
        self.write_settings("Allowed Servers=127.0.0.5, 127.0.0.300")
        line, gw = self.start()
        self.trace(gw, r"Allowed Servers 설정 오류!-->127\.0\.0\.300")
        line.send(connect_frame(b"S", "127.0.0.5", nport))
        line.send(request_frame(b"0200DENIED"))
        self.trace(gw, r"서버 접속오류!-->127\.0\.0\.5:%d" % nport)
        # A host with control bytes is shown escaped, never as it came.
        line.send(connect_frame(b"S", "127.0.0.5\x1b[2J", nport))
        self.trace(gw, r"서버 접속오류!-->127\.0\.0\.5\\x1b\[2J:%d" % nport)
        self.assertNotIn("\x1b", gw.out.text())
        self.assertEqual(line.read_quiet(0.2), b"")
        self.stop_gateway(gw)
        self.assertIn("TEVN-> ERROR : Allowed Servers 설정 오류 (127.0.0.300): 어떤 서버에도 접속하지 않습니다",
                      self.log())
        self.assertIn("TEVN-> ERROR : 허용되지 않은 서버 (127.0.0.5:%d, Allowed Servers=127.0.0.5,127.0.0.300)"
                      % nport, self.log())
        self.assertEqual(near.out.matching(r"accepted"), [])

    def stop_gateway(self, gw):
        """Ends the gateway (its log then complete) and checks that it ended cleanly."""
        rc, _ = self.stop(gw)
        self.assertEqual(rc, 0, self.dump())


if __name__ == "__main__":
    unittest.main()
