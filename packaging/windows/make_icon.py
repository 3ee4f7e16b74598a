#!/usr/bin/python3
"""Packs PNG pictures of one drawing, one per size, into a Windows .ico file.

Usage: make_icon.py OUT.ico IN16.png IN32.png ...

Each picture goes in as a 32-bit DIB with alpha (BITMAPINFOHEADER, bottom-up
BGRA rows and an empty AND mask), the form every Windows version and Wine
read; the PNGs must be 8-bit RGBA, not interlaced, as rsvg-convert writes
them. Only the standard library is used.
"""

import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError(f"{path}: no IHDR chunk")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour != 6 or interlace != 0:
        raise ValueError(f"{path}: expected 8-bit RGBA, not interlaced")
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, prev = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        line = bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
            elif kind != 0:
                raise ValueError(f"{path}: bad filter type {kind}")
        rows.append(bytes(line))
        prev = line
    return width, height, rows


def dib_entry(width, height, rows):
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for x in range(width):
            r, g, b, a = row[x * 4:x * 4 + 4]
            pixels += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytes(mask_stride * height)
    return header + bytes(pixels) + mask


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out, inputs = argv[1], argv[2:]
    entries = []
    for path in inputs:
        width, height, rows = read_png(path)
        if width > 256 or height > 256:
            raise ValueError(f"{path}: an icon picture is at most 256 pixels")
        entries.append((width, height, dib_entry(width, height, rows)))
    entries.sort(key=lambda e: e[0])
    blob = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory, images = b"", b""
    for width, height, body in entries:
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(body), offset)
        offset += len(body)
        images += body
    with open(out, "wb") as f:
        f.write(blob + directory + images)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
