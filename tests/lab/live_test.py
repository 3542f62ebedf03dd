#!/usr/bin/python3
"""The lab's real-clock commands driven by real clients: `live_test.py MIRAVO pty` runs serial
programs (pyserial, termios) through `miravo pty`; `live_test.py MIRAVO term` types into
`miravo term` in tmux. Exit 77: a tool the test needs is missing (CTest counts it skipped)."""

import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time

try:
    import serial
except ImportError:
    serial = None

SKIP = 77
DEADLINE = 20  # s for any one step; the whole run is bounded by CTest's TIMEOUT as well


def pattern(n, seed):
    x, out = seed, bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


class Lab:
    """A miravo process whose stdout lines are collected as they come."""

    def __init__(self, miravo, *args):
        self.proc = subprocess.Popen([miravo, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def expect(self, regex):
        end = time.monotonic() + DEADLINE
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"miravo never printed /{regex}/")
            m = re.search(regex, line)
            if m:
                return m

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            rc = self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("miravo did not end on SIGTERM")
        err = self.proc.stderr.read()
        assert rc == 0 and not err, f"miravo ended with {rc}: {err}"


def exchange(near, far, data):
    """Writes data into one serial port and reads it back from the other, byte-exact."""
    near.reset_input_buffer()
    far.write(data)
    back = near.read(len(data))
    assert back == data, f"{len(back)} of {len(data)} bytes back, {'in order' if data.startswith(back) else 'different'}"


def test_pty(miravo):
    if serial is None:
        print("skipped: python3-serial is missing")
        return SKIP
    workdir = tempfile.mkdtemp(prefix="miravo-pty-")
    try:
        # A link that cannot be made: one line on stderr, exit 1, nothing left behind.
        bad = subprocess.run([miravo, "pty", "--link", os.path.join(workdir, "no", "such")],
                             capture_output=True, text=True, timeout=DEADLINE)
        assert bad.returncode == 1 and bad.stderr.count("\n") == 1 and "cannot link" in bad.stderr, bad

        link = os.path.join(workdir, "com3")
        lab = Lab(miravo, "pty", "--link", link)
        try:
            lab.expect(r"^pty: /dev/pts/\d+ linked at ")
            port = serial.Serial(link, 115200, timeout=5)
            lab.expect(r"COM3: 115200 baud 8N1, DTR on.*chip: 115200 baud 8N1; terminal open")
            exchange(port, port, pattern(8192, 1))

            # Settings as the program changes them, each through to the chip; then data at them.
            port.baudrate = 9600
            port.stopbits = serial.STOPBITS_TWO
            port.rtscts = True
            lab.expect(r"COM3: 9600 baud 8N2, RTS/CTS, DTR on, RTS handshake.*chip: 9600 baud 8N2")
            exchange(port, port, pattern(300, 2))
            try:
                port.bytesize, port.parity = serial.SEVENBITS, serial.PARITY_EVEN
                lab.expect(r"COM3: 9600 baud 7E2.*chip: 9600 baud 7E2")
                exchange(port, port, bytes(b & 0x7F for b in pattern(100, 3)))
            except termios.error:
                print("note: this kernel's pseudo-terminals refuse a character size or parity; not checked")
                port.close()
                port = serial.Serial(link, 9600, stopbits=2, rtscts=True, timeout=5)

            # VMIN/VTIME as COM3's read time-outs.
            attrs = termios.tcgetattr(port.fd)
            attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 0, 5
            termios.tcsetattr(port.fd, termios.TCSANOW, attrs)
            lab.expect(r"read time-outs MAXDWORD/MAXDWORD/500 ms")

            # Closing drops DTR (HUPCL) but keeps the port: the next program finds its settings.
            port.close()
            lab.expect(r"DTR off.*terminal closed")
            port = serial.Serial(link, 9600, stopbits=2, rtscts=True, timeout=5)
            lab.expect(r"COM3: 9600 baud 8N2, RTS/CTS, DTR on.*terminal open")
            exchange(port, port, pattern(200, 4))
            port.close()
        finally:
            lab.stop()
        assert not os.path.lexists(link), "the link outlived the bridge"

        # A device that frames every character again, at the port's settings as they change.
        lab = Lab(miravo, "pty", "--far", "echo")
        try:
            port = serial.Serial(lab.expect(r"^pty: (/dev/pts/\d+)").group(1), 115200, timeout=5)
            for rate, stop in ((115200, 1), (9600, 2)):
                port.baudrate, port.stopbits = rate, stop
                lab.expect(rf"COM3: {rate} baud 8N{stop}")
                exchange(port, port, pattern(500, rate))
            port.close()
        finally:
            lab.stop()

        # Both ends Linux programs: one talks through COM3, the chip and its line to the other.
        lab = Lab(miravo, "pty", "--far", "pty")
        try:
            farpath = lab.expect(r"far end: pty (/dev/pts/\d+)").group(1)
            nearpath = lab.expect(r"^pty: (/dev/pts/\d+)").group(1)
            far = serial.Serial(farpath, timeout=5)
            near = serial.Serial(nearpath, 115200, timeout=5)
            for rate in (115200, 19200):  # the far device follows the port's rate
                near.baudrate = rate
                lab.expect(rf"COM3: {rate} baud 8N1")
                exchange(far, near, pattern(1000, rate))
                exchange(near, far, pattern(1000, rate + 1))
            near.close()
            far.close()
        finally:
            lab.stop()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def test_term(miravo):
    if not shutil.which("tmux"):
        print("skipped: tmux is missing")
        return SKIP
    socket = f"miravo-term-{os.getpid()}"
    tmux = ["tmux", "-L", socket, "-f", "/dev/null"]
    done = tempfile.NamedTemporaryFile(prefix="miravo-term-", delete=False)
    done.close()

    def pane():
        return subprocess.run(tmux + ["capture-pane", "-p", "-t", "t"], capture_output=True, text=True).stdout

    def wait(regex):
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            text = pane()
            if re.search(regex, text, re.M):
                return text
            time.sleep(0.05)
        raise AssertionError(f"the pane never showed /{regex}/:\n{pane()}")

    def keys(*k):
        subprocess.run(tmux + ["send-keys", "-t", "t", *k], check=True)

    try:
        subprocess.run(tmux + ["new-session", "-d", "-s", "t", "-x", "150", "-y", "12",
                               f"{miravo} term; echo $? > {done.name}; sleep 60"], check=True)
        wait(r"COM3 115200 baud 8N1 \| DTR on  RTS on  \| CTS on  DSR on  DCD on ")
        keys("-l", "hello miravo")  # no local echo: the text on screen came back through the plug
        wait(r"^hello miravo$")
        wait(r"tx 12 rx 12")
        keys("C-]", "d")
        wait(r"DTR off RTS on  \| CTS on  DSR off DCD off")
        keys("C-]", "u")  # a new rate leaves DTR as the user set it
        wait(r"COM3 230400 baud 8N1 \| DTR off RTS on ")
        keys("-l", "again")
        wait(r"tx 17 rx 17")
        keys("C-]", "q")
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end and not open(done.name).read().strip():
            time.sleep(0.05)
        rc = open(done.name).read().strip()
        assert rc == "0", f"miravo term ended with '{rc}':\n{pane()}"
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)
        os.unlink(done.name)
    return 0


if __name__ == "__main__":
    miravo, which = sys.argv[1], sys.argv[2]
    sys.exit({"pty": test_pty, "term": test_term}[which](miravo))
