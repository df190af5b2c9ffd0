#!/usr/bin/env python3
"""Writes a small ISO 9660 image whose file BIG.BIN is recorded in three
extents (a multi-extent file) next to a plain NEXT.TXT: an earlier session
that an import must name as partly left out."""
import struct
import sys


def both16(v):
    return struct.pack("<H", v) + struct.pack(">H", v)


def both32(v):
    return struct.pack("<I", v) + struct.pack(">I", v)


def record(ident, extent, size, flags):
    length = 33 + len(ident) + (0 if len(ident) % 2 else 1)
    r = bytes([length, 0]) + both32(extent) + both32(size) + bytes([121, 3, 4, 5, 6, 7, 0, flags, 0, 0])
    r += both16(1) + bytes([len(ident)]) + ident
    return r.ljust(length, b"\0")


SECTORS = 60
img = bytearray(SECTORS * 2048)
pvd = bytearray(2048)
pvd[0:7] = b"\x01CD001\x01"
pvd[80:88] = both32(SECTORS)
pvd[120:124] = both16(1)
pvd[124:128] = both16(1)
pvd[128:132] = both16(2048)
pvd[156:190] = record(b"\0", 20, 2048, 2)
pvd[881] = 1
img[16 * 2048:17 * 2048] = pvd
img[17 * 2048:17 * 2048 + 7] = b"\xffCD001\x01"
root = record(b"\0", 20, 2048, 2) + record(b"\1", 20, 2048, 2)
root += record(b"BIG.BIN;1", 30, 4096, 0x80) + record(b"BIG.BIN;1", 34, 4096, 0x80)
root += record(b"BIG.BIN;1", 38, 100, 0) + record(b"NEXT.TXT;1", 42, 5, 0)
img[20 * 2048:20 * 2048 + len(root)] = root
for k in range(3):
    img[(30 + 4 * k) * 2048:(34 + 4 * k) * 2048] = bytes([ord("a") + k]) * 8192
img[42 * 2048:42 * 2048 + 5] = b"next\n"
with open(sys.argv[1], "wb") as f:
    f.write(img)
