#!/usr/bin/env python3
"""tb-console in script mode against the emulator: expectations met and
missed (file:line, exit status), --keep-going, and --json output.

usage: console_script_test.py --emulator TB-EMULATOR --examples DIR
                              [--path-prefix Z:] [--lib LIBRARY] -- CONSOLE-COMMAND...

The console command may start with a runner (wine). Paths handed to the
console get the prefix (Windows programs under Wine see / as Z:).
"""
import argparse
import json
import os
import pty
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None

WORD_ADDRESS = 0xBFC00140


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ConsoleScripts(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tb-console-script-")
        self.command_port, self.library_port = free_port(), free_port()
        self.emulator = subprocess.Popen(
            [ARGS.emulator, "--command-port", str(self.command_port), "--library-port", str(self.library_port),
             "--definitions", os.path.join(ARGS.examples, "definitions", "list.txt"), "-q"],
            stdout=subprocess.PIPE, bufsize=0)
        # It says "ready ..." once its ports are open, at once. Unbuffered, so
        # that a line read ahead never hides from the wait.
        deadline = time.monotonic() + 5
        while True:
            if not select.select([self.emulator.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                self.give_up("the emulator did not say ready within 5 s")
            line = self.emulator.stdout.readline()
            if not line:
                self.give_up("the emulator ended without saying ready")
            if line.startswith(b"ready "):
                break

    def give_up(self, why):
        """A failed set-up: tearDown does not run, so the emulator is stopped here."""
        self.emulator.kill()
        self.emulator.communicate()
        shutil.rmtree(self.folder, ignore_errors=True)
        self.fail(why)

    def tearDown(self):
        self.emulator.terminate()
        self.emulator.communicate(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, local):
        return ARGS.path_prefix + local

    def console_options(self):
        maps = os.path.join(ARGS.examples, "maps")
        options = ["--udp", str(self.command_port), "--tcp", str(self.library_port), "--timeout", "3000",
                   "--list", self.path(os.path.join(ARGS.examples, "definitions", "list.txt")),
                   "--mac", self.path(os.path.join(maps, "mac.map")),
                   "--phy", self.path(os.path.join(maps, "phy.map"))]
        return options + (["--lib", ARGS.lib] if ARGS.lib else [])

    def environment(self):
        env = dict(os.environ, TERMBRIDGE_ROOT=os.path.join(self.folder, "root"), TERM="xterm")
        env.setdefault("WINEDEBUG", "-all")
        return env

    def run_script(self, lines, *options):
        """Writes the script, runs the console on it; (status, stdout, stderr, script path)."""
        script = os.path.join(self.folder, "session.tbs")
        with open(script, "w") as handle:
            handle.write("\n".join(lines) + "\n")
        command = list(ARGS.console) + self.console_options() + ["--script", self.path(script)] + list(options)
        run = subprocess.run(command, capture_output=True, text=True, env=self.environment(), timeout=120)
        return run.returncode, run.stdout, run.stderr, self.path(script)

    def test_a_script_whose_expectations_hold_passes(self):
        status, out, err, _ = self.run_script([
            "# write a word and read it back",
            "NATIVE_WRITE_WORD_CMD 0x%x 0x1234abcd" % WORD_ADDRESS,
            "NATIVE_READ_WORD_CMD 0x%x" % WORD_ADDRESS,
            ":expect ok",
            ":expect text ^0x1234abcd$",
            "NATIVE_WRITE_BUFFER_CMD 0xBFC00200 2 0x5a 0xa5",
            "NATIVE_READ_BUFFER_CMD 0xBFC00200 2",
            ":expect result 5A A5",
            "NO_SUCH_CMD x=1",
            ":expect fail Failed to Send Command",
        ])
        self.assertEqual(status, 0, out + err)
        self.assertIn("  ok, 2 bytes: 5aa5", out)
        self.assertIn("  failed (1): Error: Failed to Send Command : 'NO_SUCH_CMD x=1 '", out)

    MISSING = [
        "NATIVE_WRITE_BUFFER_CMD 0xBFC00300 1 0x11",     # 1
        "NATIVE_READ_BUFFER_CMD 0xBFC00300 1",           # 2
        ":expect result 22",                             # 3: missed
        "NATIVE_READ_BUFFER_CMD 0xBFC00300 1",           # 4
        ":expect result 11",                             # 5: met
        "NO_SUCH_CMD",                                   # 6: fails without an :expect
        "NATIVE_READ_BUFFER_CMD 0xBFC00300 1",           # 7
        ":expect fail",                                  # 8: missed
    ]

    def test_the_first_miss_names_its_line_and_ends_the_script(self):
        status, out, err, script = self.run_script(self.MISSING)
        self.assertEqual(status, 1, out + err)
        self.assertIn("%s:3: expected result 22, 'NATIVE_READ_BUFFER_CMD 0xBFC00300 1' gave ok, result 11" % script,
                      err)
        self.assertNotIn("%s:6" % script, err)
        self.assertEqual(out.count("NATIVE_READ_BUFFER_CMD") + out.count("ok, 1 bytes"), 1, out)

    def test_keep_going_reports_every_miss(self):
        status, out, err, script = self.run_script(self.MISSING, "--keep-going")
        self.assertEqual(status, 1, out + err)
        misses = [line for line in err.splitlines() if line.startswith(script + ":")]
        self.assertEqual([line.split(":")[len(script.split(":"))] for line in misses], ["3", "6", "8", " 3 unmet expectation(s)"],
                         err)
        self.assertIn("failed (1): Error: Failed to Send Command : 'NO_SUCH_CMD '", misses[1])
        self.assertEqual(out.count("ok, 1 bytes: 11"), 3, out)

    def test_json_lines_one_object_per_line_run(self):
        lines = [
            "NATIVE_WRITE_WORD_CMD 0x%x 0xbeef" % WORD_ADDRESS,
            "NATIVE_READ_WORD_CMD 0x%x" % WORD_ADDRESS,
            "PHYC_GET_STATUS_CMD",
            "NO_SUCH_CMD",
            ":expect fail",
            ":timeout 2000",
            ":eeprom get CrystalTrim image",
            ":expect text .|Failed",
            ":eeprom burn",
        ]
        status, out, err, _ = self.run_script(lines, "--json", "--keep-going")
        objects = [json.loads(line) for line in out.splitlines()]  # nothing but JSON on standard output
        self.assertEqual([o["command"] for o in objects], [line for line in lines if not line.startswith(
            (":expect", ":timeout"))])
        for o in objects:
            self.assertEqual(set(o), {"command", "rc", "ok", "result_hex", "result_text", "failure", "elapsed_ms"})
            self.assertGreaterEqual(o["elapsed_ms"], 0)
        write, read, status_command, unknown, field, burn = objects
        self.assertEqual((write["rc"], write["ok"], write["result_hex"], write["failure"]), (0, True, "4f4b", ""))
        self.assertEqual(read["result_text"], "0x0000beef")
        self.assertEqual(read["result_hex"], b"0x0000beef\0".hex())
        self.assertEqual(status_command["result_text"], "PHYC_STATUS_OK ")
        self.assertEqual((unknown["rc"], unknown["ok"]), (1, False))
        self.assertEqual(unknown["failure"], "Error: Failed to Send Command : 'NO_SUCH_CMD '")
        # An EEPROM read answers with its value or its failure text; a burn answers 1 when it wrote.
        self.assertEqual(field["result_text"] != "", field["ok"])
        self.assertEqual(field["failure"] != "", not field["ok"])
        self.assertEqual(burn["ok"], burn["rc"] == 1)
        self.assertEqual(status, 0 if burn["ok"] else 1, err)

    def run_at_terminal(self, history, lines):
        """Types each line at a new prompt of a console on a pseudo-terminal; what the terminal showed."""
        master, slave = pty.openpty()
        console = subprocess.Popen(list(ARGS.console) + self.console_options() + ["--history", history],
                                   stdin=slave, stdout=slave, stderr=slave, env=self.environment())
        os.close(slave)
        shown = bytearray()

        def read_until(condition):
            deadline = time.time() + 30
            while not condition() and time.time() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:  # the console has ended
                        return
                    if not chunk:
                        return
                    shown.extend(chunk)
        try:
            for keys in lines:
                prompts = shown.count(b"tb> ")
                read_until(lambda: shown.count(b"tb> ") > prompts)
                os.write(master, keys)
            console.wait(timeout=30)
            read_until(lambda: False)
        finally:
            os.close(master)
        return shown.decode(errors="replace")

    def test_prompt_completes_words_and_keeps_its_history(self):
        if ARGS.path_prefix:
            self.skipTest("line editing with libedit and its history file are the Linux console's")
        history = os.path.join(self.folder, "history")
        shown = self.run_at_terminal(history, [b"PHYC_SET_CH\t\r", b":eeprom set Crys\t\r", b":quit\r"])
        # The terminal shows what completion added to the typed part.
        self.assertIn("ANNEL_CMD ", shown)
        self.assertIn("  ok, 15 bytes: 504859435f5354415455535f4f4b20", shown)
        self.assertIn("talTrim ", shown)
        with open(history) as saved:
            self.assertIn("PHYC_SET_CHANNEL_CMD", saved.read())
        # The next run starts with that history: three lines up is the PHY command again.
        shown = self.run_at_terminal(history, [b"\x1b[A\x1b[A\x1b[A\r", b":quit\r"])
        self.assertIn("  ok, 15 bytes: 504859435f5354415455535f4f4b20", shown)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--path-prefix", default="")
    parser.add_argument("--lib", default="")
    parser.add_argument("console", nargs="+")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
