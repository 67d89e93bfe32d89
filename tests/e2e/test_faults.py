"""Hostile servers and a hostile terminal against the real gateway: refused and hanging
connects, damaged and cut answers, resets, answers split at every byte, DLE DLE DLE while an
answer arrives, connect frames in a tight loop and bursts of random bytes. Each case checks the
trace and log lines, that the gateway goes on serving, and that what the server sent before the
failure reached the terminal."""

import random
import re

from e2e_support import (ACK, DLE, ETX, NeverAccepts, STX, connect_frame, request_frame,
                         timestamp_of)
from harness import unittest
from line_test import LineTest, VERSION_REPLY

END = r"접속해제!\((-?\d+)\)-->쓰레드종료"


class ConnectFaultTest(LineTest):

    def test_refusing_server(self):
        refusing, rport = self.servsim("--refuse")
        serv, port = self.servsim("--secure")
        line, gw = self.start()
        for kind in (b"S", b"P"):
            with self.subTest(kind):
                line.send(connect_frame(kind, "127.0.0.1", rport))
                line.send(request_frame(b"DROPPED"))
                self.assertEqual(line.read_quiet(0.4), b"", "the terminal got bytes of its own")
        # Secure: the status text; plain: the TMS mark. The requests went nowhere.
        self.trace(gw, r"서버 접속오류!-->127\.0\.0\.1:%d" % rport)
        self.trace(gw, r"\[CAT<-TMS\] \[000\] \[전문수신\]")
        self.assertEqual(len(self.log_matching(r"^TEVN-> ERROR : Connect Error \(ERRNO = 111\)$")), 2)
        self.assertEqual(self.traces(gw, r"서버접속-->.*"), [])
        self.assert_version_works(line)
        self.assert_secure_exchange_works(line, gw, port)

    def test_server_that_never_accepts(self):
        hanging = NeverAccepts()
        self.addCleanup(hanging.close)
        serv, port = self.servsim("--secure")
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", hanging.port))
        # The terminal is heard while the connect waits: the version query is answered at once.
        line.send(b"VVV")
        self.assertEqual(line.read(len(VERSION_REPLY), timeout=1.0), VERSION_REPLY, self.dump())
        sent = self.trace(gw, r"\[CAT->VAN\] \[\d+\] \[전문수신\]")
        reply = self.trace(gw, r"\[CAT<-VAN\] \[034\] \[전문수신\]")
        failed = self.trace(gw, r"서버 접속오류!-->127\.0\.0\.1:%d" % hanging.port)
        self.assertLess(reply, failed, "the version query waited for the connect")
        waited = timestamp_of(gw.out.lines[failed]) - timestamp_of(gw.out.lines[sent])
        print("[ timing ] connect given up %.3f s after the connect frame" % waited)
        self.assertGreaterEqual(waited, 5.9, self.dump())
        self.assertLess(waited, 9.0, self.dump())
        self.assertEqual(len(self.log_matching(r"^TEVN-> ERROR : Connect Error \(ERRNO = 110\)$")), 1)
        self.assert_secure_exchange_works(line, gw, port)


