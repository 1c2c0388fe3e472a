"""The Python layer over the exports, against a stand-in of the library that
records the calls it gets."""

import ctypes
import os
import unittest
from unittest import mock

import tbsupport  # noqa: F401  (import path, isolated root)
import termbridge


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


class SendTest(unittest.TestCase):
    def setUp(self):
        self.lib = FakeLibrary()
        self.bridge = termbridge.TermBridge(lib=self.lib)

    def test_timeout_given_uses_send_command(self):
        self.bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=250)
        self.assertEqual(self.lib.calls, [("sendCommand", (b"NATIVE_READ_WORD_CMD 0x10", 250))])

    def test_zero_timeout_is_passed_as_zero(self):
        self.bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=0)
        self.assertEqual(self.lib.calls, [("sendCommand", (b"NATIVE_READ_WORD_CMD 0x10", 0))])

    def test_no_timeout_uses_the_default_time_out_export(self):
        self.bridge.send("NATIVE_READ_WORD_CMD 0x10")
        self.assertEqual(self.lib.calls, [("sendCommandDefaultTimeout", (b"NATIVE_READ_WORD_CMD 0x10",))])

    def test_command_text_is_sent_as_single_byte_text(self):
        self.bridge.send("PHY_CMD name=caf\u00e9", timeout_ms=1)
        self.assertEqual(self.lib.calls[0][1][0], b"PHY_CMD name=caf\xe9")
        self.bridge.send(b"RAW \xff", timeout_ms=1)
        self.assertEqual(self.lib.calls[1][1][0], b"RAW \xff")

    def test_result_is_exactly_the_valid_bytes(self):
        self.lib.set_result(b"\x0a\x00\xff\x00tail", 4)
        result = self.bridge.send("NATIVE_READ_BUFFER_CMD 0x10 4", timeout_ms=100)
        self.assertEqual(result.data, b"\x0a\x00\xff\x00")
        self.assertEqual(result.hex, "0a00ff00")
        self.assertEqual(len(result), 4)
        self.assertEqual(bytes(result), b"\x0a\x00\xff\x00")
        self.assertEqual(result.command, "NATIVE_READ_BUFFER_CMD 0x10 4")

    def test_empty_result(self):
        self.lib.set_result(b"stale", 0)
        result = self.bridge.send("NATIVE_WRITE_WORD_CMD 0x10 1", timeout_ms=100)
        self.assertEqual(result.data, b"")
        self.assertEqual(result.hex, "")

    def test_result_text_stops_at_the_first_nul(self):
        self.lib.set_result(b"0x0000002a\x00junk", 15)
        self.assertEqual(self.bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=100).text, "0x0000002a")

    def test_failure_raises_command_error(self):
        self.lib.rc = 1
        self.lib.failure = b"Timeout Error: No Event occur for command : 'X 1 '"
        with self.assertRaises(termbridge.CommandError) as caught:
            self.bridge.send("X 1", timeout_ms=10)
        error = caught.exception
        self.assertEqual(error.command, "X 1")
        self.assertEqual(error.rc, 1)
        self.assertEqual(error.message, "Timeout Error: No Event occur for command : 'X 1 '")
        self.assertEqual(str(error), error.message)
        self.assertIsInstance(error, termbridge.TermBridgeError)

    def test_any_non_zero_code_is_a_failure(self):
        self.lib.rc = -1
        with self.assertRaises(termbridge.CommandError) as caught:
            self.bridge.send("X", timeout_ms=10)
        self.assertEqual(caught.exception.rc, -1)


class LifecycleTest(unittest.TestCase):
    def test_ports_given_use_initialize_old(self):
        lib = FakeLibrary()
        with termbridge.TermBridge(mac_map="m.map", phy_map="p.map", struct_list="l.txt", udp_port=50000,
                                   tcp_port=50001, dispatcher="10.0.0.2", lib=lib) as bridge:
            self.assertTrue(bridge.is_open)
        self.assertEqual(lib.calls, [("initialize_old", (50000, b"10.0.0.2", 50001, b"m.map", b"p.map", b"l.txt")),
                                     ("deinitialize", ())])

    def test_without_ports_the_registry_is_used(self):
        lib = FakeLibrary()
        with termbridge.TermBridge(mac_map=b"m.map", phy_map="p.map", struct_list="l.txt", lib=lib):
            pass
        self.assertEqual(lib.calls, [("initialize", (b"m.map", b"p.map", b"l.txt")), ("deinitialize", ())])

    def test_path_objects_are_accepted(self):
        import pathlib
        lib = FakeLibrary()
        termbridge.TermBridge(mac_map=pathlib.PurePosixPath("a/m.map"), lib=lib).open()
        self.assertEqual(lib.calls[0][1][0], b"a/m.map")

    def test_refused_initialize_raises_and_is_not_undone(self):
        lib = FakeLibrary()
        lib.init_rc = 1
        bridge = termbridge.TermBridge(udp_port=1, lib=lib)
        with self.assertRaises(termbridge.InitializeError) as caught:
            bridge.open()
        self.assertEqual(caught.exception.rc, 1)
        self.assertFalse(bridge.is_open)
        self.assertEqual(bridge.close(), 0)
        self.assertNotIn("deinitialize", lib.names())

    def test_exit_deinitializes_once_even_after_an_exception(self):
        lib = FakeLibrary()
        bridge = termbridge.TermBridge(udp_port=1, lib=lib)
        with self.assertRaises(RuntimeError):
            with bridge:
                raise RuntimeError("host failure")
        bridge.close()
        self.assertEqual(lib.names().count("deinitialize"), 1)


