#!/usr/bin/env python3
"""What outside the program might hold it, each beside a control run.

    tools/holds_figures.py BUILD [CASE ...]      # BUILD: the release build

Each case runs BUILD/plotanix unattended (HP-GL/2, --web on loopback) with
the case's trouble going on, and the same without it (the control). While
it lasts, the computer sends a little plot and "OI;" twice a second and
times each answer, and a browser asks the web view for its style sheet as
soon as the last answer is whole (tools/loop_probe.py: the longest wait is
the longest the loop did nothing else). Figures per run: the web view's
longest wait and p99 (wall), the main thread's CPU time over the case, the
slowest "OI;" answer, SIGTERM to exit, and whether the transcript holds
every byte the computer sent.

Cases:
  print     a print server that hangs: a private cupsd frozen with SIGSTOP
            (a saved page is printed to it)
  journal   the journal's reader stalled: standard output a full pipe
  widepen   wide-pen outlines sent at once (tools/hatch_figures.py's edges:
            a 10 mm pen round a 12,500-point zigzag, 1,600 times)
  overlays  16 browsers asking for overlays of saved pages without end
  squatter  a host on tcp-listen that connects and says nothing; the
            computer comes after it
  events    16 browsers holding the live /events channel
  telnet    the computer a telnet host flooding option requests between
            its plots (it reads only to find its answers)
  render    plotanix-render on the costliest 100 KB inputs (hatches at a
            new angle each time, solid fills in a new shade each time, as
            tools/hatch_figures.py makes them; outlines with a 10 mm pen)
            at --scale 1 and --scale 4: CPU, peak memory (no control: the
            inputs are the figure)

Loopback and ptys only; everything it starts ends with it; every wait is
bounded. A script, not a test.
"""
import os
import pty
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hatch_figures  # noqa: E402
import line_figures  # noqa: E402
import loop_probe  # noqa: E402

IAC, DO = 255, 253
SECONDS = 4.0  # how long each case's trouble lasts while it is measured


def main_thread_cpu(pid):
    with open(f"/proc/{pid}/task/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------- the computer

class PtyComputer:
    """The computer on a pseudo-terminal line."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.name = os.ttyname(self.slave)
        self.sent = b""

    def connect(self):
        pass

    def send(self, data):
        self.sent += data
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view):]

    def answer(self, timeout):
        """Seconds until the reply's CR, or None."""
        start = time.monotonic()
        got = b""
        os.set_blocking(self.master, False)
        while b"\r" not in got and time.monotonic() - start < timeout:
            try:
                got += os.read(self.master, 4096)
            except BlockingIOError:
                time.sleep(0.001)
        os.set_blocking(self.master, True)
        return time.monotonic() - start if b"\r" in got else None

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class NetComputer:
    """The computer as a host on a tcp-listen or telnet-listen line; flood:
    telnet option requests sent between its plots, the answers left unread
    until it looks for its own."""

    def __init__(self, scheme, flood=False):
        self.port = line_figures.free_port()
        self.name = f"{scheme}:127.0.0.1:{self.port}"
        self.flood = flood
        self.sock = None
        self.sent = b""

    def connect(self):
        deadline = time.monotonic() + 10
        while self.sock is None and time.monotonic() < deadline:
            try:
                self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
            except OSError:
                time.sleep(0.05)

    def send(self, data):
        if self.sock is None:
            return
        if self.flood:
            self.sock.settimeout(0.2)
            try:
                self.sock.sendall(bytes([IAC, DO, 99]) * 20000)
            except OSError:
                pass
            self.sock.settimeout(10)
        self.sent += data
        self.sock.sendall(data)

    def answer(self, timeout):
        if self.sock is None:
            return None
        start = time.monotonic()
        got = b""
        self.sock.settimeout(0.2)
        while b"\r" not in got and time.monotonic() - start < timeout:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            got = (got + chunk)[-64:]  # telnet's own answers hold no CR
        return time.monotonic() - start if b"\r" in got else None

    def close(self):
        if self.sock is not None:
            self.sock.close()


def ask_on(computer, stop, answers, stream=b""):
    """The computer's side: the stream at once, then a plot and "OI;" twice a second."""
    computer.connect()
    computer.send(stream)
    step = 0
    while not stop.is_set():
        step += 1
        computer.send(b"PA%d,100;PD%d,400;PU;OI;" % (step * 37 % 900, step * 37 % 900 + 50))
        answers.append(computer.answer(10))
        stop.wait(0.5)


# ---------------------------------------------------------------- the troubles

class Trouble:
    """Nothing: the control run. Cases override what they change."""
    line = "pty"
    args = ()

    def prepare(self, folder, env):
        pass

    def start(self, plotter):
        pass

    def stop(self):
        pass

    def stdout(self):
        return subprocess.DEVNULL


class HungPrintServer(Trouble):
    args = ("--print", "holds-queue", "--page-gap", "0.3")

    def prepare(self, folder, env):
        self.root = tempfile.mkdtemp(prefix="holds-cups-")
        self.cupsd = start_cupsd(self.root)
        env["CUPS_SERVER"] = os.path.join(self.root, "cupsd.sock")

    def start(self, plotter):
        # Frozen once it has the queue: connections wait in its backlog.
        if self.cupsd is not None:
            self.cupsd.send_signal(signal.SIGSTOP)

    def stop(self):
        if self.cupsd is not None:
            self.cupsd.send_signal(signal.SIGCONT)
            self.cupsd.terminate()
            self.cupsd.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class StalledJournal(Trouble):
    args = ("--page-gap", "0.3")  # a page, and its line, every pause

    def stdout(self):
        self.read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"x" * 65536)
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        return write_end

    def stop(self):
        os.close(self.read_end)