class SecureAnswerFaultTest(LineTest):

    def test_damaged_length_fields(self):
        # What each length field reads as, and the log lines the worker leaves.
        cases = [("abcdef", [r"^TEVN-> ERROR : Read Error \(EOF 수신\)$", r"^TEVN-> Receive Error\[0\]!$"]),
                 ("000000", [r"^TEVN-> ERROR : Read Error \(EOF 수신\)$", r"^TEVN-> Receive Error\[0\]!$"]),
                 ("999999", [r"^TEVN-> Receive Error\[999999\]!$"]),
                 ("005121", [r"^TEVN-> Receive Error\[5121\]!$"]),
                 ("-00001", [r"^TEVN-> Receive Error\[-1\]!$"])]
        servers = [(field, self.servsim("--secure", "--length-field", field)[1], logs)
                   for field, logs in cases]
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        for n, (field, port, logs) in enumerate(servers, 1):
            with self.subTest(field):
                line.send(connect_frame(b"S", "127.0.0.1", port))
                line.send(request_frame(b"0200LENGTH"))
                self.wait_count(gw, END, n)
                self.assertEqual(line.read_quiet(0.2), b"", "bytes of a damaged answer reached the terminal")
                self.assert_log_in_order(r"^TEVN-> \[요청전문\]\[\d+\]", *logs)
        self.assertEqual([m.group(1) for m in map(re.compile(END).search, self.traces(gw, END))],
                         ["4"] * len(cases), self.dump())
        self.assertNotIn("SEED 복호화", "\n".join(self.log()))
        self.assert_secure_exchange_works(line, gw, gport)

    def test_reset_in_the_middle_of_an_envelope(self):
        # The first answer of each connection comes whole; the second is cut and reset: inside
        # the first 4 bytes (a short reply by the rules), inside the length field, in the body.
        # Request "0200RESET" is 13 bytes: its answer envelope is 10 + 16 bytes.
        cases = [(2, b"00", "-1", None),
                 (7, b"", "4", r"^TEVN-> Receive 전문사이즈 Error!$"),
                 (14, b"", "4", r"^TEVN-> Receive Error\[16\]!$")]
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        for n, (cut, shortReply, v, logLine) in enumerate(cases, 1):
            with self.subTest(cut=cut):
                serv, port = self.servsim("--secure", "--fault-from", "2", "--cut-after", str(cut),
                                          "--then", "reset", "--piece-gap", "300")
                line.send(connect_frame(b"S", "127.0.0.1", port))
                first = request_frame(b"0200FIRST")
                line.send(first)
                self.assertEqual(line.read(len(first)), first, self.dump())
                line.send(request_frame(b"0200RESET"))
                self.assertIsNotNone(serv.out.wait_for(r"conn 1  reset$"), self.dump())
                self.wait_count(gw, END, n)
                self.assertEqual(re.search(END, self.traces(gw, END)[-1]).group(1), v)
                # What the server sent before the reset and the rules let through came.
                self.assertEqual(line.read_quiet(0.3), shortReply, self.dump())
                if logLine:
                    self.assert_log_in_order(r"^TEVN-> ERROR : Read Error \(ERRNO = 104\)$", logLine)
                else:
                    self.trace(gw, r"#1 RECV 접속해제!-->\(-1\)")
        self.assert_secure_exchange_works(line, gw, gport)

    def test_body_shorter_than_its_length_then_silence(self):
        # 4 of 16 body bytes, then nothing: the body read gives up after the 17 s receive
        # time-out. Meanwhile the gateway serves the terminal.
        serv, port = self.servsim("--secure", "--cut-after", "14")
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        line.send(request_frame(b"0200STALL"))
        self.assertIsNotNone(serv.out.wait_for(r"answer cut after 14 of 26 bytes"), self.dump())
        request = self.trace(gw, r"\[CAT->VAN\] \[013\] \[전문수신\]")
        self.assert_version_works(line)
        end = self.trace(gw, END, start=request, timeout=30)
        self.assertEqual(re.search(END, gw.out.lines[end]).group(1), "4")
        waited = timestamp_of(gw.out.lines[end]) - timestamp_of(gw.out.lines[request])
        print("[ timing ] worker ended %.3f s after the request" % waited)
        self.assertGreaterEqual(waited, 16.9, self.dump())
        self.assertLess(waited, 22.0, self.dump())
        self.assert_log_in_order(r"^TEVN-> ERROR : Read Error \(ERRNO = 11\)$",
                                 r"^TEVN-> Receive Error\[16\]!$")
        self.assertEqual(line.read_quiet(0.2), b"")
        self.assert_secure_exchange_works(line, gw, gport)

    def test_answer_split_at_every_byte_boundary(self):
        # Request "P" gives a 5-byte frame, sealed in 26 bytes; connection k splits the answer
        # after byte k. From 4 bytes on the worker puts the envelope together again; a first
        # read of 1 to 3 bytes is a short reply by the rules and goes on as it came (the rest no
        # longer parses, and DLE DLE DLE ends it).
        serv, port = self.servsim("--secure", "--split-at", "conn", "--piece-gap", "300")
        line, gw = self.start()
        frame = request_frame(b"P")
        for k in range(1, 26):
            with self.subTest(split=k):
                line.send(connect_frame(b"S", "127.0.0.1", port))
                line.send(frame)
                self.assertIsNotNone(serv.out.wait_for(r"conn %d  -> \d+ bytes" % k), self.dump())
                want = frame if k >= 4 else b"0022"[:k]
                self.assertEqual(line.read(len(want)), want, self.dump())
                line.send(DLE * 3)
                self.wait_count(gw, END, k)
                self.assertEqual(line.read_quiet(0.05), b"", self.dump())
        answers = self.traces(gw, r"\[CAT<-VAN\] \[\d+\] \[.*\]")
        self.assertEqual(len(answers), 25, self.dump())
        self.assertEqual(len([a for a in answers if "[005]" in a]), 22, self.dump())
        self.assertNotIn("FAIL", serv.out.text())


