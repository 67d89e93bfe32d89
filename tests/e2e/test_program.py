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

    def service(self, instance, ini_text=None, logs=None):
        """Runs brisca --system INSTANCE with the folders systemd would give it; ini_text None
        leaves the instance without a settings file."""
        conf, run = (os.path.join(self.root, d) for d in ("etc", "run-svc"))
        for d in (conf, run):
            os.makedirs(d, exist_ok=True)
        if logs is None:
            logs = os.path.join(self.root, "logs")
            os.makedirs(logs, 0o700, exist_ok=True)
        ini = os.path.join(conf, instance + ".ini")
        if ini_text is not None:
            with open(ini, "w") as f:
                f.write(ini_text)
        self.env.update(CONFIGURATION_DIRECTORY=conf, LOGS_DIRECTORY=logs, RUNTIME_DIRECTORY=run)
        return self._start([BRISCA, "--system", instance]), ini

    def test_plain_instance_name_with_the_port_in_its_file_logs_through_systemds_link(self):
        # DynamicUser=yes: $LOGS_DIRECTORY is a link into a private (0700) folder.
        private = os.path.join(self.root, "var-log", "private")
        os.makedirs(os.path.join(private, "brisca", "lane1"))
        os.chmod(private, 0o700)
        os.chmod(os.path.join(private, "brisca", "lane1"), 0o700)
        logs = os.path.join(self.root, "var-log", "brisca-lane1")
        os.symlink(os.path.join(private, "brisca", "lane1"), logs)
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::19200::E" % VERSION)
        stored = "# lane 1\nCOM Port=%s\nCOM Rate=19200\nLog Flag=1\n" % self.tty
        gw, ini = self.service("lane1", stored, logs)
        self.assertIsNotNone(gw.out.wait_for(re.escape(self.tty) + " Open 성공!$"), self.dump())
        self.assertRegex(gw.out.lines[0], r"로그 폴더-->%s$" % re.escape(logs))
        self.assert_steps_pass(term)
        self.assertEqual(self.stop(gw)[0], 0, self.dump())

        self.assertEqual(read_bytes(ini).decode(), stored)
        self.assertEqual(os.listdir(self.config), [], "settings or autostart entry written")
        self.assertEqual(os.listdir(self.work), [], "something written to the working folder")
        written = os.listdir(os.path.join(private, "brisca", "lane1"))
        self.assertTrue([n for n in written if n.startswith("brisca")], self.dump())
        # The journal's view: a start and a stop, both notices, nothing else.
        self.assertRegex(gw.err.text(), r"\A<6>시작 : 버전 %s, 포트 %s, " % (
            re.escape(VERSION), re.escape(self.tty)))
        self.assertIn("<6>종료", gw.err.text().split("\n"))
        self.assertNotIn("<3>", gw.err.text())

    def test_starts_without_a_file_and_with_com_rate_alone(self):
        instance = systemd_escape(self.tty)  # the instance names the device
        for text, speed in ((None, "57600"), ("COM Rate=38400\n", "38400")):
            with self.subTest(text):
                term = self.termsim("version", "expect=VG01:Tevnmark:%s::%s::E" % (VERSION, speed))
                gw, _ = self.service(instance, text)
                self.assertIsNotNone(gw.out.wait_for(re.escape(self.tty) + " Open 성공!$"), self.dump())
                self.assert_steps_pass(term)
                self.assertEqual(self.stop(gw)[0], 0, self.dump())
                self.assertNotIn("<3>", gw.err.text())
                term.kill()

    def test_started_before_its_device_waits_for_it(self):
        # At boot the unit may start before the USB adapter is there: one error, then the
        # program waits for the port itself (no exit, so no restart loop).
        gw, _ = self.service("lane2", "COM Port=%s\nCOM Rate=38400\n" % self.tty)
        self.assertIsNotNone(gw.err.wait_for(r"^<3>시작 실패 : 포트 " + re.escape(self.tty)), self.dump())
        term = self.termsim("version", "expect=VG01:Tevnmark:%s::38400::E" % VERSION)
        self.assertIsNotNone(gw.out.wait_for(r"시리얼 포트 복구!-->" + re.escape(self.tty) + "$"),
                             self.dump())
        self.assert_steps_pass(term)
        self.assertEqual(self.stop(gw)[0], 0, self.dump())
        self.assertEqual(len(gw.err.matching(r"^<3>")), 1, self.dump())

    def test_log_folder_of_another_user_or_open_to_others_is_refused_and_said_once(self):
        logs = os.path.join(self.root, "logs")
        os.mkdir(logs)
        cases = [("open to others", 0o777, None, "is writable by group or others")]
        if os.geteuid() == 0:
            cases.append(("another user's", 0o700, 65534, "belongs to another user"))
        for name, mode, owner, why in cases:
            with self.subTest(name):
                os.chmod(logs, mode)
                if owner is not None:
                    os.chown(logs, owner, owner)
                term = self.termsim("version", "expect-any", "version", "expect-any")
                gw, _ = self.service(systemd_escape(self.tty), "Log Flag=1\n", logs)
                self.assertIsNotNone(gw.out.wait_for(" Open 성공!$"), self.dump())
                self.assert_steps_pass(term)  # traced lines that the log holds back
                self.assertEqual(self.stop(gw)[0], 0, self.dump())
                said = "%s: %s" % (logs, why)
                self.assertEqual(gw.err.matching(r"^<3>"), ["<3>로그 기록 불가 : " + said], self.dump())
                self.assertEqual(len(gw.out.matching(r"로그 기록 불가!-->" + re.escape(said) + "$")), 1,
                                 self.dump())
                self.assertEqual(os.listdir(logs), [])
                term.kill()


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

    def test_hand_written_files_keep_the_allow_list_say_each_problem_and_survive_a_save(self):
        serv, port = self.servsim()  # on 127.0.0.1: outside the list
        allowed = b"Allowed Servers=10.0.0.0/8\n"
        # name: (file content, the problem as error "<3>" or warning "<4>", the settings path is
        # a link: "real" to a file elsewhere, "dangling" to none)
        cases = {
            "only Allowed Servers": (allowed, None, None),
            "one bad line": (b"# shop 12\r\n" + allowed + b"Log Days=thirty\n",
                             r'3.* line 3: "Log Days" is not a number of days', None),
            "misspelt name": (b"Allowed Server=127.0.0.1\n" + allowed,
                              r'4.* line 1: unknown name "Allowed Server"', None),
            "too long": (allowed + b"# padding\n" * 7000,
                         r"3.*: is longer than 65536 bytes; .* no server is allowed", None),
            # A name given twice: neither line counts, and the list allows no server.
            "given twice": (allowed + b"Allowed Servers=\n",
                            r'3.* line 2: "Allowed Servers" is given again \(first at .* line 1\); '
                            r"no server is allowed", None),
            # Names that differ from the known one only by case or an invisible character.
            "other case": (b"allowed servers=\n",
                           r'3.* line 1: unknown name "allowed servers" \(did you mean "Allowed Servers"\?\); '
                           r"no server is allowed", None),
            "no-break space": ("Allowed\u00a0Servers=\n".encode(),
                               r'3.* line 1: unknown name .*did you mean "Allowed Servers".*no server', None),
            # Notepad's "Unicode": not read, and left as it is.
            "UTF-16": ("Allowed Servers=\r\n".encode("utf-16"),
                       r"3.*: is not UTF-8 text .*; .* no server is allowed", None),
            "link to a file elsewhere": (allowed, None, "real"),
            "link to nothing": (None, r"3.*: is a link whose target cannot be opened; .* no server is allowed",
                                "dangling"),
        }
        os.makedirs(os.path.dirname(self.settings_path()))
        real = os.path.join(self.root, "real.ini")
        for name, (content, problem, link) in cases.items():
            with self.subTest(name):
                for path in (self.settings_path(), real):
                    if os.path.lexists(path):
                        os.unlink(path)
                if link:
                    os.symlink(real, self.settings_path())
                if content is not None:
                    with open(real if link else self.settings_path(), "wb") as f:
                        f.write(content)
                term = self.termsim("version", "expect=VG01:Tevnmark:%s::9600::E" % VERSION,
                                    "connect=P,127.0.0.1,%d" % port, "expect-silence=300")
                # The log switched on by the command line alone carries the problems too.
                gw = self.brisca("--rate", "9600", "--log")
                self.assert_steps_pass(term)
                # The list holds: the server outside it is refused like one out of reach.
                self.assertIsNotNone(gw.err.wait_for(r"^<4>서버 접속오류 : 127\.0\.0\.1:%d$" % port), self.dump())
                if problem:
                    level, text = problem[0], problem[1:]
                    self.assertIsNotNone(gw.err.wait_for(r"^<%s>설정 %s : %s" % (
                        level, "오류" if level == "3" else "경고", text)), self.dump())
                self.assertEqual(self.stop(gw)[0], 0, self.dump())
                if problem:
                    log = "".join(read_bytes(os.path.join(self.work, "gate_log", f)).decode("cp949")
                                  for f in os.listdir(os.path.join(self.work, "gate_log")))
                    self.assertRegex(log, r"TEVN-> %s : 설정 %s" % (
                        "ERROR" if level == "3" else "WARNING", text.replace(".*", "[^\n]*")))
                # The save kept every byte the administrator wrote; a file that cannot be read
                # whole is not rewritten at all; a link is followed, and stays a link.
                # (Lines added end as the file's first line does.)
                if link:
                    self.assertTrue(os.path.islink(self.settings_path()))
                if content is None:
                    self.assertFalse(os.path.exists(real))
                    continue
                eol = "\r\n" if content.split(b"\n")[0].endswith(b"\r") else "\n"
                own = ("COM Port=%s\nCOM Rate=9600\nVersion=%s\nLog Flag=1\n" % (self.tty, VERSION)
                       ).replace("\n", eol).encode()
                saved = read_bytes(real if link else self.settings_path())
                self.assertEqual(saved, content if name in ("too long", "UTF-16") else content + own)
                term.kill()
        self.assertEqual(serv.out.matching(r"accepted"), [], "a server outside the list was connected")

    def test_check_config_says_each_problem_and_the_values_in_force(self):
        good = os.path.join(self.root, "good.ini")
        bad = os.path.join(self.root, "bad.ini")
        with open(good, "w") as f:
            f.write("# lane 1\nCOM Port=/dev/ttyUSB0\nLog Flag=1\nAllowed Servers=10.0.0.0/8\n")
        with open(bad, "w") as f:
            f.write("Log Flag=1\nAllowed Servers=10.0.0.0/8\nLog Days=thirty\nLog Limt=5\nLog Flag=2\n")
        p = self._start([BRISCA, "--check-config", good])
        self.assertEqual(p.wait(), 0, self.dump())
        self.assertEqual(p.out.text(), "%s\nno problem found\nvalues in force:\nCOM Port=/dev/ttyUSB0\n"
                         "COM Rate=57600\nLog Flag=1\nLog Folder=(the default folder)\nLog Days=365\n"
                         "Log Limit=256\nAllowed Servers=10.0.0.0/8" % good)
        p = self._start([BRISCA, "--check-config", bad])
        self.assertEqual(p.wait(), 1, self.dump())
        self.assertEqual(p.out.lines[1:3], [
            'error: %s line 3: "Log Days" is not a number of days ("thirty"); the default 365 is used' % bad,
            'warning: %s line 4: unknown name "Log Limt" (not used)' % bad])
        self.assertIn("Log Days=365", p.out.lines)
        self.assertIn('error: %s line 5: "Log Flag" is given again (first at %s line 1); its default is used'
                      % (bad, bad), p.out.lines)
        # A file named on the command line that is not there is not "no problem".
        missing = os.path.join(self.root, "missing.ini")
        p = self._start([BRISCA, "--check-config", missing])
        self.assertEqual(p.wait(), 1, self.dump())
        self.assertEqual(p.out.lines[1], "warning: %s: does not exist; the defaults are used" % missing)
        # The service's own file, found the way the service finds it.
        conf = os.path.dirname(bad)
        self.env.update(CONFIGURATION_DIRECTORY=conf)
        p = self._start([BRISCA, "--system", "bad", "--check-config"])
        self.assertEqual(p.wait(), 1, self.dump())
        self.assertIn("COM Port=/dev/bad", p.out.lines)
        self.assertEqual(os.listdir(self.config), [])

    def test_config_option_names_the_file(self):
        own = os.path.join(self.root, "elsewhere", "brisca.ini")
        term = self.termsim("version", "expect-any")
        self.brisca("--config", own, "--rate", "9600")
        self.assert_steps_pass(term)
        self.assertEqual(read_bytes(own).decode(),
                         "COM Port=%s\nCOM Rate=9600\nVersion=%s\nLog Flag=0\n" % (self.tty, VERSION))
        self.assertFalse(os.path.exists(self.settings_path()))


class AutostartTest(GatewayTest):

    def test_entry_written_only_after_a_successful_start(self):
        gw = self._start([BRISCA, "--port", os.path.join(self.root, "missing")])
        self.assertEqual(gw.wait(), 2, self.dump())
        entry = os.path.join(self.config, "autostart", "Brisca.desktop")
        self.assertFalse(os.path.exists(entry))
        term = self.termsim("version", "expect-any")
        self.brisca("--rate", "38400")
        self.assert_steps_pass(term)
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
