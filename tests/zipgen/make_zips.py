#!/usr/bin/env python3
"""Makes the ZIP packages that the extraction tests read.

Usage: make_zips.py OUTDIR

Real-world packages come from Python's zipfile and Info-ZIP `zip`; packages
whose bytes matter (code page 437 names, descriptors without signature, ZIP64
fields, unsafe names, damage) come from the small writer below.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import warnings
import zipfile
import zlib

GIB = 1 << 30


# --- a writer with control over every field ---------------------------------

class Entry:
    def __init__(self, name, data=b"", method=8, **opts):
        self.name = name if isinstance(name, bytes) else name.encode("utf-8")
        self.data = data
        self.method = method
        self.flags = opts.get("flags", 0)
        self.descriptor = opts.get("descriptor")  # None, "sig" or "nosig"
        self.zip64 = opts.get("zip64", False)     # saturate sizes and offset, ZIP64 extra fields
        self.made_by = opts.get("made_by", 20)
        self.external = opts.get("external", 0)
        self.central_extra = opts.get("central_extra", b"")
        self.local_name = opts.get("local_name")
        self.crc = opts.get("crc")
        self.csize = opts.get("csize")
        self.usize = opts.get("usize")
        self.payload = opts.get("payload")       # the stored bytes, when not derived from data


def compress(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def write_raw(path, entries, start=0, force_zip64_end=False, count_delta=0, size_delta=0):
    """Writes the entries; `start` leaves a hole before the first one (sparse)."""
    central = []
    with open(path, "wb") as f:
        f.seek(start)
        for e in entries:
            offset = f.tell()
            payload = e.payload if e.payload is not None else (compress(e.data) if e.method == 8 else e.data)
            crc = e.crc if e.crc is not None else zlib.crc32(e.data)
            csize = e.csize if e.csize is not None else len(payload)
            usize = e.usize if e.usize is not None else len(e.data)
            flags = e.flags | (0x08 if e.descriptor else 0)
            big = e.zip64 or offset >= 0xFFFFFFFF
            if e.descriptor:
                lcrc, lc, lu, lextra = 0, 0, 0, b""
            elif e.zip64:
                lcrc, lc, lu = crc, 0xFFFFFFFF, 0xFFFFFFFF
                lextra = struct.pack("<HHQQ", 1, 16, usize, csize)
            else:
                lcrc, lc, lu, lextra = crc, csize, usize, b""
            lname = e.local_name if e.local_name is not None else e.name
            f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 45 if big else 20, flags, e.method, 0, 0x5A21,
                                lcrc, lc, lu, len(lname), len(lextra)) + lname + lextra)
            f.write(payload)
            if e.descriptor:
                sig = struct.pack("<I", 0x08074B50) if e.descriptor == "sig" else b""
                sizes = struct.pack("<QQ", csize, usize) if e.zip64 else struct.pack("<II", csize, usize)
                f.write(sig + struct.pack("<I", crc) + sizes)
            central.append((e, offset, crc, csize, usize, flags, big))
        cd_offset = f.tell()
        for e, offset, crc, csize, usize, flags, big in central:
            extra = e.central_extra
            cc, cu, co = csize, usize, offset
            if big:
                cc, cu, co = 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF
                extra = struct.pack("<HHQQQ", 1, 24, usize, csize, offset) + extra
            f.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, 45 if big else 20, flags, e.method,
                                0, 0x5A21, crc, cc, cu, len(e.name), len(extra), 0, 0, 0, e.external, co)
                    + e.name + extra)
        cd_end = f.tell()
        count = len(entries) + count_delta
        cd_size = cd_end - cd_offset + size_delta
        zip64_end = force_zip64_end or cd_offset >= 0xFFFFFFFF or any(c[6] for c in central)
        if zip64_end:
            f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, cd_size, cd_offset))
            f.write(struct.pack("<IIQI", 0x07064B50, 0, cd_end, 1))
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0))
        else:
            f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, cd_size, cd_offset, 0))


def patch(path, old, new, count=1):
    data = open(path, "rb").read()
    assert old in data, (path, old)
    open(path, "wb").write(data.replace(old, new, count))


GOOD = Entry("good.txt", b"written only when the whole package is sound\n")
TEXT = b"The quick brown fox jumps over the lazy dog.\n" * 400


# --- packages made by Python's zipfile ---------------------------------------

def make_zipfile_packages(out):
    rng = bytes((i * 7919 + (i >> 5)) & 0xFF for i in range(300_000))  # poorly compressible
    with zipfile.ZipFile(os.path.join(out, "py_nested.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("top.txt", b"top\n")
        z.writestr("a/b/c/deep.txt", TEXT * 60)  # ~1 MB: many inflate rounds
        z.writestr(zipfile.ZipInfo("a/b/sibling.bin"), rng, zipfile.ZIP_STORED)
        z.writestr(zipfile.ZipInfo("empty_dir/"), b"")
        z.writestr(zipfile.ZipInfo("a/empty_inner/"), b"")
        z.writestr("a\\windows\\sep.txt", b"backslashes\n")
    with zipfile.ZipFile(os.path.join(out, "py_empty.zip"), "w"):
        pass
    with zipfile.ZipFile(os.path.join(out, "py_utf8.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("caf\u00e9/na\u00efve \u2603.txt", b"snowman\n")  # zipfile sets flag bit 11
        z.writestr("\u65e5\u672c/\u8a9e.txt", b"cjk\n")

    class Unseekable(io.RawIOBase):
        def __init__(self, f):
            self.f = f
        def writable(self):
            return True
        def write(self, b):
            return self.f.write(b)

    with open(os.path.join(out, "py_descriptor.zip"), "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as z:  # descriptors with signature
            z.writestr("d/deflated.txt", TEXT)
            z.writestr(zipfile.ZipInfo("d/stored.txt"), b"stored after a descriptor\n", zipfile.ZIP_STORED)

    # More than 65,535 entries: ZIP64 end records. The same folder entry over
    # and over keeps extraction fast; the files around it carry the checks.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are intended
        with zipfile.ZipFile(os.path.join(out, "py_zip64_many.zip"), "w", zipfile.ZIP_STORED) as z:
            z.writestr("first.txt", b"first\n")
            folder = zipfile.ZipInfo("many/")
            for _ in range(65_600):
                z.writestr(folder, b"")
            z.writestr("many/last.txt", b"last\n", zipfile.ZIP_DEFLATED)


# --- packages made by Info-ZIP zip --------------------------------------------

def make_infozip_packages(out):
    src = tempfile.mkdtemp()
    try:
        os.makedirs(os.path.join(src, "tree", "sub", "deeper"))
        os.makedirs(os.path.join(src, "tree", "empty"))
        with open(os.path.join(src, "tree", "sub", "deeper", "file.txt"), "wb") as f:
            f.write(TEXT)
        with open(os.path.join(src, "tree", "readme.txt"), "wb") as f:
            f.write(b"readme\n")
        tool = os.path.join(src, "tree", "tool.sh")
        with open(tool, "wb") as f:
            f.write(b"#!/bin/sh\necho tool\n")
        os.chmod(tool, 0o755)
        os.chmod(os.path.join(src, "tree", "readme.txt"), 0o644)
        subprocess.run(["zip", "-q", "-r", os.path.join(out, "iz_tree.zip"), "tree"], cwd=src, check=True)
        with open(os.path.join(src, "tree", "sub", "gr\u00fc\u00dfe.txt"), "wb") as f:
            f.write(b"utf8\n")
        # This zip sets neither flag bit 11 nor a Unicode path field: the
        # UTF-8 bytes are stored bare and read as code page 437.
        subprocess.run(["zip", "-q", os.path.join(out, "iz_bare_bytes.zip"), "tree/sub/gr\u00fc\u00dfe.txt"],
                       cwd=src, check=True)
    finally:
        shutil.rmtree(src)
    # From a pipe into a pipe: ZIP64 local fields and a data descriptor.
    for name, tail in (("iz_stream_local64.zip", None), ("iz_stream_descriptor.zip", "cat")):
        target = os.path.join(out, name)
        if tail is None:
            subprocess.run(["zip", "-q", target, "-"], input=TEXT, check=True)
        else:
            with open(target, "wb") as f:
                p = subprocess.Popen(["zip", "-q", "-", "-"], stdin=subprocess.PIPE, stdout=f)
                p.communicate(TEXT)
                assert p.returncode == 0


# --- packages written field by field ---------------------------------------------

def make_crafted_packages(out):
    def raw(name, entries, **kw):
        write_raw(os.path.join(out, name), entries, **kw)

    raw("cp437.zip", [Entry(b"caf\x82/\x84pfel \xe1.txt", b"cp437\n")])
    utf8_name = "na\u00efve.txt".encode()
    unicode_field = struct.pack("<B I", 1, zlib.crc32(utf8_name)) + utf8_name
    raw("unicode_path_field.zip", [Entry(utf8_name, b"info-zip\n",
                                         central_extra=struct.pack("<HH", 0x7075, len(unicode_field)) + unicode_field)])
    raw("descriptor_nosig.zip", [Entry("n/one.txt", TEXT, descriptor="nosig"),
                                 Entry("n/two.txt", b"two\n", method=0, descriptor="nosig")])
    raw("zip64_fields.zip", [Entry("z/sixty-four.txt", TEXT, zip64=True),
                             Entry("z/descriptor64.txt", b"d64\n", zip64=True, descriptor="sig")])
    raw("unix_modes.zip", [Entry("bin/tool.sh", b"#!/bin/sh\n", made_by=0x0314, external=0o100755 << 16),
                           Entry("bin/data.txt", b"data\n", made_by=0x0314, external=0o100644 << 16),
                           Entry("bin/dos.txt", b"dos\n", made_by=20, external=0x20)])
    raw("names_like_devices.zip", [Entry(n, b"x") for n in ("COM0.txt", "LPT10.txt", "CONSOLE.txt", "map1.txt")])

    # Any unsafe name fails the whole package before good.txt is written.
    unsafe = {
        "dotdot": b"../evil.txt",
        "dotdot_inner": b"sub/../../evil.txt",
        "dotdot_backslash": b"sub\\..\\..\\evil.txt",
        "absolute": b"/tmp/evil.txt",
        "absolute_backslash": b"\\evil.txt",
        "drive": b"C:/evil.txt",
        "drive_relative": b"C:evil.txt",
        "unc": b"\\\\server\\share\\evil.txt",
        "nul": b"ok.txt\x00/../../evil.txt",
        "device": b"sub/CON",
        "device_ext": b"nul.txt",
        "device_com": b"sub/com9 .txt",
        "stream": b"file.txt:hidden",
        "trailing_dot": b"sub./evil.txt",
        "trailing_space": b"sub /evil.txt",
        "empty": b"",
    }
    for kind, name in unsafe.items():
        raw("unsafe_%s.zip" % kind, [GOOD, Entry(name, b"evil\n")])

    damaged = {
        "crc": [GOOD, Entry("bad.txt", TEXT, crc=0x12345678)],
        "size_far_above": [GOOD, Entry("bad.txt", TEXT, method=0, csize=0x7FFFFFF0, usize=0x7FFFFFF0)],
        "declared_larger": [GOOD, Entry("bad.txt", TEXT, usize=0x7FFFFFF0)],
        "declared_smaller": [GOOD, Entry("bad.txt", TEXT, usize=100)],
        "stored_sizes_differ": [GOOD, Entry("bad.txt", b"abc", method=0, usize=2)],
        "encrypted": [GOOD, Entry("bad.txt", b"secret", method=0, flags=1)],
        "method_bzip2": [GOOD, Entry("bad.txt", b"abc", method=12, payload=b"BZh9")],
        "method_deflate64": [GOOD, Entry("bad.txt", b"abc", method=9, payload=b"\x00" * 8)],
        "corrupt_stream": [GOOD, Entry("bad.txt", TEXT, payload=b"\xff" * 64, csize=64)],
        "local_name_differs": [GOOD, Entry("bad.txt", b"abc", local_name=b"other.txt")],
        "declared_4gb": [GOOD, Entry("bad.txt", b"x" * 1000, usize=0xFFFFFFF0)],
        "zip64_declared_1tb": [GOOD, Entry("bad.txt", b"tiny", zip64=True, usize=1 << 40)],
        # 1 KiB declared (with its CRC), 64 MiB of zeros in the stream.
        "bomb": [GOOD, Entry("bad.txt", b"\0" * 1024, payload=compress(b"\0" * (64 << 20)))],
        "stream_ends_early": [GOOD, Entry("bad.txt", TEXT, payload=compress(TEXT) + b"trailing")],
        # Non-final stored blocks filling exactly 128 KiB, then a block of the
        # reserved type: the damage comes after the last content byte.
        "stream_broken_after_content": [GOOD, Entry("bad.txt", b"s" * 131062, payload=b"".join(
            struct.pack("<BHH", 0, n, n ^ 0xFFFF) + b"s" * n for n in (65535, 65527)) + b"\x07")],
    }
    for kind, entries in damaged.items():
        raw("damaged_%s.zip" % kind, entries)
    raw("damaged_count.zip", [GOOD, Entry("b.txt", b"b")], count_delta=1)
    raw("damaged_central_truncated.zip", [GOOD, Entry("b.txt", b"b")], size_delta=20)
    two = [GOOD, Entry("second.txt", b"second\n")]
    for kind, old, new in (("local_signature", b"PK\x03\x04", b"PK\x03\x05"),
                           ("central_signature", b"PK\x01\x02", b"PK\x01\x09")):
        raw("damaged_%s.zip" % kind, two)
        path = os.path.join(out, "damaged_%s.zip" % kind)
        data = open(path, "rb").read()
        at = data.rfind(old)  # the second entry's record
        open(path, "wb").write(data[:at] + new + data[at + 4:])
    raw("damaged_cut.zip", two)
    path = os.path.join(out, "damaged_cut.zip")
    data = open(path, "rb").read()
    open(path, "wb").write(data[:-30])  # the end record is gone

    # Offsets past 4 GiB: the data of the one entry starts 4.5 GiB in. The
    # hole before it is sparse, so the file takes a few kilobytes of disk.
    raw("zip64_far.zip", [Entry("far/away.txt", TEXT)], start=4 * GIB + GIB // 2)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    make_zipfile_packages(out)
    make_infozip_packages(out)
    make_crafted_packages(out)
    with open(os.path.join(out, "stamp"), "w") as f:
        f.write("ok\n")


if __name__ == "__main__":
    main()
