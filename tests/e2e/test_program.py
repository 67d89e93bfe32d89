"""The program around the relay: one instance, the settings file, the autostart entry, the
daily log file in code page 949, and a clean end on SIGTERM or SIGINT."""

import os
import re
import signal
import time

from harness import BRISCA, GatewayTest, VERSION, unittest


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class CommandLineTest(GatewayTest):

    def test_version_help_and_errors_touch_nothing(self):
        cases = [(["--version"], 0, r"\A1, 0, 0, 5\nserver key: [0-9a-f]{16}( \(test key\))?\Z",
                  r"\A\Z"),
                 (["--help"], 0, r"\AUsage: brisca ", r"\A\Z"),
                 (["--rate", "1234567890"], 64, r"\A\Z", r"\Abrisca: --rate: "),
                 (["--what"], 64, r"\A\Z", r"\Abrisca: unknown argument: --what")]
        for args, status, out, err in cases:
            with self.subTest(args):
                p = self._start([BRISCA] + args)
                self.assertEqual(p.wait(), status, self.dump())
                self.assertRegex(p.out.text(), out)
                self.assertRegex(p.err.text(), err)
        self.assertEqual(os.listdir(self.config), [])
        self.assertEqual(os.listdir(self.work), [])
        self.assertEqual(os.listdir(self.runtime), [])


