"""Power cuts, simulated: records the file-system calls of a program run with
strace and builds from the record the disk states a power cut could leave
at each point of the run. It knows nothing of the program it watches.

Why strace: it sees every call, whatever library makes it (libstdc++'s
streams, libcurl, the shell of a child process), without building anything
into or beside the program, and the program runs unchanged; a run costs a
few times its normal time, which small scenarios can afford.

The model of a power cut, pessimistic:
  - metadata operations (create, mkdir, rename, unlink, rmdir, link,
    symlink, truncate, chmod) reach the disk in the order they were made, so
    a cut leaves a prefix of them;
  - data written to a file and not yet flushed (fsync, fdatasync, syncfs,
    sync) may be lost: the file then reads as zeros of its written length
    (bytes it held at its last flush, where not written over since, stay), or
    is cut short anywhere between its last flushed length and its written
    length.
A crash point lies before each metadata operation and each flush, and at the
end. Each point gives these states: every unflushed file zeroed, every one
cut back to its flushed length, every one kept whole (what a kill leaves), a
random mix of the three with random cut lengths, and, for up to four of the
unflushed files, that file alone zeroed (one file's bytes lost while another's,
that describes it, reached the disk).

    recording = record(argv, roots, cwd=..., env=...)
    for state in crash_states(recording, random.Random(seed)):
        state.read(path)      # bytes, or None when no file is there
        state.materialize()   # writes the state over the roots
        state.signature()     # alike for states whose files lost the same unflushed bytes

Calls that change files in a way the model does not know (mmap writes,
copy_file_range, an exchange of names) under the roots stop the recording
with an error instead of giving wrong states.
"""

import os
import re
import shutil
import stat
import subprocess
import tempfile

TRACED = ("open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,lseek,close,dup,dup2,dup3,fcntl,"
          "ftruncate,truncate,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,symlink,"
          "symlinkat,link,linkat,chmod,fchmod,fchmodat,fsync,fdatasync,syncfs,sync,clone,clone3,fork,vfork,"
          "copy_file_range,sendfile,fallocate,splice,mmap")
LINE = re.compile(r"^(\d+) +(\w+)\((.*)\) += (.*)$")
UNFINISHED = re.compile(r"^(\d+) +(\w+)\((.*) <unfinished \.\.\.>$")
RESUMED = re.compile(r"^(\d+) +<\.\.\. (\w+) resumed>(.*)$")
DIRECTORY = "directory"


class NotModelled(Exception):
    """The program changed a file in a way the model of a power cut does not cover."""


# -- the record ------------------------------------------------------------------

