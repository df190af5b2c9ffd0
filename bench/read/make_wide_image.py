#!/usr/bin/env python3
# Crafts ISO images for bench-read.sh: "big" = one folder of N empty files;
# "overlap" = 20 directories whose extents all cover one region of N records.
import struct, sys
def both32(v): return struct.pack('<I', v) + struct.pack('>I', v)
def both16(v): return struct.pack('<H', v) + struct.pack('>H', v)
def rec(name, extent, size, flags):
    n = len(name); L = 33 + n + (1 if n % 2 == 0 else 0)
    r = bytes([L, 0]) + both32(extent) + both32(size) + bytes([121,3,4,5,6,7,0, flags, 0, 0]) + both16(1) + bytes([n]) + name
    return r + b'\0' * (L - len(r))
def dirsectors(recs):
    secs = []; cur = b''
    for r in recs:
        if len(cur) + len(r) > 2048:
            secs.append(cur + b'\0' * (2048 - len(cur))); cur = b''
        cur += r
    secs.append(cur + b'\0' * (2048 - len(cur)))
    return secs
def pvd(root_extent, root_len, total):
    s = bytearray(2048); s[0] = 1; s[1:6] = b'CD001'; s[6] = 1
    s[8:40] = b' ' * 32; s[40:72] = b'BIG'.ljust(32)
    s[80:88] = both32(total); s[120:124] = both16(1); s[124:128] = both16(1); s[128:132] = both16(2048)
    s[132:140] = both32(10); s[140:144] = struct.pack('<I', 18); s[148:152] = struct.pack('>I', 19)
    s[156:190] = rec(b'\0', root_extent, root_len, 2); s[881] = 1
    return bytes(s)
def term():
    s = bytearray(2048); s[0] = 255; s[1:6] = b'CD001'; s[6] = 1; return bytes(s)
def pt(extent, big):
    e = struct.pack('>I' if big else '<I', extent); p = struct.pack('>H' if big else '<H', 1)
    return (bytes([1, 0]) + e + p + b'\0\0').ljust(2048, b'\0')
mode, n, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if mode == 'big':
    recs = [rec(b'.' if False else b'\0', 20, 0, 2), rec(b'\1', 20, 0, 2)]
    recs += [rec(b'F%07d.;1' % i, 0, 0, 0) for i in range(n)]
    secs = dirsectors(recs); L = len(secs) * 2048
    recs[0] = rec(b'\0', 20, L, 2); recs[1] = rec(b'\1', 20, L, 2)
    secs = dirsectors(recs); total = 20 + len(secs)
    img = b'\0' * 16 * 2048 + pvd(20, L, total) + term() + pt(20, False) + pt(20, True) + b''.join(secs)
else:
    # region of n file records at sector 40; root at 20 lists 20 dirs that all point at 40.
    region = dirsectors([rec(b'\0', 40, 0, 2), rec(b'\1', 20, 2048, 2)] + [rec(b'F%07d.;1' % i, 0, 0, 0) for i in range(n)])
    L = len(region) * 2048
    root = dirsectors([rec(b'\0', 20, 2048, 2), rec(b'\1', 20, 2048, 2)] + [rec(b'D%02d' % k, 40, L, 2) for k in range(20)])
    total = 40 + len(region)
    img = b'\0' * 16 * 2048 + pvd(20, 2048, total) + term() + pt(20, False) + pt(20, True) + root[0] + b'\0' * 19 * 2048 + b''.join(region)
open(out, 'wb').write(img)