class InstanceTest(GatewayTest):

    def test_second_instance_is_refused_and_touches_nothing(self):
        term = self.termsim("version", "expect-any", "go",
                            "version", "expect=VG01:Tevnmark:%s::38400::E" % VERSION)
        first = self.brisca("--rate", "38400")
        self.run_until_go(term)  # the first instance is past its start-up
        settings = self.settings_path()
        entry = os.path.join(self.config, "autostart", "Brisca.desktop")
        self.assertTrue(os.path.exists(settings) and os.path.exists(entry), self.dump())
        before = (read_bytes(settings), os.stat(settings).st_mtime_ns)
        os.remove(entry)
        work2 = os.path.join(self.root, "work2")
        os.mkdir(work2)

        second = self._start([BRISCA, "--port", os.path.join(self.root, "other-tty"),
                              "--rate", "9600", "--log"], cwd=work2)
        self.assertEqual(second.wait(), 1, self.dump())
        self.assertEqual(second.err.text(), "프로그램이 실행중입니다!")
        self.assertEqual(second.out.text(), "")  # no port opened, no trace
        self.assertEqual((read_bytes(settings), os.stat(settings).st_mtime_ns), before)
        self.assertFalse(os.path.exists(entry), "autostart entry written by the second instance")
        self.assertEqual(os.listdir(work2), [], "the second instance wrote into its folder")

        # The first instance runs on, undisturbed.
        self.assert_steps_pass(term)
        self.assertIsNone(first.popen.poll())

    def test_instances_of_different_sessions_do_not_meet(self):
        # Another XDG_RUNTIME_DIR is another session: both run.
        self.termsim()
        self.brisca("--rate", "38400")
        other_runtime = os.path.join(self.root, "run2")
        os.mkdir(other_runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = other_runtime
        other = self._start([BRISCA, "--port", os.path.join(self.root, "missing-tty")])
        # It gets as far as the port, which does not exist: status 2, not the instance refusal.
        self.assertEqual(other.wait(), 2, self.dump())
        self.assertNotIn("프로그램이 실행중입니다!", other.err.text())


def systemd_escape(text):
    """systemd-escape TEXT: '/' becomes '-', bytes outside [A-Za-z0-9:_.] become \\xNN."""
    out = ""
    for i, b in enumerate(text.encode()):
        c = chr(b)
        if c == "/":
            out += "-"
        elif (c.isascii() and c.isalnum()) or c in ":_" or (c == "." and i > 0):
            out += c
        else:
            out += "\\x%02x" % b
    return out


class SystemModeTest(GatewayTest):

    def test_service_instance_uses_its_device_settings_and_folders_and_rewrites_nothing(self):
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::19200::E" % VERSION)
        conf, logs, run = (os.path.join(self.root, d) for d in ("etc", "logs", "run-svc"))
        for d in (conf, logs, run):
            os.mkdir(d)
        instance = systemd_escape(self.tty)  # e.g. -tmp-brisca\x2de2e\x2d...-ttyCAT
        ini = os.path.join(conf, instance + ".ini")
        stored = "COM Port=COM9\nCOM Rate=19200\nVersion=0\nLog Flag=1\n"
        with open(ini, "w") as f:
            f.write(stored)
        self.env.update(CONFIGURATION_DIRECTORY=conf, LOGS_DIRECTORY=logs, RUNTIME_DIRECTORY=run)

        gw = self._start([BRISCA, "--system", instance])
        # The instance's device, not the file's port; the log folder the service was given.
        self.assertIsNotNone(gw.out.wait_for(re.escape(self.tty) + " Open 성공!$"), self.dump())
        self.assertRegex(gw.out.lines[0], r"로그 폴더-->%s$" % re.escape(logs))
        self.assert_steps_pass(term)
        self.assertEqual(self.stop(gw)[0], 0, self.dump())

        self.assertEqual(read_bytes(ini).decode(), stored)
        self.assertEqual(os.listdir(self.config), [], "settings or autostart entry written")
        self.assertEqual(os.listdir(self.work), [], "something written to the working folder")
        self.assertTrue([n for n in os.listdir(logs) if n.startswith("brisca")], self.dump())
        # The journal's view: a start and a stop, both notices.
        self.assertRegex(gw.err.text(), r"\A<6>시작 : 버전 %s, 포트 %s, " % (
            re.escape(VERSION), re.escape(self.tty)))
        self.assertIn("<6>종료", gw.err.text().split("\n"))


class SettingsTest(GatewayTest):

    def test_written_after_a_successful_open_and_used_on_the_next_start(self):
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::19200::E" % VERSION)
        gw = self.brisca("--rate", "19200", "--log")
        self.assert_steps_pass(term)  # the program is past its start-up
        self.assertEqual(read_bytes(self.settings_path()).decode("utf-8"),
                         "COM Port=%s\nCOM Rate=19200\nVersion=%s\nLog Flag=1\n" % (self.tty, VERSION))
        self.assertEqual(os.listdir(os.path.dirname(self.settings_path())), ["settings.ini"])
        self.assertEqual(self.stop(gw)[0], 0, self.dump())

        # No options now: port, speed and log switch come from the file.
        term2 = self.termsim("version", "expect=VG01:Tevnmark:%s::19200::E" % VERSION)
        gw2 = self.brisca(port=False)
        self.assertIsNotNone(gw2.out.wait_for(re.escape(self.tty) + " Open 성공!$"), self.dump())
        self.assert_steps_pass(term2)
        self.assertTrue(os.path.isdir(os.path.join(self.work, "gate_log")), self.dump())

    def test_not_written_after_a_failed_open(self):
        missing = os.path.join(self.root, "no-such-tty")
        gw = self._start([BRISCA, "--port", missing, "--rate", "9600", "--log"])
        self.assertEqual(gw.wait(), 2, self.dump())
        # The message for the operator, then the event for the journal (an error).
        self.assertEqual(gw.err.text().split("\n")[0], "%s 포트를 열 수 없습니다!" % missing)
        self.assertRegex(gw.err.text(), r"\n<3>시작 실패 : 포트 %s " % re.escape(missing))
        # The first trace line names the log folder.
        self.assertRegex(gw.out.text(), r"^\[[-0-9 :]+\] 로그 폴더-->gate_log\n"
                                        r"\[[-0-9 :]+\] %s Open 실패!$" % re.escape(missing))
        self.assertFalse(os.path.exists(self.settings_path()))

        # A stored file is not touched by a failed open either.
        os.makedirs(os.path.dirname(self.settings_path()))
        stored = "COM Port=%s\nCOM Rate=38400\nVersion=%s\nLog Flag=0\n" % (missing, VERSION)
        with open(self.settings_path(), "w") as f:
            f.write(stored)
        again = self._start([BRISCA, "--rate", "57600", "--log"])
        self.assertEqual(again.wait(), 2, self.dump())
        self.assertEqual(read_bytes(self.settings_path()).decode(), stored)
        self.assertFalse(os.path.exists(os.path.join(self.work, "gate_log")))

    def test_damaged_or_over_long_file_gives_a_message_and_the_defaults(self):
        cases = {
            "binary": b"\x00\xff\xfe garbage \x80\x81",
            "no equals sign": b"COM Port=/dev/ttyS3\nthis line is damaged\nLog Flag=1\n",
            "over-long": b"COM Port=/dev/ttyS3\n" + b"# padding\n" * 500 + b"Log Flag=1\n",
            "rate too long": b"COM Port=/dev/ttyS3\nCOM Rate=1234567890\nLog Flag=1\n",
        }
        os.makedirs(os.path.dirname(self.settings_path()))
        for name, content in cases.items():
            with self.subTest(name):
                with open(self.settings_path(), "wb") as f:
                    f.write(content)
                term = self.termsim("version", "expect=VG01:Tevnmark:%s::9600::E" % VERSION)
                gw = self.brisca("--rate", "9600")
                # Standard error has a reader of its own: wait for the line, it may lag stdout.
                self.assertIsNotNone(gw.err.wait_for(
                    re.escape("설정 파일을 읽을 수 없습니다: %s" % self.settings_path())), self.dump())
                self.assert_steps_pass(term)
                # The damaged file has been replaced by the settings in use.
                self.assertEqual(read_bytes(self.settings_path()).decode(),
                                 "COM Port=%s\nCOM Rate=9600\nVersion=%s\nLog Flag=0\n" % (self.tty, VERSION))
                self.assertEqual(self.stop(gw)[0], 0, self.dump())
                term.kill()

    def test_config_option_names_the_file(self):
        own = os.path.join(self.root, "elsewhere", "brisca.ini")
        term = self.termsim("version", "expect-any")
        self.brisca("--config", own, "--rate", "9600")
        self.assert_steps_pass(term)
        self.assertEqual(read_bytes(own).decode(),
                         "COM Port=%s\nCOM Rate=9600\nVersion=%s\nLog Flag=0\n" % (self.tty, VERSION))
        self.assertFalse(os.path.exists(self.settings_path()))


class AutostartTest(GatewayTest):

    def test_entry_written_on_every_start_even_when_the_port_fails(self):
        gw = self._start([BRISCA, "--port", os.path.join(self.root, "missing")])
        self.assertEqual(gw.wait(), 2, self.dump())
        entry = os.path.join(self.config, "autostart", "Brisca.desktop")
        text = read_bytes(entry).decode("utf-8")
        self.assertTrue(text.startswith("[Desktop Entry]\n"), text)
        self.assertIn("\nType=Application\n", text)
        self.assertIn("\nExec=%s\n" % os.path.realpath(BRISCA), text)
        self.assertEqual(os.listdir(os.path.dirname(entry)), ["Brisca.desktop"])

    def test_without_xdg_config_home_the_home_folder_is_used(self):
        del self.env["XDG_CONFIG_HOME"]
        term = self.termsim("version", "expect-any")
        self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        dot_config = os.path.join(self.home, ".config")
        self.assertTrue(os.path.isfile(os.path.join(dot_config, "autostart", "Brisca.desktop")))
        self.assertTrue(os.path.isfile(os.path.join(dot_config, "brisca", "settings.ini")))
        self.assertEqual(os.listdir(self.config), [])


class LogFileTest(GatewayTest):

    LINE = re.compile(rb"^\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\]\[(\d+)\] (.*)$")

    def log_path(self, day):
        return os.path.join(self.work, "gate_log", "brisca%s.log" % day)

    def test_lines_are_code_page_949_with_crlf(self):
        serv, port = self.servsim("--refuse")
        day0 = time.strftime("%Y%m%d")
        term = self.termsim("version", "expect-any", "connect=S,127.0.0.1,%d" % port,
                            "expect-silence=300")
        gw = self.brisca("--rate", "38400", "--log")
        self.assert_steps_pass(term)
        self.assertIsNotNone(gw.out.wait_for(r"서버 접속오류!-->"), self.dump())
        self.assertEqual(self.stop(gw)[0], 0)
        days = {day0, time.strftime("%Y%m%d")}  # the test may straddle midnight
        data = b"".join(read_bytes(self.log_path(d)) for d in sorted(days)
                        if os.path.exists(self.log_path(d)))
        # Text-mode line ends: every LF is stored as CR LF, so the trace's own "\r\n" becomes
        # CR CR LF while the relay's "\n" lines end in CR LF.
        self.assertTrue(data.endswith(b"\r\n"), data)
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))
        lines = data[:-2].split(b"\r\n")
        self.assertTrue(any(l.endswith(b"] \xa2\xb9 [CAT->VAN] [003] [Unknown : 56]\r")
                            for l in lines), lines)
        lines = [l[:-1] if l.endswith(b"\r") else l for l in lines]
        korean = "서버 접속오류!-->127.0.0.1:%d" % port
        self.assertIn(korean.encode("cp949"), data)
        self.assertNotIn("서버 접속오류".encode("utf-8"), data)
        texts = []
        for line in lines:
            m = self.LINE.match(line)
            self.assertIsNotNone(m, line)
            self.assertEqual(int(m.group(1)), gw.pid)
            texts.append(m.group(2).decode("cp949"))
        self.assertIn("▷ [CAT->VAN] [003] [Unknown : 56]", texts)
        self.assertIn("▷ [CAT<-VAN] [034] [전문수신]", texts)
        self.assertIn("▷ " + korean, texts)
        self.assertIn("▷ TEVN-> ERROR : Connect Error (ERRNO = 111)", texts)

    def test_no_log_writes_no_file(self):
        term = self.termsim("version", "expect-any")
        gw = self.brisca("--rate", "38400", "--no-log")
        self.assert_steps_pass(term)
        self.assertEqual(self.stop(gw)[0], 0)
        self.assertFalse(os.path.exists(os.path.join(self.work, "gate_log")))