def split_arguments(text):
    """Top-level arguments of a strace call; strings are all hex (-xx), so only
    brackets and the <...> of descriptor paths nest."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "([{<":
            depth += 1
        elif c in ")]}>":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        parts.append(text[start:].strip())
    return parts


def hex_string(token):
    if token.endswith("..."):
        raise NotModelled("strace cut a string short: raise its -s")
    return bytes.fromhex(token.strip('"').replace("\\x", ""))


def descriptor(token):
    """(number or None for AT_FDCWD, path or None) of "3<\\x2f...>"."""
    head, _, rest = token.partition("<")
    path = os.fsdecode(hex_string(rest[:-1])) if rest.startswith("\\x") else None
    return (None if head == "AT_FDCWD" else int(head)), path


class Recorder:
    """Turns strace lines into events on paths below the roots:
    ("create", path, mode) ("mkdir", path) ("write", path, offset, data)
    ("truncate", path, length) ("rename", old, new) ("unlink", path)
    ("rmdir", path) ("symlink", target, path) ("link", old, new)
    ("chmod", path, mode) ("fsync", path) ("syncfs",)"""

    def __init__(self, roots):
        self.roots = [os.path.realpath(r) for r in roots]
        self.events = []
        self.process = {}  # thread id -> process id
        self.offsets = {}  # (process id, fd) -> [offset, append]
        self.pending = {}  # thread id -> (call, arguments so far)

    def inside(self, path):
        return path is not None and any(path == r or path.startswith(r + os.sep) for r in self.roots)

    def line(self, text):
        match = UNFINISHED.match(text)
        if match:
            self.pending[match[1]] = (match[2], match[3])
            return
        match = RESUMED.match(text)
        if match and match[1] in self.pending:
            call, head = self.pending.pop(match[1])
            text = "%s %s(%s%s" % (match[1], call, head, match[3])
        match = LINE.match(text)
        if match and not match[4].startswith(("-1", "?")):
            thread = int(match[1])
            self.call(self.process.setdefault(thread, thread), match[2], split_arguments(match[3]), match[4])

    def path_at(self, directory, name):
        name = os.fsdecode(hex_string(name))
        return os.path.normpath(os.path.join(descriptor(directory)[1] or "/", name))

    def emit(self, *event):
        if any(self.inside(p) for p in event[1:] if isinstance(p, str)):
            self.events.append(event)

    def call(self, pid, name, args, result):
        handler = getattr(self, "on_" + name, None)
        if handler:
            handler(pid, args, result)

    # descriptors and their offsets
    def on_openat(self, pid, args, result, at=True):
        path = self.path_at(args[0], args[1]) if at else self.path_at("AT_FDCWD", args[0])
        flags = args[2] if at else args[1]
        fd = descriptor(result)[0]
        self.offsets[(pid, fd)] = [0, "O_APPEND" in flags]
        if "O_CREAT" in flags:
            mode = int((args[3] if at else args[2]).split()[0], 8)
            self.emit("create", path, mode & 0o777 & ~0o022)
        if "O_TRUNC" in flags and ("O_WRONLY" in flags or "O_RDWR" in flags):
            self.emit("truncate", path, 0)

    def on_open(self, pid, args, result):
        self.on_openat(pid, args, result, at=False)

    def on_creat(self, pid, args, result):
        self.on_openat(pid, ["AT_FDCWD", args[0], "O_CREAT|O_WRONLY|O_TRUNC", args[1]], result)

    def on_close(self, pid, args, result):
        self.offsets.pop((pid, descriptor(args[0])[0]), None)

    def on_dup(self, pid, args, result):
        cell = self.offsets.setdefault((pid, descriptor(args[0])[0]), [0, False])
        self.offsets[(pid, descriptor(result)[0])] = cell

    on_dup2 = on_dup3 = on_dup

    def on_fcntl(self, pid, args, result):
        if args[1].startswith("F_DUPFD"):
            self.on_dup(pid, args, result)

    def on_lseek(self, pid, args, result):
        self.offsets.setdefault((pid, descriptor(args[0])[0]), [0, False])[0] = int(result.split()[0])

    def on_clone(self, pid, args, result):
        child = int(result.split()[0])
        if "CLONE_THREAD" in ",".join(args):
            # strace may show a thread's first calls before its creation
            self.process[child] = pid
            for owner, fd in [key for key in self.offsets if key[0] == child]:
                self.offsets[(pid, fd)] = self.offsets.pop((owner, fd))
            return
        self.process[child] = child
        for (owner, fd), cell in list(self.offsets.items()):
            if owner == pid:
                self.offsets[(child, fd)] = cell

    on_clone3 = on_fork = on_vfork = on_clone

    # data
    def write_at(self, pid, token, data, offset=None):
        fd, path = descriptor(token)
        cell = self.offsets.setdefault((pid, fd), [0, False])
        if offset is None:
            offset = None if cell[1] else cell[0]
            cell[0] += len(data)
        if path and path.endswith(" (deleted)"):
            return
        self.emit("write", path, offset, data)

    def on_write(self, pid, args, result):
        self.write_at(pid, args[0], hex_string(args[1])[:int(result)])

    def on_pwrite64(self, pid, args, result):
        self.write_at(pid, args[0], hex_string(args[1])[:int(result)], int(args[3]))

    def on_writev(self, pid, args, result, offset=None):
        data = b"".join(hex_string(m) for m in re.findall(r'iov_base=("[^"]*"(?:\.\.\.)?)', args[1]))
        self.write_at(pid, args[0], data[:int(result)], offset)

    def on_pwritev(self, pid, args, result):
        self.on_writev(pid, args, result, int(args[3]))

    on_pwritev2 = on_pwritev

    def on_ftruncate(self, pid, args, result):
        self.emit("truncate", descriptor(args[0])[1], int(args[1]))

    def on_truncate(self, pid, args, result):
        self.emit("truncate", self.path_at("AT_FDCWD", args[0]), int(args[1]))

    def refuse(self, pid, args, result):
        if any(self.inside(descriptor(a)[1]) for a in args if "<" in a):
            raise NotModelled("a call the model does not know wrote below the roots: %r" % (args,))

    on_copy_file_range = on_sendfile = on_fallocate = on_splice = refuse

    def on_mmap(self, pid, args, result):
        if "PROT_WRITE" in args[2] and "MAP_SHARED" in args[3]:
            self.refuse(pid, args[4:5], result)

    # names
    def on_renameat2(self, pid, args, result):
        if len(args) > 4 and "RENAME_EXCHANGE" in args[4]:
            raise NotModelled("renameat2 with RENAME_EXCHANGE")
        self.emit("rename", self.path_at(args[0], args[1]), self.path_at(args[2], args[3]))

    on_renameat = on_renameat2

    def on_rename(self, pid, args, result):
        self.on_renameat2(pid, ["AT_FDCWD", args[0], "AT_FDCWD", args[1]], result)

    def on_unlinkat(self, pid, args, result):
        removed = self.path_at(args[0], args[1])
        self.emit("rmdir" if "AT_REMOVEDIR" in args[2] else "unlink", removed)

    def on_unlink(self, pid, args, result):
        self.emit("unlink", self.path_at("AT_FDCWD", args[0]))

    def on_rmdir(self, pid, args, result):
        self.emit("rmdir", self.path_at("AT_FDCWD", args[0]))

    def on_mkdirat(self, pid, args, result):
        self.emit("mkdir", self.path_at(args[0], args[1]))

    def on_mkdir(self, pid, args, result):
        self.emit("mkdir", self.path_at("AT_FDCWD", args[0]))

    def on_symlinkat(self, pid, args, result):
        self.emit("symlink", os.fsdecode(hex_string(args[0])), self.path_at(args[1], args[2]))

    def on_symlink(self, pid, args, result):
        self.on_symlinkat(pid, [args[0], "AT_FDCWD", args[1]], result)

    def on_linkat(self, pid, args, result):
        self.emit("link", self.path_at(args[0], args[1]), self.path_at(args[2], args[3]))

    def on_link(self, pid, args, result):
        self.on_linkat(pid, ["AT_FDCWD", args[0], "AT_FDCWD", args[1]], result)

    def on_fchmodat(self, pid, args, result):
        self.emit("chmod", self.path_at(args[0], args[1]), int(args[2], 8))

    def on_chmod(self, pid, args, result):
        self.on_fchmodat(pid, ["AT_FDCWD"] + args, result)

    def on_fchmod(self, pid, args, result):
        self.emit("chmod", descriptor(args[0])[1], int(args[1], 8))

    # flushes
    def on_fsync(self, pid, args, result):
        self.emit("fsync", descriptor(args[0])[1])

    on_fdatasync = on_fsync

    def on_syncfs(self, pid, args, result):
        self.events.append(("syncfs",))

    on_sync = on_syncfs


def snapshot(roots):
    """{path: (kind, content, mode)} of everything below the roots, kind one
    of "file", "link", DIRECTORY."""
    found = {}
    for root in (os.path.realpath(r) for r in roots):
        for here, dirs, files in os.walk(root):
            for path in [here] + [os.path.join(here, n) for n in files + [d for d in dirs if os.path.islink(os.path.join(here, d))]]:
                info = os.lstat(path)
                if stat.S_ISLNK(info.st_mode):
                    found[path] = ("link", os.readlink(path), 0)
                elif stat.S_ISDIR(info.st_mode):
                    found[path] = (DIRECTORY, None, 0)
                else:
                    found[path] = ("file", open(path, "rb").read(), stat.S_IMODE(info.st_mode))
    return found


class Recording:
    def __init__(self, roots, initial, events, final, returncode):
        self.roots, self.initial, self.events, self.final, self.returncode = roots, initial, events, final, returncode


def record(argv, roots, strace_prefix=0, **popen):
    """Runs argv (its standard streams /dev/null unless popen says otherwise)
    with strace inserted at position strace_prefix (after a wrapper such as
    unshare that must not be traced) and returns the Recording."""
    for stream in ("stdin", "stdout", "stderr"):
        popen.setdefault(stream, subprocess.DEVNULL)
    roots = [os.path.realpath(r) for r in roots]
    initial = snapshot(roots)
    with tempfile.TemporaryDirectory() as scratch:
        trace = os.path.join(scratch, "trace")
        strace = ["strace", "-f", "-qq", "-xx", "-y", "-s", "16777216", "-e", "signal=none", "-e", "trace=" + TRACED,
                  "-o", trace]
        result = subprocess.run(argv[:strace_prefix] + strace + argv[strace_prefix:], **popen)
        if os.environ.get("CRASHSIM_KEEP_TRACE"):  # for a look at what the model was given
            shutil.copy(trace, os.environ["CRASHSIM_KEEP_TRACE"])
        recorder = Recorder(roots)
        with open(trace, encoding="latin-1") as lines:
            for text in lines:
                recorder.line(text.rstrip("\n"))
    recording = Recording(roots, initial, recorder.events, snapshot(roots), result.returncode)
    disk = Disk(recording)
    for event in recording.events:
        disk.apply(event)
    replayed = {p: (k, c, m) for p, k, c, m in disk.entries(lambda node: node.data)}
    if replayed != recording.final:
        differ = sorted(p for p in set(replayed) | set(recording.final) if replayed.get(p) != recording.final.get(p))
        raise NotModelled("the record does not replay to the disk as the run left it: %s" % differ[:5])
    return recording


# -- the states --------------------------------------------------------------------

class Node:
    """A file's bytes as written (data) and as they stood at its last flush (durable)."""

    def __init__(self, data=b"", mode=0o644):
        self.data, self.durable, self.mode = bytearray(data), bytes(data), mode
        self.zeros = None  # zeroed(), kept until the next change

    def flush(self):
        self.durable, self.zeros = bytes(self.data), None

    def zeroed(self):
        if self.zeros is None:
            keep, length = self.durable, len(self.data)
            kept = min(len(keep), length)
            if self.data[:kept] == keep[:kept]:  # only appended to since the flush
                self.zeros = keep[:kept] + bytes(length - kept)
            else:
                self.zeros = bytes(keep[i] if i < kept and self.data[i] == keep[i] else 0 for i in range(length))
        return self.zeros

    def cut(self, length):
        return bytes(self.data[:length])


