"""Whole-program test harness: runs the real brisca binary against the terminal simulator on
a pty and the server simulator on loopback, each test in a temporary folder of its own with
its own XDG_CONFIG_HOME, XDG_RUNTIME_DIR and HOME, so tests run in parallel and never touch
the user's files."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

BRISCA = os.environ.get("BRISCA_BIN", "")
TERMSIM = os.environ.get("TERMSIM_BIN", "")
SERVSIM = os.environ.get("SERVSIM_BIN", "")
VERSION = "1, 0, 0, 5"
WAIT = 15.0  # seconds an expected line may take (wide: sanitizer builds are slow)


class Output:
    """Collects a process's output lines on a thread and lets tests wait for a line."""

    def __init__(self, stream, echo_prefix=None):
        self.lines = []
        self.closed = False
        self._cond = threading.Condition()
        self._reading = threading.Event()  # cleared: the stream is left unread, as by a stalled reader
        self._reading.set()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        for raw in iter(stream.readline, b""):
            self._reading.wait()
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    def wait_for(self, pattern, timeout=WAIT, start=0):
        """Index of the first line from start that matches pattern (a regex), or None."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    if rx.search(self.lines[i]):
                        return i
                    i += 1
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    return None
                self._cond.wait(left)

    def pause(self):
        """Stops reading the stream (after the line being read): the writer's pipe fills up."""
        self._reading.clear()

    def resume(self):
        self._reading.set()

    def wait_closed(self, timeout=WAIT):
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def text(self):
        with self._cond:
            return "\n".join(self.lines)

    def matching(self, pattern):
        rx = re.compile(pattern)
        with self._cond:
            return [l for l in self.lines if rx.search(l)]


