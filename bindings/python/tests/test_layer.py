"""The Python layer over the exports, against a stand-in of the library that
records the calls it gets (tests/conftest.py)."""

import _thread
import gc
import json
import os
import pathlib
import re
import threading
from unittest import mock

import pytest

import termbridge
from conftest import EXAMPLES, SOURCE_ROOT, FakeLibrary
from termbridge.definitions import cause_lines
from termbridge.memoryfiles import difference_text, mismatches, range_problem
from termbridge.pytest_plugin import run_key

EXAMPLE_LIST = str(EXAMPLES / "definitions" / "list.txt")
UNREAD = termbridge.UNREAD_VALUE


def shared_table(name):
    """A table the console's unit tests read too (tests/data): the two
    implementations give the same verdicts and the same texts."""
    with open(SOURCE_ROOT / "tests" / "data" / name, encoding="utf-8") as table:
        return json.load(table)


VALUE_CHECKS = shared_table("valuechecks.json")
MEMORY_FILES = shared_table("memoryfiles.json")
VERSION_REPORTS = shared_table("versionreports.json")
LINK_NOTES = shared_table("linknotes.json")

REPORT = """
*********************************
Mac Version:
*********************************
Major Version:  3
Minor Version:  1
Branch Version: 2
Build Number:   77
System Repo Revision Number:        1200
Component Repo Revision Number:     1300
Host-FW Interface Revision Number:  4
Phy-Mac Interface Revision Number:  5
Uart-Phy Interface Revision Number: 6

*********************************
Phy Version:
*********************************
Major Version:  3
Minor Version:  1
Branch Version: 2
Build Number:   -842150451
System Repo Revision Number:        1200
Component Repo Revision Number:     1301
Phy-Mac Interface Revision Number:  6
Uart-Phy Interface Revision Number: 6

!!!!!!!!!!!!Incompatible Version!!!!!!!!!!!!!!!!!!!
!! PHY and Mac use different Phy-Mac IF Release  !!
!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!
"""


@pytest.fixture(autouse=True)
def no_session_open(request):
    """Sessions of the stand-in take the process's one session: the plugin's
    pooled session of the real library is closed first."""
    request.config.stash[run_key].close_session()


@pytest.fixture
def open_session():
    """Opens sessions of a stand-in (the calls that open one are left out of
    its record); they are closed after the test."""
    opened = []

    def open_one(fake):
        bridge = termbridge.TermBridge(lib=fake).open()
        fake.calls.clear()
        opened.append(bridge)
        return bridge

    yield open_one
    for bridge in opened:
        bridge.close()


@pytest.fixture
def bridge(fake, open_session):
    return open_session(fake)


class TestSend:
    @pytest.mark.parametrize("timeout, call", [
        (250, ("sendCommand", (b"NATIVE_READ_WORD_CMD 0x10", 250))),
        (0, ("sendCommand", (b"NATIVE_READ_WORD_CMD 0x10", 0))),
        (None, ("sendCommandDefaultTimeout", (b"NATIVE_READ_WORD_CMD 0x10",))),
    ])
    def test_timeout_chooses_the_export(self, fake, bridge, timeout, call):
        bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=timeout)
        assert fake.calls == [call]

    def test_command_text_is_sent_as_single_byte_text(self, fake, bridge):
        bridge.send("PHY_CMD name=caf\u00e9", timeout_ms=1)
        bridge.send(b"RAW \xff", timeout_ms=1)
        assert [args[0] for _, args in fake.calls] == [b"PHY_CMD name=caf\xe9", b"RAW \xff"]

    def test_result_is_exactly_the_valid_bytes(self, fake, bridge):
        fake.set_result(b"\x0a\x00\xff\x00tail", 4)
        result = bridge.send("NATIVE_READ_BUFFER_CMD 0x10 4", timeout_ms=100)
        assert (result.data, result.hex, len(result), bytes(result)) == (b"\x0a\x00\xff\x00", "0a00ff00", 4,
                                                                          b"\x0a\x00\xff\x00")
        assert result.command == "NATIVE_READ_BUFFER_CMD 0x10 4"
        fake.set_result(b"stale", 0)
        empty = bridge.send("NATIVE_WRITE_WORD_CMD 0x10 1", timeout_ms=100)
        assert (empty.data, empty.hex) == (b"", "")

    def test_result_text_stops_at_the_first_nul(self, fake, bridge):
        fake.set_result(b"0x0000002a\x00junk", 15)
        assert bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=100).text == "0x0000002a"

    @pytest.mark.parametrize("rc", [1, -1])
    def test_failure_raises_command_error_with_the_text(self, fake, bridge, rc):
        fake.rc = rc
        fake.failure = b"Timeout Error: No Event occur for command : 'X 1 '"
        with pytest.raises(termbridge.CommandError) as caught:
            bridge.send("X 1", timeout_ms=10)
        error = caught.value
        assert (error.command, error.rc, error.message) == ("X 1", rc, fake.failure.decode())
        assert str(error) == error.message
        assert isinstance(error, termbridge.TermBridgeError)


