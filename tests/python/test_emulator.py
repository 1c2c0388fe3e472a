"""End to end: the library, through the binding, against a tb-emulator process
(the dispatcher and the chip) on free loopback ports."""

import os
import random
import shutil
import tempfile
import unittest

import tbsupport
import termbridge

needs_emulator = unittest.skipUnless(tbsupport.EMULATOR, "TB_EMULATOR is not set")

# Far from the mailbox and the firmware load areas.
SCRATCH = 0x10000040


def word_value(result):
    """The value of a word read: hexadecimal text from data byte 2 on."""
    text = result.data[2:].split(b"\0", 1)[0].decode("ascii")
    return int(text, 16)


@needs_emulator
class RoundTripTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tb-python-e2e-")
        library_port = tbsupport.free_tcp_port()
        cls.emulator = tbsupport.Emulator(library_port, cls.folder)
        cls.bridge = termbridge.TermBridge(udp_port=cls.emulator.command_port, tcp_port=library_port,
                                           dispatcher="127.0.0.1", lib=tbsupport.library(),
                                           **tbsupport.definition_files(cls.folder))
        try:
            with tbsupport.quiet_stdout():
                cls.bridge.open()
        except BaseException:
            cls.emulator.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.bridge.close()
        cls.emulator.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.emulator.control("reset"), "ok")

    def send(self, command, timeout_ms=5000):
        try:
            return self.bridge.send(command, timeout_ms)
        except termbridge.CommandError as error:
            self.fail("%r failed: %s\nemulator log:\n%s" % (command, error, self.emulator.log_text()))

    def test_written_word_reads_back(self):
        for value in (0x12345678, random.randrange(1, 0xFFFFFFFF), 0):
            with self.subTest(value=hex(value)):
                self.send("NATIVE_WRITE_WORD_CMD 0x%x 0x%x" % (SCRATCH, value))
                result = self.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH)
                self.assertEqual(word_value(result), value)
                self.assertEqual(result.hex, result.data.hex())
                self.assertEqual(len(result.data), self.bridge.result_length)

    def test_decimal_address_and_value(self):
        self.send("NATIVE_WRITE_WORD_CMD %d %d" % (SCRATCH + 8, 4660))
        self.assertEqual(word_value(self.send("NATIVE_READ_WORD_CMD 0x%x" % (SCRATCH + 8))), 0x1234)

    def test_written_word_is_in_chip_memory(self):
        self.send("NATIVE_WRITE_WORD_CMD 0x%x 0xa1b2c3d4" % (SCRATCH + 4))
        answer = self.emulator.control("read 0x%x 4" % (SCRATCH + 4))
        self.assertTrue(answer.startswith("ok "), answer)
        # The chip keeps words most significant byte first.
        self.assertEqual(bytes(int(byte, 16) for byte in answer.split()[1:]), bytes.fromhex("a1b2c3d4"))

    def test_buffer_with_zero_bytes_reads_back_exactly(self):
        data = [0x01, 0x00, 0xFF, 0x00, 0x7E, 0x00]
        self.send("NATIVE_WRITE_BUFFER_CMD 0x%x %d %s" % (SCRATCH + 0x20, len(data),
                                                           " ".join("0x%x" % byte for byte in data)))
        result = self.send("NATIVE_READ_BUFFER_CMD 0x%x %d" % (SCRATCH + 0x20, len(data)))
        self.assertEqual(result.data, bytes(data))
        self.assertEqual(result.hex, "0100ff007e00")

    def test_dropped_answer_raises_the_time_out_text(self):
        command = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
        self.assertEqual(self.emulator.control("drop-next"), "ok")
        with self.assertRaises(termbridge.CommandError) as caught:
            self.bridge.send(command, timeout_ms=500)
        self.assertEqual(caught.exception.rc, 1)
        self.assertEqual(caught.exception.command, command)
        self.assertEqual(caught.exception.message, "Timeout Error: No Event occur for command : '%s '" % command)
        self.assertEqual(self.bridge.result_length, 0)
        # The next command is answered again.
        self.send("NATIVE_WRITE_WORD_CMD 0x%x 0x5a5a" % SCRATCH)
        self.assertEqual(word_value(self.send(command)), 0x5A5A)

    def test_answer_later_than_the_time_out_is_not_taken_as_the_next_result(self):
        self.send("NATIVE_WRITE_WORD_CMD 0x%x 0x11" % SCRATCH)
        self.assertEqual(self.emulator.control("delay 800"), "ok")
        with self.assertRaises(termbridge.CommandError):
            self.bridge.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH, timeout_ms=100)
        self.assertEqual(self.emulator.control("delay 0"), "ok")
        self.send("NATIVE_WRITE_WORD_CMD 0x%x 0x22" % (SCRATCH + 12))
        self.assertEqual(word_value(self.send("NATIVE_READ_WORD_CMD 0x%x" % (SCRATCH + 12))), 0x22)


if __name__ == "__main__":
    unittest.main()
