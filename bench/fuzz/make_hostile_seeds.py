#!/usr/bin/env python3
"""Writes the crafted hostile sessions of the fuzz corpus (bench/fuzz/hostile).

Each file is a session from sector 16 on, as the fuzz target takes it: the
target puts 16 zero sectors before it. Run again after changing a case:
    python3 bench/fuzz/make_hostile_seeds.py bench/fuzz/hostile
"""
import os
import struct
import sys

S = 2048


def both16(v): return struct.pack('<H', v) + struct.pack('>H', v)
def both32(v): return struct.pack('<I', v & 0xFFFFFFFF) + struct.pack('>I', v & 0xFFFFFFFF)


def rec(name, extent, size, flags, length=None, namelen=None):
    n = len(name)
    L = 33 + n + (1 if n % 2 == 0 else 0)
    r = bytes([L if length is None else length, 0]) + both32(extent) + both32(size) + \
        bytes([121, 3, 4, 5, 6, 7, 0, flags, 0, 0]) + both16(1) + bytes([n if namelen is None else namelen]) + name
    return r + b'\0' * max(0, L - len(r))


def dirsectors(recs, sectors=None):
    out, cur = [], b''
    for r in recs:
        if len(cur) + len(r) > S:
            out.append(cur.ljust(S, b'\0'))
            cur = b''
        cur += r
    out.append(cur.ljust(S, b'\0'))
    while sectors and len(out) < sectors:
        out.append(b'\0' * S)
    return out


def directory(lba, parent, entries, parent_size=S, sectors=None, joliet=False):
    recs = [rec(b'\0', lba, 0, 2), rec(b'\1', parent, parent_size, 2)] + entries
    secs = dirsectors(recs, sectors)
    size = len(secs) * S
    recs[0] = rec(b'\0', lba, size, 2)
    if parent == lba:
        recs[1] = rec(b'\1', lba, size, 2)
    return dirsectors(recs, sectors), size


def descriptor(kind, root_extent, root_len, total, pt_l=0, pt_m=0, pt_size=10, joliet=False, version=1):
    s = bytearray(S)
    s[0] = kind
    s[1:6] = b'CD001'
    s[6] = version
    s[40:72] = b'HOSTILE'.ljust(32)
    s[80:88] = both32(total)
    if joliet:
        s[88:91] = b'%/E'
    s[120:124] = both16(1)
    s[124:128] = both16(1)
    s[128:132] = both16(2048)
    s[132:140] = both32(pt_size)
    s[140:144] = struct.pack('<I', pt_l)
    s[148:152] = struct.pack('>I', pt_m)
    s[156:190] = rec(b'\0', root_extent, root_len, 2)
    s[881] = version
    return bytes(s)


def terminator():
    s = bytearray(S)
    s[0] = 255
    s[1:6] = b'CD001'
    s[6] = 1
    return bytes(s)


def path_table(records, big):
    """records: list of (name, extent, parent)."""
    out = b''
    for name, extent, parent in records:
        out += bytes([len(name), 0]) + struct.pack('>I' if big else '<I', extent) + \
            struct.pack('>H' if big else '<H', parent) + name + (b'\0' if len(name) % 2 else b'')
    return out.ljust(S, b'\0'), len(out)