class TestLifecycle:
    def test_ports_given_use_initialize_old(self, fake, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "l.txt").touch()
        with termbridge.TermBridge(mac_map="m.map", phy_map="p.map", struct_list="l.txt", udp_port=50000,
                                   tcp_port=50001, dispatcher="10.0.0.2", lib=fake) as bridge:
            assert bridge.is_open
        assert fake.calls == [("initialize_old", (50000, b"10.0.0.2", 50001, b"m.map", b"p.map", b"l.txt")),
                              ("deinitialize", ())]

    def test_without_ports_the_registry_is_used(self, fake, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "l.txt").touch()
        with termbridge.TermBridge(mac_map=b"m.map", phy_map=pathlib.PurePosixPath("a/p.map"), struct_list="l.txt",
                                   lib=fake):
            pass
        assert fake.calls == [("initialize", (b"m.map", b"a/p.map", b"l.txt")), ("deinitialize", ())]

    def test_refused_initialize_raises_and_is_not_undone(self, fake):
        fake.init_rc = 1
        bridge = termbridge.TermBridge(udp_port=1, tcp_port=2, lib=fake)
        with pytest.raises(termbridge.InitializeError) as caught:
            bridge.open()
        assert caught.value.rc == 1
        assert not bridge.is_open
        assert bridge.close() == 0
        assert "deinitialize" not in fake.names()

    @pytest.mark.parametrize("listing, missing", [
        (None, "list.txt"),  # the list file itself
        ("defs/phy.h\n", "defs/phy.h"),  # a file it names
    ])
    def test_definition_files_that_do_not_open_are_refused(self, fake, tmp_path, listing, missing):
        if listing is not None:
            (tmp_path / "list.txt").write_text(listing)
        bridge = termbridge.TermBridge(struct_list=tmp_path / "list.txt", udp_port=1, tcp_port=2, lib=fake)
        with pytest.raises(termbridge.InitializeError, match="do not open: %s" % str(tmp_path / missing)):
            bridge.open()
        assert not bridge.is_open and fake.calls == []

    @pytest.mark.parametrize("arguments", [
        dict(udp_port=65536, tcp_port=50001),  # would wrap to 0
        dict(udp_port=50000.5, tcp_port=50001),
        dict(udp_port=50000),  # the library would listen on port 0
        dict(tcp_port=50001),  # the registry's ports would be used
        dict(udp_port=50000, tcp_port=50001, dispatcher="10.0.0.1\0junk"),
    ])
    def test_arguments_the_library_would_read_otherwise_are_refused(self, fake, arguments):
        bridge = termbridge.TermBridge(lib=fake, **arguments)
        with pytest.raises((ValueError, TypeError)):
            bridge.open()
        assert not bridge.is_open and fake.calls == []

    def test_exit_deinitializes_once_even_after_an_exception(self, fake):
        bridge = termbridge.TermBridge(udp_port=1, tcp_port=2, lib=fake)
        with pytest.raises(RuntimeError):
            with bridge:
                raise RuntimeError("host failure")
        bridge.close()
        assert fake.names().count("deinitialize") == 1


