"""tbcli, the command-line host of the Python binding: its session against a
stand-in of the library, and end to end in a process of its own against a
tb-emulator process."""

import ctypes
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import tbsupport
import tbcli
import termbridge

needs_emulator = unittest.skipUnless(tbsupport.EMULATOR, "TB_EMULATOR is not set")

SCRATCH = 0x10000040


class FakeLibrary:
    """Answers like the library would; every call is recorded as (name, args)."""

    def __init__(self):
        self.calls = []
        self.rc = 0
        self.init_rc = 0
        self.failure = b""
        self.result = b""
        self.result_len = 0
        self.default_timeout = 15000
        self.severity = 2
        self._buffer = ctypes.create_string_buffer(64)

    def _record(self, name, *args):
        self.calls.append((name, args))

    def names(self):
        return [name for name, _ in self.calls]

    def set_result(self, stored, length):
        """`stored` is what the buffer holds; `length` how much of it is valid."""
        self._buffer = ctypes.create_string_buffer(stored, max(len(stored), 1))
        self.result = stored
        self.result_len = length

    # the exports
    def initialize(self, *args):
        self._record("initialize", *args)
        return self.init_rc

    def initialize_old(self, *args):
        self._record("initialize_old", *args)
        return self.init_rc

    def deinitialize(self):
        self._record("deinitialize")
        return 0

    def ver(self):
        return b"4.5.6\n"

    def sendCommand(self, command, timeout):
        self._record("sendCommand", command, timeout)
        return self.rc

    def sendCommandDefaultTimeout(self, command):
        self._record("sendCommandDefaultTimeout", command)
        return self.rc

    def getResultBuffer(self):
        return ctypes.addressof(self._buffer)

    def getResultBufferText(self):
        return self.result[:self.result_len].hex().encode("ascii")

    def getResultLen(self):
        return self.result_len

    def getFailureMessage(self):
        return self.failure

    def setDefaultTimeout(self, value):
        self._record("setDefaultTimeout", value)
        self.default_timeout = -1 if value == 0 else value

    def getDefaultTimeout(self):
        return self.default_timeout

    def setLogSeverity(self, value):
        self._record("setLogSeverity", value)
        self.severity = value

    def getLogSeverity(self):
        return self.severity

    def setInternalCommandTimeout(self, value):
        self._record("setInternalCommandTimeout", value)

    def AllowWriteLogsToFile(self, allow):
        self._record("AllowWriteLogsToFile", allow)

    def SyncChipAccess(self):
        self._record("SyncChipAccess")
        return 0

    def LoadFW(self, path):
        self._record("LoadFW", path)
        return 1

    def getSystemVersionInfo(self):
        return b"versions"

    def InitEepromIF(self, mode, path):
        self._record("InitEepromIF", mode, path)
        return 1

    def UpdateEepromField(self, name, value):
        self._record("UpdateEepromField", name, value)
        return 1

    def BurnEeprom(self, partial):
        self._record("BurnEeprom", partial)
        return 1

    def DumpEepromTableToFile(self, path):
        self._record("DumpEepromTableToFile", path)
        return 1

    def ReadEntireEeprom(self, path):
        self._record("ReadEntireEeprom", path)
        return b"entire"

    def ReadFieldFromEeprom(self, name):
        self._record("ReadFieldFromEeprom", name)
        return b"field \xb5"

    def ReadFieldFromVolatile(self, name):
        self._record("ReadFieldFromVolatile", name)
        return b"volatile"


class CommandLineSessionTest(unittest.TestCase):
    def setUp(self):
        self.lib = FakeLibrary()
        self.out = io.StringIO()
        self.session = tbcli.Session(termbridge.TermBridge(lib=self.lib), 900, False, self.out)

    def test_success_and_failure_lines(self):
        self.lib.set_result(b"\x01\x02", 2)
        self.session.run("NATIVE_READ_BUFFER_CMD 0x10 2\n")
        self.lib.rc = 1
        self.lib.failure = b"Error: Failed to Send Command : 'BAD '"
        self.session.run("BAD")
        self.assertEqual(self.out.getvalue().splitlines(),
                         ["rc=0 len=2 result=0102", "rc=1 failed: Error: Failed to Send Command : 'BAD '"])
        self.assertEqual(self.session.failures, 1)

    def test_blank_and_comment_lines_are_skipped(self):
        self.assertTrue(self.session.run("   \n"))
        self.assertTrue(self.session.run("# a note"))
        self.assertEqual(self.lib.calls, [])

    def test_own_commands(self):
        self.session.run(":timeout 40")
        self.session.run("NATIVE_READ_WORD_CMD 0x10")
        self.session.run(":severity 3")
        self.session.run(":internal-timeout 0x20")
        self.assertFalse(self.session.run(":quit"))
        self.assertEqual(self.lib.calls, [("sendCommand", (b"NATIVE_READ_WORD_CMD 0x10", 40)),
                                          ("setLogSeverity", (3,)), ("setInternalCommandTimeout", (32,))])


@needs_emulator
class CommandLineTest(unittest.TestCase):
    """tbcli in a process of its own (own library root) against its own emulator."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tb-python-cli-")
        self.library_port = tbsupport.free_tcp_port()
        self.emulator = tbsupport.Emulator(self.library_port, self.folder)

    def tearDown(self):
        self.emulator.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_cli(self, lines, *extra):
        env = dict(os.environ, TERMBRIDGE_ROOT=os.path.join(self.folder, "root"))
        files = tbsupport.definition_files(self.folder)
        arguments = [sys.executable, os.path.join(tbsupport.BINDING_DIR, "tbcli.py"),
                     "--lib", termbridge.find_library(), "--udp", str(self.emulator.command_port),
                     "--tcp", str(self.library_port), "--dispatcher", "127.0.0.1",
                     "--mac", files["mac_map"], "--phy", files["phy_map"], "--list", files["struct_list"]]
        return subprocess.run(arguments + list(extra), input="".join(line + "\n" for line in lines),
                              capture_output=True, text=True, env=env, timeout=120)

    def test_script_from_standard_input(self):
        run = self.run_cli(["# set and read a word",
                            "NATIVE_WRITE_WORD_CMD 0x%x 0xcafe" % SCRATCH,
                            "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH], "--timeout", "5000")
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        results = [line for line in run.stdout.splitlines() if line.startswith("rc=")]
        self.assertEqual(len(results), 2, run.stdout)
        self.assertTrue(results[0].startswith("rc=0 "), results[0])
        hex_text = results[1].split("result=", 1)[1]
        self.assertEqual(int(bytes.fromhex(hex_text)[2:].split(b"\0")[0], 16), 0xCAFE)

    def test_failure_sets_the_exit_code(self):
        self.emulator.control("drop-next")
        command = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
        run = self.run_cli([command], "--timeout", "300")
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("rc=1 failed: Timeout Error: No Event occur for command : '%s '" % command, run.stdout)


class CommandLineWithoutLibraryTest(unittest.TestCase):
    def test_unloadable_library_is_a_usage_error(self):
        missing = os.path.join(tbsupport.ROOT, "missing", "libTermBridge.so")
        run = subprocess.run([sys.executable, os.path.join(tbsupport.BINDING_DIR, "tbcli.py"), "--lib", missing,
                              "--udp", "1"], input="", capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 2)
        self.assertIn(missing, run.stderr)


if __name__ == "__main__":
    unittest.main()
