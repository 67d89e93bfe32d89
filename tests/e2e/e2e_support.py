"""Parts for the fault, recovery and soak tests: a serial line whose terminal end the test
holds itself, a server that never accepts, the gateway's log lines and its process figures."""

import glob
import os
import re
import select
import socket
import time
import tty

from harness import WAIT

STX, ETX, ACK, NAK, DLE, FS = b"\x02", b"\x03", b"\x06", b"\x15", b"\x10", b"\x1c"
BURST_GAP = 0.15  # the gateway ends a burst after 100 ms of line silence


def request_frame(text):
    """STX, text, ETX and two check characters, as the terminal simulator sends a request."""
    body = text + ETX
    lrc = 0
    for b in body:
        lrc ^= b
    return STX + body + b"%02x" % lrc


def connect_frame(kind, host, port):
    return b"%s%s:%d%s" % (kind, host.encode(), port, b"T" if kind == b"T" else b"E")


def sim_escaped(data):
    """Bytes as the simulators take them on their command line (\\xHH escapes)."""
    return "".join("\\x%02x" % b for b in data)


def recorded_requests(path):
    """The requests a server simulator run with --record FILE received: (connection, bytes)."""
    with open(path) as f:
        return [(int(conn), bytes.fromhex(hexed)) for conn, hexed in
                (l.split() for l in f.read().splitlines())]


def luhn_check_digit(digits):
    """The digit that makes digits + it pass the Luhn check (a card number's check digit)."""
    total = 0
    for i, c in enumerate(reversed(digits)):
        d = (c - 0x30) * (2 if i % 2 == 0 else 1)
        total += d - 9 if d > 9 else d
    return b"%d" % (-total % 10)


def packed(digits):
    """Decimal digits (and the nibbles D and F) packed two to a byte, as chip records carry them."""
    return bytes.fromhex(digits.decode())


def process_memory(pid, largest=64 << 20):
    """The bytes of every writable mapping of a running process (heap, stacks, data), read
    through /proc/PID/mem: a program that is not dumpable lets only a privileged reader in.
    Mappings over `largest` bytes are address space reserved, not used (a sanitizer's shadow
    memory and allocator regions): they are left out; the program's heap and its threads' stacks
    (8 MiB each) are far smaller."""
    chunks = []
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if "w" not in fields[1] or end - start > largest:
                continue
            mem.seek(start)
            try:
                chunks.append(mem.read(end - start))
            except OSError:  # a guard page or a mapping gone meanwhile
                pass
    return b"\0".join(chunks)


def process_limit(pid, name):
    """The soft and hard limit of /proc/PID/limits named name ("Max core file size")."""
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith(name):
                return tuple(line[len(name):].split()[:2])
    return None


class PtyLine:
    """A pseudo-terminal pair made by the test, its slave linked at `link` (the gateway's
    --port); the test plays the terminal on the master. It keeps a slave fd of its own open,
    since a master reads EIO once no slave is open. What the gateway writes is gathered while
    the test sends or waits, so the gateway's writes never stall."""

    def __init__(self, link):
        self.link = link
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tmp = link + ".new"
        if os.path.lexists(tmp):
            os.remove(tmp)
        os.symlink(os.ttyname(self.slave), tmp)
        os.rename(tmp, link)
        self.inbox = bytearray()
        self.closed = False

    def _gather(self, timeout):
        """Reads what arrives within timeout; False when nothing did."""
        if not select.select([self.master], [], [], max(timeout, 0))[0]:
            return False
        try:
            chunk = os.read(self.master, 65536)
        except OSError:
            return False
        self.inbox += chunk
        return bool(chunk)

    def send(self, data, gap=BURST_GAP):
        """Writes one burst, then keeps quiet for the gap (reading), so it stays one burst."""
        view = memoryview(data)
        while view:
            if select.select([], [self.master], [], WAIT)[1]:
                view = view[os.write(self.master, view):]
            self._gather(0)
        deadline = time.monotonic() + gap
        while time.monotonic() < deadline:
            self._gather(deadline - time.monotonic())

    def read(self, n, timeout=WAIT):
        """The next n bytes, or fewer when the time is up."""
        deadline = time.monotonic() + timeout
        while len(self.inbox) < n and time.monotonic() < deadline:
            self._gather(deadline - time.monotonic())
        got = bytes(self.inbox[:n])
        del self.inbox[:n]
        return got

    def read_quiet(self, quiet, limit=WAIT):
        """Everything that arrives until the line has been quiet for `quiet` seconds."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and self._gather(quiet):
            pass
        got = bytes(self.inbox)
        self.inbox.clear()
        return got

    def unplug(self):
        """The adapter goes: the link disappears and both ends of the pty close."""
        if self.closed:
            return
        self.closed = True
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.close(self.master)
        os.close(self.slave)


class NeverAccepts:
    """A listener whose accept queue is full: a connect to it is neither completed nor refused
    (the SYN is dropped), which is what a server that hangs looks like."""

    def __init__(self, host="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.bind((host, 0))
        self.sock.listen(0)
        self.port = self.sock.getsockname()[1]
        self.fillers = []
        for _ in range(16):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex((host, self.port))
            self.fillers.append(c)
            if not select.select([], [c], [], 0.5)[1]:
                return  # this one hangs: the queue is full
        raise RuntimeError("the accept queue did not fill")

    def close(self):
        for c in self.fillers:
            c.close()
        self.sock.close()


def log_messages(work):
    """The message of every log line the gateway wrote in its working folder (code page 949
    decoded, prefix "[date][pid] ▷ " and line end removed), oldest first."""
    out = []
    for path in sorted(glob.glob(os.path.join(work, "gate_log", "brisca*.log"))):
        with open(path, "rb") as f:
            for raw in f.read().split(b"\r\n"):
                if raw:
                    line = raw.decode("cp949", "replace")
                    out.append(line.split(" \u25b7 ", 1)[1] if " \u25b7 " in line else line)
    return out


def log_bytes(work):
    """The gateway's log files in its working folder, as written (oldest day first)."""
    out = b""
    for path in sorted(glob.glob(os.path.join(work, "gate_log", "brisca*.log"))):
        with open(path, "rb") as f:
            out += f.read()
    return out


class Figures:
    """What the kernel says about a process: open descriptors, threads, resident memory and
    the CPU time it has used."""

    def __init__(self, pid):
        self.fds = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
        self.threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
        self.rss_kb = int(re.search(r"^VmRSS:\s+(\d+)", status, re.M).group(1))
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.cpu_ticks = int(fields[11]) + int(fields[12])  # utime + stime

    def __repr__(self):
        return "fds %d, threads %d, rss %d kB, cpu %d ticks" % (
            self.fds, self.threads, self.rss_kb, self.cpu_ticks)


def timestamp_of(line):
    """Seconds of the day of a trace line's "[YYYY-MM-DD HH:MM:SS:mmm]" stamp."""
    m = re.match(r"^\[\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d):(\d{3})\]", line)
    h, mi, s, ms = (int(g) for g in m.groups())
    return h * 3600 + mi * 60 + s + ms / 1000.0