class TestSettingsAndChip:
    def test_settings_pass_through(self, fake, bridge):
        bridge.default_timeout = 0
        assert bridge.default_timeout == -1
        bridge.default_timeout = 1234
        bridge.log_severity = 3
        bridge.set_internal_command_timeout(700)
        bridge.allow_file_logging(0)
        assert (bridge.default_timeout, bridge.log_severity) == (1234, 3)
        assert fake.calls == [("setDefaultTimeout", (0,)), ("setDefaultTimeout", (1234,)), ("setLogSeverity", (3,)),
                              ("setInternalCommandTimeout", (700,)), ("AllowWriteLogsToFile", (False,))]
        assert termbridge.version(fake) == "4.5.6"

    @pytest.mark.parametrize("call", [
        lambda bridge: bridge.send("NATIVE_READ_WORD_CMD 0x10\x0020"),  # would send only up to the NUL
        lambda bridge: bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=2 ** 32),  # would wrap to 0: no limit
        lambda bridge: setattr(bridge, "default_timeout", 2 ** 32 + 100),
        lambda bridge: bridge.load_firmware(b"fw\0.bin"),
    ])
    def test_arguments_that_would_reach_the_library_changed_are_refused(self, fake, bridge, call):
        with pytest.raises(ValueError):
            call(bridge)
        assert fake.calls == []

    def test_load_firmware_raises_with_the_failure_text(self, fake, bridge):
        bridge.load_firmware("fw.bin")
        fake.rc = 1
        fake.failure = b"Error!!! Failed to Load PHY Firmware data!"
        with pytest.raises(termbridge.FirmwareError) as caught:
            bridge.load_firmware(pathlib.Path("fw.bin"))
        assert (caught.value.operation, caught.value.rc, caught.value.message) == (
            "LoadFW", 1, "Error!!! Failed to Load PHY Firmware data!")
        assert fake.calls == [("LoadFW", (b"fw.bin",))] * 2

    def test_sync_raises_on_failure(self, fake, bridge):
        bridge.sync()
        fake.rc = 1
        with pytest.raises(termbridge.OperationError):
            bridge.sync()

    def test_version_info_reads_both_sides_and_the_warnings(self, fake, bridge):
        fake.version_report = REPORT.encode()
        info = bridge.version_info()
        assert (info.mac.major, info.mac.minor, info.mac.branch, info.mac.build) == (3, 1, 2, 77)
        assert (info.mac.host_fw_interface, info.mac.phy_mac_interface, info.mac.uart_phy_interface) == (4, 5, 6)
        assert info.phy.host_fw_interface is None  # the PHY has none
        assert info.phy.build is None  # its read failed
        assert info.phy.component_revision == 1301
        assert info.warnings == ["PHY and Mac use different Phy-Mac IF Release"]
        assert not info.compatible
        assert info.text == REPORT

    def test_version_words_that_were_not_read(self, fake, bridge):
        # REPORT with the Phy-Mac words alike: no warning.
        alike = REPORT.split("\n!!!", 1)[0].replace("Phy-Mac Interface Revision Number:  6", "Phy-Mac Interface "
                                                                                          "Revision Number:  5")
        fake.version_report = alike.replace("Branch Version: 2", "Branch Version: %d" % UNREAD).encode()
        info = bridge.version_info()
        assert (info.mac.branch, info.phy.branch, info.warnings) == (None, None, [])
        assert not info.compatible  # two unread words look alike to the library
        fake.version_report = alike.encode()
        assert bridge.version_info().compatible
        # No chip answered: the library still writes a report, every word unread.
        fake.version_report = re.sub(r"(:\s+)-?\d+$", r"\g<1>%d" % UNREAD, alike, flags=re.M).encode()
        fake.failure = b"Timeout Error: No Event occur for command : 'MEM_READ PHY_FILE_TYPE buildNumber 4 '"
        with pytest.raises(termbridge.OperationError) as caught:
            bridge.version_info()
        assert (caught.value.operation, caught.value.message) == ("getSystemVersionInfo", fake.failure.decode())

    @pytest.mark.parametrize("row", VERSION_REPORTS["reports"], ids=lambda row: row["name"])
    def test_compatible_as_the_shared_table_says(self, row):
        info = termbridge.parse_version_report("\n".join(row["report"]))
        assert (info.compatible, info.reason) == (row["reason"] is None, row["reason"])

    def test_version_info_without_a_report_raises_the_text(self, fake, bridge):
        fake.version_report = b"Error!!! The version report is not available in this version"
        with pytest.raises(termbridge.OperationError) as caught:
            bridge.version_info()
        assert caught.value.message == fake.version_report.decode()