class PlainAnswerFaultTest(LineTest):

    def test_answer_split_at_every_byte_boundary(self):
        serv, port = self.servsim("--split-at", "conn", "--piece-gap", "300")
        line, gw = self.start()
        frame = request_frame(b"0200SPLIT-ME")  # 16 bytes
        for k in range(1, len(frame)):
            with self.subTest(split=k):
                line.send(connect_frame(b"P", "127.0.0.1", port))
                line.send(frame)
                self.assertEqual(line.read(len(frame)), frame, self.dump())
                # Two pieces, two writes, each traced with its own count.
                first = self.trace(gw, r"\[CAT<-VAN\] \[%03d\] \[.*\]" % k,
                                   start=len(gw.out.lines) - 20 if len(gw.out.lines) > 20 else 0)
                self.trace(gw, r"\[CAT<-VAN\] \[%03d\] \[.*\]" % (len(frame) - k), start=first + 1)
                line.send(DLE * 3)
                self.wait_count(gw, END, k)
        self.assertEqual(len(self.traces(gw, r"\[CAT<-VAN\] .*")), 2 * (len(frame) - 1), self.dump())

    def test_reset_mid_answer(self):
        serv, port = self.servsim("--cut-after", "10", "--then", "reset", "--piece-gap", "300")
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        frame = request_frame(b"0200RESET-ME-PLEASE")
        line.send(connect_frame(b"P", "127.0.0.1", port))
        line.send(frame)
        # Every byte the server sent before the reset reached the terminal.
        self.assertEqual(line.read(10), frame[:10], self.dump())
        i = self.trace(gw, r"#2 RECV 접속해제!-->\(-1\)")
        self.trace(gw, r"접속해제!\(-1\)-->쓰레드종료", start=i)
        self.assertEqual(line.read_quiet(0.2), b"")
        self.assert_secure_exchange_works(line, gw, gport)


