#!/usr/bin/env python3
"""tb-console in script mode against the emulator: expectations met and
missed (file:line, exit status), --keep-going, --json output, what a failure
says about its cause, start-up warnings, the exit codes, the bring-up verbs
(memory files, firmware verify) and Ctrl-C at a terminal.

usage: console_script_test.py --emulator TB-EMULATOR --examples DIR --firmware PACKAGE
                              [--path-prefix Z:] [--lib LIBRARY] -- CONSOLE-COMMAND...

The console command may start with a runner (wine). Paths handed to the
console get the prefix (Windows programs under Wine see / as Z:). The
emulator is started with the Python package's launcher (termbridge.emulator).
"""
import argparse
import fcntl
import json
import os
import pty
import random
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.dont_write_bytecode = True  # nothing of the run goes into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python"))
from termbridge.emulator import Emulator, free_port  # noqa: E402
from termbridge.errors import EmulatorError  # noqa: E402

ARGS = None

WORD_ADDRESS = 0xBFC00140


def screen_text(shown):
    """What a terminal shows as plain text: Wine's console draws with cursor
    moves (a blank as "erase, move one right"), which become blanks here."""
    text = shown.decode(errors="replace")
    text = re.sub(r"\x1b\[K\x1b\[(\d*)C", lambda match: " " * int(match.group(1) or 1), text)
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)


class ConsoleTest(unittest.TestCase):
    """An emulator for each test, and the console run against it."""

    FAULTS = []  # emulator faults of the test class

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tb-console-script-")
        self.command_port, self.library_port = free_port(), free_port()
        try:
            self.emulator = Emulator(ARGS.emulator, self.library_port, command_port=self.command_port,
                                     definitions=os.path.join(ARGS.examples, "definitions", "list.txt"),
                                     faults=self.FAULTS, extra_args=["-q"], log_dir=self.folder)
        except EmulatorError as error:
            # A failed set-up: tearDown does not run.
            shutil.rmtree(self.folder, ignore_errors=True)
            self.fail(str(error))

    def tearDown(self):
        # It ends with 0 on SIGTERM; anything else (a crash, a sanitizer's
        # report at shutdown) fails the test.
        status = self.emulator.stop()
        log = self.emulator.log_text()
        shutil.rmtree(self.folder, ignore_errors=True)
        self.assertEqual(status, 0, ("the emulator ended on signal %d" % -status if status < 0
                                     else "the emulator ended with status %d" % status) + ":\n" + log)

    def path(self, local):
        return ARGS.path_prefix + local

    def console_options(self, tcp_port=None):
        maps = os.path.join(ARGS.examples, "maps")
        options = ["--udp", str(self.command_port), "--tcp", str(tcp_port or self.library_port), "--timeout", "3000",
                   "--list", self.path(os.path.join(ARGS.examples, "definitions", "list.txt")),
                   "--mac", self.path(os.path.join(maps, "mac.map")),
                   "--phy", self.path(os.path.join(maps, "phy.map"))]
        return options + (["--lib", ARGS.lib] if ARGS.lib else [])

    def environment(self):
        env = dict(os.environ, TERMBRIDGE_ROOT=os.path.join(self.folder, "root"), TERM="xterm")
        env.setdefault("WINEDEBUG", "-all")
        return env

    def run_script(self, lines, *options, base_options=None):
        """Writes the script, runs the console on it; (status, stdout, stderr, script path)."""
        script = os.path.join(self.folder, "session.tbs")
        with open(script, "w") as handle:
            handle.write("\n".join(lines) + "\n")
        base = self.console_options() if base_options is None else base_options
        command = list(ARGS.console) + base + ["--script", self.path(script)] + list(options)
        run = subprocess.run(command, capture_output=True, text=True, env=self.environment(), timeout=120)
        return run.returncode, run.stdout, run.stderr, self.path(script)

    def run_console(self, *arguments):
        """The console with these arguments only; (status, stdout, stderr)."""
        run = subprocess.run(list(ARGS.console) + list(arguments), capture_output=True, text=True,
                             env=self.environment(), timeout=120)
        return run.returncode, run.stdout, run.stderr