class TestEeprom:
    def test_calls_and_arguments(self, fake, bridge):
        bridge.init_eeprom(termbridge.EepromSource.IMAGE_FILE, "image.bin")
        bridge.update_eeprom_field("MacAddress", b"\x00\x50\xc2")
        bridge.update_eeprom_field("CrystalTrim", -1.5)
        bridge.update_eeprom_field("RxGainStep", 3)
        bridge.update_eeprom_field("TxPowerGain", "12.25")
        bridge.burn_eeprom(partial=True)
        bridge.dump_eeprom_table("table.bin")
        assert fake.calls == [
            ("InitEepromIF", (1, b"image.bin")), ("UpdateEepromField", (b"MacAddress", b"0x00 0x50 0xc2")),
            ("UpdateEepromField", (b"CrystalTrim", b"-1.5")), ("UpdateEepromField", (b"RxGainStep", b"3")),
            ("UpdateEepromField", (b"TxPowerGain", b"12.25")), ("BurnEeprom", (1,)),
            ("DumpEepromTableToFile", (b"table.bin",))]

    @pytest.mark.parametrize("value, text", [
        (0.1, "0.1"), (1e-9, "0.000000001"), (-2.0, "-2"), (True, "1"), (bytearray(b"\xff"), "0xff"), (b"", ""),
    ])
    def test_value_texts(self, value, text):
        assert termbridge.format_eeprom_value(value) == text

    @pytest.mark.parametrize("text, value", [
        ("  12.250", 12.25), ("-1.500", -1.5), ("0x0a 0xff ", b"\x0a\xff"), ("", b""), ("n/a", "n/a"),
    ])
    def test_read_texts_become_values(self, fake, bridge, text, value):
        fake.eeprom_text = text.encode()
        assert bridge.read_eeprom_field("field") == value
        assert bridge.read_volatile_field("field") == value

    def test_entire_eeprom_is_a_dict_in_listing_order(self, fake, bridge):
        fake.eeprom_text = b"MacAddress = 0x00 0x50 0xc2 \nCrystalTrim = -1.500\nRxGainStep = 0.500\n"
        fields = bridge.read_entire_eeprom()
        assert list(fields.items()) == [("MacAddress", b"\x00\x50\xc2"), ("CrystalTrim", -1.5), ("RxGainStep", 0.5)]
        assert fake.calls == [("ReadEntireEeprom", (b"",))]

    def test_a_failure_text_that_reads_like_a_value_still_raises(self, fake, bridge):
        # Only where the text lies tells success from failure.
        fake.eeprom_rc = 1
        fake.failure = b"12.000"
        for read in (bridge.read_eeprom_field, bridge.read_volatile_field, bridge.read_entire_eeprom):
            with pytest.raises(termbridge.EepromError) as caught:
                read("field")
            assert caught.value.message == "12.000"

    def test_failed_codes_raise_with_the_failure_text(self, fake, bridge):
        fake.eeprom_rc = 1
        fake.failure = b"Failed to Read EEprom!!!"
        for operation in (lambda: bridge.init_eeprom(7), lambda: bridge.update_eeprom_field("x", 1),
                          lambda: bridge.dump_eeprom_table("t.bin")):
            with pytest.raises(termbridge.EepromError) as caught:
                operation()
            assert caught.value.message == "Failed to Read EEprom!!!"

    def test_burn_raises_when_nothing_was_written(self, fake, bridge):
        fake.burn_written = 0
        fake.failure = b"Error!!! EEPROM write failed"
        with pytest.raises(termbridge.EepromError) as caught:
            bridge.burn_eeprom()
        assert (caught.value.operation, caught.value.rc) == ("BurnEeprom", 0)

    def test_burn_answer_of_a_library_not_initialized_is_no_success(self, fake, bridge):
        # BurnEeprom's "written" (1) is also its not-initialized answer.
        fake.result_len = -1
        fake.failure = termbridge.NOT_READY_TEXT.encode()
        with pytest.raises(termbridge.EepromError):
            bridge.burn_eeprom()


