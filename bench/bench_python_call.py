#!/usr/bin/env python3
"""What the Python package adds to a command: TermBridge.send against the
bare ctypes call of the same export, against an emulator without delay.

    bench/bench_python_call.py --library out/linux/libTermBridge.so \\
        --emulator out/linux/tools/emulator/tb-emulator [--blocks 20] [--commands 500]

The kinds run in turn, block by block, so that the machine's drift falls on
each alike; per kind the medians over the blocks of the wall time and of
the process's CPU time (user + system, every thread of this process, the
emulator's not) per command, and the difference to the bare call:

  bare ctypes call       sendCommandDefaultTimeout(line) only
  ctypes call + result   the same, then the result as send reads it
                         (getResultLen, getResultBuffer, getResultBufferText)
  send, strict           TermBridge.send(line): the definitions' checks, the
                         Ctrl-C wrapper, the result
  send, not strict       the same without the definitions' checks

Calls are made from the main thread, where send makes them cancellable by
Ctrl-C. The library logs errors only (severity 1). Prints figures; nothing
is checked.
"""

import argparse
import ctypes
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "bindings" / "python"))

import termbridge  # noqa: E402
from termbridge.emulator import Emulator, free_port  # noqa: E402

EXAMPLES = SOURCE / "examples"
LINE = "NATIVE_READ_WORD_CMD 0x10000100"


def kinds(session):
    lib = session.lib
    raw = LINE.encode("ascii")

    def bare():
        if lib.sendCommandDefaultTimeout(raw) != 0:
            raise RuntimeError(lib.getFailureMessage())

    def with_result():
        bare()
        length = lib.getResultLen()
        ctypes.string_at(lib.getResultBuffer(), length)
        lib.getResultBufferText()

    def send_strict():
        session.strict = True
        session.send(LINE)

    def send_loose():
        session.strict = False
        session.send(LINE)

    return [("bare ctypes call", bare), ("ctypes call + result", with_result), ("send, strict", send_strict),
            ("send, not strict", send_loose)]


def time_block(call, commands):
    """(wall, cpu) seconds per command over one block."""
    started, cpu = time.perf_counter(), time.process_time()
    for _ in range(commands):
        call()
    return (time.perf_counter() - started) / commands, (time.process_time() - cpu) / commands


def measure(arguments, definitions, folder):
    """Per kind, the (wall, cpu) per command of each block."""
    with Emulator(arguments.emulator, free_port(), definitions=definitions, log_dir=folder) as emulator:
        with termbridge.TermBridge(mac_map=EXAMPLES / "maps" / "mac.map", phy_map=EXAMPLES / "maps" / "phy.map",
                                   struct_list=definitions, udp_port=emulator.command_port,
                                   tcp_port=emulator.library_port, library_path=arguments.library) as session:
            session.log_severity = 1  # errors only: the log writes would only add noise
            measured = kinds(session)
            for _, call in measured:  # warm-up
                time_block(call, 50)
            figures = {name: [] for name, _ in measured}
            for _ in range(arguments.blocks):
                for name, call in measured:
                    figures[name].append(time_block(call, arguments.commands))
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--blocks", type=int, default=20)
    parser.add_argument("--commands", type=int, default=500, help="commands per block and kind")
    arguments = parser.parse_args()

    definitions = EXAMPLES / "definitions" / "list.txt"
    # The library's logs and lock file, and the emulator's log, go to a folder of this run.
    root = tempfile.mkdtemp(prefix="tb-bench-call-")
    os.environ["TERMBRIDGE_ROOT"] = root
    try:
        figures = measure(arguments, definitions, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print("per command, medians of %d blocks of %d (%d processors, load %.1f):"
          % (arguments.blocks, arguments.commands, os.cpu_count() or 0, os.getloadavg()[0]))
    bare_wall = statistics.median(wall for wall, _ in figures["bare ctypes call"])
    bare_cpu = statistics.median(cpu for _, cpu in figures["bare ctypes call"])
    for name, blocks in figures.items():
        wall = statistics.median(figure[0] for figure in blocks)
        cpu = statistics.median(figure[1] for figure in blocks)
        print("  %-22s %7.1f us wall (+%6.1f)  %7.1f us cpu (+%6.1f)"
              % (name, wall * 1e6, (wall - bare_wall) * 1e6, cpu * 1e6, (cpu - bare_cpu) * 1e6))


if __name__ == "__main__":
    main()
