#!/usr/bin/env python3
"""make_package.py OUT.zip FILES SIZE: a package like a game update, half
text-like (compresses well), half binary-like (barely compresses)."""
import os
import random
import sys
import zipfile

out, files, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(4)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(2000)]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for i in range(files):
        if i % 2 == 0:
            data = b" ".join(rng.choice(words) for _ in range(size // 5))[:size]
        else:
            data = os.urandom(size)
        z.writestr("data/folder%02d/file%05d.%s" % (i % 50, i, "txt" if i % 2 == 0 else "bin"), data)