class TestProgress:
    @pytest.mark.parametrize("ending", ["close", "collect"])
    def test_the_library_gives_the_callback_back_when_the_session_ends(self, ending):
        # The library keeps a callback across sessions: one freed while
        # registered is called by the next session's long operation.
        fake = FakeLibrary(with_extensions=True)
        bridge = termbridge.TermBridge(udp_port=1, tcp_port=2, lib=fake).open()
        bridge.set_progress_callback(lambda stage, done, total: None)
        assert fake.progress is not None
        if ending == "close":
            bridge.close()
        else:
            del bridge
            gc.collect()
        assert fake.progress is None
        # (A session collected while open first cancels what another thread may run.)
        ending_calls = [name for name in fake.names() if name != "tbx_cancelOperation"]
        assert ending_calls[-2:] == ["tbx_setStoppableProgressCallback", "deinitialize"]

    def test_callback_gets_each_step_during_the_operation(self, open_session):
        fake = FakeLibrary(with_extensions=True)
        fake.progress_steps = [(b"MAC", 0, 32), (b"MAC", 32, 32), (b"PHY", 16, 16)]
        bridge = open_session(fake)
        seen = []
        bridge.set_progress_callback(lambda stage, done, total: seen.append((stage, done, total)))
        bridge.load_firmware("fw.bin")
        assert seen == [("MAC", 0, 32), ("MAC", 32, 32), ("PHY", 16, 16)]
        bridge.set_progress_callback(None)
        bridge.burn_eeprom()
        assert len(seen) == 3
        assert fake.calls[0] == ("tbx_setStoppableProgressCallback", (True,))
        assert ("tbx_setStoppableProgressCallback", (False,)) in fake.calls

    def test_exception_in_the_callback_ends_up_in_the_caller(self, open_session):
        fake = FakeLibrary(with_extensions=True)
        fake.progress_steps = [(b"burn", 16, 48), (b"burn", 32, 48)]
        bridge = open_session(fake)
        calls = []

        def cancel(stage, done, total):
            calls.append(done)
            raise KeyboardInterrupt("stop")

        bridge.set_progress_callback(cancel)
        with pytest.raises(KeyboardInterrupt):
            bridge.burn_eeprom()
        assert calls == [16]  # not called again once it raised
        bridge.set_progress_callback(lambda stage, done, total: calls.append(done))
        bridge.burn_eeprom()  # the next operation starts clean
        assert calls == [16, 16, 32]

    def test_a_true_answer_stops_the_operation(self, open_session):
        fake = FakeLibrary(with_extensions=True)
        fake.progress_steps = [(b"burn", 16, 48), (b"burn", 32, 48), (b"burn", 48, 48)]
        bridge = open_session(fake)
        bridge.set_progress_callback(lambda stage, done, total: done >= 32)
        fake.burn_written = 0
        with pytest.raises(termbridge.EepromError) as caught:
            bridge.burn_eeprom()
        assert fake.stop_answers == [0, 1]
        assert caught.value.message.startswith("Cancelled:")

    def test_library_without_the_extensions(self, bridge):
        assert not bridge.progress_supported
        with pytest.raises(termbridge.ExtensionUnavailableError):
            bridge.set_progress_callback(print)
        with pytest.raises(termbridge.ExtensionUnavailableError):
            bridge.last_operation_stats()


def test_last_operation_stats(open_session):
    fake = FakeLibrary(with_extensions=True)
    bridge = open_session(fake)
    fake.stats = (3, 3, 1, 3 * 524, 4 * 520)
    assert bridge.last_operation_stats() == termbridge.OperationStats(
        commands_sent=3, events_accepted=3, events_dropped=1, bytes_sent=3 * 524, bytes_received=4 * 520)
    fake.stats_rc = 1
    with pytest.raises(termbridge.OperationError):
        bridge.last_operation_stats()


