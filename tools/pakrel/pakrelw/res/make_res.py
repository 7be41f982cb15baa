#!/usr/bin/env python3
"""Draws pakrelW's own pictures: icon 200 (a folder with an arrow: where the files
go), icon 205 (a page with a warning mark: a file about to be replaced) and the
progress animation (pages flying from a box into a folder), as .ico and an
uncompressed 8-bit AVI that the animation control plays. Run it to remake
folder.ico, replace.ico and progress.avi beside it."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def ico(path, draw, sizes=(16, 32)):
    images = []
    for n in sizes:
        px = [[(0, 0, 0, 0)] * n for _ in range(n)]
        draw(px, n)
        xor = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
        mask_row = ((n + 31) // 32) * 4
        mask = bytearray()
        for row in reversed(px):
            bits = bytearray(mask_row)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        head = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((n, head + xor + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in images:
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def rect(px, x0, y0, x1, y1, c):
    n = len(px)
    for y in range(max(0, y0), min(n, y1)):
        for x in range(max(0, x0), min(n, x1)):
            px[y][x] = c


def folder(px, n):
    s = n / 32
    dark, body, tab = (150, 110, 20, 255), (240, 200, 80, 255), (220, 170, 50, 255)
    rect(px, int(2 * s), int(8 * s), int(14 * s), int(12 * s), tab)
    rect(px, int(2 * s), int(11 * s), int(30 * s), int(28 * s), dark)
    rect(px, int(3 * s), int(12 * s), int(29 * s), int(27 * s), body)
    green = (30, 150, 40, 255)
    # An arrow pointing down into the folder.
    rect(px, int(14 * s), int(1 * s), int(18 * s), int(17 * s), green)
    for i in range(int(6 * s) + 1):
        rect(px, int(16 * s) - int(7 * s) + i, int(14 * s) + i, int(16 * s) + int(7 * s) - i, int(15 * s) + i, green)


def replace(px, n):
    s = n / 32
    edge, paper = (90, 90, 90, 255), (255, 255, 255, 255)
    rect(px, int(5 * s), int(2 * s), int(25 * s), int(30 * s), edge)
    rect(px, int(6 * s), int(3 * s), int(24 * s), int(29 * s), paper)
    for y in range(7, 26, 4):
        rect(px, int(9 * s), int(y * s), int(21 * s), int(y * s) + 1, (120, 140, 200, 255))
    # A warning triangle in the lower right corner.
    yellow, black = (250, 200, 0, 255), (0, 0, 0, 255)
    top, h = int(14 * s), int(16 * s)
    for i in range(h):
        half = i // 2 + 1
        rect(px, int(23 * s) - half, top + i, int(23 * s) + half, top + i + 1, yellow)
    rect(px, int(23 * s) - max(1, int(s)), top + int(5 * s), int(23 * s) + max(1, int(s)), top + int(11 * s), black)
    rect(px, int(23 * s) - max(1, int(s)), top + int(13 * s), int(23 * s) + max(1, int(s)), top + int(15 * s), black)


def avi(path, w=96, h=32, frames=8):
    # Palette: 0 the transparent background (the control takes the first pixel's
    # colour as transparent), then the few colours drawn.
    pal = [(255, 0, 255), (150, 110, 20), (240, 200, 80), (90, 90, 90), (255, 255, 255), (60, 90, 160)]
    pal += [(0, 0, 0)] * (256 - len(pal))
    stride = (w + 3) & ~3
    data = []
    for f in range(frames):
        img = [[0] * w for _ in range(h)]

        def box(x0, y0, x1, y1, c):
            for y in range(max(0, y0), min(h, y1)):
                for x in range(max(0, x0), min(w, x1)):
                    img[y][x] = c
        box(2, 12, 26, 30, 5)    # the archive box
        box(4, 14, 24, 28, 3)
        box(70, 12, 94, 30, 1)   # the folder
        box(71, 14, 93, 29, 2)
        box(70, 9, 80, 13, 1)
        # A page on its way, higher in the middle of the path.
        x = 18 + (f * 52) // (frames - 1)
        y = 10 - (8 * (f * (frames - 1 - f))) // ((frames - 1) ** 2 // 4 + 1)
        box(x, y, x + 10, y + 13, 3)
        box(x + 1, y + 1, x + 9, y + 12, 4)
        rows = b"".join(bytes(img[y]) + bytes(stride - w) for y in reversed(range(h)))
        data.append(rows)
    size = stride * h

    def chunk(fcc, body):
        pad = b"\0" if len(body) % 2 else b""
        return fcc + struct.pack("<I", len(body)) + body + pad

    def lst(kind, body):
        return chunk(b"LIST", kind + body)

    avih = struct.pack("<IIIIIIIIII4I", 125000, size * 8, 0, 0x10, frames, 0, 1, size, w, h, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, 1, 8, 0, frames, size,
                       0xFFFFFFFF, 0, 0, 0, w, h)
    bih = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, size, 0, 0, 256, 0)
    strf = bih + b"".join(bytes((b, g, r, 0)) for (r, g, b) in pal)
    hdrl = lst(b"hdrl", chunk(b"avih", avih) + lst(b"strl", chunk(b"strh", strh) + chunk(b"strf", strf)))
    movi_body = b""
    index = b""
    for d in data:
        index += struct.pack("<4sIII", b"00db", 0x10, 4 + len(movi_body), len(d))
        movi_body += chunk(b"00db", d)
    movi = lst(b"movi", movi_body)
    body = b"AVI " + hdrl + movi + chunk(b"idx1", index)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


if __name__ == "__main__":
    ico(os.path.join(HERE, "folder.ico"), folder)
    ico(os.path.join(HERE, "replace.ico"), replace)
    avi(os.path.join(HERE, "progress.avi"))