class Image:
    """Sectors from 16 on; unset sectors are zeros."""

    def __init__(self):
        self.sectors = {}

    def put(self, lba, data):
        for i in range(0, len(data), S):
            self.sectors[lba + i // S] = data[i:i + S].ljust(S, b'\0')

    def bytes(self):
        end = max(self.sectors) + 1
        return b''.join(self.sectors.get(l, b'\0' * S) for l in range(16, end))


def simple(root_entries, extra=None, total=None, root_sectors=None):
    img = Image()
    secs, size = directory(20, 20, root_entries, sectors=root_sectors)
    img.put(20, b''.join(secs))
    pt, ptsize = path_table([(b'\0', 20, 1)], False)
    ptm, _ = path_table([(b'\0', 20, 1)], True)
    img.put(18, pt)
    img.put(19, ptm)
    for lba, data in (extra or []):
        img.put(lba, data)
    end = max(img.sectors) + 1
    img.put(16, descriptor(1, 20, size, end if total is None else total, 18, 19, ptsize))
    img.put(17, terminator())
    return img


def files(n, prefix=b'F'):
    return [rec(prefix + b'%05d.;1' % i, 0, 0, 0) for i in range(n)]


def cases():
    out = {}
    # Twenty directories whose extents overlap one region of records.
    region, rsize = directory(40, 20, files(300))
    img = simple([rec(b'D%02d' % k, 40 + min(k, len(region) - 1), rsize, 2) for k in range(20)],
                 [(40, b''.join(region))])
    out['overlapping-directories'] = img
    # A directory that points at the root, one that points at itself.
    sub, ssize = directory(30, 20, [rec(b'UP', 20, S, 2), rec(b'SELF', 30, S, 2)])
    out['directory-loops'] = simple([rec(b'SUB', 30, ssize, 2)], [(30, b''.join(sub))])
    # A chain of 100 nested directories.
    extra = []
    for k in range(100):
        secs, _ = directory(30 + k, 20 + k if k else 20, [rec(b'N', 31 + k, S, 2)] if k < 99 else [])
        extra.append((30 + k, secs[0]))
    out['deep-nesting'] = simple([rec(b'N', 30, S, 2)], extra)
    # Files in several extents: sound, not whole blocks, cut, a directory
    # flagged, the flag on the last record, a part past the end.
    out['multi-extent-chains'] = simple([
        rec(b'BAD.DAT;1', 30, 3000, 0x80), rec(b'BAD.DAT;1', 32, 100, 0),
        rec(b'BIG.DAT;1', 34, 4096, 0x80), rec(b'BIG.DAT;1', 36, 100, 0),
        rec(b'CUT.DAT;1', 38, 2048, 0x80), rec(b'OTHER.DAT;1', 40, 10, 0),
        rec(b'PAST.DAT;1', 41, 0xFFFFF800, 0x80), rec(b'PAST.DAT;1', 0x7FFFFFF0, 0xFFFFF800, 0),
        rec(b'SUB', 20, S, 0x82), rec(b'ZLAST.DAT;1', 42, 2048, 0x80)], [(42, b'x' * S)])
    # A volume space size of 0.
    img = simple([rec(b'A.TXT;1', 30, 5, 0)], [(30, b'hello')], total=0)
    out['zero-volume-size'] = img
    # Files in the system area and on the descriptor set.
    out['files-on-the-descriptors'] = simple([rec(b'A.TXT;1', 5, 4096, 0), rec(b'B.TXT;1', 16, 4096, 0),
                                              rec(b'C.TXT;1', 17, 10, 0)])
    # Records that cross the sector, are too short, or whose name overruns.
    img = simple([rec(b'A.TXT;1', 0, 0, 0)], root_sectors=2)
    s = bytearray(img.sectors[20])
    s[68 + 40:68 + 40 + 34] = rec(b'B.TXT;1', 0, 0, 0, length=250)[:34]
    s[2040:2048] = bytes([60, 0, 0, 0, 0, 0, 0, 0])
    img.sectors[20] = bytes(s)
    s = bytearray(S)
    s[0:40] = rec(b'C.TXT;1', 0, 0, 0, namelen=200)[:40]
    img.sectors[21] = bytes(s)
    out['broken-records'] = img
    # Lengths and extents at the ends of their ranges.
    out['huge-extents'] = simple([rec(b'BIG', 0xFFFFFFFE, 0xFFFFFFFF, 2), rec(b'FILE.;1', 0xFFFFFFFF, 0xFFFFFFFF, 0),
                                  rec(b'LONG', 30, 64 << 20, 2)])
    # A Joliet tree with names of odd length, surrogates and forbidden characters.
    img = simple([rec(b'A.;1', 0, 0, 0)])
    jnames = [b'\0a\0/\0b', b'\xd8\x00\0x', b'\0a\0b\0c', b'\0a' * 110, b'\0;\x001']
    jsecs, jsize = directory(24, 24, [rec(n, 0, 0, 0) for n in jnames])
    img.put(24, b''.join(jsecs))
    img.put(17, descriptor(2, 24, jsize, 26, 18, 19, 10, joliet=True))
    img.put(18, terminator())
    out['joliet-names'] = img
    # Path tables that are huge, cut, or point outside.
    img = simple([rec(b'D', 30, S, 2)], [(30, directory(30, 20, [])[0][0])])
    img.put(16, descriptor(1, 20, S, 40, 0xFFFFFFF0, 3, 0x7FFFFFFF))
    out['path-table-pointers'] = img
    # An El Torito catalog with a bad checksum and entries pointing anywhere.
    img = simple([rec(b'A.;1', 0, 0, 0)])
    boot = bytearray(S)
    boot[0] = 0
    boot[1:6] = b'CD001'
    boot[6] = 1
    boot[7:30] = b'EL TORITO SPECIFICATION'
    boot[71:75] = struct.pack('<I', 30)
    cat = bytearray(S)
    cat[0] = 1
    cat[30:32] = b'\x55\xaa'
    cat[32] = 0x88
    cat[33] = 4
    cat[38:40] = struct.pack('<H', 0xFFFF)
    cat[40:44] = struct.pack('<I', 0xFFFFFFF0)
    cat[64] = 0x91
    cat[66:68] = struct.pack('<H', 200)
    img.put(17, bytes(boot))
    img.put(18, terminator())
    img.put(30, bytes(cat))
    out['el-torito-garbage'] = img
    # Descriptors at 16 that copy a later session's, sessions at 32 and 64 (as
    # a peer writes image files with several sessions).
    img = Image()
    for start, files_ in ((32, [rec(b'ONE.TXT;1', 0, 0, 0)]), (64, [rec(b'ONE.TXT;1', 0, 0, 0), rec(b'TWO.TXT;1', 0, 0, 0)])):
        secs, size = directory(start + 20, start + 20, files_)
        img.put(start + 20, b''.join(secs))
        img.put(start + 16, descriptor(1, start + 20, size, 22))
        img.put(start + 17, terminator())
    img.put(16, descriptor(1, 84, S, 86))
    img.put(17, terminator())
    out['copied-descriptors-and-two-sessions'] = img
    out.update(rock_ridge_cases())
    return out


# ---- Rock Ridge: system use entries ----
def su(sig, body):
    return sig + bytes([4 + len(body), 1]) + body


SP = su(b'SP', b'\xbe\xef\0')
ER = su(b'ER', bytes([9, 1, 1, 1]) + b'IEEE_1282' + b'D' + b'S')


def ce(block, offset, length):
    return su(b'CE', both32(block) + both32(offset) + both32(length))


def nm(flags, name):
    return su(b'NM', bytes([flags]) + name)


def rrrec(name, extent, size, flags, area):
    r = rec(name, extent, size, flags) + area
    r += b'\0' * (len(r) % 2)
    return bytes([len(r)]) + r[1:]


def rr_simple(root_entries, extra=()):
    """A session whose root "." record starts with SP and ER."""
    img = simple(root_entries, list(extra))
    s = bytearray(img.sectors[20])
    dot = rrrec(b'\0', 20, S, 2, SP + ER)
    rest = s[34:34 + 34 + sum(len(r) for r in root_entries)]
    s[:] = (dot + bytes(rest)).ljust(S, b'\0')
    img.sectors[20] = bytes(s)
    return img


def rock_ridge_cases():
    out = {}
    # A continuation area whose CE leads back to itself; one outside the
    # volume; one crossing its sector.
    out['rock-ridge-continuation-loop'] = rr_simple(
        [rrrec(b'LOOP.;1', 0, 0, 0, nm(1, b'lo') + ce(30, 0, 64)),
         rrrec(b'FAR.;1', 0, 0, 0, nm(1, b'fa') + ce(0xFFFFFF00, 0, 64)),
         rrrec(b'CROSS.;1', 0, 0, 0, ce(30, 2040, 100))],
        [(30, nm(1, b'op') + ce(30, 0, 64))])
    # A chain of 3650 areas of 28 bytes, each holding only the CE to the next.
    chain = b''
    for k in range(50 * 73):
        n = k + 1
        chain += ce(40 + n // 73, (n % 73) * 28, 28)
        if (k + 1) % 73 == 0:
            chain = chain.ljust(((k + 1) // 73) * S, b'\0')
    out['rock-ridge-long-chain'] = rr_simple([rrrec(b'CHAIN.;1', 0, 0, 0, ce(40, 0, 28))], [(40, chain)])
    # Relocation gone wrong: a child link to the root, to a folder not
    # flagged RE, two links to one folder, a folder flagged RE that no link
    # names; NM and SL that say they continue and do not; PX of 40 bytes.
    moved, msize = directory(31, 20, [rrrec(b'F.;1', 0, 0, 0, nm(0, b'f'))])
    plain, psize = directory(32, 20, [])
    out['rock-ridge-relocation'] = rr_simple(
        [rrrec(b'A', 0, 0, 0, nm(0, b'up') + su(b'CL', both32(20))),
         rrrec(b'B', 0, 0, 0, nm(0, b'plain') + su(b'CL', both32(32))),
         rrrec(b'C', 0, 0, 0, nm(0, b'one') + su(b'CL', both32(31))),
         rrrec(b'D', 0, 0, 0, nm(0, b'two') + su(b'CL', both32(31))),
         rrrec(b'M', 31, msize, 2, nm(0, b'moved') + su(b'RE', b'')),
         rrrec(b'N.;1', 0, 0, 0, nm(1, b'open') + su(b'SL', bytes([1, 0, 3]) + b'abc')),
         rrrec(b'P', 32, psize, 2, su(b'PX', b'\0' * 36) + su(b'PL', both32(20)))],
        [(31, b''.join(moved)), (32, b''.join(plain))])
    return out


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'hostile')
    os.makedirs(folder, exist_ok=True)
    for name, img in cases().items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(img.bytes())


if __name__ == '__main__':
    main()
