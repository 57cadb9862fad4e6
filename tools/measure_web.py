#!/usr/bin/env python3
"""The web view's cost while browsers watch a live plot.

Starts the plotter (unattended, --web on a free loopback port, a
pseudo-terminal as its line), opens the browsers' connections, and has the
computer send the demo drawing paced as a 9600-baud line. Each tab holds
the live channel and a keep-alive connection that fetches the page picture
whenever the channel says it changed (as the page's script does); a
watcher holds the live channel only. The plotter's CPU time (user +
system, from /proc) and its resident memory are read over the plot, and
the delay from the page file being written to the channel's "saved"
message. Loopback only; everything it starts ends with it.

    tools/measure_web.py BINARY [--tabs N] [--watchers N] [--repeat N]
"""
import argparse
import os
import pty
import re
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import multiprocessing
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory_kb(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class Client:
    """One connection: the live channel or the picture's keep-alive fetches."""

    def __init__(self, port, live, tab=None):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.live, self.tab = live, tab
        self.buffer = b""
        self.fetching = False
        self.wanted = False
        self.fetched = 0
        self.saved_at = []
        if live:
            self.send(b"GET /events HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\n\r\n")

    def send(self, data):
        self.sock.sendall(data)

    def fetch(self):
        if self.fetching:
            self.wanted = True
            return
        self.fetching, self.wanted = True, False
        self.send(b"GET /page.png HTTP/1.1\r\nHost: localhost\r\n\r\n")

    def readable(self):
        data = self.sock.recv(1 << 20)
        if not data:
            return False
        self.buffer += data
        if self.live:
            while b"\n\n" in self.buffer:
                message, self.buffer = self.buffer.split(b"\n\n", 1)
                if b"event: page" in message and self.tab is not None:
                    self.tab.fetch()
                if b"event: saved" in message:
                    self.saved_at.append(time.time())
        else:
            while True:
                end = self.buffer.find(b"\r\n\r\n")
                if end < 0:
                    break
                length = int(re.search(rb"Content-Length: (\d+)", self.buffer[:end], re.I).group(1))
                if len(self.buffer) < end + 4 + length:
                    break
                self.buffer = self.buffer[end + 4 + length:]
                self.fetched += 1
                self.fetching = False
                if self.wanted:
                    self.fetch()
        return True


def flood(port, count, flooded):
    """Connections opened and closed at once, in a loop, from a process of its own."""
    for _ in range(count):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        except OSError:
            pass  # the server is full: it waits in the queue, or is refused
        with flooded.get_lock():
            flooded.value += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--tabs", type=int, default=8, help="live channel + picture fetches (2 connections each)")
    parser.add_argument("--watchers", type=int, default=0, help="live channel only")
    parser.add_argument("--repeat", type=int, default=3, help="times the drawing is sent, one page")
    parser.add_argument("--flood", type=int, default=0,
                        help="connections opened and closed at once, in a loop, while the plot comes")
    args = parser.parse_args()

    drawing = open(os.path.join(HERE, "demo_drawing.hpgl"), "rb").read() * args.repeat
    work = tempfile.mkdtemp(prefix="plotanix-web-")
    master, slave = pty.openpty()
    journal = open(os.path.join(work, "journal"), "w+")
    plotter = subprocess.Popen(
        [os.path.abspath(args.binary), "--unattended", "--port", os.ttyname(slave), "--dir", work,
         "--page-gap", "1", "--web", "0"],
        stdin=subprocess.DEVNULL, stdout=journal, stderr=subprocess.STDOUT)
    clients = []
    try:
        deadline = time.time() + 10
        port = None
        while port is None and time.time() < deadline:
            journal.seek(0)
            found = re.search(r"web view: http://127\.0\.0\.1:(\d+)/", journal.read())
            port = int(found.group(1)) if found else None
            time.sleep(0.05)
        if port is None:
            sys.exit("the plotter did not say where its web view is")

        selector = selectors.DefaultSelector()
        for _ in range(args.tabs):
            picture = Client(port, live=False)
            clients += [picture, Client(port, live=True, tab=picture)]
        for _ in range(args.watchers):
            clients.append(Client(port, live=True))
        for client in clients:
            selector.register(client.sock, selectors.EVENT_READ, client)

        def serve(until):
            while True:
                left = until - time.time()
                if left <= 0:
                    return
                for key, _ in selector.select(timeout=left):
                    if not key.data.readable():
                        selector.unregister(key.fileobj)

        serve(time.time() + 1)  # every connection taken, the state told
        rss_before = memory_kb(plotter.pid, "VmRSS")
        cpu_before = cpu_seconds(plotter.pid)
        started = time.time()
        flooded = multiprocessing.Value("i", 0)
        flooder = multiprocessing.Process(target=flood, args=(port, args.flood, flooded), daemon=True)
        flooder.start()
        # 960 bytes a second: a 9600-baud line, in 96-byte pieces.
        for offset in range(0, len(drawing), 96):
            os.write(master, drawing[offset:offset + 96])
            serve(started + (offset + 96) / 960)
        page = os.path.join(work, "PLOTTER_00001.PNG")
        until = time.time() + 20
        channels = [c for c in clients if c.live]
        while time.time() < until and not (any(c.saved_at for c in channels) if channels
                                           else os.path.exists(page)):
            serve(time.time() + 0.05)
        serve(time.time() + 0.5)
        elapsed = time.time() - started
        cpu = cpu_seconds(plotter.pid) - cpu_before
        told = [c.saved_at[0] for c in clients if c.live and c.saved_at]
        written = os.stat(page).st_mtime if os.path.exists(page) else None
        fetches = sum(c.fetched for c in clients if not c.live)

        print(f"{args.tabs} tabs + {args.watchers} watchers = {len(clients)} connections, "
              f"{len(drawing)} bytes at 9600 baud, {elapsed:.1f} s")
        print(f"plotter CPU: {cpu:.2f} s = {100 * cpu / elapsed:.1f}% of a core")
        print(f"plotter memory: {rss_before} kB resident before, {memory_kb(plotter.pid, 'VmRSS')} kB after, "
              f"{memory_kb(plotter.pid, 'VmHWM')} kB at most")
        print(f"page pictures fetched: {fetches} ({fetches / max(args.tabs, 1):.0f} a tab)")
        journal.seek(0)
        saved = re.findall(r"page saved: \S+, (.*)", journal.read())
        print(f"page: {saved[0] if saved else 'not saved'}; transcript "
              f"{os.path.getsize(os.path.join(work, 'PLOTTER.TXT'))} bytes for {len(drawing)} sent")
        if args.flood:
            print(f"flood: {flooded.value} connections opened and closed during the plot")
            flooder.terminate()
            flooder.join()
        if written and told:
            delays = sorted(1000 * (t - written) for t in told)
            print(f"page written to 'saved' told: {delays[0]:.0f} to {delays[-1]:.0f} ms "
                  f"({len(told)} of {args.tabs + args.watchers} channels)")
    finally:
        for client in clients:
            client.sock.close()
        plotter.send_signal(signal.SIGTERM)
        try:
            plotter.wait(timeout=10)
        except subprocess.TimeoutExpired:
            plotter.kill()
            plotter.wait()
        os.close(master)
        os.close(slave)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