class SignalTest(GatewayTest):

    def threads(self, pid):
        return len(os.listdir("/proc/%d/task" % pid))

    def check_clean_end(self, sig, secure):
        args = ["--secure"] if secure else []
        serv, port = self.servsim(*args)
        kind = "S" if secure else "P"
        term = self.termsim("connect=%s,127.0.0.1,%d" % (kind, port), "request=OPEN",
                            "expect-any")
        gw = self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
        # main (window) thread, signal thread, serial watcher and the receive worker
        self.assertGreaterEqual(self.threads(gw.pid), 4)
        rc, took = self.stop(gw, sig)
        self.assertEqual(rc, 0, self.dump())
        self.assertLess(took, 1.0, self.dump())
        self.assertFalse(os.path.exists("/proc/%d" % gw.pid))
        # The connection was closed and its worker ended before the program did.
        self.assertIsNotNone(serv.out.wait_for(r"conn 1  closed by the gateway"), self.dump())
        self.assertEqual(len(gw.out.matching(r"\] 접속해제!\(-?\d+\)-->쓰레드종료$")), 1, self.dump())

    def test_sigterm_during_an_open_plain_connection(self):
        self.check_clean_end(signal.SIGTERM, secure=False)

    def test_sigint_during_an_open_secure_connection(self):
        self.check_clean_end(signal.SIGINT, secure=True)

    def test_sigterm_when_idle(self):
        self.termsim()
        gw = self.brisca("--rate", "38400")
        rc, took = self.stop(gw)
        self.assertEqual(rc, 0, self.dump())
        self.assertLess(took, 1.0)


if __name__ == "__main__":
    unittest.main()