class TestMemoryFiles:
    @pytest.mark.parametrize("row", MEMORY_FILES["ranges"], ids=lambda row: "%s+%d" % (row["address"], row["length"]))
    def test_ranges_as_the_shared_table_says(self, row):
        assert range_problem(int(row["address"], 16), row["length"]) == row["problem"]

    @pytest.mark.parametrize("row", MEMORY_FILES["differences"], ids=lambda row: row["subject"])
    def test_difference_texts_as_the_shared_table_says(self, row):
        expected, found = bytes.fromhex(row["file_bytes"]), bytes.fromhex(row["chip_bytes"])
        differing = mismatches(int(row["address"], 16), expected, found)
        assert difference_text(row["subject"], row["file"], len(expected), differing) == row["text"]

    # What each call refuses before anything is sent or written, and why.
    REFUSALS = [
        ("save_memory", ("0x10000000", 16, "out.bin"), TypeError, "address must be an integer, not '0x10000000'"),
        ("save_memory", (-4, 16, "out.bin"), ValueError, "address must be 0 or more, not -4"),
        ("save_memory", (0x10000000, -4, "out.bin"), ValueError, "length must be 0 or more, not -4"),
        ("save_memory", (0x10000002, 16, "out.bin"), ValueError, "address 0x10000002 is not word-aligned"),
        ("save_memory", (0x10000000, 16, "."), IsADirectoryError, "Is a directory"),
        ("save_memory", (0x10000000, 16, "none/out.bin"), FileNotFoundError, "none/out.bin"),
        ("load_memory", (0x10000000, "none.bin"), FileNotFoundError, "none.bin"),
        ("verify_memory", (0x10000000, "."), IsADirectoryError, "Is a directory"),
        ("verify_memory", (0x10000000, "empty.bin"), ValueError, "^empty.bin is empty$"),
        ("load_memory", (0x10000000, "six.bin"), ValueError, "^6 bytes are no whole number of 4-byte words$"),
        ("load_memory", (0xFFFFFFFC, "eight.bin"), ValueError, "0xfffffffc \\+ 8 bytes runs past the end"),
        ("verify_firmware", ("fw\0.bin",), ValueError, "NUL"),
    ]

    @pytest.mark.parametrize("method, arguments, error, said", REFUSALS, ids=lambda value: repr(value)[:30])
    def test_refused_before_anything_is_sent(self, open_session, tmp_path, monkeypatch, method, arguments, error,
                                             said):
        monkeypatch.chdir(tmp_path)
        for name, data in (("empty.bin", b""), ("six.bin", b"abcdef"), ("eight.bin", b"abcdefgh")):
            (tmp_path / name).write_bytes(data)
        fake = FakeLibrary(with_extensions=True)
        bridge = open_session(fake)
        with pytest.raises(error, match=said):
            getattr(bridge, method)(*arguments)
        assert fake.calls == []
        assert sorted(os.listdir(tmp_path)) == ["eight.bin", "empty.bin", "six.bin"]

    def test_a_library_without_the_extensions_is_named(self, bridge, tmp_path):
        (tmp_path / "eight.bin").write_bytes(b"abcdefgh")
        with pytest.raises(termbridge.ExtensionUnavailableError, match="no tbx_readMemory"):
            bridge.verify_memory(0x10000000, tmp_path / "eight.bin")
        with pytest.raises(termbridge.ExtensionUnavailableError, match="no tbx_verifyFW"):
            bridge.verify_firmware("fw.bin")


class TestLoading:
    def test_platform_file_names(self):
        assert termbridge.default_library_name("win32") == "TermBridge.dll"
        assert termbridge.default_library_name("linux") == "libTermBridge.so"

    def test_given_path_wins_over_the_environment(self):
        with mock.patch.dict(os.environ, {termbridge.ENV_LIBRARY: "/elsewhere/libTermBridge.so"}):
            assert termbridge.find_library("given/libTermBridge.so") == "given/libTermBridge.so"
            assert termbridge.find_library() == "/elsewhere/libTermBridge.so"
        env = {key: value for key, value in os.environ.items() if key != termbridge.ENV_LIBRARY}
        with mock.patch.dict(os.environ, env, clear=True):
            assert os.path.basename(termbridge.find_library()) == termbridge.default_library_name()

    def test_missing_library_raises_library_not_found(self, tmp_path):
        missing = str(tmp_path / "no-such-dir" / "libTermBridge.so")
        with pytest.raises(termbridge.LibraryNotFoundError) as caught:
            termbridge.load_library(missing)
        assert missing in str(caught.value)
        with mock.patch.dict(os.environ, {termbridge.ENV_LIBRARY: missing}):
            with pytest.raises(termbridge.LibraryNotFoundError):
                termbridge.load_library()


