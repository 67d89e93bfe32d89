"""Card data as a shop's auditor looks for it. Realistic requests go through the real gateway on
both routes and are answered with a card number and the cardholder's name; the log file and the
program's output are then searched for card numbers and track data. Frames holding Korean text
are logged byte for byte, an answer sealed on an earlier connection never reaches the terminal,
and the program names the server key it carries and keeps its log to itself."""

import hashlib
import os
import re
import stat
import time

from e2e_support import (DLE, FS, connect_frame, log_bytes, luhn_check_digit, recorded_requests,
                         request_frame, sim_escaped)
from harness import BRISCA, unittest
from line_test import LineTest

END = r"접속해제!\((-?\d+)\)-->쓰레드종료"
TEST_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "keys",
                        "server-test-public.der")


def fields(*parts):
    """A request or answer frame whose text is the parts separated by FS."""
    return request_frame(FS.join(parts))


# Luhn-valid test card numbers.
VISA = b"4111111111111111"
MC = b"5500005555555559"
KEYED = b"4012888888881881"
LONG = b"623456789012345678" + luhn_check_digit(b"623456789012345678")  # 19 digits
JCB = b"3530111333300000"

# (case, frame, card number, separator and track data after it)
REQUESTS = [
    ("track 2 as the last field", fields(b"0200", b"000000001004", VISA + b"=2512101123456789"),
     VISA, b"=2512101123456789"),
    ("an '=' at position 6", fields(b"0200K=1", MC + b"=2601201987654321", b"000000050000"),
     MC, b"=2601201987654321"),
    ("keyed in", fields(b"0200", b"K", KEYED, b"000000023000"), KEYED, b""),
    ("19 digits, 'D' separator", fields(b"0200", LONG + b"D28031019876", b"000000001004", b"END"),
     LONG, b"D28031019876"),
]
NAME = "홍길동".encode("cp949") + b"/HONG GILDONG"
ANSWER = fields(b"0210", b"00", JCB, NAME, b"APPROVED 12345678")
CARDS = [(pan, track) for _, _, pan, track in REQUESTS] + [(JCB, b"")]


def logged_frames(data, kind):
    """The frames of the log's "[요청전문]" or "[응답전문]" lines: (count, bytes as logged)."""
    head = re.escape(("TEVN-> [%s]" % kind).encode("cp949"))
    return [(int(n), b) for n, b in re.findall(head + rb"\[(\d+)\]\[(.*?)\]\r\n", data)]


class CardDataTest(LineTest):
    """The five cases on each route: the server gets every request as the terminal sent it, the
    terminal every answer as the server sent it, and nothing that leaves the process shows more
    than the first six and last four digits of a card number, or any track data."""

    def exchange(self, kind):
        record = os.path.join(self.root, "requests.hex")
        serv, port = self.servsim("--record", record, "--answer", sim_escaped(ANSWER),
                                  *(["--secure"] if kind == b"S" else []))
        line, gw = self.start()
        line.send(connect_frame(kind, "127.0.0.1", port))
        for case, frame, _, _ in REQUESTS:
            line.send(frame)
            self.assertEqual(line.read(len(ANSWER)), ANSWER, case + "\n" + self.dump())
        line.send(DLE * 3)
        self.trace(gw, END)
        self.assertEqual(recorded_requests(record), [(1, f) for _, f, _, _ in REQUESTS])
        self.assert_no_card_data(gw)

    def assert_no_card_data(self, gw):
        places = [("log file", log_bytes(self.work)),
                  ("standard output", gw.out.text().encode()),
                  ("standard error", gw.err.text().encode())]
        self.assertIn(b"[CAT->VAN]", places[0][1])
        for pan, track in CARDS:
            for secret in filter(None, (pan, pan[6:-4], track[1:])):
                for where, data in places:
                    self.assertEqual([l for l in data.split(b"\n") if secret in l], [],
                                     "%s in the %s" % (secret, where))

    def assert_masked(self, logged, frame, pan, track):
        """The logged copy keeps the frame's layout: the card number's middle digits and the
        track data are '*', its first six digits show, its last four and the separator may be
        hidden, every other byte is as sent."""
        self.assertEqual(len(logged), len(frame), logged)
        at = frame.index(pan)
        end = at + len(pan)
        for i, (got, sent) in enumerate(zip(logged, frame)):
            if at + 6 <= i < end - 4 or end < i < end + len(track):
                self.assertEqual(got, ord("*"), "byte %d in %r" % (i, logged))
            elif end - 4 <= i < end or (track and i == end):
                self.assertIn(got, (sent, ord("*")), "byte %d in %r" % (i, logged))
            else:
                self.assertEqual(got, sent, "byte %d in %r" % (i, logged))

    def test_plain_route(self):
        self.exchange(b"P")

    def test_secure_route(self):
        self.exchange(b"S")
        data = log_bytes(self.work)
        requests = logged_frames(data, "요청전문")
        answers = logged_frames(data, "응답전문")
        self.assertEqual([n for n, _ in requests], [len(f) for _, f, _, _ in REQUESTS], data)
        self.assertEqual([n for n, _ in answers], [len(ANSWER)] * len(REQUESTS), data)
        for (case, frame, pan, track), (_, logged) in zip(REQUESTS, requests):
            with self.subTest(case):
                self.assert_masked(logged, frame, pan, track)
        for _, logged in answers:
            self.assert_masked(logged, ANSWER, JCB, b"")


