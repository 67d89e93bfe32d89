"""The serial device goes away (a USB adapter pulled out) and comes back under the same name:
the gateway says so once, retries without spinning, reopens the port by itself and serves on."""

import re
import time

from e2e_support import Figures, request_frame, timestamp_of as seconds_of_day
from harness import unittest
from line_test import LineTest

LOST = r"시리얼 포트 끊김!-->%s"
BACK = r"시리얼 포트 복구!-->%s"


class PortRecoveryTest(LineTest):

    def lost_and_back(self, gw):
        name = re.escape(self.tty)
        return self.traces(gw, LOST % name), self.traces(gw, BACK % name)

    def test_the_port_comes_back_under_the_same_name(self):
        serv, port = self.servsim("--secure")
        line, gw = self.start()
        self.assert_version_works(line)
        name = re.escape(self.tty)
        for outage in (1, 2):
            with self.subTest(outage=outage):
                line.unplug()
                self.wait_count(gw, LOST % name, outage)
                # Gone for a while: a retry a second, each a failed open, and no spinning.
                before = Figures(gw.pid)
                time.sleep(2.2)
                during = Figures(gw.pid)
                self.assertLess(during.cpu_ticks - before.cpu_ticks, 20, (before, during))
                self.assertEqual(len(self.lost_and_back(gw)[1]), outage - 1)
                line = self.plug()
                plugged = time.time()
                self.wait_count(gw, BACK % name, outage)
                t = time.localtime(plugged)
                since = seconds_of_day(self.traces(gw, BACK % name)[-1]) - (
                    t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec + plugged % 1)
                print("[ timing ] port back %.3f s after the link reappeared" % since)
                self.assert_version_works(line)
                self.assert_secure_exchange_works(line, gw, port)
        # One line each way per outage, in the trace and in the log.
        lost, back = self.lost_and_back(gw)
        self.assertEqual((len(lost), len(back)), (2, 2), self.dump())
        self.assert_log_in_order(r"^TEVN-> ERROR : 시리얼 포트 끊김 \(%s\)$" % name,
                                 r"^TEVN-> 시리얼 포트 복구 \(%s\)$" % name,
                                 r"^TEVN-> ERROR : 시리얼 포트 끊김 \(%s\)$" % name,
                                 r"^TEVN-> 시리얼 포트 복구 \(%s\)$" % name)
        self.assertEqual(len([m for m in self.log() if "시리얼 포트" in m and "TEVN" in m]), 4)

    def test_terminal_gone_in_the_middle_of_an_exchange(self):
        # The server answers 1.5 s late; the terminal's line goes in between. The answer is
        # traced and written nowhere, the session stays open, and once the line is back the
        # next request on it is answered.
        serv, port = self.servsim("--secure", "--delay", "1500")
        line, gw = self.start()
        line.send(b"S127.0.0.1:%dE" % port)
        line.send(request_frame(b"0200GONE"), gap=0)
        # Bytes still in the line when it hangs up are flushed with it: unplug only once the
        # gateway has the request.
        self.trace(gw, r"\[CAT->VAN\] \[012\] \[전문수신\]")
        line.unplug()
        name = re.escape(self.tty)
        self.trace(gw, LOST % name)
        self.trace(gw, r"\[CAT<-VAN\] \[012\] \[전문수신\]")
        line = self.plug()
        self.trace(gw, BACK % name)
        again = request_frame(b"0200BACK")
        line.send(again)
        self.assertEqual(line.read(len(again)), again, self.dump())
        self.assertEqual(len(serv.out.matching(r"accepted")), 1, self.dump())
        self.assert_version_works(line)

    def test_sigterm_while_the_port_is_lost(self):
        line, gw = self.start()
        line.unplug()
        self.trace(gw, LOST % re.escape(self.tty))
        rc, took = self.stop(gw)
        self.assertEqual(rc, 0, self.dump())
        self.assertLess(took, 5, self.dump())


if __name__ == "__main__":
    unittest.main()