class WidePen(Trouble):
    stream = hatch_figures.edges().encode()


class Overlays(Trouble):
    args = ("--page-gap", "1000")

    def prepare(self, folder, env):
        for number in range(1, 11):
            write_png(os.path.join(folder, f"PLOTTER_{number:05d}.PNG"), 1600, 1200, number)

    def start(self, plotter):
        self.stop_event = threading.Event()
        self.threads = [threading.Thread(target=self.browse, args=(plotter.web, i), daemon=True)
                        for i in range(16)]
        for thread in self.threads:
            thread.start()

    def browse(self, port, browser):
        pairs = [(a, b) for a in range(1, 11) for b in range(a + 1, 11)]
        turn = browser
        while not self.stop_event.is_set():
            a, b = pairs[turn % len(pairs)]
            turn += 16
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                    s.sendall(b"GET /overlay.png?a=PLOTTER_%05d.PNG&b=PLOTTER_%05d.PNG HTTP/1.1\r\n"
                              b"Host: 127.0.0.1\r\nConnection: close\r\n\r\n" % (a, b))
                    while s.recv(65536):
                        pass
            except OSError:
                time.sleep(0.05)

    def stop(self):
        self.stop_event.set()
        for thread in self.threads:
            thread.join(15)


class Squatter(Trouble):
    line = "tcp-listen"
    args = ("--give-way", "2")

    def start(self, plotter):
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        time.sleep(0.2)  # it is the first

    def stop(self):
        self.sock.close()


class LiveChannels(Trouble):
    def start(self, plotter):
        self.socks = []
        for _ in range(16):
            s = socket.create_connection(("127.0.0.1", plotter.web), timeout=10)
            s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
            s.setblocking(False)
            self.socks.append(s)
        self.stop_event = threading.Event()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        while not self.stop_event.wait(0.05):
            for s in self.socks:
                try:
                    s.recv(65536)
                except OSError:
                    pass

    def stop(self):
        self.stop_event.set()
        self.reader.join(5)
        for s in self.socks:
            s.close()


class TelnetFlood(Trouble):
    line = "telnet-flood"


CASES = {"print": HungPrintServer, "journal": StalledJournal, "widepen": WidePen,
         "overlays": Overlays, "squatter": Squatter, "events": LiveChannels,
         "telnet": TelnetFlood}


