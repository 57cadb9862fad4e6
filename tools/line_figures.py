#!/usr/bin/env python3
"""The line's figures, measured on the real program over loopback and ptys.

For each case the plotter runs unattended with its web view, which serves as
the probe of its loop (tools/loop_probe.py): the longest a request waited is
the longest the loop did nothing else. Then SIGTERM, and the time to exit.

    tools/line_figures.py build/plotanix [CASE ...]

Cases: flood (a telnet host asking for an option without end), row (300
hosts in a row, each a six-byte plot), half (3 hosts that half-close after
a query, listening and connecting), hanging (a connection whose listen
queue is full), silent (an adapter that never answers), reconnecting (a
silent adapter pulled out and plugged in again), busy (a host that sends
56 KB of wide HP-GL/2 circles at once, so the line holds bytes to plot).
Loopback only; every wait bounded.
"""
import os
import pty
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loop_probe  # noqa: E402

IAC, DO, WILL = 255, 253, 251


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_web(port):
    """Waits up to 10 s for the web view to take connections on the port."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the web view did not come up")


class Plotter:
    def __init__(self, binary, port, extra=()):
        self.dir = tempfile.mkdtemp(prefix="line-figures-")
        self.web = free_port()
        self.process = subprocess.Popen(
            [binary, "--unattended", "--port", port, "--dir", self.dir, "--web",
             f"127.0.0.1:{self.web}", *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wait_for_web(self.web)

    def end(self):
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return float("inf")
        return time.monotonic() - start

    def transcript(self):
        try:
            with open(os.path.join(self.dir, "PLOTTER.TXT"), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def journal(self):
        return self.process.stderr.read() if self.process.poll() is not None else ""


def probed(binary, port, scenario, extra=()):
    """(longest wait in s, SIGTERM to exit in s, plotter) around the scenario."""
    plotter = Plotter(binary, port, extra)
    with loop_probe.Probe(port=plotter.web, timeout=30) as probe:
        scenario(plotter)
    return probe.result.longest, plotter.end(), plotter


def listen_port(plotter_port):
    return int(plotter_port.rsplit(":", 1)[1])


def flood(binary):
    port = free_port()
    data = b"IN;PA0,0;PD100,100;"
    done = threading.Event()

    def host(_):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(data)
        requests = bytes([IAC, DO, 99]) * 20000
        end = time.monotonic() + 6
        s.settimeout(0.5)
        try:
            while time.monotonic() < end:
                s.sendall(requests)
        except OSError:
            pass
        done.set()
        return s

    held = []
    longest, ending, plotter = probed(
        binary, f"telnet-listen:{port}", lambda p: held.append(host(p)))
    kept = data in plotter.transcript()
    print(f"flood: longest wait {longest:.3f} s, SIGTERM to exit {ending:.2f} s, "
          f"first data kept: {kept}")


def row(binary):
    port = free_port()
    plots = [b"P%04d;" % i for i in range(300)]

    def hosts(_):
        time.sleep(0.3)
        for plot in plots:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(plot)
        time.sleep(3)

    longest, ending, plotter = probed(binary, f"tcp-listen:{port}", hosts)
    text = plotter.transcript()
    missing = sum(1 for plot in plots if plot not in text)
    print(f"row: {missing} of 300 plots missing, longest wait {longest:.3f} s, "
          f"SIGTERM to exit {ending:.2f} s")


def ask_half_closed(s):
    s.sendall(b"IN;OI;")
    s.shutdown(socket.SHUT_WR)
    s.settimeout(5)
    got = b""
    try:
        while chunk := s.recv(100):
            got += chunk
    except OSError:
        pass
    return got.startswith(b"7470A")


def half(binary):
    for mode in ("tcp-listen", "tcp"):
        answered = 0
        if mode == "tcp-listen":
            port = free_port()
            plotter = Plotter(binary, f"tcp-listen:{port}", ["--model", "7470a"])
            time.sleep(0.3)
            for _ in range(3):
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    answered += ask_half_closed(s)
        else:
            server = socket.socket()
            server.bind(("127.0.0.1", 0))
            server.listen(4)
            server.settimeout(15)
            plotter = Plotter(binary, f"tcp:127.0.0.1:{server.getsockname()[1]}",
                              ["--model", "7470a"])
            for _ in range(3):
                try:
                    s, _ = server.accept()
                except OSError:
                    break
                with s:
                    answered += ask_half_closed(s)
        ending = plotter.end()
        print(f"half ({mode}): {answered} of 3 answered, SIGTERM to exit {ending:.2f} s")


def hanging(binary):
    full = socket.socket()
    full.bind(("127.0.0.1", 0))
    full.listen(0)
    queued = []
    for _ in range(8):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(full.getsockname())
        queued.append(s)
    longest, ending, _ = probed(binary, f"tcp:127.0.0.1:{full.getsockname()[1]}",
                                lambda p: time.sleep(10))
    print(f"hanging: longest wait {longest:.3f} s, SIGTERM to exit {ending:.2f} s")


class SilentPort:
    """A pty behind a fixed name that answers nothing; pulled out and back."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="line-figures-pty-")
        self.path = os.path.join(self.dir, "adapter")
        self.plug_in()

    def plug_in(self):
        self.master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), self.path)
        os.close(slave)

    def pull_out(self):
        os.unlink(self.path)
        os.close(self.master)

    def drain(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                os.set_blocking(self.master, False)
                os.read(self.master, 4096)
            except OSError:
                time.sleep(0.05)


def silent(binary):
    port = SilentPort()
    longest, ending, _ = probed(binary, port.path, lambda p: port.drain(10), ["--gpib", "5"])
    print(f"silent adapter: longest wait {longest:.3f} s, SIGTERM to exit {ending:.2f} s")


def reconnecting(binary):
    port = SilentPort()

    def cycles(_):
        for _ in range(3):
            port.drain(1.5)
            port.pull_out()
            time.sleep(1.5)
            port.plug_in()
        port.drain(3)

    longest, ending, _ = probed(binary, port.path, cycles, ["--gpib", "5"])
    print(f"reconnecting adapter: longest wait {longest:.3f} s, SIGTERM to exit {ending:.2f} s")


def busy(binary):
    # Wide circles: each a little work, 56 KB of them read ahead at once.
    plot = "IN;SP1;PW2;PA5000,3500;" + "CI2000;" * 8000 + "OI;"
    port = free_port()
    answered = []

    def send(_):
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            start = time.monotonic()
            s.sendall(plot.encode())
            got = b""
            while b"\r" not in got:
                got += s.recv(100) or b"\r"
            answered.append(time.monotonic() - start)

    longest, ending, _ = probed(binary, f"tcp-listen:127.0.0.1:{port}", send,
                                ["--model", "hpgl2"])
    print(f"busy ({len(plot)} bytes at once): answered after {answered[0]:.2f} s, "
          f"longest wait {longest:.3f} s, SIGTERM to exit {ending:.2f} s")


CASES = {"flood": flood, "row": row, "half": half, "hanging": hanging, "silent": silent,
         "reconnecting": reconnecting, "busy": busy}

if __name__ == "__main__":
    binary = sys.argv[1]
    for name in sys.argv[2:] or CASES:
        CASES[name](binary)