class Proc:
    def __init__(self, args, env, cwd, stdin=False):
        self.args = args
        self.popen = subprocess.Popen(
            args, env=env, cwd=cwd,
            stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = Output(self.popen.stdout)
        self.err = Output(self.popen.stderr)

    @property
    def pid(self):
        return self.popen.pid

    def wait(self, timeout=WAIT):
        try:
            rc = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.out.wait_closed()
        self.err.wait_closed()
        return rc

    def send_line(self, text=""):
        self.popen.stdin.write((text + "\n").encode())
        self.popen.stdin.flush()

    def close_stdin(self):
        if self.popen.stdin and not self.popen.stdin.closed:
            try:
                self.popen.stdin.close()
            except OSError:
                pass

    def kill(self):
        self.out.resume()
        self.err.resume()
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait()
        self.close_stdin()
        self.out.wait_closed()
        self.err.wait_closed()
        self.popen.stdout.close()
        self.popen.stderr.close()

    def report(self):
        return "$ %s\n--- stdout\n%s\n--- stderr\n%s" % (
            " ".join(self.args), self.out.text(), self.err.text())


class GatewayTest(unittest.TestCase):
    """A test with its own folders, and helpers to start the three programs."""

    def setUp(self):
        for name, path in (("BRISCA_BIN", BRISCA), ("TERMSIM_BIN", TERMSIM),
                           ("SERVSIM_BIN", SERVSIM)):
            if not path or not os.access(path, os.X_OK):
                self.fail("%s is not set to a built program (got %r)" % (name, path))
        self.root = tempfile.mkdtemp(prefix="brisca-e2e-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.config = os.path.join(self.root, "config")
        self.runtime = os.path.join(self.root, "run")
        self.home = os.path.join(self.root, "home")
        self.work = os.path.join(self.root, "work")
        for d in (self.config, self.home, self.work):
            os.mkdir(d)
        os.mkdir(self.runtime, 0o700)
        self.tty = os.path.join(self.root, "ttyCAT")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.config, XDG_RUNTIME_DIR=self.runtime,
                        HOME=self.home)
        self.procs = []
        self.addCleanup(self._stop_all)

    def _stop_all(self):
        # A gateway still running ends the way an operator ends it, and must end cleanly: every
        # test thereby also checks the shutdown (and, in sanitizer builds, leaks and races).
        problems = []
        for p in reversed(self.procs):
            if p.args[0] == BRISCA and p.popen.poll() is None:
                p.popen.send_signal(signal.SIGTERM)
                rc = p.wait(timeout=10)
                if rc != 0:
                    problems.append("gateway ended with %r on SIGTERM" % rc)
            p.kill()
            if p.args[0] == BRISCA and re.search(r"Sanitizer|runtime error:", p.err.text()):
                problems.append("sanitizer report")
        if problems:
            self.fail("; ".join(problems) + "\n" + self.dump())

    def _start(self, args, stdin=False, cwd=None):
        p = Proc(args, self.env, cwd or self.work, stdin)
        self.procs.append(p)
        return p

    def dump(self):
        return "\n\n".join(p.report() for p in self.procs)

    # --- the server simulator
    def servsim(self, *args, host="127.0.0.1"):
        """Starts brisca-servsim on host with a free port; returns (proc, port)."""
        p = self._start([SERVSIM, "--listen", host + ":0"] + list(args))
        i = p.out.wait_for(r"^servsim: (listening|refusing) ")
        self.assertIsNotNone(i, "server simulator did not start\n" + p.report())
        port = int(p.out.lines[i].split()[2].rsplit(":", 1)[1])
        return p, port

    # --- the terminal simulator
    def termsim(self, *steps, hold=True, timeout_ms=None):
        """Makes the pty (linked at self.tty) and waits for 'go' before the steps."""
        args = [TERMSIM, "--pty-link", self.tty, "--wait-go"]
        if hold:
            args.append("--hold")
        if timeout_ms:
            args += ["--timeout", str(timeout_ms)]
        p = self._start(args + list(steps), stdin=True)
        self.assertIsNotNone(p.out.wait_for(r"^termsim: ready"),
                             "terminal simulator did not start\n" + p.report())
        return p

    def run_steps(self, term):
        """Lets the terminal simulator run its (remaining) steps; returns when they are done."""
        start = len(term.out.lines)
        term.send_line()
        i = term.out.wait_for(r"^termsim: (\d+ of \d+ expectations met|interrupted|line closed)",
                              timeout=60, start=start)
        self.assertIsNotNone(i, "terminal simulator hung\n" + self.dump())
        return term.out.lines[i]

    def run_until_go(self, term):
        """Lets the terminal simulator run its steps up to its next 'go' step."""
        start = len(term.out.lines)
        term.send_line()
        i = term.out.wait_for(r"^termsim: (ready|\d+ of \d+ expectations met)", timeout=60,
                              start=start)
        self.assertIsNotNone(i, "terminal simulator hung\n" + self.dump())
        self.assertEqual(term.out.lines[i], "termsim: ready", self.dump())
        self.assertNotIn("FAIL", term.out.text(), self.dump())

    def assert_steps_pass(self, term):
        line = self.run_steps(term)
        self.assertRegex(line, r"^termsim: (\d+) of \1 expectations met$", self.dump())
        self.assertNotIn("FAIL", term.out.text(), self.dump())

    # --- the gateway
    def brisca(self, *args, port=True, wait_open=True):
        full = [BRISCA] + (["--port", self.tty] if port else []) + list(args)
        p = self._start(full)
        if wait_open:
            self.assertIsNotNone(p.out.wait_for(r"Open (성공|실패)!"),
                                 "gateway did not open its port\n" + p.report())
        return p

    def stop(self, proc, sig=signal.SIGTERM):
        """Signals the process; returns (exit status, seconds it took to end)."""
        t0 = time.monotonic()
        proc.popen.send_signal(sig)
        rc = proc.wait(timeout=10)
        return rc, time.monotonic() - t0

    def settings_path(self):
        return os.path.join(self.config, "brisca", "settings.ini")
