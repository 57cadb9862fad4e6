#!/usr/bin/env python3
"""The longest the plotter's loop leaves a web request unanswered.

Asks a running plotter's web view for a small static resource (the style
sheet), again as soon as the last answer is whole, over one keep-alive
loopback connection (or a fresh one each time with --fresh), and prints the
longest wait with a few percentiles. The web view is served from the
program's one poll loop, so a wait here is a stretch in which the loop did
nothing else: the figure shows how long any other turn (the line, the
window, a save) kept it.

Standalone, against a plotter started with --web:

    tools/loop_probe.py --port 8470 --seconds 10
    tools/loop_probe.py --url 'http://127.0.0.1:8470/?token=...'   # until Ctrl-C
    tools/loop_probe.py --port 8470 --json

As a module, around a scenario (the probe runs in a process of its own so
that the caller's threads cannot add to the waits it sees):

    import loop_probe
    with loop_probe.Probe(port=8470) as probe:
        ...                              # the scenario
    print(probe.result.longest, probe.result.summary())

or probe = loop_probe.Probe(port=...); probe.start(); ...; result = probe.stop().
loop_probe.measure(port=..., seconds=...) measures in the calling process.

Loopback only (127.0.0.0/8, ::1). A request unanswered for --timeout
seconds counts as a wait that long and the connection is opened anew.
"""
import argparse
import ipaddress
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
from dataclasses import asdict, dataclass, field

DEFAULT_PATH = "/style.css"


@dataclass
class Result:
    requests: int = 0  # answered (a timed-out one counts as answered at its timeout)
    seconds: float = 0.0  # how long the probe ran
    longest: float = 0.0  # the longest wait, in seconds
    longest_at: float = 0.0  # when it began, in seconds from the start
    p50: float = 0.0
    p99: float = 0.0
    p999: float = 0.0
    timeouts: int = 0  # requests not answered within the timeout
    errors: int = 0  # connections refused, reset or answered other than 200
    waits: list = field(default_factory=list, repr=False)  # every wait, when kept

    def summary(self):
        if self.requests == 0:
            return f"no request answered in {self.seconds:.1f} s ({self.errors} errors)"
        return (
            f"{self.requests} requests in {self.seconds:.1f} s: longest wait "
            f"{self.longest * 1000:.1f} ms (at {self.longest_at:.1f} s), "
            f"p50 {self.p50 * 1000:.2f} ms, p99 {self.p99 * 1000:.2f} ms, "
            f"p99.9 {self.p999 * 1000:.2f} ms; {self.timeouts} timeouts, {self.errors} errors"
        )


def percentile(ordered, fraction):
    if not ordered:
        return 0.0
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def target(url=None, port=None, host="127.0.0.1"):
    """(host, port, token) from a URL as the plotter prints it, or a port."""
    token = None
    if url:
        parts = urllib.parse.urlsplit(url)
        host, port = parts.hostname or host, parts.port or 80
        token = urllib.parse.parse_qs(parts.query).get("token", [None])[0]
    if port is None:
        raise ValueError("give the web view's --url or --port")
    if host == "localhost":
        host = "127.0.0.1"
    if not ipaddress.ip_address(host).is_loopback:
        raise ValueError(f"{host} is not a loopback address: the probe stays on this machine")
    return host, int(port), token


