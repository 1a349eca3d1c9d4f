"""A release and the installation it updates, shaped like a game's: files of
log-normal sizes (a few bytes to several megabytes) in nested folders, half
of the bytes text-like (scripts, configuration, levels: deflate shrinks them
to about a third) and half binary-like (textures, sounds, models: random bytes
that do not shrink).

make_release(directory, files, total_bytes) writes
  release/updates/version.txt   game-version 1.1.0
  release/updates/update.zip    `files` files of `total_bytes` bytes, plus safelist.txt
  release/updates/maps.zip      30 maps
  old/                          the installation at 1.0.0: 98 % of the package's
                                paths with other bytes, 2 % retired files that the
                                release drops, the player's saves, screenshots and
                                options.ini (kept by the safelist)
  data-old/                     Documents data: last release's maps and the player's replays
and returns the manifest (also stored as manifest.json) that verify() checks
an updated installation against.
"""

import json
import os
import random
import subprocess
import zipfile

NEW_VERSION = b"game-version: 1.1.0\r\nupdater-version: 1.0.0\r\n"
OLD_VERSION = b"game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n"
SAFELIST = b"# the player's own files; updates keep them\nData/Save/\nScreenshots/\n*.ini\n"
TEXT_KINDS = (("Scripts", "lua"), ("Config", "xml"), ("Levels", "lvl"))
BINARY_KINDS = (("Textures", "dds"), ("Sounds", "ogg"), ("Models", "mdl"))


def text_source(rng):
    """8 MB of word salad that files are cut from, so that text files are
    neither identical nor trivially compressible."""
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 10)))
             for _ in range(5000)]
    words += [b"\n", b"\t", b"= ", b"(", b"); ", b"0.5", b"true", b"end\n"]
    return b" ".join(rng.choices(words, k=1500000))


def text_bytes(rng, source, size):
    pieces, have = [], 0
    while have < size:
        start = rng.randrange(len(source) - 8192)
        piece = source[start:start + rng.randint(512, 8192)]
        pieces.append(piece)
        have += len(piece)
    return b"".join(pieces)[:size]


def file_sizes(rng, files, total_bytes):
    raw = [rng.lognormvariate(0, 1.5) for _ in range(files)]
    scale = total_bytes / sum(raw)
    return [max(1, int(r * scale)) for r in raw]


def file_name(index, text):
    folder, extension = (TEXT_KINDS if text else BINARY_KINDS)[(index // 2) % 3]
    return "Data/%s/set%02d/%s_%05d.%s" % (folder, (index // 6) % 40, folder.lower(), index, extension)


def write_file(root, relative, data):
    path = os.path.join(root, *relative.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def write_game(game, files, total_bytes, seed=19):
    """The game as players should have it, for releases made by updater-release:
    `files` files of log-normal sizes, every other one text-like; returns their
    relative paths."""
    rng = random.Random(seed)
    source = text_source(rng)
    names = []
    for index, size in enumerate(file_sizes(rng, files, total_bytes)):
        text = index % 2 == 0
        names.append(file_name(index, text))
        write_file(game, names[-1], text_bytes(rng, source, size) if text else rng.randbytes(size))
    return names


def publish(tool, game, maps, out, game_version="1.1.0"):
    """updater-release's release folder (out/updates/...) of the game and the maps."""
    subprocess.run([tool, "--game-dir", game, "--maps-dir", maps, "--game-version", game_version,
                    "--updater-version", "1.0.0", "--out", out], check=True, stdout=subprocess.DEVNULL)


def make_release(directory, files, total_bytes, seed=6):
    rng = random.Random(seed)
    source = text_source(rng)
    updates, old, data_old = (os.path.join(directory, d) for d in ("release/updates", "old", "data-old"))
    os.makedirs(updates)
    write_file(updates, "version.txt", NEW_VERSION)

    sizes = file_sizes(rng, files, total_bytes)
    names = sorted((file_name(i, i % 2 == 0), i) for i in range(files))
    new_only = max(1, files // 50)
    with zipfile.ZipFile(os.path.join(updates, "update.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        z.writestr("safelist.txt", SAFELIST)
        for name, i in names:
            data = text_bytes(rng, source, sizes[i]) if i % 2 == 0 else rng.randbytes(sizes[i])
            z.writestr(name, data)
            if i % 50 != 0:  # every 50th file is new in this release
                write_file(old, name, b"1.0.0 " + data[6:] if len(data) > 6 else b"old")
    retired = ["Data/Retired/set%02d/retired_%05d.pak" % (i % 10, i) for i in range(new_only)]
    for i, name in enumerate(retired):
        write_file(old, name, rng.randbytes(sizes[i % files]))
    player = {"Data/Save/slot%d.sav" % i: rng.randbytes(50000) for i in range(1, 6)}
    player.update({"Screenshots/shot%03d.png" % i: rng.randbytes(300000) for i in range(20)})
    player["options.ini"] = b"[video]\r\nwidth=1920\r\nheight=1080\r\n"
    for name, data in player.items():
        write_file(old, name, data)
    write_file(old, "version.txt", OLD_VERSION)
    write_file(old, "safelist.txt", SAFELIST)

    maps = {"Maps/map%02d.map" % i: text_bytes(rng, source, 100000) for i in range(30)}
    with zipfile.ZipFile(os.path.join(updates, "maps.zip"), "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for name, data in maps.items():
            z.writestr(name, data)
    for i in range(30):
        write_file(data_old, "Maps/map%02d.map" % i, b"last release's map %d" % i)
    replays = {"Replays/match%02d.rep" % i: rng.randbytes(20000) for i in range(10)}
    for name, data in replays.items():
        write_file(data_old, name, data)

    manifest = {"retired": retired, "player": {k: len(v) for k, v in player.items()},
                "replays": sorted(replays), "files": files, "bytes": sum(sizes),
                "package_bytes": os.path.getsize(os.path.join(updates, "update.zip"))}
    with open(os.path.join(directory, "manifest.json"), "w") as out:
        json.dump(manifest, out)
    return manifest


def verify(directory, install, data):
    """Problems found in an updated installation and data directory ([] when it
    is exactly the new release with the player's files kept)."""
    with open(os.path.join(directory, "manifest.json")) as f:
        manifest = json.load(f)
    updates = os.path.join(directory, "release", "updates")
    problems = []

    def compare(root, name, expected):
        path = os.path.join(root, *name.split("/"))
        try:
            with open(path, "rb") as f:
                if f.read() != expected:
                    problems.append("differs: " + path)
        except OSError:
            problems.append("missing: " + path)

    with zipfile.ZipFile(os.path.join(updates, "update.zip")) as z:
        for name in z.namelist():
            compare(install, name, z.read(name))
    with zipfile.ZipFile(os.path.join(updates, "maps.zip")) as z:
        for name in z.namelist():
            compare(data, name, z.read(name))
    compare(install, "version.txt", NEW_VERSION)
    for name in manifest["retired"]:
        if os.path.exists(os.path.join(install, name)):
            problems.append("not deleted: " + name)
    for name, size in manifest["player"].items():
        path = os.path.join(install, name)
        if not os.path.isfile(path) or os.path.getsize(path) != size:
            problems.append("player file lost: " + name)
    for name in manifest["replays"]:
        if not os.path.isfile(os.path.join(data, name)):
            problems.append("replay lost: " + name)
    for name in ("update.zip", "_update_temp", "__remote_version.txt", "__maps_pending"):
        if os.path.exists(os.path.join(install, name)):
            problems.append("left over: " + name)
    return problems
