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

from e2e_support import (DLE, FS, connect_frame, log_bytes, luhn_check_digit, packed,
                         process_limit, process_memory, recorded_requests, request_frame,
                         sim_escaped)
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


def card(issuer, middle):
    """A Luhn-valid 16-digit number whose middle digits (7th to 12th) appear nowhere else."""
    body = issuer + middle + b"042"
    return body + luhn_check_digit(body)


def grouped(pan, sep):
    return sep.join(pan[i:i + 4] for i in range(0, len(pan), 4))


# The forms a payment message carries a card number in: (name, field, card number, what must never
# show: the middle digits as written and the track data).
def _forms():
    out = []
    track = b"2512101" + b"8675309"  # expiry, service code, discretionary data
    def add(name, field, pan, secrets):
        out.append((name, field, pan, [pan] + secrets))
    p = card(b"453201", b"739146")
    add("grouped with spaces", grouped(p, b" "), p, [grouped(p, b" ")[7:14]])
    p = card(b"550000", b"628354")
    add("grouped with dashes", grouped(p, b"-"), p, [grouped(p, b"-")[7:14]])
    p = card(b"402400", b"571938")
    add("length prefix", b"16" + p, p, [p[6:-4]])
    p = card(b"601100", b"864213")
    add("zero-padded to 20 digits", b"0000" + p, p, [p[6:-4]])
    p = card(b"356600", b"219486")
    add("expiry in the same field", p + b"2512", p, [p[6:-4]])
    p = card(b"476173", b"905127")
    value = p + b"D" + track + b"F"
    add("hex text tag 57", b"9F2608A1B2C3D4E5F60718" + b"57%02X" % (len(value) // 2) + value + b"9F360200A5",
        p, [p[6:-4], track, b"8675309"])
    p = card(b"520082", b"318875")
    add("hex text tag 5A", b"5F2A020410" + b"5A08" + p + b"5F24032512", p, [p[6:-4]])
    p = card(b"491761", b"642097")
    add("track 2 with 'd'", p + b"d" + track, p, [p[6:-4], b"8675309"])
    p = card(b"457173", b"284619")
    add("binary tag 57", b"\x9f\x36\x02\x11\x22" + b"\x57\x11" + packed(p + b"D" + track + b"F"),
        p, [packed(p)[3:6], packed(p), packed(track[1:] + b"F")])
    p = card(b"483312", b"750931")
    add("binary tag 9F6B", b"\x9f\x6b\x0c" + packed(p + b"D2512201"), p, [packed(p)[3:6], packed(p)])
    p = card(b"545454", b"917352")
    add("binary tag 5A", b"\x5a\x08" + packed(p) + b"\x5f\x24\x03\x25\x12\x31", p,
        [packed(p)[3:6], packed(p)])
    p = card(b"453207", b"658214")
    add("dots, then track 1", grouped(p, b".") + b"^DOE/JOHN^" + track, p,
        [grouped(p, b".")[7:14], track, b"8675309"])
    p = card(b"405512", b"839406")
    add("packed behind a length byte", b"\x72\x34\x16" + packed(p) + b"\xab", p,
        [packed(p)[3:6], packed(p)])
    # Last: the logged line ends at the NUL.
    p = card(b"492181", b"306752")
    add("a NUL inside the number", p[:8] + b"\x00" + p[8:], p, [p[:8]])
    return out


FORMS = _forms()
FORMS_ANSWER = fields(b"0210", b"00", *[f for _, f, _, _ in FORMS], b"APPROVED")


class CardFormsTest(CardDataTest):
    """Every form on each route, each in a request of its own and all of them in one answer."""

    def forms_exchange(self, kind):
        record = os.path.join(self.root, "requests.hex")
        serv, port = self.servsim("--record", record, "--answer", sim_escaped(FORMS_ANSWER),
                                  *(["--secure"] if kind == b"S" else []))
        line, gw = self.start()
        line.send(connect_frame(kind, "127.0.0.1", port))
        requests = [fields(b"0200", b"000000001004", f, b"END") for _, f, _, _ in FORMS]
        for (name, _, _, _), frame in zip(FORMS, requests):
            line.send(frame)
            self.assertEqual(line.read(len(FORMS_ANSWER)), FORMS_ANSWER, name + "\n" + self.dump())
        line.send(DLE * 3)
        self.trace(gw, END)
        self.assertEqual(recorded_requests(record), [(1, f) for f in requests])
        places = [("log file", log_bytes(self.work)), ("standard output", gw.out.text().encode()),
                  ("standard error", gw.err.text().encode())]
        for name, _, _, secrets in FORMS:
            for where, data in places:
                with self.subTest(name, where=where):
                    for secret in secrets:
                        self.assertFalse(secret in data, "%r in the %s" % (secret, where))
        return requests

    def test_plain_route(self):
        self.forms_exchange(b"P")

    def test_secure_route(self):
        requests = self.forms_exchange(b"S")
        data = log_bytes(self.work)
        logged = logged_frames(data, "요청전문") + logged_frames(data, "응답전문")
        sent = requests + [FORMS_ANSWER] * len(requests)
        self.assertEqual([n for n, _ in logged], [len(f) for f in sent], data)
        for (_, shown), frame in zip(logged, sent):
            # Line breaks and escapes are shown escaped; the line ends at a NUL.
            for b in (0x0A, 0x0B, 0x0C, 0x0D, 0x1B):
                shown = shown.replace(b"\\x%02x" % b, bytes([b]))
            frame = frame.split(b"\x00")[0]
            # Hidden bytes are '*', every other byte is the byte sent, the count stays.
            self.assertEqual(len(shown), len(frame), shown)
            self.assertEqual([i for i, (a, b) in enumerate(zip(shown, frame))
                              if a != b and a != ord("*")], [], shown)


    def test_card_number_typed_as_the_host(self):
        p = card(b"453209", b"716385")
        line, gw = self.start()
        shown = p[:6] + b"******" + p[-4:]
        for host, masked in ((p, shown), (grouped(p, b"."), grouped(shown, b"."))):
            line.send(connect_frame(b"S", host.decode(), 1))
            self.trace(gw, re.escape("서버 접속오류!-->%s:1" % masked.decode()))
            line.send(DLE * 3)
        self.assert_log_in_order("서버 접속 실패 : SECURE 453209", "서버 접속 실패 : SECURE 4532.0")
        for where, data in (("log file", log_bytes(self.work)), ("standard output", gw.out.text().encode()),
                            ("standard error", gw.err.text().encode())):
            self.assertFalse(p[6:-4] in data or grouped(p, b".")[7:14] in data, where)


class ProcessMemoryTest(LineTest):
    """After an exchange on each route and the end of its connection, the program's memory holds
    no card number and no track data, and a crash would leave no core file."""

    def assert_no_card_data_in(self, pid, when):
        memory = process_memory(pid)
        self.assertGreater(len(memory), 1 << 20)
        # The answer's trace line as the log writer formatted it: the read saw the heap.
        self.assertTrue(b"[CAT<-VAN] [%03d]" % len(FORMS_ANSWER) in memory, "no heap read")
        # Long enough not to turn up by chance among the megabytes read: the number and its
        # middle digits with one on either side, as digits and packed.
        for name, field, pan, secrets in FORMS:
            with self.subTest(name, when=when):
                long = [s for s in secrets if len(s) >= 7]  # the track data
                for secret in [field, pan, pan[5:-3], packed(pan)[2:7]] + long:
                    self.assertFalse(secret in memory,
                                     "%r in the program's memory %s" % (secret, when))

    def test_no_card_data_in_memory_after_the_exchange(self):
        if os.geteuid() != 0:
            self.skipTest("the program is not dumpable: only root may read its memory")
        line, gw = self.start()
        for kind, secure in ((b"P", []), (b"S", ["--secure"])):
            serv, port = self.servsim("--answer", sim_escaped(FORMS_ANSWER), *secure)
            line.send(connect_frame(kind, "127.0.0.1", port))
            for _, field, _, _ in FORMS:
                line.send(fields(b"0200", field, b"END"))
                self.assertEqual(line.read(len(FORMS_ANSWER)), FORMS_ANSWER, self.dump())
            # Every request and answer has been handed on; the connection is still open.
            self.assert_no_card_data_in(gw.pid, "with the %s connection open" % kind.decode())
            line.send(DLE * 3)
            self.wait_count(gw, END, 1 if kind == b"P" else 2)
        self.assert_no_card_data_in(gw.pid, "after the connections' end")
        self.assertEqual(process_limit(gw.pid, "Max core file size"), ("0", "0"))


class FrameBytesTest(LineTest):

    def test_line_breaks_inside_a_frame_start_no_log_line(self):
        forged = "\r\n[2026/12/07 09:00:00][1] \u25b7 TEVN-> 프로그램 종료\r\n".encode("cp949")
        request = fields(b"0200", forged, b"000000001004")
        answer = fields(b"0210", b"00" + forged)
        serv, port = self.servsim("--secure", "--answer", sim_escaped(answer))
        line, gw = self.start()
        line.send(connect_frame(b"S", "127.0.0.1", port))
        line.send(request)
        self.assertEqual(line.read(len(answer)), answer, self.dump())
        line.send(DLE * 3)
        self.trace(gw, END)
        log = self.log()
        self.assertEqual([m for m in log if "프로그램 종료" in m and "전문]" not in m], [], "\n".join(log))
        for kind, frame in (("요청전문", request), ("응답전문", answer)):
            lines = [m for m in log if "[%s]" % kind in m]
            self.assertEqual(len(lines), 1, "\n".join(log))
            # The forged timestamp's digits, joined, may read as a card number and be hidden.
            self.assertRegex(lines[0], r"\\x0d\\x0a\[[0-9*/ :]+\]\[[0-9*]\] \u25b7 TEVN-> 프로그램 종료\\x0d\\x0a")
            self.assertIn("[%s][%d]" % (kind, len(frame)), lines[0])

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