class _Connection:
    """One HTTP/1.1 connection; answers read whole, by length or chunks."""

    def __init__(self, host, port, timeout):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def _more(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionResetError("closed by the plotter")
        self.buffer += data

    def _line(self):
        while b"\r\n" not in self.buffer:
            self._more()
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def _take(self, n):
        while len(self.buffer) < n:
            self._more()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def ask(self, request):
        """Sends the request; (status, headers, body, keeps the connection)."""
        self.sock.sendall(request)
        status = int(self._line().split()[1])
        headers = {}
        while line := self._line():
            name, _, value = line.decode("latin-1").partition(":")
            headers.setdefault(name.strip().lower(), []).append(value.strip())
        body = b""
        if "content-length" in headers:
            body = self._take(int(headers["content-length"][0]))
        elif "chunked" in ",".join(headers.get("transfer-encoding", [])):
            while size := int(self._line().split(b";")[0], 16):
                body += self._take(size)
                self._take(2)
            while self._line():
                pass
        elif status not in (204, 304) and not (100 <= status < 200):
            try:
                while True:
                    self._more()
            except ConnectionResetError:
                pass
            body, self.buffer = self.buffer, b""
            return status, headers, body, False
        keeps = "close" not in ",".join(headers.get("connection", [])).lower()
        return status, headers, body, keeps


class _Asker:
    def __init__(self, host, port, token, path, fresh, timeout):
        self.host, self.port, self.path = host, port, path
        self.fresh, self.timeout = fresh, timeout
        self.connection = None
        shown = f"[{host}]" if ":" in host else host
        self.host_header = f"{shown}:{port}"
        self.cookie = ""
        if token:
            self.cookie = self._cookie_for(token)

    def _request(self, path, keep=True):
        lines = [f"GET {path} HTTP/1.1", f"Host: {self.host_header}"]
        if self.cookie:
            lines.append(f"Cookie: {self.cookie}")
        if not keep:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def _cookie_for(self, token):
        # The token is given once in the address and answered with a
        # cookie; whatever the cookie is named, it is sent back as given.
        connection = _Connection(self.host, self.port, self.timeout)
        try:
            query = urllib.parse.urlencode({"token": token})
            status, headers, _, _ = connection.ask(self._request(f"/?{query}", keep=False))
        finally:
            connection.close()
        cookies = [c.split(";", 1)[0] for c in headers.get("set-cookie", [])]
        if status >= 400 or not cookies:
            raise RuntimeError(f"the web view did not take the token (HTTP {status})")
        return "; ".join(cookies)

    def drop(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None

    def once(self):
        """One request answered: True when it was a 200."""
        if self.connection is None:
            self.connection = _Connection(self.host, self.port, self.timeout)
        status, _, _, keeps = self.connection.ask(self._request(self.path, keep=not self.fresh))
        if self.fresh or not keeps:
            self.drop()
        return status == 200


def measure(port=None, seconds=None, url=None, host="127.0.0.1", path=DEFAULT_PATH,
            fresh=False, timeout=10.0, stopped=lambda: False, keep_waits=False,
            ready=lambda: None):
    """Asks until seconds have passed or stopped() is true; a Result."""
    host, port, token = target(url, port, host)
    asker = _Asker(host, port, token, path, fresh, timeout)
    ready()
    waits, result = [], Result()
    start = time.monotonic()
    end = start + seconds if seconds is not None else None
    while not stopped() and (end is None or time.monotonic() < end):
        asked = time.monotonic()
        try:
            answered = asker.once()
        except socket.timeout:
            asker.drop()
            result.timeouts += 1
            answered = True  # counted as a wait of the whole timeout
        except (OSError, ValueError, IndexError):
            asker.drop()
            result.errors += 1
            time.sleep(0.05)  # refused or reset: not a wait of the loop's
            continue
        wait = time.monotonic() - asked
        if not answered:
            result.errors += 1
        waits.append(wait)
        if wait > result.longest:
            result.longest, result.longest_at = wait, asked - start
    asker.drop()
    result.seconds = time.monotonic() - start
    result.requests = len(waits)
    ordered = sorted(waits)
    result.p50 = percentile(ordered, 0.50)
    result.p99 = percentile(ordered, 0.99)
    result.p999 = percentile(ordered, 0.999)
    if keep_waits:
        result.waits = waits
    return result


class Probe:
    """The probe in a process of its own: start() before a scenario, stop() after."""

    def __init__(self, port=None, url=None, host="127.0.0.1", path=DEFAULT_PATH, fresh=False,
                 timeout=10.0):
        target(url, port, host)  # refuses a non-loopback target at once
        self.arguments = ["--host", host, "--path", path, "--timeout", str(timeout), "--json",
                          "--announce"]
        self.arguments += ["--url", url] if url else ["--port", str(port)]
        if fresh:
            self.arguments.append("--fresh")
        self.process = None
        self.result = None

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__)] + self.arguments,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Asking begins once it can be stopped.
        if self.process.stdout.readline().strip() != "ready":
            _, err = self.process.communicate()
            self.process = None
            raise RuntimeError("the probe did not start: " + err.strip())
        return self

    def stop(self):
        """Ends the probe (its request in flight is answered first); the Result."""
        if self.process is None:
            raise RuntimeError("the probe was not started")
        self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate()
        self.process = None
        if not out.strip():
            raise RuntimeError("the probe ended without a result: " + err.strip())
        self.result = Result(**json.loads(out))
        return self.result

    def __enter__(self):
        return self.start()

    def __exit__(self, *_):
        self.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", help="the web view's address as the plotter gives it")
    parser.add_argument("--port", type=int, help="the web view's port (loopback)")
    parser.add_argument("--host", default="127.0.0.1", help="a loopback address (127.0.0.1)")
    parser.add_argument("--path", default=DEFAULT_PATH, help="what to ask for (/style.css)")
    parser.add_argument("--seconds", type=float, help="how long to ask (default: until Ctrl-C)")
    parser.add_argument("--fresh", action="store_true", help="a new connection per request")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds a request may wait before it counts as lost (10)")
    parser.add_argument("--json", action="store_true", help="the result as one JSON object")
    parser.add_argument("--announce", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    stop = []
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    try:
        result = measure(options.port, options.seconds, options.url, options.host, options.path,
                         options.fresh, options.timeout, stopped=lambda: bool(stop),
                         ready=lambda: options.announce and print("ready", flush=True))
    except (ValueError, RuntimeError, OSError) as error:
        print(f"loop_probe: {error}", file=sys.stderr)
        return 2
    if options.json:
        print(json.dumps({k: v for k, v in asdict(result).items() if k != "waits"}))
    else:
        print(result.summary())
    # Refused answers (a token needed, say) still time the loop, but say so.
    return 0 if result.requests > result.errors else 1


if __name__ == "__main__":
    sys.exit(main())