def write_png(path, width, height, seed):
    """A page of stripes that differ from page to page."""
    rows = b"".join(b"\0" + bytes(((x * seed + y) % 256) for x in range(width * 3))
                    for y in range(0, height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2,
                                                                  0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows, 1)) + chunk(b"IEND", b""))


# The capture backend of the tests' private scheduler: a job is kept whole.
BACKEND = """#!/bin/sh
if [ $# -eq 0 ]; then echo 'file capture "Unknown" "A figures queue"'; exit 0; fi
out=${DEVICE_URI#capture:}
if [ $# -ge 6 ]; then cat "$6" > "$out/job-$1.pdf"; else cat > "$out/job-$1.pdf"; fi
"""


def start_cupsd(root):
    """A private scheduler with the queue holds-queue, or None without one."""
    cupsd = shutil.which("cupsd") or "/usr/sbin/cupsd"
    lpadmin = shutil.which("lpadmin") or "/usr/sbin/lpadmin"
    if not os.path.exists(cupsd):
        return None
    for folder in ("bin/backend", "spool", "cache", "state", "tmp", "log", "jobs"):
        os.makedirs(os.path.join(root, folder))
    for part in ("filter", "daemon", "cgi-bin", "notifier", "monitor", "driver"):
        os.symlink(os.path.join("/usr/lib/cups", part), os.path.join(root, "bin", part))
    backend = os.path.join(root, "bin/backend/capture")
    with open(backend, "w") as f:
        f.write(BACKEND)
    user = "SystemGroup root\n"
    if os.geteuid() == 0:
        import grp
        lp = grp.getgrnam("lp").gr_gid
        user = "User lp\nGroup lp\nSystemGroup root\n"
        for place, dirs, files in os.walk(root):
            for name in dirs + files:
                path = os.path.join(place, name)
                if not os.path.islink(path):
                    os.chown(path, 0, lp)
                    os.chmod(path, 0o775 if os.path.isdir(path) else 0o664)
        os.chmod(os.path.join(root, "jobs"), 0o777)
    else:
        import grp
        user = f"SystemGroup {grp.getgrgid(os.getegid()).gr_name}\n"
    os.chmod(root, 0o755)
    os.chmod(backend, 0o700)
    sock = os.path.join(root, "cupsd.sock")
    with open(os.path.join(root, "cupsd.conf"), "w") as f:
        f.write(f"Listen {sock}\nLogLevel info\nDefaultPolicy default\n<Location />\nAllow all\n"
                "</Location>\n<Location /admin>\nAllow all\n</Location>\n<Policy default>\n"
                "<Limit All>\nAllow all\n</Limit>\n</Policy>\n")
    with open(os.path.join(root, "cups-files.conf"), "w") as f:
        f.write(user + "".join(f"{key} {root}{place}\n" for key, place in (
            ("ServerRoot", ""), ("ServerBin", "/bin"), ("RequestRoot", "/spool"),
            ("CacheDir", "/cache"), ("StateDir", "/state"), ("TempDir", "/tmp"),
            ("AccessLog", "/log/access_log"), ("ErrorLog", "/log/error_log"),
            ("PageLog", "/log/page_log"))))
    log = open(os.path.join(root, "log/cupsd.out"), "w")
    process = subprocess.Popen([cupsd, "-f", "-c", os.path.join(root, "cupsd.conf"), "-s",
                                os.path.join(root, "cups-files.conf")],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(sock)
            break
        except OSError:
            time.sleep(0.05)
    env = dict(os.environ, CUPS_SERVER=sock)
    subprocess.run([lpadmin, "-p", "holds-queue", "-E", "-v", "capture:" + root + "/jobs", "-m",
                    "raw"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=30)
    return process


# ---------------------------------------------------------------- one run

class Plotter(line_figures.Plotter):
    """line_figures' plotter, with its standard output and environment given."""

    def __init__(self, binary, port, extra, stdout, env, folder):
        self.dir = folder
        self.web = line_figures.free_port()
        self.process = subprocess.Popen(
            [binary, "--unattended", "--model", "hpgl2", "--port", port, "--dir", self.dir,
             "--web", f"127.0.0.1:{self.web}", *extra],
            stdout=stdout, stderr=subprocess.DEVNULL, env=env)
        line_figures.wait_for_web(self.web)


def run(binary, trouble, control):
    folder = tempfile.mkdtemp(prefix="holds-figures-")
    env = dict(os.environ)
    if not control:
        trouble.prepare(folder, env)
    line = trouble.line
    if line == "pty":
        computer = PtyComputer()
    else:
        computer = NetComputer("telnet-listen" if line == "telnet-flood" else "tcp-listen",
                               flood=line == "telnet-flood" and not control)
    trouble.port = getattr(computer, "port", None)
    stdout = subprocess.DEVNULL if control else trouble.stdout()
    extra = trouble.args if not control or isinstance(trouble, Squatter) else ()
    plotter = Plotter(binary, computer.name, extra, stdout, env, folder)
    if stdout not in (subprocess.DEVNULL, None):
        os.close(stdout)
    stream = getattr(trouble, "stream", b"") if not control else b""
    answers = []
    stop = threading.Event()
    try:
        if not control:
            trouble.start(plotter)
        cpu = main_thread_cpu(plotter.process.pid)
        with loop_probe.Probe(port=plotter.web, timeout=30) as probe:
            asker = threading.Thread(target=ask_on, args=(computer, stop, answers, stream))
            asker.start()
            time.sleep(SECONDS)
            stop.set()
            asker.join(60)
        cpu = main_thread_cpu(plotter.process.pid) - cpu
        ending = plotter.end()
        whole = computer.sent in plotter.transcript()
    finally:
        if not control:
            trouble.stop()
        computer.close()
        shutil.rmtree(folder, ignore_errors=True)
    timed = [a for a in answers if a is not None]
    oi = (f"{max(timed) * 1000:.0f} ms" if timed else "none") + \
        (f" ({len(answers) - len(timed)} of {len(answers)} unanswered)"
         if len(timed) < len(answers) else "")
    result = probe.result
    return (f"web longest {result.longest * 1000:.0f} ms, p99 {result.p99 * 1000:.1f} ms; "
            f"main thread CPU {cpu:.2f} s; slowest OI {oi}; SIGTERM to exit {ending:.2f} s; "
            f"transcript whole: {whole}")


def render(build):
    """The costliest 100 KB inputs, at --scale 1 and 4: CPU and peak memory."""
    work = tempfile.mkdtemp(prefix="holds-render-")
    outlines = hatch_figures.zigzag(5000).replace("SP1;", "SP1;PW10;", 1)
    outlines += "EP;SP2;EP;SP1;" * ((100_000 - len(outlines)) // 14)
    inputs = {"angles": hatch_figures.angles(), "shades": hatch_figures.shades(),
              "widepen": outlines}
    try:
        for name, data in inputs.items():
            path = os.path.join(work, name + ".plt")
            with open(path, "w") as f:
                f.write(data)
            for scale in ("1", "4"):
                start = time.monotonic()
                process = subprocess.Popen(
                    [os.path.join(build, "plotanix-render"), "-q", "--model", "hpgl2", "--scale",
                     scale, "-o", path + ".png", path], stdout=subprocess.DEVNULL)
                try:
                    _, status, usage = os.wait4(process.pid, 0)
                    status = os.waitstatus_to_exitcode(status)
                except ChildProcessError:
                    status, usage = -1, None
                wall = time.monotonic() - start
                cpu = usage.ru_utime + usage.ru_stime if usage else float("nan")
                peak = usage.ru_maxrss / 1024 if usage else float("nan")
                print(f"render {name} ({len(data)} bytes) --scale {scale}: CPU {cpu:.2f} s, "
                      f"wall {wall:.2f} s, peak memory {peak:.0f} MB, exit status {status}",
                      flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build, names = sys.argv[1], sys.argv[2:] or [*CASES, "render"]
    binary = os.path.join(build, "plotanix")
    for name in names:
        if name == "render":
            render(build)
            continue
        trouble = CASES[name]()
        print(f"{name}, control: {run(binary, trouble, True)}", flush=True)
        print(f"{name}: {run(binary, CASES[name](), False)}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
