#!/usr/bin/env python3
"""Makes the ZIP packages that the extraction tests read: make_zips.py OUTDIR

Real-world packages come from Python's zipfile, Info-ZIP `zip`, 7-Zip and bsdtar;
packages whose bytes matter (code page 437 names, descriptors, ZIP64 fields,
unsafe names, damage) from the small writer below.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import types
import warnings
import zipfile
import zlib

TEXT = b"The quick brown fox jumps over the lazy dog.\n" * 400


def compress(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def Entry(name, data=b"", method=8, **fields):
    """One entry; fields replace what the writer derives: flags, descriptor ("sig" or "nosig"), zip64
    (saturated sizes and offset, ZIP64 extra fields), made_by, external, central_extra, local_name,
    crc, usize, payload (the stored bytes) and csize; central (a dict of crc or usize that only the central
    directory says otherwise, twice to list the entry twice; None to leave it out)."""
    e = dict(name=name if isinstance(name, bytes) else name.encode(), data=data, method=method, flags=0,
             descriptor=None, zip64=False, made_by=20, external=0, central_extra=b"", local_name=None,
             crc=zlib.crc32(data), usize=len(data), payload=compress(data) if method == 8 else data, central={})
    e.update(fields)
    e.setdefault("csize", len(e["payload"]))
    return types.SimpleNamespace(**e)


def write_raw(path, entries, start=0, count_delta=0, size_delta=0, disk=0):
    """Writes the entries; `start` leaves a (sparse) hole before the first one, `disk` goes into the ZIP64 end record."""
    central = []
    with open(path, "wb") as f:
        f.seek(start)
        for e in entries:
            offset, flags = f.tell(), e.flags | (0x08 if e.descriptor else 0)
            big = e.zip64 or offset >= 0xFFFFFFFF
            if e.descriptor:
                local = (0, 0, 0, b"")
            elif e.zip64:
                local = (e.crc, 0xFFFFFFFF, 0xFFFFFFFF, struct.pack("<HHQQ", 1, 16, e.usize, e.csize))
            else:
                local = (e.crc, e.csize, e.usize, b"")
            name = e.name if e.local_name is None else e.local_name
            f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 45 if big else 20, flags, e.method, 0, 0x5A21, *local[:3],
                                len(name), len(local[3])) + name + local[3] + e.payload)
            if e.descriptor:
                sizes = struct.pack("<QQ" if e.zip64 else "<II", e.csize, e.usize)
                f.write((b"PK\x07\x08" if e.descriptor == "sig" else b"") + struct.pack("<I", e.crc) + sizes)
            if e.central is not None:
                listed = types.SimpleNamespace(**dict(vars(e), **e.central))
                central += [(listed, offset, flags, big)] * (2 if e.central.get("twice") else 1)
        cd_offset = f.tell()
        for e, offset, flags, big in central:
            sizes, extra = (e.csize, e.usize, offset), e.central_extra
            if big:
                sizes, extra = (0xFFFFFFFF,) * 3, struct.pack("<HHQQQ", 1, 24, e.usize, e.csize, offset) + extra
            f.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 45 if big else 20, flags, e.method, 0,
                                0x5A21, e.crc, sizes[0], sizes[1], len(e.name), len(extra), 0, 0, 0, e.external,
                                sizes[2]) + e.name + extra)
        cd_end, count = f.tell(), len(central) + count_delta
        cd_size = cd_end - cd_offset + size_delta
        if cd_offset >= 0xFFFFFFFF or any(c[3] for c in central):
            f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, disk, 0, count, count, cd_size, cd_offset))
            f.write(struct.pack("<IIQI", 0x07064B50, 0, cd_end, 1))
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0))
        else:
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_offset, 0))


def make_real_world_packages(out):
    with zipfile.ZipFile(os.path.join(out, "py_nested.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("top.txt", b"top\n")
        z.writestr("a/b/c/deep.txt", TEXT * 60)  # ~1 MB: many inflate rounds
        z.writestr(zipfile.ZipInfo("a/b/sibling.bin"), bytes((i * 7919 + (i >> 5)) & 0xFF for i in range(300_000)))
        z.writestr(zipfile.ZipInfo("empty_dir/"), b"")
        z.writestr(zipfile.ZipInfo("a/empty_inner/"), b"")
        z.writestr("a\\windows\\sep.txt", b"backslashes\n")
    zipfile.ZipFile(os.path.join(out, "py_empty.zip"), "w").close()
    with zipfile.ZipFile(os.path.join(out, "py_utf8.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("caf\u00e9/na\u00efve \u2603.txt", b"snowman\n")  # zipfile sets flag bit 11
        z.writestr("\u65e5\u672c/\u8a9e.txt", b"cjk\n")
    # More than 65,535 entries: ZIP64 end records. The same folder entry over
    # and over keeps extraction fast; the files around it carry the checks.
    with warnings.catch_warnings(), zipfile.ZipFile(os.path.join(out, "py_zip64_many.zip"), "w") as z:
        warnings.simplefilter("ignore")  # duplicate names are intended
        z.writestr("first.txt", b"first\n")
        for _ in range(65_600):
            z.writestr(zipfile.ZipInfo("many/"), b"")
        z.writestr("many/last.txt", b"last\n", zipfile.ZIP_DEFLATED)
    src = tempfile.mkdtemp()
    try:
        for rel, data, mode in (("tree/sub/deeper/file.txt", TEXT, 0o644), ("tree/readme.txt", b"readme\n", 0o644),
                                ("tree/tool.sh", b"#!/bin/sh\necho tool\n", 0o755), ("tree/empty/", None, 0o755)):
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            if data is not None:
                open(os.path.join(src, rel), "wb").write(data)
                os.chmod(os.path.join(src, rel), mode)
        subprocess.run(["zip", "-q", "-r", os.path.join(out, "iz_tree.zip"), "tree"], cwd=src, check=True)
        # Data/été.txt as publishers' tools on Linux store it: Info-ZIP zip (UTF-8 bytes, no flag bit 11,
        # no Unicode path field), 7-Zip (flag bit 11), bsdtar in the C locale (the bytes as they are, no flag).
        os.makedirs(os.path.join(src, "Data"))
        open(os.path.join(src, "Data", "\u00e9t\u00e9.txt"), "wb").write(b"accents\n")
        for name, argv, locale in (("iz_utf8.zip", ["zip", "-q", "-r"], "C.UTF-8"),
                                   ("7z_utf8.zip", ["7zz", "a", "-tzip", "-bso0", "-bsp0"], "C.UTF-8"),
                                   ("bsdtar_utf8.zip", ["bsdtar", "--format", "zip", "-cf"], "C")):
            subprocess.run(argv + [os.path.join(out, name), "Data"], cwd=src, check=True,
                           env=dict(os.environ, LC_ALL=locale))
    finally:
        shutil.rmtree(src)
    # From a pipe into a file (ZIP64 local fields) and into a pipe (a data descriptor).
    subprocess.run(["zip", "-q", os.path.join(out, "iz_stream_local64.zip"), "-"], input=TEXT, check=True)
    with open(os.path.join(out, "iz_stream_descriptor.zip"), "wb") as f:
        subprocess.run(["zip", "-q", "-", "-"], input=TEXT, stdout=f, check=True)


def make_crafted_packages(out):
    def raw(name, entries, **kw):
        write_raw(os.path.join(out, name + ".zip"), entries, **kw)

    raw("cp437", [Entry(b"caf\x82/\x84pfel \xe1.txt", b"cp437\n")])
    # Info-ZIP's Unicode path field names the entry when its CRC-32 is that of the stored name.
    def unicode_path(name, crc_of):
        field = struct.pack("<BI", 1, zlib.crc32(crc_of)) + name.encode()
        return struct.pack("<HH", 0x7075, len(field)) + field
    raw("unicode_path_field", [Entry(b"Data/__.txt", b"info-zip\n",
                                     central_extra=unicode_path("Data/\u65e5\u672c.txt", b"Data/__.txt"))])
    raw("unicode_path_field_stale", [Entry(b"Data/\x82t\x82.txt", b"stale\n",
                                           central_extra=unicode_path("Data/other.txt", b"Data/old.txt"))])
    raw("descriptor_sig", [Entry("d/deflated.txt", TEXT, descriptor="sig"),
                           Entry("d/stored.txt", b"stored after a descriptor\n", method=0, descriptor="sig")])
    raw("descriptor_nosig", [Entry("n/one.txt", TEXT, descriptor="nosig"),
                             Entry("n/two.txt", b"two\n", method=0, descriptor="nosig")])
    raw("zip64_fields", [Entry("z/sixty-four.txt", TEXT, zip64=True),
                         Entry("z/descriptor64.txt", b"d64\n", zip64=True, descriptor="sig")])
    raw("unix_modes", [Entry("bin/tool.sh", b"#!/bin/sh\n", made_by=0x0314, external=0o100755 << 16),
                       Entry("bin/data.txt", b"data\n", made_by=0x0314, external=0o100644 << 16),
                       Entry("bin/dos.txt", b"dos\n", made_by=20, external=0x20)])
    # An entry too large to be gathered whole before it is inflated, stored so that it stays large.
    raw("large_stored", [Entry("big.bin", bytes((i * 7919 + (i >> 5)) & 0xFF for i in range(600_000)), method=0),
                         Entry("after.txt", b"after\n")])
    # Local entries that the central directory does not list once each.
    raw("stream_unlisted", [Entry("listed.txt", b"listed\n"), Entry("unlisted.txt", b"unlisted\n", central=None)])
    raw("stream_listed_twice", [Entry("twice.txt", TEXT, central={"twice": True})])
    # The central directory disagrees with the local header on the content's CRC-32 or size.
    raw("stream_central_crc", [Entry("bad.txt", TEXT, central={"crc": zlib.crc32(TEXT) ^ 1})])
    raw("stream_central_size", [Entry("bad.txt", TEXT, central={"usize": len(TEXT) + 1})])
    # The later entry of a name is the file, whole, even while the earlier one is still being inflated.
    raw("same_name_twice", [Entry("same.txt", TEXT * 60), Entry("same.txt", b"second\n")])
    raw("names_like_devices", [Entry(n, b"x") for n in ("COM0.txt", "LPT10.txt", "CONSOLE.txt", "map1.txt")])
    # Files at the updater's own working names (rules/working_names.h), beside an ordinary one.
    for kind, name in (("temp", "_update_temp/levels.pak"), ("log", "UPDATER.LOG"), ("maps", "__maps.zip")):
        raw("working_name_" + kind, [Entry("n/one.txt", b"one\n"), Entry(name, b"not the updater's\n")])
    # A checked release (a content digest for each entry), the sizes and digests version.txt gives of it,
    # and a deflate bomb of exactly its size: 64 MiB of zeros declared honestly, padded by a stored entry.
    def digest(data):
        return struct.pack("<HH", 0x4853, 32) + hashlib.sha256(data).digest()
    noise = hashlib.shake_256(b"noise").digest(200_000)  # does not compress
    raw("checked_release", [Entry(n, d, central_extra=digest(d)) for n, d in
                            (("game/readme.txt", TEXT), ("game/data.pak", noise), ("game/bin/run.sh", b"run\n"))])
    release = open(os.path.join(out, "checked_release.zip"), "rb").read()
    cd_offset = struct.unpack("<I", release[-6:-2])[0]
    with open(os.path.join(out, "checked_release.check"), "w") as f:
        f.write("%s %d %s\n" % (hashlib.sha256(release).hexdigest(), len(release),
                                 hashlib.sha256(release[cd_offset:]).hexdigest()))
    # The same entries, and a central directory of other bytes: the package's digest fails after them.
    open(os.path.join(out, "checked_release_other_tail.zip"), "wb").write(
        release[:cd_offset + 5] + bytes([release[cd_offset + 5] ^ 1]) + release[cd_offset + 6:])
    bomb = [Entry("game/data.pak", b"\0" * (64 << 20))]
    raw("checked_release_bomb", bomb)
    pad = len(release) - os.path.getsize(os.path.join(out, "checked_release_bomb.zip")) - 90  # pad.bin's records
    raw("checked_release_bomb", bomb + [Entry("pad.bin", b"p" * pad, method=0)])
    assert os.path.getsize(os.path.join(out, "checked_release_bomb.zip")) == len(release)
    # Offsets past 4 GiB: the data of the one entry starts 4.5 GiB in, after a sparse hole.
    raw("zip64_far", [Entry("far/away.txt", TEXT)], start=(4 << 30) + (1 << 29))

    # Any unsafe name fails the whole package before good.txt is written.
    good = Entry("good.txt", b"written only when the whole package is sound\n")
    for kind, name in (("dotdot", b"../evil.txt"), ("dotdot_inner", b"sub/../../evil.txt"),
                       ("dotdot_backslash", b"sub\\..\\..\\evil.txt"), ("absolute", b"/tmp/evil.txt"),
                       ("absolute_backslash", b"\\evil.txt"), ("drive", b"C:/evil.txt"), ("drive_relative", b"C:evil.txt"),
                       ("unc", b"\\\\server\\share\\evil.txt"), ("nul", b"ok.txt\x00/../../evil.txt"),
                       ("device", b"sub/CON"), ("device_ext", b"nul.txt"), ("device_com", b"sub/com9 .txt"),
                       ("stream", b"file.txt:hidden"), ("trailing_dot", b"sub./evil.txt"),
                       ("trailing_space", b"sub /evil.txt"), ("empty", b"")):
        raw("unsafe_" + kind, [good, Entry(name, b"evil\n")])
    stored_blocks = b"".join(struct.pack("<BHH", 0, n, n ^ 0xFFFF) + b"s" * n for n in (65535, 65527))
    for kind, bad, kw in (
            ("crc", Entry("bad.txt", TEXT, crc=0x12345678), {}),
            ("size_far_above", Entry("bad.txt", TEXT, method=0, csize=0x7FFFFFF0, usize=0x7FFFFFF0), {}),
            ("declared_larger", Entry("bad.txt", TEXT, usize=0x7FFFFFF0), {}),
            ("declared_smaller", Entry("bad.txt", TEXT, usize=100), {}),
            ("declared_4gb", Entry("bad.txt", b"x" * 1000, usize=0xFFFFFFF0), {}),
            ("zip64_declared_1tb", Entry("bad.txt", b"tiny", zip64=True, usize=1 << 40), {}),
            # 1 KiB declared (with its CRC), 64 MiB of zeros in the stream.
            ("bomb", Entry("bad.txt", b"\0" * 1024, payload=compress(b"\0" * (64 << 20))), {}),
            ("stream_ends_early", Entry("bad.txt", TEXT, payload=compress(TEXT) + b"trailing"), {}),
            # Non-final stored blocks filling exactly 128 KiB, then a block of the
            # reserved type: the damage comes after the last content byte.
            ("stream_broken_after_content", Entry("bad.txt", b"s" * 131062, payload=stored_blocks + b"\x07"), {}),
            ("stored_sizes_differ", Entry("bad.txt", b"abc", method=0, usize=2), {}),
            ("encrypted", Entry("bad.txt", b"secret", method=0, flags=1), {}),
            ("method_bzip2", Entry("bad.txt", b"abc", method=12, payload=b"BZh9"), {}),
            ("method_deflate64", Entry("bad.txt", b"abc", method=9, payload=b"\x00" * 8), {}),
            ("corrupt_stream", Entry("bad.txt", TEXT, payload=b"\xff" * 64), {}),
            ("local_name_differs", Entry("bad.txt", b"abc", local_name=b"other.txt"), {}),
            ("count", Entry("b.txt", b"b"), {"count_delta": 1}),
            ("central_truncated", Entry("b.txt", b"b"), {"size_delta": 20}),
            ("zip64_split", Entry("b.txt", b"b", zip64=True), {"disk": 1})):  # a part of a split package
        raw("damaged_" + kind, [good, bad], **kw)
    for kind, old, new, cut in (("local_signature", b"PK\x03\x04", b"PK\x03\x05", 0),
                                ("central_signature", b"PK\x01\x02", b"PK\x01\x09", 0), ("cut", b"", b"", 30)):
        path = os.path.join(out, "damaged_%s.zip" % kind)
        write_raw(path, [good, Entry("second.txt", b"second\n")])
        data = open(path, "rb").read()
        at = data.rfind(old)  # the second entry's record
        open(path, "wb").write((data[:at] + new + data[at + len(old):] if old else data)[:len(data) - cut])


if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    make_real_world_packages(sys.argv[1])
    make_crafted_packages(sys.argv[1])
    open(os.path.join(sys.argv[1], "stamp"), "w").write("ok\n")
