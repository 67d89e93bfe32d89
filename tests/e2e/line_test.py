"""A gateway test whose terminal is played by the test itself on a pty (PtyLine), with the log
switched on: the base of the fault, recovery and soak tests."""

import os
import re

from e2e_support import DLE, PtyLine, connect_frame, log_messages, request_frame
from harness import GatewayTest, VERSION, WAIT

VERSION_REPLY = ("VG01:Tevnmark:%s::38400::E" % VERSION).encode()


class LineTest(GatewayTest):

    def setUp(self):
        self.lines = []
        self.addCleanup(self._unplug_all)  # runs last: after the gateway has ended
        super().setUp()

    def _unplug_all(self):
        for line in self.lines:
            line.unplug()

    def plug(self):
        line = PtyLine(self.tty)
        self.lines.append(line)
        return line

    def start(self, *args):
        """A line and the gateway on it; returns both."""
        line = self.plug()
        gw = self.brisca("--rate", "38400", "--log", *args)
        self.assertIsNotNone(gw.out.wait_for(r"Open 성공!$"), self.dump())
        return line, gw

    def write_settings(self, *lines):
        """The settings file the gateway reads at start, with extra lines ("Log Limit=1")."""
        os.makedirs(os.path.dirname(self.settings_path()), exist_ok=True)
        with open(self.settings_path(), "w") as f:
            f.write("COM Port=%s\nCOM Rate=38400\nVersion=%s\nLog Flag=1\n" % (self.tty, VERSION))
            f.write("".join(l + "\n" for l in lines))

    def trace(self, gw, pattern, start=0, timeout=WAIT):
        """Index of the first trace line from start that ends with pattern; fails after the bound."""
        i = gw.out.wait_for(r"^\[[-0-9 :]+\] " + pattern + "$", timeout=timeout, start=start)
        self.assertIsNotNone(i, "no trace line %r\n%s" % (pattern, self.dump()))
        return i

    def traces(self, gw, pattern):
        return gw.out.matching(r"^\[[-0-9 :]+\] " + pattern + "$")

    def log(self):
        return log_messages(self.work)

    def log_matching(self, pattern):
        """The log's lines in which pattern is found."""
        rx = re.compile(pattern)
        return [m for m in self.log() if rx.search(m)]

    def assert_log_in_order(self, *patterns):
        """The log holds lines matching the patterns, in this order (others may lie between)."""
        lines = self.log()
        at = 0
        for p in patterns:
            rx = re.compile(p)
            while at < len(lines) and not rx.search(lines[at]):
                at += 1
            self.assertLess(at, len(lines), "log line %r missing (in order)\n%s" %
                            (p, "\n".join(lines)))
            at += 1

    def assert_version_works(self, line):
        line.send(b"VVV")
        self.assertEqual(line.read(len(VERSION_REPLY)), VERSION_REPLY, self.dump())

    def wait_count(self, gw, pattern, count, timeout=WAIT):
        """Waits until `count` trace lines end with pattern; fails after the bound."""
        start = 0
        for _ in range(count):
            start = self.trace(gw, pattern, start=start, timeout=timeout) + 1

    def assert_secure_exchange_works(self, line, gw, port, text=b"0200AGAIN"):
        """Connect, request, the echoed answer, DLE DLE DLE, and the worker's end."""
        end = r"접속해제!\(-?\d+\)-->쓰레드종료"
        ends = len(self.traces(gw, end))
        line.send(connect_frame(b"S", "127.0.0.1", port))
        frame = request_frame(text)
        line.send(frame)
        self.assertEqual(line.read(len(frame)), frame, self.dump())
        line.send(DLE * 3)
        self.wait_count(gw, end, ends + 1)
