#!/usr/bin/env python3
"""A Letter page of PCL raster as an instrument's hard copy prints it: a
grid, a trace across it and blocks of fill, at a resolution (75 to 600 dpi)
in compression method 0 (unencoded) or 2 (TIFF PackBits). For the printer
figures (bench/printer_figures.sh): usage print_page.py DPI METHOD > page.prn
"""
import sys


def pack_bits(row):
    out = bytearray()
    i, n = 0, len(row)
    while i < n:
        run = 1
        while i + run < n and run < 128 and row[i + run] == row[i]:
            run += 1
        if run >= 3:
            out += bytes((257 - run, row[i]))
            i += run
            continue
        end = i
        while end < n and end - i < 128 and not (
                end + 2 < n and row[end] == row[end + 1] == row[end + 2]):
            end += 1
        end = max(end, i + 1)
        out.append(end - i - 1)
        out += row[i:end]
        i = end
    return bytes(out)


def main():
    dpi, method = int(sys.argv[1]), int(sys.argv[2])
    width, height = dpi * 17 // 2, dpi * 11
    row_bytes = (width + 7) // 8
    cell = dpi  # a grid line every inch
    out = bytearray(b"\x1bE\x1b*t%dR\x1b*r%dS\x1b*r0A\x1b*b%dM" % (dpi, width, method))
    grid = bytearray(row_bytes)
    for x in range(0, width, cell):
        grid[x // 8] |= 0x80 >> (x % 8)
    for y in range(height):
        if y % cell == 0:
            row = bytearray(b"\xff" * row_bytes)
        else:
            row = bytearray(grid)
            # the trace: a band of dots a few wide sweeping across
            x = (y * 7) % width
            for k in range(x, min(width, x + dpi // 50 + 1)):
                row[k // 8] |= 0x80 >> (k % 8)
            # blocks of fill, a fifth of the page
            if (y // (dpi * 2)) % 3 == 1:
                start = ((y // (dpi * 2)) * dpi) % (row_bytes // 2)
                row[start:start + row_bytes // 5] = b"\xff" * (row_bytes // 5)
        data = pack_bits(bytes(row)) if method == 2 else bytes(row)
        out += b"\x1b*b%dW" % len(data) + data
    out += b"\x1b*rB\x0c"
    sys.stdout.buffer.write(out)


main()