class Disk:
    """The names and files below the roots, replayed event by event."""

    def __init__(self, recording):
        self.recording = recording
        self.names, self.dirty = {}, {}  # dirty: id -> node written since its flush
        for path, (kind, content, mode) in recording.initial.items():
            self.names[path] = Node(content, mode) if kind == "file" else (kind, content)

    def apply(self, event):
        kind, names = event[0], self.names
        if kind == "create":
            if event[1] not in names:
                names[event[1]] = Node(mode=event[2])
        elif kind == "mkdir":
            names[event[1]] = (DIRECTORY, None)
        elif kind == "write" and isinstance(names.get(event[1]), Node):
            node, data = names[event[1]], event[3]
            offset = len(node.data) if event[2] is None else event[2]
            node.data[len(node.data):offset] = bytes(max(0, offset - len(node.data)))
            node.data[offset:offset + len(data)] = data
            node.zeros, self.dirty[id(node)] = None, node
        elif kind == "truncate" and isinstance(names.get(event[1]), Node):
            node = names[event[1]]
            del node.data[event[2]:]
            node.data[len(node.data):event[2]] = bytes(event[2] - len(node.data))
            node.durable, node.zeros, self.dirty[id(node)] = node.durable[:event[2]], None, node
        elif kind == "rename" and event[1] != event[2]:
            self.rename(event[1], event[2])
        elif kind in ("unlink", "rmdir"):
            names.pop(event[1], None)
        elif kind == "symlink":
            names[event[2]] = ("link", event[1])
        elif kind == "link" and event[1] in names:
            names[event[2]] = names[event[1]]
        elif kind == "chmod" and isinstance(names.get(event[1]), Node):
            names[event[1]].mode = event[2] & 0o777
        elif kind == "fsync" and isinstance(names.get(event[1]), Node):
            names[event[1]].flush()
            self.dirty.pop(id(names[event[1]]), None)
        elif kind == "syncfs":
            for node in self.dirty.values():
                node.flush()
            self.dirty.clear()

    def rename(self, old, new):
        moved = {p: v for p, v in self.names.items() if p == old or p.startswith(old + os.sep)}
        if not moved:  # from outside the roots: the model cannot know its bytes
            raise NotModelled("renamed into the roots from outside: %s" % old)
        for path in [p for p in self.names if p == new or p.startswith(new + os.sep)]:
            del self.names[path]
        for path, value in moved.items():
            del self.names[path]
            if self.inside(new):
                self.names[new + path[len(old):]] = value

    def inside(self, path):
        return any(path == r or path.startswith(r + os.sep) for r in self.recording.roots)

    def entries(self, content_of):
        for path, value in self.names.items():
            if isinstance(value, Node):
                yield path, "file", content_of(value), value.mode
            else:
                yield path, value[0], value[1], 0


