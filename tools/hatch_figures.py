#!/usr/bin/env python3
"""Costly HP-GL/2 areas' figures on the real program and the renderer.

    tools/hatch_figures.py build [CASE ...]

For each case the input is written, then drawn by build/plotanix-render
(--model hpgl2; its CPU time, user + system) and sent over a pty line to
build/plotanix, unattended with its web view, which serves as the probe of
its loop (tools/loop_probe.py): the longest a request waited while the
plotter drew it, then SIGTERM and the time to exit.

Cases: largest (hatches and cross-hatches of the largest polygon the
buffer holds, 32,767 full-height teeth), angles (100 KB: a 1,000-point
zigzag hatched at a new angle each time), alternating (FT3,13,0;FP; and
FT3,13,45;FP; 800 times on a 12,500-point zigzag), shades (100 KB: the
1,000-point zigzag filled solid in a new shade each time), edges
(EP;SP2;EP;SP1; 800 times with a 10 mm pen on the 12,500-point zigzag),
widths (EP with the pen's width changed between outlines, 6,000 times, with
a 10 mm pen round the largest polygon).
Loopback and ptys only; every wait bounded.
"""
import os
import pty
import resource
import subprocess
import sys
import tempfile
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import line_figures  # noqa: E402


def zigzag(points):
    """A closed polygon of full-height teeth across 10,000 plotter units."""
    parts = ["IN;SP1;PA100,300;PM0;"]
    for i in range(points - 1):
        parts.append("PD" if i % 64 == 0 else ",")
        parts.append("%d,%d" % (100 + i * 10000 // points, 7300 if i % 2 == 0 else 300))
    parts.append(";PM2;")
    return "".join(parts)


def largest():
    # Lines a pixel apart (filled solid for their cost), then the costliest
    # hatches of it still drawn.
    return zigzag(32767) + "FT3,13,30;FP;FT4,13,45;FP;FT4,150,45;FP;FT3,70,30;FP;"


def angles():
    plot, angle = zigzag(1000), 0
    while len(plot) < 100_000:
        plot += "FT3,13,%d;FP;" % angle
        angle += 1
    return plot


def alternating():
    return zigzag(12500) + "FT3,13,0;FP;FT3,13,45;FP;" * 800


def shades():
    plot, level = zigzag(1000), 0
    while len(plot) < 100_000:
        plot += "FT10,%d;FP;" % (level % 100)
        level += 1
    return plot


def edges():
    return zigzag(12500).replace("SP1;", "SP1;PW10;", 1) + "EP;SP2;EP;SP1;" * 800


def widths():
    # Outlines of the largest polygon with the pen's width changed between
    # them, six to a 32-byte piece.
    return zigzag(32767).replace("SP1;", "SP1;PW10;", 1) + "EPPW9EPPW10EPPW8" * 2000


CASES = {"largest": largest, "angles": angles, "alternating": alternating, "shades": shades,
         "edges": edges, "widths": widths}


def render_cpu(build, path):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([os.path.join(build, "plotanix-render"), "-q", "--model", "hpgl2", "-o",
                    path + ".png", path], check=True, timeout=1200)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def live(build, data):
    """(longest web wait, SIGTERM to exit, transcript whole) over a pty line."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    line = os.ttyname(slave)

    def scenario(plotter):
        for at in range(0, len(data), 4096):
            os.write(master, data[at:at + 4096])
        # Until the plotter has drawn it all: a second's silence on the
        # line ends the page, which is saved once drawn.
        deadline = time.monotonic() + 1200
        while time.monotonic() < deadline and not any(
                name.endswith(".PNG") for name in os.listdir(plotter.dir)):
            time.sleep(0.1)

    longest, ending, plotter = line_figures.probed(
        os.path.join(build, "plotanix"), line, scenario, ("--model", "hpgl2", "--page-gap", "1"))
    os.close(master)
    os.close(slave)
    return longest, ending, data in plotter.transcript()


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build, names = sys.argv[1], sys.argv[2:] or list(CASES)
    work = tempfile.mkdtemp(prefix="hatch-figures-")
    for name in names:
        data = CASES[name]().encode()
        path = os.path.join(work, name + ".plt")
        with open(path, "wb") as f:
            f.write(data)
        cpu = render_cpu(build, path)
        longest, ending, whole = live(build, data)
        print(f"{name}: {len(data)} bytes, renderer {cpu:.2f} s CPU; live: longest web wait "
              f"{longest:.3f} s, SIGTERM to exit {ending:.2f} s, transcript whole: {whole}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
