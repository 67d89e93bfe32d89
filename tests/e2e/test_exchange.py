"""The gateway relays real exchanges: the version query, the plain and the secure route,
DLE DLE DLE, a server that refuses."""

import os
import re

from harness import GatewayTest, VERSION, unittest


class ExchangeTest(GatewayTest):

    def test_version_reply(self):
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::38400::E" % VERSION,
                            "expect-silence=300")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        # The query and the reply are traced in summary form, never as bytes.
        self.assertIsNotNone(gw.out.wait_for(r"\] \[CAT->VAN\] \[003\] \[Unknown : 56\]$"), self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\] \[CAT<-VAN\] \[034\] \[전문수신\]$"), self.dump())

    def test_version_reply_carries_the_rate_text_as_typed(self):
        # The port given as a path relative to the working folder, as a shell user types it.
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::9600::E" % VERSION)
        self.brisca("--port", os.path.relpath(self.tty, self.work), "--rate", "9600", port=False)
        self.assert_steps_pass(term)

    def test_plain_exchange_byte_for_byte(self):
        serv, port = self.servsim()
        term = self.termsim("connect=P,127.0.0.1,%d" % port, "request=0200AMOUNT=1004\\x1cEND",
                            "expect-echo", "ack", "expect-silence=300")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        # The server saw the request exactly as the terminal sent it, and never the connect frame.
        got = serv.out.matching(r"conn 1  <- ")
        self.assertEqual(len(got), 2, self.dump())
        self.assertRegex(got[0], r"<- 23 bytes  <STX>0200AMOUNT=1004<FS>END<ETX>[0-9a-f]{2}$")
        self.assertRegex(got[1], r"<- 1 bytes  <ACK>$")
        self.assertEqual(gw.out.matching(r"\[CAT<-TMS\] \[000\] \[전문수신\]"),
                         gw.out.matching(r"\[CAT<-TMS\]"))
        self.assertEqual(len(gw.out.matching(r"\[CAT<-TMS\]")), 1, self.dump())
        self.assertEqual(len(gw.out.matching(r"\[CAT<-VAN\] \[023\] \[전문수신\]")), 1, self.dump())

    def test_fixed_address_takes_the_plain_route(self):
        serv, port = self.servsim(host="127.0.0.2")
        term = self.termsim("connect=S,127.0.0.2,%d" % port, "request=FIXED", "expect-echo")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        self.assertEqual(len(gw.out.matching(r"\[CAT<-TMS\]")), 1, self.dump())
        self.assertEqual(gw.out.matching(r"서버접속-->"), [])

    def test_plain_answer_in_two_pieces_is_two_writes(self):
        serv, port = self.servsim("--answer", "\\x02ANSWER-IN-TWO-PIECES\\x03xx", "--pieces", "2",
                                  "--piece-gap", "300")
        term = self.termsim("connect=P,127.0.0.1,%d" % port, "request=Q",
                            "expect=\\x02ANSWER-IN-TWO-PIECES\\x03xx")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        # 24 bytes in two pieces: two writes of 12, each with its own event.
        first = gw.out.wait_for(r"\[CAT<-VAN\] \[012\]")
        self.assertIsNotNone(first, self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\[CAT<-VAN\] \[012\]", start=first + 1), self.dump())
        self.assertEqual(len(gw.out.matching(r"\[CAT<-VAN\]")), 2, self.dump())

    def test_secure_exchange(self):
        answer = "\\x020210APPROVED 12345678\\x03zz"
        serv, port = self.servsim("--secure", "--answer", answer)
        request = "0200CARD=9410123412341234\\x1c1004\\x1cEND"
        term = self.termsim("connect=S,127.0.0.1,%d" % port, "request=" + request,
                            "expect=" + answer, "ack", "expect-silence=300")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        # The server opened the envelope with its private key: a 16-digit session key and the
        # request exactly as the terminal sent it.
        env = serv.out.matching(r"<- envelope ")
        self.assertEqual(len(env), 1, self.dump())
        self.assertRegex(env[0], r"session key \d{16}, request 38 bytes  "
                                 r"<STX>0200CARD=9410123412341234<FS>1004<FS>END<ETX>[0-9a-f]{2}$")
        self.assertEqual(len(serv.out.matching(r"<- plain 1 bytes  <ACK>$")), 1, self.dump())
        self.assertEqual(serv.out.matching(r"FAIL"), [], self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\] 서버접속-->127\.0\.0\.1:%d$" % port), self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\[CAT<-VAN\] \[025\] \[전문수신\]$"), self.dump())

    def test_secure_answer_envelope_split_by_the_network(self):
        # The envelope arrives as 3 pieces: the worker's exact reads put it together again.
        answer = "\\x02SPLIT ANSWER\\x03zz"
        serv, port = self.servsim("--secure", "--answer", answer, "--pieces", "3")
        term = self.termsim("connect=S,127.0.0.1,%d" % port, "request=SPLIT", "expect=" + answer)
        self.brisca("--rate", "38400")
        self.assert_steps_pass(term)

    def test_dle_dle_dle_ends_the_connection(self):
        serv, port = self.servsim()
        term = self.termsim("connect=P,127.0.0.1,%d" % port, "request=ONE", "expect-echo", "dle",
                            "request=AFTER", "expect-silence=500")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        self.assertIsNotNone(serv.out.wait_for(r"conn 1  closed by the gateway"), self.dump())
        # The worker's reason and end events are the visible trace of that close.
        self.assertIsNotNone(gw.out.wait_for(r"\] 접속해제!\(-?\d+\)-->쓰레드종료$"), self.dump())
        # The frame after the close went nowhere: the server saw only the first request.
        self.assertEqual(len(serv.out.matching(r"conn 1  <- ")), 1, self.dump())
        self.assertEqual(serv.out.matching(r"AFTER"), [])

    def test_refused_server(self):
        serv, port = self.servsim("--refuse")
        term = self.termsim("connect=S,127.0.0.1,%d" % port, "request=DROPPED",
                            "expect-silence=500", "version",
                            "expect=VG01:Tevnmark:%s::38400::E" % VERSION)
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        self.assertIsNotNone(gw.out.wait_for(r"\] 서버 접속오류!-->127\.0\.0\.1:%d$" % port),
                             self.dump())
        self.assertEqual(gw.out.matching(r"서버접속-->"), [])

    def test_refused_server_on_the_plain_route(self):
        serv, port = self.servsim("--refuse")
        term = self.termsim("connect=P,127.0.0.1,%d" % port, "request=DROPPED",
                            "expect-silence=500")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        self.assertEqual(len(gw.out.matching(r"\[CAT<-TMS\] \[000\] \[전문수신\]")), 1, self.dump())

    def test_server_closes_after_its_answer(self):
        serv, port = self.servsim("--close-after-answer")
        term = self.termsim("connect=P,127.0.0.1,%d" % port, "request=BYE", "expect-echo")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        i = gw.out.wait_for(r"\] #2 RECV 접속해제!-->\(0\)$")
        self.assertIsNotNone(i, self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\] 접속해제!\(0\)-->쓰레드종료$", start=i), self.dump())

    def test_server_reset_ends_the_secure_worker(self):
        serv, port = self.servsim("--secure", "--reset")
        term = self.termsim("connect=S,127.0.0.1,%d" % port, "request=RESET ME",
                            "expect-silence=500", "version", "expect-any")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        self.assertIsNotNone(serv.out.wait_for(r"conn 1  reset$"), self.dump())
        # The first read fails with the reset: the worker ends and the gateway serves on.
        i = gw.out.wait_for(r"\] #1 RECV 접속해제!-->\(-1\)$")
        self.assertIsNotNone(i, self.dump())
        self.assertIsNotNone(gw.out.wait_for(r"\] 접속해제!\(-1\)-->쓰레드종료$", start=i), self.dump())


if __name__ == "__main__":
    unittest.main()
