#!/usr/bin/env python3
"""Checks that a built library exports exactly the names of the export list.

The list holds the 26 host functions, unchanged and in their order, followed
only by extension functions named tbx_*.

usage: check_exports.py <TermBridge.dll | libTermBridge.so> <TermBridge.def>
"""
import re
import subprocess
import sys


HOST_FUNCTIONS = [
    "initialize", "initialize_old", "deinitialize", "ver", "sendCommand", "sendCommandDefaultTimeout",
    "getResultBuffer", "getResultBufferText", "getResultLen", "getFailureMessage", "setDefaultTimeout",
    "getDefaultTimeout", "setLogSeverity", "getLogSeverity", "setInternalCommandTimeout", "AllowWriteLogsToFile",
    "SyncChipAccess", "LoadFW", "getSystemVersionInfo", "InitEepromIF", "UpdateEepromField", "BurnEeprom",
    "DumpEepromTableToFile", "ReadEntireEeprom", "ReadFieldFromEeprom", "ReadFieldFromVolatile",
]
EXTENSION_PREFIX = "tbx_"


def listed_names(def_path):
    names = []
    with open(def_path) as handle:
        for line in handle:
            word = line.strip()
            if word and not word.startswith(("LIBRARY", "EXPORTS", ";")):
                names.append(word)
    return names


def list_problems(names):
    """What is wrong with the export list itself: the 26 first, then only extensions."""
    problems = []
    if names[:len(HOST_FUNCTIONS)] != HOST_FUNCTIONS:
        problems.append("the list does not start with the 26 host functions in their order")
    strays = [name for name in names[len(HOST_FUNCTIONS):] if not name.startswith(EXTENSION_PREFIX)]
    if strays:
        problems.append("names after the 26 without the %s prefix: %s" % (EXTENSION_PREFIX, strays))
    if len(set(names)) != len(names):
        problems.append("a name is listed twice")
    return problems


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
    """Every defined dynamic symbol, whatever its kind: code (T), data (D, B,
    R), weak (W, V) or unique (u); a version suffix (@VER, @@VER) is not part
    of the name."""
    text = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                          capture_output=True, text=True).stdout
    return {line.split()[-1].split("@")[0] for line in text.splitlines() if len(line.split()) >= 3}


def main():
    library, def_path = sys.argv[1], sys.argv[2]
    listed = listed_names(def_path)
    problems = list_problems(listed)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    expected = set(listed)
    actual = dll_exports(library) if library.lower().endswith(".dll") else so_exports(library)
    missing, extra = expected - actual, actual - expected
    if missing or extra:
        print("missing exports:", sorted(missing))
        print("unexpected exports:", sorted(extra))
        return 1
    print(f"{library}: exactly the {len(HOST_FUNCTIONS)} host functions and "
          f"{len(expected) - len(HOST_FUNCTIONS)} {EXTENSION_PREFIX} extensions listed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
