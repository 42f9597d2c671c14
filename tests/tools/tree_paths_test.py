#!/usr/bin/env python3
"""No compile of the build names its tree in a definition.

A -D whose value holds the clone's folder (a module's path, a source folder) makes every file of that
target a different compile in each clone, so the compiler cache that tools/test-all uses compiles
them again for a clone in another folder. Paths a program needs at run time go through
zeph_built_paths (cmake/ZephBuiltPaths.cmake) instead.

Usage: tree_paths_test.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import shlex
import sys


def main():
    build, source = (os.path.realpath(p) for p in sys.argv[1:3])
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    found = []
    for e in entries:
        args = e["arguments"] if "arguments" in e else shlex.split(e["command"])
        for i, a in enumerate(args):
            define = a[2:] if a.startswith("-D") else args[i + 1] if a == "-D" else None
            if define and (source in define or build in define):
                found.append(f"{os.path.relpath(e['file'], source)}: -D{define}")
    if not entries:
        print(f"no compile in {build}/compile_commands.json")
        return 1
    for line in sorted(set(found)):
        print(line)
    if found:
        print(f"{len(set(found))} definitions name the tree; give such paths with zeph_built_paths")
        return 1
    print(f"{len(entries)} compiles, none names the tree in a definition")
    return 0


if __name__ == "__main__":
    sys.exit(main())