class CrashState:
    """One disk state a power cut could leave: the point (events made), the
    variant's name and the bytes each file reads as."""

    def __init__(self, disk, point, variant, contents, dirty):
        self.disk, self.point, self.variant, self.contents, self.dirty = disk, point, variant, contents, dirty

    def content(self, node):
        return self.contents.get(id(node), node.data)

    def read(self, path):
        value = self.disk.names.get(os.path.realpath(path))
        return bytes(self.content(value)) if isinstance(value, Node) else None

    def exists(self, path):
        return os.path.realpath(path) in self.disk.names

    def materialize(self):
        """Empties the roots and writes this state into them."""
        for root in self.disk.recording.roots:
            if os.path.lexists(root):
                shutil.rmtree(root)
        for path, kind, content, mode in sorted(self.disk.entries(self.content)):
            if kind == DIRECTORY:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if kind == "link":
                os.symlink(content, path)
            else:
                with open(path, "wb") as out:
                    out.write(content)
                os.chmod(path, mode)

    def signature(self, ignore=()):
        """The files that lost unflushed bytes, by name (digits left out, those
        in ignore left out), and whether they were zeroed or cut."""
        lost = ((p, self.contents[id(n)] == n.zeroed()) for p, n in self.dirty if id(n) in self.contents)
        return frozenset((re.sub(r"[0-9]+", "#", os.path.basename(p)), zeroed) for p, zeroed in lost
                         if os.path.basename(p) not in ignore)

    def describe(self):
        return "after event %d, %s" % (self.point, self.variant)


