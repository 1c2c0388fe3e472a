"""An initialized library whose dispatcher takes packets and never answers:
settings, command failures, and the way back to the not-initialized state."""

import os
import shutil
import tempfile
import time
import unittest

import tbsupport
import termbridge

NOT_READY = "Fatal Error!!! Console Application isn't Ready!!!!"


class SilentDispatcherTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tb-python-session-")
        cls.dispatcher = tbsupport.SilentDispatcher()
        cls.bridge = termbridge.TermBridge(udp_port=cls.dispatcher.port, tcp_port=tbsupport.free_tcp_port(),
                                           dispatcher="127.0.0.1", lib=tbsupport.library(),
                                           **tbsupport.definition_files(cls.folder))
        try:
            with tbsupport.quiet_stdout():
                cls.bridge.open()
        except BaseException:
            cls.dispatcher.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bridge.close()
        cls.dispatcher.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.bridge.default_timeout = 15000
        self.bridge.log_severity = 2

    def test_default_timeout_round_trip(self):
        self.bridge.default_timeout = 1234
        self.assertEqual(self.bridge.default_timeout, 1234)
        self.bridge.default_timeout = -1
        self.assertEqual(self.bridge.default_timeout, -1)

    def test_zero_default_timeout_means_without_limit(self):
        self.bridge.default_timeout = 0
        self.assertEqual(self.bridge.default_timeout, -1)

    def test_log_severity_round_trip(self):
        for level in (3, 1, 2):
            self.bridge.log_severity = level
            self.assertEqual(self.bridge.log_severity, level)

    def test_unanswered_command_times_out(self):
        command = "NATIVE_READ_WORD_CMD 0x10000000"
        with self.assertRaises(termbridge.CommandError) as caught:
            self.bridge.send(command, timeout_ms=200)
        self.assertEqual(caught.exception.rc, 1)
        self.assertEqual(caught.exception.message,
                         "Timeout Error: No Event occur for command : 'NATIVE_READ_WORD_CMD 0x10000000 '")
        self.assertEqual(self.bridge.failure_message, caught.exception.message)
        self.assertEqual(self.bridge.result_length, 0)

    def test_send_without_timeout_uses_the_default(self):
        self.bridge.default_timeout = 300
        started = time.monotonic()
        with self.assertRaises(termbridge.CommandError) as caught:
            self.bridge.send("NATIVE_READ_WORD_CMD 0x20")
        # The library's own default would be 15 s.
        self.assertLess(time.monotonic() - started, 10.0)
        self.assertEqual(caught.exception.message,
                         "Timeout Error: No Event occur for command : 'NATIVE_READ_WORD_CMD 0x20 '")

    def test_malformed_native_command_is_not_sent(self):
        for command in ("NATIVE_READ_WORD_CMD", "NATIVE_WRITE_BUFFER_CMD 0x100 3 1 2"):
            with self.subTest(command=command):
                with self.assertRaises(termbridge.CommandError) as caught:
                    self.bridge.send(command, timeout_ms=5000)
                self.assertEqual(caught.exception.message, "Error: Failed to Send Command : '%s '" % command)
                self.assertEqual(caught.exception.command, command)

    def test_results_read_as_empty_after_a_failure(self):
        with self.assertRaises(termbridge.CommandError):
            self.bridge.send("NATIVE_READ_WORD_CMD", timeout_ms=100)
        self.assertEqual(self.bridge.result_data, b"")
        self.assertEqual(self.bridge.result_hex, "")

    def test_initialize_again_keeps_the_session(self):
        self.bridge.default_timeout = 4321
        again = termbridge.TermBridge(udp_port=1, tcp_port=1, lib=tbsupport.library())
        with tbsupport.quiet_stdout():
            again.open()
        self.assertEqual(self.bridge.default_timeout, 4321)

    def test_missing_firmware_file_fails_with_a_text(self):
        missing = os.path.join(self.folder, "no-such-firmware.bin")
        self.assertNotEqual(self.bridge.load_firmware(missing), 0)
        self.assertNotEqual(self.bridge.failure_message, "")
        self.assertNotEqual(self.bridge.failure_message, NOT_READY)


class ShutdownTest(unittest.TestCase):
    def test_close_returns_to_not_initialized(self):
        folder = tempfile.mkdtemp(prefix="tb-python-shutdown-")
        dispatcher = tbsupport.SilentDispatcher()
        try:
            bridge = termbridge.TermBridge(udp_port=dispatcher.port, tcp_port=tbsupport.free_tcp_port(),
                                           lib=tbsupport.library(), **tbsupport.definition_files(folder))
            with tbsupport.quiet_stdout():
                bridge.open()
            self.assertNotEqual(bridge.result_length, -1)
            self.assertNotEqual(bridge.failure_message, NOT_READY)
            self.assertEqual(bridge.close(), 0)
            self.assertFalse(bridge.is_open)
            self.assertEqual(bridge.result_length, -1)
            self.assertEqual(bridge.failure_message, NOT_READY)
            self.assertEqual(bridge.default_timeout, -1)
        finally:
            dispatcher.close()
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
