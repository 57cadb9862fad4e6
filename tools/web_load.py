#!/usr/bin/env python3
"""The web view under load, with the loop's longest wait (tools/loop_probe.py).

    tools/web_load.py BINARY folder [--pages 99999] [--browsers 15] [--seconds 20]
        A folder of that many saved pages (hard links to a few small PNGs)
        and browsers loading the front page again as soon as it is answered,
        while the computer asks "OI;" every half second over a
        pseudo-terminal: the loop's longest wait and the slowest answer to
        "OI;", each beside the same without browsers.
    tools/web_load.py BINARY slow [--slow 16]
        Clients from 127.0.0.1 that send a request's header a byte at a time,
        one every 2 s, then a browser from 127.0.0.1 and one from 127.0.0.2:
        how long each waits for the front page (asking again, as a browser
        would, when its connection is closed unanswered).

The plotter runs unattended with --web on a free loopback port; everything
it starts ends with it. Loopback only.
"""
import argparse
import os
import pty
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loop_probe  # noqa: E402

# The smallest whole PNG: one white pixel.
PNG = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de"
    "0000000c4944415408d763f8ffff3f0005fe02fea7d6a4c50000000049454e44ae426082")


class Plotter:
    def __init__(self, binary, folder):
        self.master, slave = pty.openpty()
        self.process = subprocess.Popen(
            [binary, "--unattended", os.ttyname(slave), "--dir", folder, "--web", "0",
             "--page-gap", "60"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)
        os.close(slave)
        deadline = time.monotonic() + 60
        self.port = None
        while self.port is None and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            found = re.search(r"web view: http://127\.0\.0\.1:(\d+)/", line)
            if found:
                self.port = int(found.group(1))
        if self.port is None:
            self.stop()
            raise RuntimeError("the plotter did not say where its web view is")
        # The journal is read on, so that the plotter never waits on it.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def answer_time(self, query=b"OI;", timeout=30.0):
        """Seconds from the query written to its answer's CR."""
        asked = time.monotonic()
        os.write(self.master, query)
        got = b""
        while b"\r" not in got:
            left = asked + timeout - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                return timeout
            got += os.read(self.master, 256)
        return time.monotonic() - asked

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.master)


def get(port, path="/", source="127.0.0.1", timeout=30.0):
    """One GET on a fresh connection: the status (0: closed unanswered)."""
    with socket.create_connection(("127.0.0.1", port), timeout, (source, 0)) as sock:
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
                     .encode())
        got = b""
        while chunk := sock.recv(65536):
            got += chunk
    return int(got.split()[1]) if got.startswith(b"HTTP/") else 0


def make_folder(folder, pages):
    # ext4 allows 65,000 links to a file: a source file per 50,000 pages.
    for n in range(1, pages + 1):
        source = os.path.join(folder, f"source{n // 50000}")
        if not os.path.exists(source):
            with open(source, "wb") as out:
                out.write(PNG)
        os.link(source, os.path.join(folder, f"PLOTTER_{n:05d}.PNG"))
    for n in range(pages // 50000 + 1):
        os.unlink(os.path.join(folder, f"source{n}"))


def asking(plotter, seconds):
    """The slowest of the answers to OI; asked every half second."""
    slowest, end = 0.0, time.monotonic() + seconds
    while time.monotonic() < end:
        slowest = max(slowest, plotter.answer_time())
        time.sleep(0.5)
    return slowest


def folder_case(options):
    folder = tempfile.mkdtemp(prefix="plotanix-web-load-")
    try:
        make_folder(folder, options.pages)
        plotter = Plotter(options.binary, folder)
        try:
            # From the start, while the folder is read.
            start = loop_probe.measure(port=plotter.port, seconds=3)
            print(f"{options.pages} pages, the first 3 s: loop: {start.summary()}")
            plotter.answer_time()  # the first plot's start
            for browsers in (0, options.browsers):
                stop = threading.Event()
                counts, refused = [0] * browsers, [0] * browsers

                def browse(i):
                    while not stop.is_set():
                        try:
                            answered = get(plotter.port) == 200
                        except OSError:
                            answered = False
                        counts[i] += answered
                        refused[i] += not answered

                threads = [threading.Thread(target=browse, args=(i,)) for i in range(browsers)]
                for thread in threads:
                    thread.start()
                with loop_probe.Probe(port=plotter.port) as probe:
                    slowest = asking(plotter, options.seconds)
                stop.set()
                for thread in threads:
                    thread.join()
                print(f"{options.pages} pages, {browsers} browsers ({sum(counts)} front pages "
                      f"in {options.seconds:.0f} s, {sum(refused)} refused): slowest OI; answer "
                      f"{slowest * 1000:.0f} ms; "
                      f"loop: {probe.result.summary()}")
            # Every page at once, while the probe asks.
            with loop_probe.Probe(port=plotter.port) as probe:
                began = time.monotonic()
                size = archive_size(plotter.port)
                took = time.monotonic() - began
            print(f"{options.pages} pages, all in one archive ({size} bytes in {took:.1f} s): "
                  f"loop: {probe.result.summary()}")
        finally:
            plotter.stop()
    finally:
        shutil.rmtree(folder)


def archive_size(port):
    """The bytes of /pages.tar as sent (chunked), read to the end."""
    with socket.create_connection(("127.0.0.1", port), 60) as sock:
        sock.sendall(b"GET /pages.tar HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")
        size = 0
        while chunk := sock.recv(1 << 20):
            size += len(chunk)
    return size


def slow_case(options):
    folder = tempfile.mkdtemp(prefix="plotanix-web-load-")
    plotter = Plotter(options.binary, folder)
    slow = []
    try:
        for _ in range(options.slow):
            sock = socket.create_connection(("127.0.0.1", plotter.port), 5, ("127.0.0.1", 0))
            slow.append(sock)
        request = b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + b"a" * 64 + b"\r\n\r\n"
        stop = threading.Event()

        def trickle():
            sent = 0
            while not stop.wait(2.0) and sent < len(request):
                for sock in slow:
                    try:
                        sock.send(request[sent:sent + 1])
                    except OSError:
                        pass
                sent += 1

        thread = threading.Thread(target=trickle)
        thread.start()
        time.sleep(1.0)  # the slow ones have their places
        for source in ("127.0.0.1", "127.0.0.2"):
            began, tries, status = time.monotonic(), 0, 0
            while status != 200 and time.monotonic() - began < 60:
                tries += 1
                try:
                    status = get(plotter.port, source=source, timeout=60)
                except OSError:
                    status = 0
                if status != 200:
                    time.sleep(0.5)
            print(f"{options.slow} slow clients from 127.0.0.1: a browser from {source} "
                  f"answered {status} after {time.monotonic() - began:.2f} s ({tries} tries)")
        stop.set()
        thread.join()
    finally:
        for sock in slow:
            sock.close()
        plotter.stop()
        shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary")
    parser.add_argument("case", choices=["folder", "slow"])
    parser.add_argument("--pages", type=int, default=99999)
    parser.add_argument("--browsers", type=int, default=15)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--slow", type=int, default=16)
    options = parser.parse_args()
    (folder_case if options.case == "folder" else slow_case)(options)


if __name__ == "__main__":
    main()
