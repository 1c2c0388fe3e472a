#!/usr/bin/env python3
"""Checks that a built library exports exactly the names of the export list.

usage: check_exports.py <TermBridge.dll | libTermBridge.so> <TermBridge.def>
"""
import re
import subprocess
import sys


def listed_names(def_path):
    names = set()
    with open(def_path) as handle:
        for line in handle:
            word = line.strip()
            if word and not word.startswith(("LIBRARY", "EXPORTS", ";")):
                names.add(word)
    return names


def dll_exports(path):
    text = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout
    names, in_table = set(), False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if match:
                names.add(match.group(1))
            elif not line.strip():
                break
    return names


def so_exports(path):
    text = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                          capture_output=True, text=True).stdout
    return {line.split()[-1] for line in text.splitlines() if line.split()[1:2] == ["T"]}


def main():
    library, def_path = sys.argv[1], sys.argv[2]
    expected = listed_names(def_path)
    actual = dll_exports(library) if library.lower().endswith(".dll") else so_exports(library)
    missing, extra = expected - actual, actual - expected
    if missing or extra:
        print("missing exports:", sorted(missing))
        print("unexpected exports:", sorted(extra))
        return 1
    print(f"{library}: exactly the {len(expected)} listed exports")
    return 0


if __name__ == "__main__":
    sys.exit(main())
