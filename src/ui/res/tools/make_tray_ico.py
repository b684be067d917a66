#!/usr/bin/python3
"""Packs each colour's four tray PNGs (16, 24, 32, 48 px, 8-bit RGBA) into one
Windows .ico of 32-bit DIB images with their AND masks, into src/ui/res/win/.
Only the standard library is used; the .ico files are committed."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TRAY = os.path.join(HERE, '..', 'tray')
OUT = os.path.join(HERE, '..', 'win')


def read_png(path):
    data = open(path, 'rb').read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', path
    pos, idat, width = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            assert depth == 8 and colour == 6 and interlace == 0, path + ': not 8-bit RGBA'
        elif kind == b'IDAT':
            idat += body
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, prev, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, rows


def dib(width, height, rows):
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''
    for row in reversed(rows):  # bottom-up, BGRA
        for x in range(width):
            r, g, b, a = row[x * 4:x * 4 + 4]
            pixels += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = b''
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(width):
            if row[x * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def main():
    os.makedirs(OUT, exist_ok=True)
    for colour in ('red', 'yellow', 'green'):
        images = [dib(*read_png(os.path.join(TRAY, 'hand48x48_%s-%d.png' % (colour, size))))
                  for size in (16, 24, 32, 48)]
        sizes = (16, 24, 32, 48)
        out = struct.pack('<HHH', 0, 1, len(images))
        offset = 6 + 16 * len(images)
        for size, image in zip(sizes, images):
            out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
            offset += len(image)
        out += b''.join(images)
        open(os.path.join(OUT, 'hand48x48_%s.ico' % colour), 'wb').write(out)


if __name__ == '__main__':
    main()
