#!/usr/bin/env python3
"""Writes examples/long_screenshot.png: a 1080 x 16000 RGB "long screenshot" for the tile
example (coloured bands, stripes and a grid so that cuts and shrinks are easy to check by eye).
Pure Python (zlib only), so it runs on any machine with python3."""
import struct
import sys
import zlib

W, H = 1080, 16000


def row(y):
    band = (y // 500) % 6
    base = [(230, 80, 70), (240, 170, 60), (90, 180, 90), (70, 130, 220), (150, 90, 200),
            (60, 60, 60)][band]
    out = bytearray()
    for x in range(W):
        if y % 100 < 2 or x % 120 < 2:
            out += bytes((255, 255, 255))
        elif (y // 20) % 2 == 0 and 60 <= x < 60 + (y * 7) % 900:
            out += bytes((20, 20, 20))
        else:
            shade = (x * 64) // W
            out += bytes((min(255, base[0] + shade), min(255, base[1] + shade),
                          min(255, base[2] + shade)))
    return bytes(out)


def chunk(kind, data):
    c = struct.pack(">I", len(data)) + kind + data
    return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def main(path):
    raw = bytearray()
    for y in range(H):
        raw += b"\x00" + row(y)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/long_screenshot.png")