def variants(dirty, rng):
    """{name: {id(node): bytes}} for the unflushed files, [(path, node)]."""
    if not dirty:
        return {"flushed": {}}
    alone = {"%s lost" % os.path.basename(p): {id(n): n.zeroed()} for p, n in rng.sample(dirty, min(4, len(dirty)))}
    dirty, mixed = [n for _, n in dirty], {}
    for node in dirty:
        choice = rng.randrange(3)
        mixed[id(node)] = (node.zeroed() if choice == 0 else bytes(node.data) if choice == 1 else
                           node.cut(rng.randint(min(len(node.durable), len(node.data)), len(node.data))))
    return {"zeroed": {id(n): n.zeroed() for n in dirty},
            "cut to flushed": {id(n): n.cut(min(len(n.durable), len(n.data))) for n in dirty},
            "kept": {}, "mixed": mixed, **(alone if len(dirty) > 1 else {})}


def crash_states(recording, rng):
    """Every crash state of the run, in order; each is valid until the next is asked for."""
    disk = Disk(recording)
    events = recording.events
    for point in range(len(events) + 1):
        if point == len(events) or events[point][0] != "write":
            dirty = [(p, v) for p, v in disk.names.items() if id(v) in disk.dirty and v.data != v.durable]
            for name, contents in variants(dirty, rng).items():
                yield CrashState(disk, point, name, contents, dirty)
        if point < len(events):
            disk.apply(events[point])
