#!/usr/bin/env python3
"""run_with_emulator.sh, which the Windows test programs run under: a clean
stop of the emulator (the control line "shutdown") is followed by a restart on
the same ports, while an emulator that crashes fails the run even when the
test program passes, and the test program's own status comes through.

usage: run_with_emulator_test.py <run_with_emulator.sh> <tb-emulator>

Each case runs this script once more, under the wrapper, as the test program
(--step NAME); the emulator is started through a shim that notes its pids.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

DEADLINE = 5.0


def ask(port, line):
    """One control line's answer, or "" when nobody answers on the port."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as connection:
            connection.sendall((line + "\n").encode())
            return connection.makefile().readline().strip()
    except OSError:
        return ""


def pids(path):
    with open(path) as handle:
        return [int(word) for word in handle.read().split()]


def step_restart(pid_file):
    port = int(os.environ["TB_EMULATOR_CONTROL_PORT"])
    if ask(port, "shutdown") != "ok":
        return "the emulator did not accept shutdown"
    deadline = time.monotonic() + DEADLINE
    while len(pids(pid_file)) < 2 or not ask(port, "count").startswith("ok"):
        if time.monotonic() > deadline:
            return "no second emulator on control port %d within %.0f s" % (port, DEADLINE)
        time.sleep(0.05)
    return None


def step_crash(pid_file):
    os.kill(pids(pid_file)[-1], signal.SIGSEGV)
    return None


def step_fail(pid_file):
    sys.exit(3)


STEPS = {"restart": step_restart, "crash": step_crash, "fail": step_fail}

# step, the wrapper's status (None: any but 0), a text its error output holds ("" for none)
CASES = [
    ("restart", 0, ""),
    ("crash", None, "the emulator ended with status"),
    ("fail", 3, ""),
]


def run_case(wrapper, emulator, folder, step, status, text):
    pid_file = os.path.join(folder, step + ".pids")
    shim = os.path.join(folder, step + "-emulator")
    with open(shim, "w") as handle:
        handle.write('#!/bin/sh\necho $$ >>"%s"\nexec "%s" "$@"\n' % (pid_file, emulator))
    os.chmod(shim, 0o755)
    run = subprocess.run(["sh", wrapper, shim, sys.executable, __file__, "--step", step, pid_file],
                         capture_output=True, text=True, timeout=30)
    said = run.stdout + run.stderr
    if (run.returncode != 0) if status is None else (run.returncode == status):
        problem = None
    else:
        problem = "status %d, expected %s" % (run.returncode, "not 0" if status is None else status)
    if problem is None and text and text not in run.stderr:
        problem = "no %r in its error output" % text
    if problem is None and not text and "the emulator ended" in said:
        problem = "it reports an emulator failure"
    return None if problem is None else "%s: %s\n%s" % (step, problem, said)


def main():
    if sys.argv[1] == "--step":
        problem = STEPS[sys.argv[2]](sys.argv[3])
        if problem:
            print(problem, file=sys.stderr)
        return 1 if problem else 0
    wrapper, emulator = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="tb-run-with-emulator-") as folder:
        problems = [problem for case in CASES if (problem := run_case(wrapper, emulator, folder, *case))]
    for problem in problems:
        print(problem)
    print("%d of %d cases as expected" % (len(CASES) - len(problems), len(CASES)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