class TestSayWhy:
    """Failures carry the library's reason; names and values the definitions
    refuse are refused before the library is called."""

    @pytest.fixture
    def opened(self):
        fake = FakeLibrary(with_extensions=True)
        bridge = termbridge.TermBridge(struct_list=EXAMPLE_LIST, udp_port=1, tcp_port=2, lib=fake).open()
        yield fake, bridge
        bridge.close()

    @pytest.mark.parametrize("row", LINK_NOTES["failures"], ids=lambda row: row["name"])
    def test_link_notes_as_the_shared_table_says(self, fake, bridge, row):
        def link_state(reference):
            if row["link"] is None:
                return 1
            record = reference._obj  # what ctypes.byref points at
            record.connected, record.listenPort = int(row["link"]["connected"]), row["link"]["listen_port"]
            return 0

        fake.tbx_getLinkState = link_state
        fake.rc = fake.eeprom_rc = 1
        fake.failure = row["failure"].encode()
        with pytest.raises(termbridge.OperationError) as caught:
            if row["needs_dispatcher"]:
                bridge.send("NATIVE_READ_WORD_CMD 0x0", timeout_ms=100)
            else:
                bridge.dump_eeprom_table("image.bin")
        note = row["note"]
        assert caught.value.notes == ([] if note is None else [note.replace("{hint}", LINK_NOTES["hints"]["python"])])

    def test_the_cause_comes_with_the_failure(self, opened):
        fake, bridge = opened
        fake.rc = 1
        fake.failure = b"Error: Failed to Send Command : 'PHYC_SET_CHANNEL_CMD channel=abc '"
        fake.operation_log = (b"****\n<ConsoleAppLogic>Handle command: PHYC_SET_CHANNEL_CMD channel=abc\n"
                              b"<StructAccess>Error!,Enum for value abc not found.\n"
                              b"Error: Couldn't adapt command 'PHYC_SET_CHANNEL_CMD channel=abc'\n" + fake.failure + b"\n")
        with pytest.raises(termbridge.CommandError) as caught:
            bridge.send("PHYC_SET_CHANNEL_CMD channel=abc")
        error = caught.value
        assert error.message == fake.failure.decode()
        assert error.cause == ["<StructAccess>Error!,Enum for value abc not found."]
        assert str(error) == error.message + "\n  cause: <StructAccess>Error!,Enum for value abc not found."
        assert error.log_path == "/logs/console_adapter.log"

    # The rule's own examples, which the console's tests check too.
    @pytest.mark.parametrize("example", json.loads(
        (pathlib.Path(termbridge.__file__).parent / "failure_causes.json").read_text())["examples"],
        ids=lambda example: example["line"][:40])
    def test_a_line_is_a_cause_as_the_shared_rule_says(self, example):
        failure = "Failed"
        assert cause_lines("<ConsoleAppLogic>Handle command: X\n%s\n" % example["line"], failure) == (
            [example["line"]] if example["cause"] else [])

    @pytest.mark.parametrize("line, said", [
        ("PHYC_SET_CHANEL_CMD channel=3", "unknown command PHYC_SET_CHANEL_CMD (did you mean PHYC_SET_CHANNEL_CMD?)"),
        ("PHYC_SET_CHANNEL_CMD chanel=3", "PHYC_SET_CHANNEL_CMD has no parameter chanel (did you mean channel=?)"),
    ])
    def test_unknown_names_are_refused_before_sending(self, opened, line, said):
        fake, bridge = opened
        with pytest.raises(termbridge.UnknownNameError) as caught:
            bridge.send(line)
        assert (caught.value.message, caught.value.rc) == (said, None)
        assert "sendCommandDefaultTimeout" not in fake.names()
        bridge.strict = False  # passed on as typed
        bridge.send(line)
        assert fake.names()[-1] == "sendCommandDefaultTimeout"

    @pytest.mark.parametrize("field, value, said", [
        ("TxPowerGain", "abc", "TxPowerGain takes a decimal number, not 'abc' (the library would store 0)"),
        ("RfControl", "0x1F3C", "RfControl takes a decimal number, not '0x1F3C' (the library would store 0)"),
        ("MacAddress", b"\x00\x50", "MacAddress takes 6 bytes, the value gives 2"),
        ("MacAddress", "0x00 0x50 0xc2 0x12 0x34 0x5g", "MacAddress takes bytes written 0xNN; '0x5g' is not one"),
        ("TxPowerGain", "300", "TxPowerGain holds 0 to 255.99609375, not 300 (the library would keep the low "
                               "bytes: another value)"),
        ("CrystalTrim", "128", "CrystalTrim holds -128 to 127.99609375, not 128 (the library would keep the low "
                               "bytes: another value)"),
    ])
    def test_values_the_library_would_misread_are_refused(self, opened, field, value, said):
        fake, bridge = opened
        with pytest.raises(termbridge.EepromValueError) as caught:
            bridge.update_eeprom_field(field, value)
        assert (caught.value.message, caught.value.rc) == (said, None)
        assert "UpdateEepromField" not in fake.names()
        bridge.update_eeprom_field(field, value, strict=False)
        assert fake.names()[-1] == "UpdateEepromField"

    @pytest.fixture(scope="class")
    def example_names(self):
        return termbridge.DefinitionNames.from_list_file(str(SOURCE_ROOT / VALUE_CHECKS["definitions"]))

    @pytest.mark.parametrize("row", VALUE_CHECKS["parameters"], ids=lambda row: row["line"])
    def test_command_values_as_the_shared_table_says(self, example_names, row):
        assert example_names.command_value_problem(row["line"]) == row["problem"]

    @pytest.mark.parametrize("row", VALUE_CHECKS["eeprom"], ids=lambda row: "%s %s" % (row["field"], row["value"]))
    def test_eeprom_values_as_the_shared_table_says(self, example_names, row):
        assert example_names.eeprom_value_problem(row["field"], row["value"]) == row["problem"]

    def test_an_image_file_longer_than_the_layout_warns(self, opened):
        fake, bridge = opened
        fake.operation_log = b"<EepromInterface>Eeprom File Size(70000)> EEprom Data Base Size(69)\n"
        with pytest.warns(UserWarning, match=re.escape("longer than the EEPROM layout; only its first bytes were "
                                                       "taken (<EepromInterface>Eeprom File Size(70000)>")):
            bridge.init_eeprom(termbridge.EepromSource.IMAGE_FILE, "longer.bin")

    def test_a_file_that_is_no_firmware_package_is_the_cause(self, opened, tmp_path):
        fake, bridge = opened
        fake.rc = 1
        fake.failure = b"<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!"
        notes = tmp_path / "notes.txt"
        notes.write_text("no package here\n")
        with pytest.raises(termbridge.FirmwareError) as caught:
            bridge.load_firmware(notes)
        assert caught.value.cause == ["%s is no firmware package: none of its lines begins with QUORIL" % notes]

    @pytest.mark.parametrize("operation", [
        lambda bridge: bridge.update_eeprom_field("CrystalTrm", 1),
        lambda bridge: bridge.read_eeprom_field("CrystalTrm"),
        lambda bridge: bridge.read_volatile_field("CrystalTrm"),
    ], ids=["update", "read", "read volatile"])
    def test_a_field_the_definitions_lack_gets_the_nearest_name(self, opened, operation):
        fake, bridge = opened
        fake.eeprom_rc = 1
        fake.failure = b"Error: field CrystalTrm not found"
        with pytest.raises(termbridge.EepromError) as caught:
            operation(bridge)
        assert "did you mean CrystalTrim?" in caught.value.notes
        assert str(caught.value).endswith("\n  did you mean CrystalTrim?")

    def test_a_second_session_in_the_process_is_refused(self, opened):
        _, first = opened
        with pytest.raises(termbridge.SessionInUseError):
            termbridge.TermBridge(udp_port=1, tcp_port=2, lib=FakeLibrary()).open()
        first.close()
        with termbridge.TermBridge(udp_port=1, tcp_port=2, lib=FakeLibrary()) as second:
            assert second.is_open

    def test_a_session_collected_while_open_shuts_the_library_down(self):
        fake = FakeLibrary()
        termbridge.TermBridge(udp_port=1, tcp_port=2, lib=fake).open()
        gc.collect()
        assert fake.names() == ["initialize_old", "deinitialize"]
        with termbridge.TermBridge(udp_port=1, tcp_port=2, lib=FakeLibrary()):
            pass  # no longer in use

    # A request the library drops (made before its operation began) is made again.
    @pytest.mark.parametrize("dropped", [0, 1])
    def test_ctrl_c_cancels_the_operation_and_raises(self, open_session, dropped):
        fake = FakeLibrary(with_extensions=True)
        fake.block_until_cancelled = True
        fake.cancels_dropped = dropped
        bridge = open_session(fake)
        timer = threading.Timer(0.2, _thread.interrupt_main)
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            bridge.load_firmware("fw.bin")
        timer.join()
        # (one more may come while the call returns)
        assert fake.names()[:dropped + 2] == ["LoadFW"] + ["tbx_cancelOperation"] * (dropped + 1)
        assert set(fake.names()[1:]) == {"tbx_cancelOperation"}
        assert bridge.failure_message.startswith("Cancelled:")
