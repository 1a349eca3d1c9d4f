#!/usr/bin/env python3
"""Checks every #include of src/ against the folders' declared uses.

src/CMakeLists.txt declares each folder once, `updater_layer(NAME USES A B ...)`:
a file in NAME may include headers of NAME, A, B ... and of no other folder.
Fails when an include goes against that, when a folder is not declared, or when
the declared uses form a cycle. Prints one line per fault; exit status 1 then.
"""
import pathlib
import re
import sys

TOP = pathlib.Path(__file__).resolve().parent.parent
SRC = TOP / "src"


def declared_layers():
    text = (SRC / "CMakeLists.txt").read_text()
    layers = {}
    for name, uses in re.findall(r"^\s*updater_layer\((\w+)(?:\s+USES\s+([\w\s]+))?\)", text, re.M):
        layers[name] = set(uses.split())
    return layers


def cycle_faults(layers):
    faults, state = [], {}

    def visit(name, path):
        if state.get(name) == "done":
            return
        if state.get(name) == "open":
            faults.append("declared uses form a cycle: " + " -> ".join(path[path.index(name):] + [name]))
            return
        state[name] = "open"
        for used in sorted(layers.get(name, ())):
            visit(used, path + [name])
        state[name] = "done"

    for name in sorted(layers):
        visit(name, [])
    return faults


def include_faults(layers):
    faults = []
    for file in sorted(SRC.rglob("*")):
        if file.suffix not in (".h", ".cpp", ".in") or not file.is_file():
            continue
        folder = file.relative_to(SRC).parts[0]
        if folder not in layers:
            faults.append(f"{file.relative_to(TOP)}: folder {folder}/ is not declared in src/CMakeLists.txt")
            continue
        allowed = layers[folder] | {folder}
        for number, line in enumerate(file.read_text(errors="replace").splitlines(), 1):
            match = re.match(r'\s*#\s*include\s+"([^"/]+)/', line)
            if match and match.group(1) not in allowed:
                faults.append(f"{file.relative_to(TOP)}:{number}: {folder}/ may not include {match.group(1)}/ "
                              f"(declared uses: {', '.join(sorted(layers[folder])) or 'none'})")
    for name, uses in sorted(layers.items()):
        for used in sorted(uses - set(layers)):
            faults.append(f"src/CMakeLists.txt: {name} uses {used}, which is not declared")
    return faults


def main():
    layers = declared_layers()
    faults = cycle_faults(layers) + include_faults(layers)
    for fault in faults:
        print(fault)
    print(f"layers: {len(layers)} folders checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
