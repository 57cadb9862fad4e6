#!/usr/bin/env python3
"""A busy page saved from the page menu, measured on the real program.

The plotter runs at a terminal (a pty) with its web view, which serves as
the probe of its loop (tools/loop_probe.py); its line is a second pty. The
computer draws random lines, the run ends, and at the page menu "1" saves
the page: the longest a web request waited around the save, and the time
from the key to "1  Ok.". Then a second "1" and SIGTERM at once: the time
to exit, and whether the page's file is whole or not there. With
--waiting, the page is saved by "1" at "Waiting..." instead (after "3",
then Esc, which asks about the page not saved).

    tools/menu_save_figures.py build/plotanix [LINES] [--waiting]   (LINES: 4000)
"""
import glob
import os
import pty
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loop_probe  # noqa: E402
from line_figures import free_port  # noqa: E402


class Terminal:
    """The plotter at a pty; what it shows, gathered by a thread."""

    def __init__(self, binary, line, folder, web):
        self.master, slave = pty.openpty()
        env = dict(os.environ, TERM="xterm", HOME=folder)
        env.pop("DISPLAY", None)
        self.process = subprocess.Popen(
            [binary, "--port", line, "--dir", folder, "--model", "7470a", "--web",
             f"127.0.0.1:{web}"],
            stdin=slave, stdout=slave, stderr=slave, env=env, start_new_session=True)
        os.close(slave)
        self.shown = b""
        threading.Thread(target=self._gather, daemon=True).start()

    def _gather(self):
        while True:
            try:
                self.shown += os.read(self.master, 65536)
            except OSError:
                return

    def wait_for(self, text, count=1, seconds=60):
        end = time.monotonic() + seconds
        while self.shown.count(text) < count:
            if time.monotonic() > end:
                raise RuntimeError(f"no {text!r} on the screen: {self.shown[-400:]!r}")
            time.sleep(0.01)
        return time.monotonic()

    def key(self, text):
        os.write(self.master, text)


def main():
    waiting = "--waiting" in sys.argv
    args = [a for a in sys.argv[1:] if a != "--waiting"]
    binary, lines = args[0], int(args[1]) if len(args) > 1 else 4000
    folder = tempfile.mkdtemp(prefix="menu-save-")
    line, slave = pty.openpty()
    web = free_port()
    term = Terminal(binary, os.ttyname(slave), folder, web)
    term.wait_for(b"Your choice")
    term.key(b"1")
    term.wait_for(b"Waiting...")
    rnd = random.Random(1)
    plot = "IN;SP1;" + "".join(
        f"PU{rnd.randint(0, 10000)},{rnd.randint(0, 7000)};"
        f"PD{rnd.randint(0, 10000)},{rnd.randint(0, 7000)};" for _ in range(lines))
    os.write(line, plot.encode())
    term.wait_for(b"Command : ", seconds=120)
    where = "the page menu"
    if waiting:
        where = "\"Waiting...\" after Esc"
        shown = term.shown.count(b"Waiting...")
        term.key(b"3")
        term.wait_for(b"Waiting...", count=shown + 1)
        term.key(b"\x1b")
        term.wait_for(b"Esc again to leave it")
    with loop_probe.Probe(port=web, timeout=30) as probe:
        time.sleep(0.5)
        pressed = time.monotonic()
        term.key(b"1")
        ok = term.wait_for(b"1  Ok.")
        time.sleep(0.5)
    print(f"save from {where}: \"1  Ok.\" {ok - pressed:.2f} s after the key; "
          f"longest web wait {probe.result.longest:.3f} s ({probe.result.requests} requests)")
    if waiting:
        term.process.send_signal(signal.SIGTERM)
        term.process.wait(timeout=60)
        return
    term.key(b"1")
    time.sleep(0.05)
    start = time.monotonic()
    term.process.send_signal(signal.SIGTERM)
    term.process.wait(timeout=60)
    pages = sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, "*")))
    print(f"SIGTERM 50 ms into a second save: exit after {time.monotonic() - start:.2f} s; "
          f"the folder holds {pages}")


if __name__ == "__main__":
    main()
