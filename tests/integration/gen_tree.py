#!/usr/bin/env python3
"""Generates the test trees: gen_tree.py KIND DIR."""
import os
import random
import sys

kind, root = sys.argv[1], sys.argv[2]
rng = random.Random(1234)
os.makedirs(root, exist_ok=True)


def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(rng.randbytes(size) if size else b"")


if kind == "mixed":
    # Sizes around sector and block boundaries, nested folders, UTF-8 and
    # spaces, a hidden file, empty files, names without a dot.
    sizes = [0, 1, 2047, 2048, 2049, 65535, 65536, 65537, 300000, 3 * 1048576 + 17]
    for i, s in enumerate(sizes):
        write(os.path.join(root, "file%02d.bin" % i), s)
    write(os.path.join(root, "README"), 100)
    write(os.path.join(root, ".hidden"), 10)
    write(os.path.join(root, "with space", "a b c.txt"), 5000)
    write(os.path.join(root, "Ünïcødé dïr", "日本語のファイル.txt"), 4096)
    write(os.path.join(root, "Ünïcødé dïr", "Ελληνικά και ελληνικά.doc"), 123)
    write(os.path.join(root, "deep", "a", "b", "c", "d", "e", "f", "leaf.dat"), 70000)
    write(os.path.join(root, "deep", "a", "b", "sibling.txt"), 3)
    write(os.path.join(root, "many", "x"), 0)
    for i in range(150):
        write(os.path.join(root, "many", "entry-with-a-longer-name-%03d.txt" % i), rng.randint(0, 3000))
elif kind == "names":
    # Names the image must carry without breaking any reader.
    write(os.path.join(root, "back\\slash.txt"), 100)
    write(os.path.join(root, "dir\\with\\backslashes", "inside.txt"), 200)
    write(os.path.join(root, "Readme.TXT"), 300)
    write(os.path.join(root, "README.txt"), 301)
    write(os.path.join(root, "readme.txt"), 302)
    write(os.path.join(root, "Case", "one.txt"), 10)
    write(os.path.join(root, "CASE", "two.txt"), 11)
    write(os.path.join(root, "x" * 200 + ".txt"), 400)
    write(os.path.join(root, "y" * 105 + ".txt"), 401)   # 109 characters: cut to 108
    write(os.path.join(root, "z" * 100 + ".txt"), 408)   # fits whole
    write(os.path.join(root, "d" * 200, "in-long-dir.txt"), 402)
    write(os.path.join(root, "emoji \U0001F600 name.txt"), 403)
    write(os.path.join(root, "semi;colon*star?.txt"), 404)
    write(os.path.join(root, "  leading and trailing  "), 405)
    write(os.path.join(root, "many.dots.in.one.name.tar.gz"), 406)
    write(os.path.join(root, "ä" * 60 + ".txt"), 407)
    for i in range(40):   # aliases that collide on their first characters
        write(os.path.join(root, "collide", "Collision test file %02d.text" % i), i)
elif kind == "dirs":
    # 20 x 10 x 10 x 10 nested folders (22,220 in all), one file in each leaf.
    n = 0
    for a in range(20):
        for b in range(10):
            for c in range(10):
                base = os.path.join(root, "top%02d" % a, "mid%d" % b, "low%d" % c)
                for d in range(10):
                    p = os.path.join(base, "leaf%d" % d)
                    os.makedirs(p)
                    with open(os.path.join(p, "f.txt"), "w") as f:
                        f.write("%d\n" % n)
                    n += 1
else:
    sys.exit("unknown kind " + kind)
