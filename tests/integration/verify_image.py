#!/usr/bin/env python3
"""Checks an ISO image with `skarvo check` (the binary named by $SKARVO), the
shared isocheck.py where it exists, and every independent reader; with
--tree, also that the image holds exactly that folder's files.

verify_image.py IMG [--tree DIR] [--volume V] [--no-joliet] [--boot-media M]
                    [--min-files N]
Exit 0 when every check passes; each failure is printed.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def fail(msg):
    failures.append(msg)
    print("FAIL: " + msg, file=sys.stderr)


def run(cmd, timeout=300, encoding="utf-8"):
    t0 = time.monotonic()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if os.environ.get("VERIFY_TIMING"):
        print("%6.2f s  %s" % (time.monotonic() - t0, " ".join(cmd[:4])), file=sys.stderr)
    return p.returncode, p.stdout.decode(encoding, "replace"), p.stderr.decode(encoding, "replace")


def latin1_view(path):
    """A name as isoinfo prints Joliet names: Latin-1, '_' for the rest."""
    return "".join(c if ord(c) < 256 else "_" for c in path)


def expected_tree(root):
    """Files {relpath: size} and the folders that hold a file somewhere below."""
    files, dirs = {}, set()
    for dirpath, _dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for f in filenames:
            if "." not in f:
                f_img = f + "."   # a file name without a dot gets one
            else:
                f_img = f
            p = f_img if rel == "." else rel + "/" + f_img
            files[p] = os.path.getsize(os.path.join(dirpath, f))
    for p in files:
        parts = p.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            dirs.add("/".join(parts[:i]))
    return files, dirs


LINE = re.compile(r"^([d-])\S*\s+\d+\s+\d+\s+\d+\s+(\d+)\s+\S+\s+\d+\s+\d+\s+\[\s*(\d+)\s+\d+\]\s\s(.*?) ?$")


def isoinfo_listing(img, joliet):
    cmd = ["isoinfo", "-l", "-i", img] + (["-J", "-j", "iso8859-1"] if joliet else [])
    rc, out, err = run(cmd, encoding="latin-1")
    if rc != 0:
        fail("isoinfo %s -l exited %d: %s" % ("-J" if joliet else "", rc, err.strip()))
    files, dirs, cur = {}, set(), None
    for line in out.splitlines():
        if line.startswith("Directory listing of "):
            cur = line[len("Directory listing of "):].rstrip()
            cur = cur[1:].rstrip("/")
            continue
        m = LINE.match(line)
        if not m or cur is None:
            continue
        kind, size, name = m.group(1), int(m.group(2)), m.group(4)
        if name in (".", ".."):
            continue
        if name.endswith(";1"):
            name = name[:-2]
        path = name if cur == "" else cur + "/" + name
        if kind == "d":
            dirs.add(path)
        else:
            files[path] = size
    return files, dirs


def xorriso_listing(img, tree):
    cmd = ["timeout", "120", "xorriso", "-abort_on", "NEVER", "-return_with", "SORRY", "32"]
    if tree == "iso":
        cmd += ["-read_fs", "ecma119"]
    cmd += ["-indev", "stdio:" + os.path.abspath(img), "-find", "/", "-exec", "lsdl"]
    rc, out, err = run(cmd)
    if rc != 0:
        fail("xorriso -find exited %d: %s" % (rc, err.strip()[-500:]))
    files, dirs = {}, set()
    for line in out.splitlines():
        m = re.match(r"^([d-])\S+\s+\d+\s+\S+\s+\S+\s+(\d+)\s+\S+\s+\S+\s+\S+\s+'(.*)'$", line)
        if not m:
            continue
        path = m.group(3).replace("'\"'\"'", "'")[1:]
        if path == "":
            continue
        if m.group(1) == "d":
            dirs.add(path)
        else:
            files[path] = int(m.group(2))
    return files, dirs


def compare(what, got, want):
    gf, gd = got
    wf, wd = want
    if gf != wf:
        missing = sorted(set(wf) - set(gf))[:5]
        extra = sorted(set(gf) - set(wf))[:5]
        wrong = sorted(p for p in set(gf) & set(wf) if gf[p] != wf[p])[:5]
        fail("%s: files differ: missing %s, extra %s, wrong size %s" % (what, missing, extra, wrong))
    if gd != wd:
        fail("%s: folders differ: missing %s, extra %s" % (what, sorted(wd - gd)[:5], sorted(gd - wd)[:5]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("img")
    ap.add_argument("--tree")
    ap.add_argument("--volume")
    ap.add_argument("--no-joliet", action="store_true")
    ap.add_argument("--boot-media")
    ap.add_argument("--min-files", type=int, default=1)
    a = ap.parse_args()
    img = a.img
    joliet = not a.no_joliet
    shared = os.environ.get("SKARVO_SHARED_DIR", os.path.join(HERE, "../../../shared"))

    skarvo = os.environ.get("SKARVO")
    if not skarvo:
        fail("SKARVO does not name the skarvo binary: the structural check cannot run")
    else:
        rc, out, err = run([skarvo, "check", "--quiet", img])
        if rc != 0:
            fail("skarvo check exited %d:\n%s%s" % (rc, out[-3000:], err[-1000:]))
    isocheck = os.path.join(shared, "tools/isocheck.py")
    if os.path.isfile(isocheck):
        rc, out, err = run([sys.executable, isocheck, img])
        if rc != 0:
            fail("isocheck.py exited %d:\n%s%s" % (rc, out[-3000:], err[-1000:]))
    else:
        print("skipped: isocheck.py not found in %s" % shared)

    rc, out, err = run(["isoinfo", "-d", "-i", img])
    if rc != 0 or "CD-ROM is in ISO 9660 format" not in out:
        fail("isoinfo -d did not read the descriptor: " + err.strip())
    if a.volume is not None:
        # d-characters: letters upper-cased, every other character "_".
        want_volume = re.sub(r"[^A-Z0-9_]", "_", a.volume.upper())[:32]
        m = re.search(r"^Volume id: (.*)$", out, re.M)
        if not m or m.group(1).rstrip() != want_volume:
            fail("isoinfo -d volume id %r, expected %r" % (m and m.group(1), want_volume))
    has_joliet = "Joliet with UCS level 1 found" in out
    if has_joliet != joliet:
        fail("isoinfo -d: Joliet escape %s" % ("missing" if joliet else "present without --joliet"))

    want = expected_tree(a.tree) if a.tree else None
    prim = isoinfo_listing(img, False)
    if len(prim[0]) < a.min_files:
        fail("isoinfo -l lists %d files, expected at least %d" % (len(prim[0]), a.min_files))
    if want:
        if sorted(prim[0].values()) != sorted(want[0].values()):
            fail("isoinfo -l: the primary tree's file sizes differ from the sources")
        if len(prim[1]) != len(want[1]):
            fail("isoinfo -l: %d folders in the primary tree, expected %d" % (len(prim[1]), len(want[1])))
    if joliet:
        jol = isoinfo_listing(img, True)
        if want:
            compare("isoinfo -J -l", jol, ({latin1_view(p): v for p, v in want[0].items()},
                                           {latin1_view(p) for p in want[1]}))
        elif len(jol[0]) != len(prim[0]):
            fail("isoinfo: %d Joliet files but %d primary files" % (len(jol[0]), len(prim[0])))

    xo = xorriso_listing(img, "joliet" if joliet else "iso")
    if want and joliet:
        # xorriso shows "README." as "README".
        def bare(p):
            head, _, name = p.rpartition("/")
            if name.endswith(".") and "." not in name[:-1]:
                name = name[:-1]
            return head + "/" + name if head else name
        compare("xorriso -find", xo, ({bare(p): v for p, v in want[0].items()}, want[1]))
    elif len(xo[0]) != len(prim[0]):
        fail("xorriso lists %d files, isoinfo %d" % (len(xo[0]), len(prim[0])))

    if a.boot_media is not None:
        rc, out, err = run(["xorriso", "-abort_on", "NEVER", "-return_with", "SORRY", "32", "-indev", "stdio:" + os.path.abspath(img),
                            "-report_el_torito", "plain"])
        if rc != 0:
            fail("xorriso -report_el_torito exited %d" % rc)
        m = re.search(r"^El Torito boot img :\s+1\s+BIOS\s+y\s+(\S+)", out, re.M)
        if not m or m.group(1) != a.boot_media:
            fail("xorriso -report_el_torito: boot media %r, expected %r\n%s" % (m and m.group(1), a.boot_media, out))

    rc, out, err = run(["bsdtar", "-tvvf", img])
    if rc != 0 or "Archive Format: ISO9660" not in out:
        fail("bsdtar does not take the image for ISO 9660 (rc %d)" % rc)
    tmp = tempfile.mkdtemp(prefix="skarvo-verify-")
    try:
        rc, out, err = run(["bsdtar", "-xf", img, "-C", tmp])
        if rc != 0:
            fail("bsdtar -xf exited %d: %s" % (rc, err.strip()[-500:]))
        if want and joliet:
            # Undo the designed "." of dotless file names before comparing.
            for dirpath, _d, filenames in os.walk(tmp):
                rel = os.path.relpath(dirpath, tmp)
                for f in filenames:
                    bare = f[:-1]
                    if f.endswith(".") and "." not in bare and \
                            os.path.isfile(os.path.join(a.tree, rel, bare)):
                        os.rename(os.path.join(dirpath, f), os.path.join(dirpath, bare))
            rc, out, err = run(["diff", "-r", tmp, a.tree])
            if rc != 0:
                fail("bsdtar extraction differs from the sources:\n" + (out + err)[-2000:])
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", tmp])
        shutil.rmtree(tmp, ignore_errors=True)

    rc, out, err = run(["7z", "l", img])
    if rc != 0:
        fail("7z l exited %d: %s" % (rc, (out + err)[-500:]))
    else:
        m = re.search(r"(\d+) files", out.splitlines()[-1] if out.splitlines() else "")
        # 7z shows the boot image as one more file.
        if m and int(m.group(1)) != len(prim[0]) + (1 if a.boot_media else 0):
            fail("7z l counts %s files, isoinfo %d" % (m.group(1), len(prim[0])))
    rc, out, err = run(["7z", "t", img])
    if rc != 0 or "Everything is Ok" not in out:
        fail("7z t: " + (out + err)[-800:])

    rc, out, err = run(["iso-info", "-l", "-i", img])
    warns = [l for l in (out + err).splitlines() if "WARN" in l]
    if rc != 0 or warns:
        fail("iso-info -l: rc %d, %s" % (rc, warns[:5]))

    if failures:
        print("%s: %d check(s) failed" % (img, len(failures)), file=sys.stderr)
        return 1
    print("%s: all checks passed" % img)
    return 0


if __name__ == "__main__":
    sys.exit(main())
