#!/usr/bin/env python3
"""Cuts a part of 1-bit pages (PBM, as oaktdump writes them) into a 1-bit
PNG at full size, so that every dot shows, the pages side by side:

    pbm_crop.py [--dpi N] OUT.png X Y WIDTH HEIGHT PAGE.pbm [PAGE.pbm ...]

or prints the share of each of samples/greys.ps's ten grey fills inked:

    pbm_crop.py [--dpi N] --fills PAGE.pbm

X, Y, WIDTH and HEIGHT in points from the page's top left corner; the pages
at N dpi (600 by default)."""
import struct
import sys
import zlib


def read_pbm(path):
    data = open(path, 'rb').read()
    fields, at = [], 0
    while len(fields) < 3:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b'#':
            at = data.index(b'\n', at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b'P4':
        sys.exit(f'{path}: not a binary PBM')
    return int(fields[1]), int(fields[2]), data[at + 1:]


def bit(row, x):
    return (row[x >> 3] >> (7 - (x & 7))) & 1 if 0 <= x < len(row) * 8 else 0


def fills(path, dpi):
    """The middle of each fill (50 x 150 pt from x = 40, y = 600 up)."""
    w, h, data = read_pbm(path)
    bpl, scale, shares = (w + 7) // 8, dpi / 72, []
    for k in range(10):
        inked = seen = 0
        for y in range(int(130 * scale), int(200 * scale)):
            row = data[y * bpl:(y + 1) * bpl]
            for x in range(int((50 + 50 * k) * scale), int((80 + 50 * k) * scale)):
                inked += bit(row, x)
                seen += 1
        shares.append(inked / seen)
    return shares


def main(argv):
    dpi = 600
    if argv[:1] == ['--dpi']:
        dpi, argv = int(argv[1]), argv[2:]
    if argv[:1] == ['--fills']:
        print(' '.join(f'{share:.2f}' for share in fills(argv[1], dpi)))
        return
    out, x, y, w, h, pages = argv[0], *map(float, argv[1:5]), argv[5:]
    scale = dpi / 72
    x0, y0, cw, ch = int(x * scale), int(y * scale), int(w * scale), int(h * scale)
    gap = 16
    width = len(pages) * cw + (len(pages) - 1) * gap
    images = [read_pbm(p) for p in pages]
    rows = []
    for r in range(ch):
        bits = []
        for i, (pw, ph, data) in enumerate(images):
            bpl = (pw + 7) // 8
            yy = y0 + r
            row = data[yy * bpl:(yy + 1) * bpl] if yy < ph else b''
            bits += [bit(row, x0 + c) if x0 + c < pw else 0 for c in range(cw)]
            if i + 1 < len(images):
                bits += [0] * gap
        # PNG greyscale 1-bit: 0 black, so ink is 0.
        packed = bytearray((width + 7) // 8)
        for c, b in enumerate(bits):
            if not b:
                packed[c >> 3] |= 0x80 >> (c & 7)
        rows.append(b'\0' + bytes(packed))

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, ch, 1, 0, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(b''.join(rows), 9)) + chunk(b'IEND', b'')
    open(out, 'wb').write(png)


main(sys.argv[1:])