class FrameBytesTest(LineTest):

    def test_korean_text_logged_byte_for_byte(self):
        # "카드" is C4 AB B5 E5: its first two bytes also read as a UTF-8 character.
        request = fields(b"0200", "카드".encode("cp949"), b"\xc4\xab", b"000000001004")
        answer = fields(b"0210", "정상승인 카드".encode("cp949"), b"00")
        record = os.path.join(self.root, "requests.hex")
        serv, port = self.servsim("--secure", "--record", record, "--answer", sim_escaped(answer))
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        line.send(request)
        self.assertEqual(line.read(len(answer)), answer, self.dump())
        self.assertEqual(recorded_requests(record), [(1, request)])
        data = log_bytes(self.work)
        self.assertEqual(logged_frames(data, "요청전문"), [(len(request), request)], data)
        self.assertEqual(logged_frames(data, "응답전문"), [(len(answer), answer)], data)


class ReplayTest(LineTest):

    def test_answer_sealed_on_an_earlier_connection_never_reaches_the_terminal(self):
        serv, port = self.servsim("--secure", "--replay-previous")
        good, gport = self.servsim("--secure")
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        first = fields(b"0200", VISA + b"=2512101123456789", b"000000001004")
        line.send(first)
        self.assertEqual(line.read(len(first)), first, self.dump())
        sealed = serv.out.wait_for(r"conn 1  answer \d+ bytes sealed in \d+$")
        self.assertIsNotNone(sealed, self.dump())
        size = serv.out.lines[sealed].rsplit(" ", 1)[1]
        # The next connection: the server sends that answer again before any request.
        line.send(connect_frame(b"S", "127.0.0.1", port))
        self.assertIsNotNone(serv.out.wait_for(r"conn 2  replayed an earlier answer: %s bytes$"
                                               % size), self.dump())
        closed = serv.out.wait_for(r"conn 2  closed by the gateway$")
        self.assertEqual(line.read_quiet(0.5), b"", "the replayed answer reached the terminal")
        self.assertIsNotNone(closed, "the connection that brought it stayed open\n" + self.dump())
        self.wait_count(gw, END, 2)
        log = self.log()
        self.assertEqual([m for m in log if "SEED 복호화 오류" in m],
                         ["TEVN-> ERROR : SEED 복호화 오류!"], "\n".join(log))
        self.assertEqual(len([m for m in log if "[응답전문]" in m]), 1, "\n".join(log))
        self.assertIn("4", [re.search(END, t).group(1) for t in self.traces(gw, END)])
        self.assert_secure_exchange_works(line, gw, gport)


class KeyAndLogFileTest(LineTest):

    def test_version_and_first_log_line_name_the_test_key(self):
        with open(TEST_KEY, "rb") as f:
            key_line = "server key: %s (test key)" % hashlib.sha256(f.read()).hexdigest()[:16]
        version = self._start([BRISCA, "--version"])
        self.assertEqual(version.wait(), 0, self.dump())
        self.assertEqual(version.out.lines[1:], [key_line], self.dump())
        # The log switch is stored by the first start; the second one logs from its first line.
        line, gw = self.start()
        self.assertEqual(self.stop(gw)[0], 0, self.dump())
        line, gw = self.start()
        self.assert_version_works(line)
        lines = log_bytes(self.work).decode("cp949").split("\r\n")
        mine = [l for l in lines if "][%d] " % gw.pid in l]
        self.assertTrue(mine, "\n".join(lines))
        self.assertRegex(mine[0], r"\] \u25b7 TEVN-> 프로그램 시작 : .*, %s$" % re.escape(key_line))

    def test_log_is_private_and_no_link_is_followed(self):
        line, gw = self.start()
        self.assert_version_works(line)  # a line to log
        folder = os.path.join(self.work, "gate_log")
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        (name,) = os.listdir(folder)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode), 0o600)
        self.assertEqual(self.stop(gw)[0], 0, self.dump())
        # The day's file replaced by a link to a file elsewhere: the next start writes nothing
        # through it.
        elsewhere = os.path.join(self.root, "elsewhere.log")
        open(elsewhere, "wb").close()
        day = os.path.join(folder, "brisca%s.log" % time.strftime("%Y%m%d"))
        os.replace(os.path.join(folder, name), os.path.join(self.root, "old.log"))
        os.symlink(elsewhere, day)
        line, gw = self.start()
        self.assert_version_works(line)
        self.trace(gw, r"\[CAT<-VAN\] \[034\] \[전문수신\]")
        self.assertTrue(os.path.islink(day))
        self.assertEqual(os.path.getsize(elsewhere), 0)


if __name__ == "__main__":
    unittest.main()
