#!/usr/bin/env python3
"""Prints the size of a PNG and the share of its pixels that are not background white.

Usage: png_ink.py FILE.png
Output: WIDTH HEIGHT SHARE   (SHARE between 0 and 1)
Decodes 8-bit RGB, RGBA, grey and grey-alpha PNGs with the standard library only.
"""
import struct
import sys
import zlib

CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def unfilter(raw, width, height, bpp):
    stride = width * bpp
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((a + b) >> 1)) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + paeth(a, b, c)) & 0xFF
        rows.append(line)
        prev = line
    return rows


def main(path):
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        sys.exit('not a PNG')
    pos, idat, header = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    width, height, depth, color, _, _, interlace = header
    if depth != 8 or color not in CHANNELS or interlace != 0:
        sys.exit('unsupported PNG: depth %d, colour type %d, interlace %d' % (depth, color, interlace))
    bpp = CHANNELS[color]
    rows = unfilter(zlib.decompress(idat), width, height, bpp)
    ink = 0
    for line in rows:
        for x in range(0, width * bpp, bpp):
            px = line[x:x + bpp]
            grey = px[:3] if bpp >= 3 else px[:1]
            if min(grey) < 240:
                ink += 1
    print(width, height, '%.4f' % (ink / float(width * height)))


if __name__ == '__main__':
    main(sys.argv[1])