class ConsoleScripts(ConsoleTest):
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
            self.assertEqual(set(o), {"file", "line", "command", "rc", "ok", "result_hex", "result_text", "decoded",
                                      "failure", "cause", "suggestion", "cancelled", "elapsed_ms", "expectations"})
            self.assertGreaterEqual(o["elapsed_ms"], 0)
        write, read, status_command, unknown, field, burn = objects
        # Each record says where its line stands and how the expectations after it went.
        self.assertEqual([(o["file"], o["line"]) for o in objects],
                         [(self.path(os.path.join(self.folder, "session.tbs")), n) for n in (1, 2, 3, 4, 7, 9)])
        self.assertEqual(unknown["expectations"], [{"line": 5, "expect": "fail", "met": True, "reason": ""}])
        self.assertEqual([e["line"] for e in field["expectations"]], [8])
        self.assertEqual(write["expectations"], [{"line": 1, "expect": "ok (implied: no :expect after the line)",
                                                  "met": True, "reason": ""}])
        # The raw hexadecimal stays; the decoded form is beside it.
        self.assertEqual(status_command["decoded"], "PHYC_STATUS_OK ")
        self.assertEqual(read["decoded"], "0x0000beef")
        self.assertIn("NO_SUCH_CMD not found", " ".join(unknown["cause"]))
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

    def test_an_image_file_longer_than_the_layout_is_loaded_with_a_warning(self):
        image = os.path.join(self.folder, "image.bin")
        longer = os.path.join(self.folder, "longer.bin")
        with open(longer, "wb") as handle:
            handle.write(bytes(70000))
        lines = [":eeprom init 0", ":eeprom dump " + self.path(image), ":eeprom init 1 " + self.path(image),
                 ":eeprom init 1 " + self.path(longer)]
        status, out, err, _ = self.run_script(lines)
        self.assertEqual(status, 0, out + err)
        warned = [block for block in out.split("  ok (")[1:] if "warning: the image file is longer" in block]
        self.assertEqual(len(warned), 1, out)
        self.assertIn("(<EepromInterface>Eeprom File Size(70000)> EEprom Data Base Size(", warned[0])
        self.assertTrue(out.rstrip().endswith(warned[0].rstrip()), out)  # the longer file's line

    def test_a_mistyped_expectation_is_unmet_in_the_json_record(self):
        lines = ["NATIVE_READ_WORD_CMD 0x%x" % WORD_ADDRESS, ":expect txt ^0x", ":expect ok"]
        status, out, err, script = self.run_script(lines, "--json", "--keep-going")
        self.assertEqual(status, 1, out + err)
        reason = "unknown expectation ':expect txt ^0x' (ok | fail [TEXT] | result HEX | text REGEX | compatible)"
        self.assertIn("%s:2: %s" % (script, reason), err)
        (record,) = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(record["expectations"], [{"line": 2, "expect": "txt ^0x", "met": False, "reason": reason},
                                                  {"line": 3, "expect": "ok", "met": True, "reason": ""}])

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
        self.assertIn('  ok, 15 bytes: "PHYC_STATUS_OK "', shown)
        self.assertIn("talTrim ", shown)
        with open(history) as saved:
            self.assertIn("PHYC_SET_CHANNEL_CMD", saved.read())
        # The next run starts with that history: three lines up is the PHY command again.
        shown = self.run_at_terminal(history, [b"\x1b[A\x1b[A\x1b[A\r", b":quit\r"])
        self.assertIn('  ok, 15 bytes: "PHYC_STATUS_OK "', shown)

    def test_failures_say_why(self):
        """What a failed line shows under its failure text: the library's reason
        (cause), what a mistyped name probably meant, and the log's path once."""
        cases = [
            # line, what must show under it
            ("PHYC_SET_CHANNEL_CMD chanel=3", ["cause: <StructAccess>Error!,Struct: PhycSetChannel_t doesn't contain "
                                               "the field: chanel", "did you mean: PHYC_SET_CHANNEL_CMD channel=3"]),
            ("PHYC_GET_STATUS", ["cause: <StructAccess>Command type for PHYC_GET_STATUS not found",
                                 "did you mean: PHYC_GET_STATUS_CMD"]),
            ("NATIVE_READ_WORD_CMD", ["cause: Wrong Usage for NATIVE_READ_WORD_CMD, try: NATIVE_READ_WORD_CMD address"]),
            ("PHYC_SET_GAIN_CMD gain=-2 path=1", ["cause: <ConsoleEvtAdapter>The chip answered the command with "
                                                  "PHYC_STATUS_NOT_SUPPORTED"]),
            # Values the library would read as 0 are refused before it sees them.
            (":eeprom set TxPowerGain abc", ["failed (2): TxPowerGain takes a decimal number, not 'abc'"]),
            (":eeprom set MacAddress 0x00 0x50", ["failed (2): MacAddress takes 6 bytes, the value gives 2"]),
            # ...and so are values the field's bytes cannot hold (the library would keep their low bytes).
            (":eeprom set TxPowerGain 300", ["failed (2): TxPowerGain holds 0 to 255.99609375, not 300"]),
            (":eeprom set TxPowrGain 3", ["did you mean: :eeprom set TxPowerGain 3"]),
        ]
        # A file that is no firmware package: the library logs nothing of its own.
        not_firmware = os.path.join(self.folder, "notes.txt")
        with open(not_firmware, "w") as handle:
            handle.write("no package here\n")
        cases.append((":load " + self.path(not_firmware), ["cause: %s is no firmware package: none of its lines "
                                                             "begins with QUORIL" % self.path(not_firmware)]))
        lines = [":eeprom init 0"]
        for line, _ in cases:
            lines += [line, ":expect fail"]
        self.emulator.control("fail PHYC_SET_GAIN_CMD 3")
        status, out, err, _ = self.run_script(lines)
        self.assertEqual(status, 0, out + err)
        blocks = out.split("\n  failed")[1:]
        self.assertEqual(len(blocks), len(cases), out)
        for (line, shown), block in zip(cases, blocks):
            for text in shown:
                self.assertIn(text.replace("failed ", ""), block, line)
        self.assertEqual(out.count("the library's log: "), 1, out)
        # An EEPROM read whose answer is lost says so.
        self.emulator.control("eeprom-fault drop 1")
        status, out, err, _ = self.run_script([":internal-timeout 500", ":eeprom init 0",
                                               ":eeprom get CrystalTrim", ":expect fail"])
        self.assertEqual(status, 0, out + err)
        self.assertIn("cause: <TrafficManager>Timeout Occur - No Response for Native Command", out)
        # With --lenient the library reads the text itself.
        status, out, err, _ = self.run_script([":eeprom init 0", ":eeprom set TxPowerGain abc",
                                               ":eeprom get TxPowerGain image", ":expect text ^ *0.000"], "--lenient")
        self.assertEqual(status, 0, out + err)

    def test_a_parameter_value_goes_as_typed_or_not_at_all(self):
        """A value the library would store as another one is refused with the
        field's range and the run fails; --lenient sends it as the library
        reads it."""
        line = "PHYC_SET_CHANNEL_CMD channel=300"
        status, out, err, script = self.run_script([line])
        self.assertEqual(status, 1, out + err)
        self.assertIn("failed (2): channel takes 0 to 255, not 300 (the library would store 44) (--lenient passes it "
                      "to the library)", out)
        self.assertIn(script + ":1:", err)
        self.assertEqual(self.emulator.control("executed"), "0")
        status, out, err, _ = self.run_script([line], "--lenient")
        self.assertEqual(status, 0, out + err)
        answer = self.emulator.control("executed 1")
        command = bytes.fromhex(answer.split(" bytes ", 1)[1])
        self.assertEqual(command[8], 44, answer)  # behind the 8-byte PHY header: the library's reading of 300

    def test_version_fails_on_a_blank_chip(self):
        status, out, err, script = self.run_script([":version"])
        self.assertEqual(status, 1, out + err)
        self.assertIn("failed (1): no firmware answers on the MAC and the PHY: every version word reads 0", out)
        self.assertIn(script + ":1:", err)

    def test_bring_up_verbs_wait_show_the_link_and_judge_the_version(self):
        """:sleep waits, :link shows the link and how long ago the last answer
        came, :expect compatible checks what the last :version found."""
        if not ARGS.firmware:
            self.fail("no firmware package given (--firmware): the build makes examples' firmware/example.fwp")
        lines = [
            ":sleep 250",                                     # 1
            ":expect compatible",                             # 2: missed, no :version yet
            ":link",                                          # 3
            "NATIVE_READ_WORD_CMD 0x%x" % WORD_ADDRESS,       # 4
            ":link",                                          # 5
            ":expect text last answer: 0\\.[0-9] s ago",       # 6
            ":version",                                       # 7: a blank chip
            ":expect compatible",                             # 8: missed
            ":load " + self.path(ARGS.firmware),              # 9
            ":version",                                       # 10
            ":expect compatible",                             # 11: met
        ]
        status, out, err, script = self.run_script(lines, "--json", "--keep-going")
        self.assertEqual(status, 1, out + err)
        records = {record["line"]: record for record in map(json.loads, out.splitlines())}
        self.assertGreaterEqual(records[1]["elapsed_ms"], 250)
        self.assertEqual(records[1]["expectations"][0]["reason"],
                         "expected a compatible MAC and PHY pair, but no :version ran before it")
        self.assertEqual(records[3]["result_text"].splitlines(), [
            "dispatcher: 127.0.0.1, command port %d (UDP)" % self.command_port,
            "listening port: %d (TCP)" % self.library_port,
            "connected: yes, 1 connection since the start",
            "last answer: none since the start"])
        self.assertTrue(records[5]["expectations"][0]["met"], records[5])
        self.assertEqual(records[7]["expectations"][0]["reason"], "expected a compatible MAC and PHY pair, the last "
                         ":version found: no firmware answers on the MAC and the PHY: every version word reads 0")
        self.assertTrue(records[10]["ok"] and records[10]["expectations"][0]["met"], records[10])
        self.assertEqual([line.split(": ", 1)[0] for line in err.splitlines() if line.startswith(script + ":")],
                         ["%s:%d" % (script, n) for n in (2, 8)] + [script])

    def test_start_up_says_what_is_missing(self):
        """Files that do not open and a listening port that is taken are named at
        start; a failure while no dispatcher can connect says so."""
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            options = self.console_options(tcp_port=port)
            options[options.index("--mac") + 1] = self.path(os.path.join(self.folder, "no-such.map"))
            options[options.index("--timeout") + 1] = "300"
            status, out, err, _ = self.run_script(["NATIVE_READ_WORD_CMD 0x10"], base_options=options)
        self.assertEqual(status, 1, out + err)
        self.assertIn("warning: the MAC map file %s does not open" % self.path(os.path.join(self.folder, "no-such.map")),
                      err)
        self.assertIn("warning: the library cannot listen for the dispatcher on port %d" % port, err)
        self.assertIn("no dispatcher can connect: the library could not open its listening port", out)
        options = self.console_options()
        options[options.index("--list") + 1] = self.path(os.path.join(self.folder, "no-such-list.txt"))
        status, out, err, _ = self.run_script(["NATIVE_READ_WORD_CMD 0x10"], base_options=options)
        self.assertEqual(status, 0, out + err)
        self.assertIn("warning: the definition list %s does not open" % self.path(
            os.path.join(self.folder, "no-such-list.txt")), err)
        # A folder opens on some systems but is no map file; a list entry
        # "folder/*.h" that names no file is as missing as a file.
        definitions = os.path.join(self.folder, "definitions")
        os.makedirs(os.path.join(definitions, "empty"))
        with open(os.path.join(definitions, "list.txt"), "w") as handle:
            handle.write("nowhere/*.h\nempty/*.h\n")
        options = self.console_options()
        options[options.index("--mac") + 1] = self.path(self.folder)
        options[options.index("--list") + 1] = self.path(os.path.join(definitions, "list.txt"))
        status, out, err, _ = self.run_script(["NATIVE_READ_WORD_CMD 0x10"], base_options=options)
        self.assertEqual(status, 0, out + err)
        self.assertIn("warning: the MAC map file %s does not open" % self.path(self.folder), err)
        for entry in ("nowhere", "empty"):
            self.assertRegex(err, r"warning: the definition file .*%s.\*\.h named by .* does not open" % entry)

    def test_conventions(self):
        """--version, --quiet, the exit codes (documented in --help), and
        :timeout without a value."""
        status, out, _ = self.run_console("--version")
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^tb-console \d+\.\d+\.\d+")
        status, out, _ = self.run_console("--help")
        self.assertEqual(status, 0)
        self.assertIn("Exit status: 0", out)
        self.assertEqual(self.run_console("--no-such-option")[0], 2)
        self.assertEqual(self.run_console("--script", self.path(os.path.join(self.folder, "none.tbs")))[0], 2)
        status, out, err, _ = self.run_script([":timeout 1234", ":timeout"], "--quiet")
        self.assertEqual(status, 0, out + err)
        self.assertIn("command time-out 1234 ms\ncommand time-out 1234 ms", out)
        self.assertNotIn("Major version", out)

    def test_usage_errors_name_what_is_missing(self):
        """The dispatcher's address and ports go together: without --udp they
        come from the registry, so a lone --tcp or --dispatcher would be
        ignored, and --udp without --tcp would listen on port 0."""
        cases = [
            (["--tcp", "50001"], "--tcp requires --udp"),
            (["--udp", "50000"], "--udp requires --tcp"),
            (["--udp", "0", "--tcp", "50001"], "--udp"),
        ]
        for arguments, said in cases:
            status, out, err = self.run_console(*arguments)
            self.assertEqual(status, 2, arguments)
            self.assertIn(said, out + err, arguments)

    def test_input_that_cannot_be_read_is_no_short_script(self):
        """A folder as the script, or input that breaks off, never passes for a
        script that ended."""
        base = list(ARGS.console) + self.console_options()
        run = subprocess.run(base + ["--script", self.path(self.folder)], capture_output=True, text=True,
                             env=self.environment(), timeout=120)
        self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
        self.assertIn("cannot read %s: " % self.path(self.folder), run.stderr)
        if ARGS.path_prefix:
            return  # a socket as standard input: Linux's
        # Two lines, then the connection is reset: the third read fails.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen()
            with socket.create_connection(listener.getsockname()) as reader:
                writer, _ = listener.accept()
                writer.sendall(b"NATIVE_READ_WORD_CMD 0x10\nNATIVE_READ_WORD_CMD 0x10\n")
                writer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.close()
                run = subprocess.run(base, stdin=reader, capture_output=True, text=True, env=self.environment(),
                                     timeout=120)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertEqual(run.stdout.count('ok, 11 bytes'), 2, run.stdout)
        self.assertIn("reading <stdin> failed after line 2: ", run.stderr)

    def test_lost_output_fails_the_run(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full on this system")
        for options in ([], ["--json"]):
            with open("/dev/full", "w") as full:
                script = os.path.join(self.folder, "session.tbs")
                with open(script, "w") as handle:
                    handle.write("NATIVE_READ_WORD_CMD 0x10\n")
                run = subprocess.run(list(ARGS.console) + self.console_options() + options + [self.path(script)],
                                     stdout=full, stderr=subprocess.PIPE, text=True, env=self.environment(),
                                     timeout=120)
            self.assertEqual(run.returncode, 1, options)
            self.assertIn("cannot write standard output: ", run.stderr, options)


class ConsoleBringUp(ConsoleTest):
    """Chip memory to and from files, and the firmware verify, end to end."""

    ADDRESS = 0x10000000

    def write_file(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def read_file(self, path):
        with open(path, "rb") as handle:
            return handle.read()

    def test_memory_saved_loaded_and_verified(self):
        image = bytes(random.randrange(256) for _ in range(4096))
        original = self.write_file("image.bin", image)
        saved = os.path.join(self.folder, "saved.bin")
        status, out, err, _ = self.run_script([
            ":loadmem 0x%x %s" % (self.ADDRESS, self.path(original)),
            ":savemem 0x%x 4096 %s" % (self.ADDRESS, self.path(saved)),
            ":verifymem 0x%x %s" % (self.ADDRESS, self.path(saved)),
        ])
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.emulator.read_memory(self.ADDRESS, len(image)), image)
        self.assertEqual(self.read_file(saved), image)
        self.assertIn("the chip holds %s at 0x%08x: 4096 bytes compared" % (self.path(saved), self.ADDRESS), out)
        # Two bytes changed behind the console's back: the first is named, both
        # counted. Then a load whose read-back differs from what it wrote:
        # the tenth buffer read, the read-back's second, comes back with its
        # first byte inverted.
        for offset in (0x10, 0x200):
            self.emulator.control("write 0x%x 0x%02x" % (self.ADDRESS + offset, image[offset] ^ 0xFF))
        self.emulator.control("corrupt-read 10")
        status, out, err, script = self.run_script([":verifymem 0x%x %s" % (self.ADDRESS, self.path(original)),
                                                    ":loadmem 0x%x %s" % (self.ADDRESS, self.path(original))],
                                                   "--keep-going")
        self.assertEqual(status, 1, out + err)
        self.assertIn("failed (1): chip memory differs from %s: 2 of 4096 bytes, the first at 0x%08x (chip 0x%02x, "
                      "file 0x%02x)" % (self.path(original), self.ADDRESS + 0x10, image[0x10] ^ 0xFF, image[0x10]), out)
        self.assertIn("failed (1): read-back differs from %s: 1 of 4096 bytes, the first at 0x%08x (chip 0x%02x, "
                      "file 0x%02x)" % (self.path(original), self.ADDRESS + 0x200, image[0x200] ^ 0xFF, image[0x200]),
                      out)
        self.assertIn(script + ":1:", err)
        self.assertIn(script + ":2:", err)
        # A save whose second read is lost leaves the file it would replace as it was.
        self.emulator.control("drop-read 2")
        status, out, err, _ = self.run_script([":internal-timeout 300",
                                               ":savemem 0x%x 4096 %s" % (self.ADDRESS, self.path(saved))])
        self.assertEqual(status, 1, out + err)
        self.assertIn("failed (1): Failed to read chip memory at 0x%08x: 512 of 4096 bytes read" % (self.ADDRESS + 512),
                      out)
        self.assertIn("cause: <TrafficManager>Timeout Occur - No Response for Native Command", out)
        self.assertEqual(self.read_file(saved), image)
        self.assertEqual([name for name in os.listdir(self.folder) if "saved" in name], ["saved.bin"])

    def test_firmware_verify_writes_nothing_and_names_the_differing_chunk(self):
        if not os.path.isfile(ARGS.firmware):
            self.fail("the example firmware package %s is missing (the tb_firmware target makes it; it needs the "
                      "MIPS binutils)" % ARGS.firmware)
        package = self.path(ARGS.firmware)
        status, out, err, _ = self.run_script([":load " + package, ":verify " + package])
        self.assertEqual(status, 0, out + err)
        self.assertRegex(out, r"the chip holds %s: \d+ chunks, \d+ bytes compared" % re.escape(package))
        phy_byte = 0xBF540010  # in the PHY image
        held = self.emulator.read_memory(phy_byte, 1)[0]
        self.emulator.control("write 0x%x 0x%02x" % (phy_byte, held ^ 0xFF))

        def system_commands(lines):
            """The system commands a console run of these lines sends."""
            before = self.emulator.counts()["system"]
            run = self.run_script(lines)
            return self.emulator.counts()["system"] - before, run

        sent_by_a_run, _ = system_commands([":timeout 3000"])
        sent, (status, out, err, script) = system_commands([":verify " + package])
        self.assertEqual(sent, sent_by_a_run, "the verify changed the link's set-up")
        self.assertEqual(status, 1, out + err)
        self.assertIn("failed (1): The chip's memory differs from %s in 1 of " % package, out)
        self.assertRegex(out, r"\n    PHY chunk at 0xbf540000 \(\d+ bytes\): byte 16 at 0xbf540010 reads 0x%02x, the "
                              r"package has 0x%02x \(1 of \d+ bytes differ\)\n" % (held ^ 0xFF, held))
        self.assertIn(script + ":1:", err)
        self.assertEqual(self.emulator.read_memory(phy_byte, 1)[0], held ^ 0xFF, "the verify wrote")
        self.assertEqual(self.emulator.control("firmware").split()[0], "running")


class ConsoleInterrupts(ConsoleTest):
    """Ctrl-C at a terminal: the prompt's line is cleared, a running command is
    cancelled and the prompt comes back, twice within a second ends the
    console. The answer to the first command is lost, so it waits until
    cancelled."""

    FAULTS = ["drop-next"]

    def test_ctrl_c_clears_cancels_and_ends(self):
        master, slave = pty.openpty()
        # Wide enough that no line wraps (Wine's console wraps at the width).
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))

        def controlling_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        options = self.console_options()
        options[options.index("--timeout") + 1] = "0"
        console = subprocess.Popen(list(ARGS.console) + options + ["--history", os.path.join(self.folder, "h")],
                                   stdin=slave, stdout=slave, stderr=slave, env=self.environment(),
                                   preexec_fn=controlling_terminal)
        os.close(slave)
        shown = bytearray()

        def read_until(what, condition, seconds=10):
            deadline = time.time() + seconds
            while not condition():
                if time.time() > deadline:
                    self.fail("no %s within %d s; the terminal showed:\n%s" % (what, seconds,
                                                                               screen_text(shown)))
                if select.select([master], [], [], 0.1)[0]:
                    try:
                        shown.extend(os.read(master, 4096))
                    except OSError:
                        return

        def prompt(count):
            read_until("prompt %d" % count, lambda: screen_text(shown).count("tb> ") >= count)

        try:
            prompt(1)
            os.write(master, b"NATIVE_READ_WO")
            time.sleep(0.3)
            os.write(master, b"\x03")
            prompt(2)
            os.write(master, b"NATIVE_READ_WORD_CMD 0x10\r")
            read_until("the command's wait", lambda: re.search(r"0x10\r*\n", screen_text(shown)))
            time.sleep(1.2)  # not within a second of the press before
            os.write(master, b"\x03")
            prompt(3)
            os.write(master, b"NATIVE_READ_WORD_CMD 0x10\r")
            prompt(4)
            # A burn stuck on a lost answer with no time-out stops at the
            # press, and nothing more of it reaches the dispatcher.
            os.write(master, b":internal-timeout 0\r")
            prompt(5)
            os.write(master, b":eeprom init 0\r")
            prompt(6)
            def packets():
                return self.emulator.counts()["packets"]
            self.emulator.control("eeprom-fault drop 2")
            before = packets()
            os.write(master, b":eeprom burn full\r")
            read_until("the burn's second chunk", lambda: packets() >= before + 2)
            time.sleep(1.2)  # not within a second of the press before
            os.write(master, b"\x03")
            prompt(7)
            stopped_at = packets()
            time.sleep(0.5)
            self.assertEqual(packets(), stopped_at, "the burn went on after it was cancelled")
            # A long :sleep ends at the press too.
            time.sleep(1.2)
            os.write(master, b":sleep 60000\r")
            read_until("the wait", lambda: re.search(r":sleep 60000\r*\n", screen_text(shown)))
            time.sleep(0.3)
            os.write(master, b"\x03")
            prompt(8)
            time.sleep(1.2)  # the next two presses are a pair of their own
            os.write(master, b"\x03")
            time.sleep(0.2)
            os.write(master, b"\x03")
            read_until("the end", lambda: console.poll() is not None)
            status = console.wait(timeout=10)
        finally:
            if console.poll() is None:
                console.kill()
            os.close(master)
        text = screen_text(shown)
        self.assertEqual(status, 130, text)
        # The half-typed line is dropped, not run: the next prompt follows.
        self.assertRegex(text, r"tb> NATIVE_READ_WO[^\n]*?\s*\^C\s*tb> NATIVE_READ_WORD_CMD 0x10")
        self.assertNotIn("'NATIVE_READ_WO '", text)
        self.assertIn("failed (1): Cancelled: stopped waiting for the answer to command 'NATIVE_READ_WORD_CMD 0x10 '",
                      text)
        self.assertIn('ok, 11 bytes: "0x00000000"', text)  # the session goes on after a cancel
        self.assertIn("Cancelled: EEprom burn stopped by the host: 16 of ", text)
        self.assertIn("failed (1): Cancelled: the wait ended after ", text)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--firmware", required=True, help="the example firmware package")
    parser.add_argument("--path-prefix", default="")
    parser.add_argument("--lib", default="")
    parser.add_argument("console", nargs="+")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
