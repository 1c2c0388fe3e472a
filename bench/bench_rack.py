#!/usr/bin/env python3
"""A rack of emulator stations driven through the Python package: 1, 4, 8
and 16 stations, one pytest-xdist worker (one library process) each, every
answer held back by the link delay.

    bench/bench_rack.py --library out/linux/libTermBridge.so \\
        --emulator out/linux/tools/emulator/tb-emulator [--delay 1] [--runs 3] \\
        [--commands 1000] [--stations 1,4,8,16]

Each run writes an inventory of N emulator stations to a temporary folder
and runs bench/rack/test_rack_load.py over it with ``-n N``: each worker
claims a station, opens its session through the plugin, sets the emulator's
``delay`` and waits for the others; then all send their commands
(NATIVE_READ_WORD_CMD through TermBridge.send, the library's default
logging). Per N it prints the medians over the runs of:

  commands/s      all stations' commands over the time from the common start
                  to the last station's end
  x one           against one station; ratio: against N times one station
  library cpu     user + system time of the library processes (the workers:
                  the library and Python) per command, in the sending phase
  emulator cpu    the emulators' processor time per command, apart
  others          processor time of everything else on the machine meanwhile
                  (busy time of /proc/stat less the rack's), in cores
  latency         p50 and p99 of one command, the median over the stations
  peak RSS        VmHWM of the largest worker (pytest, xdist, the package and
                  the library together)

Linux only (the emulator is). Needs pytest and pytest-xdist in the
interpreter that runs it (Debian: python3-pytest, python3-pytest-xdist).
Prints figures; nothing is checked, but a run that fails is an error.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
LOAD = SOURCE / "bench" / "rack" / "test_rack_load.py"
EXAMPLES = SOURCE / "examples"


def write_inventory(path, stations):
    lines = ["# %d emulator stations, written by bench_rack.py" % stations, "[defaults]", "emulator = true"]
    for key, value in (("definitions", EXAMPLES / "definitions" / "list.txt"),
                       ("mac_map", EXAMPLES / "maps" / "mac.map"), ("phy_map", EXAMPLES / "maps" / "phy.map")):
        lines.append("%s = %s" % (key, json.dumps(str(value))))
    for number in range(1, stations + 1):
        lines += ["", "[[station]]", 'name = "rack-bench-%d"' % number]
    path.write_text("\n".join(lines) + "\n")


def run_rack(arguments, stations, scratch):
    """One run over N stations; the figures of each station."""
    folder = Path(tempfile.mkdtemp(prefix="run-", dir=scratch))
    figures, locks, root = folder / "figures", folder / "locks", folder / "root"
    for made in (figures, locks, root):
        made.mkdir()
    inventory = folder / "stations.toml"
    write_inventory(inventory, stations)
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "termbridge.pytest_plugin",
               "-p", "xdist.plugin", "-n", str(stations), "--termbridge-library=%s" % arguments.library,
               "--termbridge-emulator=%s" % arguments.emulator, "--termbridge-inventory=%s" % inventory,
               "--termbridge-lock-dir=%s" % locks, "--rootdir=%s" % LOAD.parent, str(LOAD)]
    environment = dict(os.environ, PYTHONPATH=str(SOURCE / "bindings" / "python"), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
                       PYTHONDONTWRITEBYTECODE="1", TERMBRIDGE_ROOT=str(root), TB_RACK_FIGURES=str(figures),
                       TB_RACK_STATIONS=str(stations), TB_RACK_COMMANDS=str(arguments.commands),
                       TB_RACK_DELAY_MS=str(arguments.delay))
    run = subprocess.run(command, env=environment, capture_output=True, text=True, cwd=folder)
    passed = re.search(r"(\d+) passed", run.stdout)
    if run.returncode != 0 or not passed or int(passed.group(1)) != stations:
        sys.exit("the rack load failed over %d stations:\n%s%s" % (stations, run.stdout[-4000:], run.stderr[-2000:]))
    results = [json.loads(path.read_text()) for path in sorted(figures.glob("station-*.json"))]
    if len(results) != stations:
        sys.exit("%d of %d stations wrote their figures (%s)" % (len(results), stations, figures))
    shutil.rmtree(folder, ignore_errors=True)
    return results


def summary(results):
    """One run's figures over all its stations."""
    commands = sum(station["commands"] for station in results)
    started = min(station["started"] for station in results)
    seconds = max(station["ended"] for station in results) - started
    library = sum(station["user"] + station["system"] for station in results)
    emulators = sum(station["emulator"] for station in results)
    # The first station's view of the machine over its own sending phase.
    first = min(results, key=lambda station: station["station"])
    first_seconds = first["ended"] - first["started"]
    share = first_seconds / seconds if seconds > 0 else 1.0
    others = max(0.0, first["machine"] - share * (library + emulators)) / first_seconds if first_seconds > 0 else 0.0
    return dict(rate=commands / seconds, library=library / commands, user=sum(s["user"] for s in results) / commands,
                emulator=emulators / commands, others=others,
                p50=statistics.median(station["p50"] for station in results),
                p99=statistics.median(station["p99"] for station in results),
                rss=max(station["peak_rss_kib"] for station in results))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--delay", type=int, default=1, metavar="MS", help="the emulator's delay of every answer")
    parser.add_argument("--runs", type=int, default=3, help="runs of each rack; medians are printed")
    parser.add_argument("--commands", type=int, default=1000, help="commands per station")
    parser.add_argument("--stations", default="1,4,8,16", help="rack sizes, comma-separated")
    arguments = parser.parse_args()
    arguments.library = os.path.abspath(arguments.library)
    arguments.emulator = os.path.abspath(arguments.emulator)
    sizes = [int(size) for size in arguments.stations.split(",")]
    for path in (arguments.library, arguments.emulator):
        if not os.path.isfile(path):
            sys.exit("no such file: %s" % path)

    print("rack through the package: delay %d ms, %d commands per station, %d runs each (medians), "
          "%d processors, load %.1f" % (arguments.delay, arguments.commands, arguments.runs, os.cpu_count() or 0,
                                         os.getloadavg()[0]))
    print("stations  commands/s  x one  ratio  library cpu (user)  emulator cpu  others  latency p50/p99  peak RSS"
          "  runs (commands/s)")
    scratch = tempfile.mkdtemp(prefix="tb-bench-rack-")
    one = None
    try:
        for stations in sizes:
            runs = [summary(run_rack(arguments, stations, scratch)) for _ in range(arguments.runs)]
            figure = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
            if stations == 1:
                one = figure["rate"]
            times_one = "%5.2f" % (figure["rate"] / one) if one else "    -"
            ratio = "%5.2f" % (figure["rate"] / (stations * one)) if one else "    -"
            print("%8d  %10.0f  %s  %s  %6.0f us (%3.0f)  %9.0f us  %6.2f  %5.2f/%5.2f ms  %5.1f MiB  %s" % (
                stations, figure["rate"], times_one, ratio, figure["library"] * 1e6, figure["user"] * 1e6,
                figure["emulator"] * 1e6, figure["others"], figure["p50"] * 1e3, figure["p99"] * 1e3,
                figure["rss"] / 1024, ", ".join("%.0f" % run["rate"] for run in runs)), flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
