#!/usr/bin/env python3
"""Runs a command and compares what it writes with an expected-output file.

usage: check_output.py <expected file> <source dir> -- <command> [<argument>...]

Standard output and standard error are read together, in the order they were
written. The source tree's path in them becomes "<source>" first, so that the
expected files hold no path of one machine. A difference is shown as a
unified diff; the check fails on it, on a command that does not start and on
one killed by a signal. Exit status: 0 same output, 1 a failed check, 2 a
usage error or an expected file that cannot be read.
"""
import difflib
import subprocess
import sys


def main(argv):
    if len(argv) < 5 or argv[3] != "--":
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    expected_file, source_dir, command = argv[1], argv[2].rstrip("/"), argv[4:]
    try:
        with open(expected_file, encoding="utf-8", newline="") as handle:
            expected = handle.read()
    except OSError as error:
        print("check_output.py: cannot read the expected output %s: %s" % (expected_file, error.strerror),
              file=sys.stderr)
        return 2
    try:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    except OSError as error:
        print("check_output.py: cannot run %s: %s" % (command[0], error.strerror), file=sys.stderr)
        return 1
    actual = run.stdout.decode("utf-8", errors="backslashreplace").replace(source_dir, "<source>")
    if run.returncode < 0:
        print("%s was killed by signal %d; its output:\n%s" % (command[0], -run.returncode, actual))
        return 1
    if actual != expected:
        diff = difflib.unified_diff(expected.splitlines(keepends=True), actual.splitlines(keepends=True),
                                    fromfile=expected_file, tofile="the output of " + " ".join(command))
        sys.stdout.writelines(diff)
        print("\nthe output differs from %s (lines with - expected, + written)" % expected_file)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