class PassThroughTest(unittest.TestCase):
    def setUp(self):
        self.lib = FakeLibrary()
        self.bridge = termbridge.TermBridge(lib=self.lib)

    def test_settings(self):
        self.bridge.default_timeout = 0
        self.assertEqual(self.bridge.default_timeout, -1)
        self.bridge.default_timeout = 1234
        self.assertEqual(self.bridge.default_timeout, 1234)
        self.bridge.log_severity = 3
        self.assertEqual(self.bridge.log_severity, 3)
        self.bridge.set_internal_command_timeout(700)
        self.bridge.allow_file_logging(0)
        self.assertEqual(self.lib.calls, [("setDefaultTimeout", (0,)), ("setDefaultTimeout", (1234,)),
                                          ("setLogSeverity", (3,)), ("setInternalCommandTimeout", (700,)),
                                          ("AllowWriteLogsToFile", (False,))])

    def test_chip_and_eeprom_calls(self):
        bridge = self.bridge
        self.assertEqual(bridge.sync(), 0)
        self.assertEqual(bridge.load_firmware("fw.bin"), 1)
        self.assertEqual(bridge.system_version_info(), "versions")
        self.assertEqual(bridge.init_eeprom(2, "image.bin"), 1)
        self.assertEqual(bridge.update_eeprom_field("gain", "7"), 1)
        self.assertEqual(bridge.burn_eeprom(True), 1)
        self.assertEqual(bridge.dump_eeprom_table("table.txt"), 1)
        self.assertEqual(bridge.read_entire_eeprom(), "entire")
        self.assertEqual(bridge.read_eeprom_field("gain"), "field \u00b5")
        self.assertEqual(bridge.read_volatile_field("gain"), "volatile")
        self.assertEqual(self.lib.calls, [
            ("SyncChipAccess", ()), ("LoadFW", (b"fw.bin",)), ("InitEepromIF", (2, b"image.bin")),
            ("UpdateEepromField", (b"gain", b"7")), ("BurnEeprom", (1,)), ("DumpEepromTableToFile", (b"table.txt",)),
            ("ReadEntireEeprom", (b"",)), ("ReadFieldFromEeprom", (b"gain",)), ("ReadFieldFromVolatile", (b"gain",))])

    def test_version_drops_the_line_end(self):
        self.assertEqual(termbridge.version(self.lib), "4.5.6")


class LoadingTest(unittest.TestCase):
    def test_platform_file_names(self):
        self.assertEqual(termbridge.default_library_name("win32"), "TermBridge.dll")
        self.assertEqual(termbridge.default_library_name("linux"), "libTermBridge.so")

    def test_given_path_wins_over_the_environment(self):
        with mock.patch.dict(os.environ, {termbridge.ENV_LIBRARY: "/elsewhere/libTermBridge.so"}):
            self.assertEqual(termbridge.find_library("given/libTermBridge.so"), "given/libTermBridge.so")
            self.assertEqual(termbridge.find_library(), "/elsewhere/libTermBridge.so")

    def test_without_a_setting_the_platform_name_is_searched(self):
        env = {key: value for key, value in os.environ.items() if key != termbridge.ENV_LIBRARY}
        with mock.patch.dict(os.environ, env, clear=True):
            self.assertEqual(os.path.basename(termbridge.find_library()), termbridge.default_library_name())

    def test_missing_library_raises_library_not_found(self):
        missing = os.path.join(tbsupport.ROOT, "no-such-dir", "libTermBridge.so")
        with self.assertRaises(termbridge.LibraryNotFoundError) as caught:
            termbridge.load_library(missing)
        self.assertIn(missing, str(caught.exception))
        with mock.patch.dict(os.environ, {termbridge.ENV_LIBRARY: missing}):
            with self.assertRaises(termbridge.LibraryNotFoundError):
                termbridge.load_library()


if __name__ == "__main__":
    unittest.main()