class TerminalFaultTest(LineTest):

    def test_secure_request_longer_than_a_burst(self):
        # The line hands over 4096 bytes at most: a longer request comes in two bursts. It is
        # joined and enveloped; nothing of it reaches the server as it came, card number included.
        serv, port = self.servsim("--secure")
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        card = b"4111111111111111=2512101"
        long_request = request_frame(b"0200;" + card + b";SIGN:" + b"Z" * 4500)
        line.send(long_request)
        self.assertEqual(line.read(len(long_request)), long_request, self.dump())
        self.assertIsNotNone(serv.out.wait_for(r"<- envelope .*request %d bytes" % len(long_request)),
                             self.dump())
        # Too long for the envelope: refused whole, and its second burst with it. A start that
        # never gets its end goes nowhere either.
        too_long = request_frame(b"0200;" + card + b";SIGN:" + b"Z" * 5200)
        line.send(too_long)
        line.send(STX + b"0200;" + card + b";CUT")
        line.send(DLE * 3)
        line.send(b"VVV")
        self.assertEqual(line.read(len(VERSION_REPLY)), VERSION_REPLY, self.dump())
        self.assert_log_in_order(r"^TEVN-> ERROR : 요청전문 크기 초과! \(%d바이트\)$" % len(too_long),
                                 r"^TEVN-> ERROR : 요청전문 불완전, 보내지 않음 \(34바이트\)$")
        self.assertEqual(serv.out.matching(r"<- plain"), [], self.dump())
        self.assertEqual(line.read_quiet(0.3), b"")
        self.assert_secure_exchange_works(line, gw, port)


    def test_dle_while_an_answer_is_arriving(self):
        answer = bytes(b for b in range(0x20, 0x7f) if b != 0x5c) + b"01234"  # 99 bytes, no escapes
        plain, pport = self.servsim("--answer", answer.decode(), "--pieces", "9", "--piece-gap", "250")
        secure, sport = self.servsim("--secure", "--answer", answer.decode(), "--pieces", "9",
                                     "--piece-gap", "250")
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        # Plain: the pieces before the DLE reach the terminal, nothing after it.
        line.send(connect_frame(b"P", "127.0.0.1", pport))
        line.send(request_frame(b"0200SLOW"), gap=0)
        got = line.read(22)  # two pieces of 11
        self.assertEqual(got, answer[:22], self.dump())
        line.send(DLE * 3)
        got += line.read_quiet(0.6)
        self.assertEqual(got, answer[:len(got)], "not a prefix of the answer")
        self.assertLess(len(got), len(answer), self.dump())
        i = self.trace(gw, r"(TIMEOUT|#2 RECV) 접속해제!-->\(-1\)")
        self.trace(gw, r"접속해제!\(-1\)-->쓰레드종료", start=i)
        # Secure: the envelope in 9 pieces of 12 or 13 bytes; the DLE cuts its body short.
        line.send(connect_frame(b"S", "127.0.0.1", sport))
        line.send(request_frame(b"0200SLOW"))
        self.assertIsNotNone(secure.out.wait_for(r"conn 1  -> 1[23] bytes .*", start=0), self.dump())
        line.send(DLE * 3)
        self.trace(gw, r"접속해제!\(4\)-->쓰레드종료")
        # The relay closed the connection itself: the lost answer is logged, no read error.
        self.assert_log_in_order(r"^TEVN-> Receive Error\[112\]!$")
        self.assertEqual(self.log_matching(r"^TEVN-> ERROR : Read Error"), [])
        self.assertEqual(line.read_quiet(0.3), b"")
        self.assert_version_works(line)
        self.assert_secure_exchange_works(line, gw, gport)

    def test_connect_frames_in_a_tight_loop(self):
        secure, sport = self.servsim("--secure")
        plain, pport = self.servsim()
        line, gw = self.start()
        rounds = 40
        for i in range(rounds):
            if i % 2 == 0:
                line.send(connect_frame(b"S", "127.0.0.1", sport), gap=0.12)
            else:
                line.send(connect_frame(b"P", "127.0.0.1", pport), gap=0.12)
        # Two frames in one burst are one malformed connect frame: refused, nothing opened.
        glued = connect_frame(b"S", "127.0.0.1", sport) * 2
        line.send(glued)
        self.trace(gw, r"접속전문 오류!-->포트 길이\(%d\)" % (len(glued) - len("S127.0.0.1:") - 1))
        frame = request_frame(b"0200LAST")
        line.send(frame)
        self.assertEqual(line.read(len(frame)), frame, self.dump())  # the last connect was plain
        self.assertEqual(len(secure.out.matching(r"conn \d+  accepted")), rounds // 2)
        self.assertEqual(len(plain.out.matching(r"conn \d+  accepted")), rounds // 2)
        # Every connection but the last was closed by the gateway before the next one opened.
        self.assertEqual(len(secure.out.matching(r"closed by the gateway")), rounds // 2)
        self.assertIsNotNone(plain.out.wait_for(r"conn %d  closed by the gateway" % (rounds // 2 - 1)))
        self.assertEqual(len(self.traces(gw, r"서버접속-->127\.0\.0\.1:%d" % sport)), rounds // 2)
        self.assertEqual(self.traces(gw, r"서버 접속오류!.*"), [])
        line.send(DLE * 3)
        self.wait_count(gw, END, rounds)

    def test_bursts_of_random_bytes(self):
        plain, pport = self.servsim("--answer-all")
        secure, sport = self.servsim("--secure")
        line, gw = self.start()
        rng = random.Random(20240611)
        # No 'S', 'T' or 'P' anywhere: no burst can name a server to connect to.
        alphabet = bytes(b for b in range(256) if b not in b"STP")
        traced = []  # the length of every burst the trace shows

        def burst(data, gap=0.2):
            line.send(data, gap=gap)
            # A long run splits at 4096 bytes; a burst that starts with CR, '!' or '%' is not
            # shown at all.
            for part in (data[:4096], data[4096:]):
                if part and part[0] not in b"\r!%":
                    traced.append(len(part))

        for phase in (b"none", b"P", b"S"):
            if phase != b"none":
                burst(connect_frame(phase, "127.0.0.1", pport if phase == b"P" else sport))
            for _ in range(12):
                n = rng.choice([1, 2, 3, 4, 9, 10, 11, 64, 1000, 4095, 4096, 4097, 6000])
                burst(bytes(rng.choice(alphabet) for _ in range(n)))
            line.read_quiet(0.3)
        seen = [int(m.group(1)) for m in
                (re.search(r"\[CAT->VAN\] \[(\d+)\]", l) for l in gw.out.lines) if m]
        self.assertEqual(seen, traced, self.dump())
        line.send(DLE * 3)
        self.assert_version_works(line)
        self.assert_secure_exchange_works(line, gw, sport)


if __name__ == "__main__":
    unittest.main()
