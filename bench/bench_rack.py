#!/usr/bin/env python3
"""The rack suite (tests/rack, 48 chip tests) against one emulator station
and spread over the four stations of tests/rack/stations.toml with
pytest-xdist: wall time of each run, tests per second and the speed-up.

    bench/bench_rack.py --library out/linux/libTermBridge.so \\
        --emulator out/linux/tools/emulator/tb-emulator [--runs 3]

Needs pytest and pytest-xdist in the interpreter that runs it (on Debian:
python3-pytest, python3-pytest-xdist). Prints figures; nothing is checked.
"""

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
INVENTORY = SOURCE / "tests" / "rack" / "stations.toml"


def run_suite(arguments, workers):
    """One pytest run; (seconds, tests passed)."""
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "termbridge.pytest_plugin",
               "-p", "xdist.plugin", "--termbridge-library", arguments.library, "--termbridge-emulator",
               arguments.emulator, "--termbridge-inventory", str(INVENTORY), str(SOURCE / "tests" / "rack")]
    command += ["-n", str(workers)] if workers > 1 else ["-n", "0", "--termbridge-station", "emu-1"]
    environment = dict(os.environ, PYTHONPATH=str(SOURCE / "bindings" / "python"), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
                       PYTHONDONTWRITEBYTECODE="1")
    started = time.monotonic()
    run = subprocess.run(command, env=environment, capture_output=True, text=True)
    seconds = time.monotonic() - started
    passed = re.search(r"(\d+) passed", run.stdout)
    if run.returncode != 0 or not passed:
        sys.exit("the rack suite failed with %d workers:\n%s%s" % (workers, run.stdout[-3000:], run.stderr[-2000:]))
    return seconds, int(passed.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--runs", type=int, default=3, help="runs of each kind; the best is kept")
    arguments = parser.parse_args()
    arguments.library = os.path.abspath(arguments.library)
    arguments.emulator = os.path.abspath(arguments.emulator)

    print("rack suite: %s, %d runs of each kind (best kept), %d processors" % (INVENTORY.parent, arguments.runs,
                                                                            os.cpu_count() or 0))
    results = {}
    for workers in (1, 4):
        runs = [run_suite(arguments, workers) for _ in range(arguments.runs)]
        seconds, tests = min(runs)
        results[workers] = seconds
        label = "one station" if workers == 1 else "%d stations (-n %d)" % (workers, workers)
        print("  %-22s %3d tests  %6.2f s wall  %6.1f tests/s  (runs: %s)" % (
            label, tests, seconds, tests / seconds, ", ".join("%.2f s" % run[0] for run in runs)))
    print("  speed-up over 4 stations: %.2fx" % (results[1] / results[4]))


if __name__ == "__main__":
    main()
