"""An initialized library whose dispatcher takes packets and never answers:
settings, command failures, and the way back to the not-initialized state.

These tests open the library themselves, so they run with the plugin's
pooled session closed."""

import socket
import time

import pytest

import termbridge
from conftest import NOT_READY
from termbridge.emulator import free_port
from termbridge.pytest_plugin import run_key

TIMEOUT_TEXT = "Timeout Error: No Event occur for command : '%s '"


@pytest.fixture(scope="module")
def silent(request, tmp_path_factory):
    """A session whose dispatcher is a bound UDP socket that never answers."""
    plugin = request.config.stash[run_key]
    plugin.close_session()
    folder = tmp_path_factory.mktemp("silent")
    files = {key: folder / name for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"),
                                                  ("struct_list", "list.txt"))}
    for path in files.values():
        path.touch()
    dispatcher = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dispatcher.bind(("127.0.0.1", 0))
    bridge = termbridge.TermBridge(udp_port=dispatcher.getsockname()[1], tcp_port=free_port(), lib=plugin.library(),
                                   **files)
    bridge.open()
    yield bridge
    bridge.close()
    dispatcher.close()


@pytest.fixture
def bridge(silent):
    silent.default_timeout = 15000
    silent.log_severity = 2
    return silent


def test_default_timeout_round_trip(bridge):
    for given, stored in ((1234, 1234), (-1, -1), (0, -1)):
        bridge.default_timeout = given
        assert bridge.default_timeout == stored


def test_log_severity_round_trip(bridge):
    for level in (3, 1, 2):
        bridge.log_severity = level
        assert bridge.log_severity == level


def test_firmware_start_pause_within_its_range(bridge):
    for accepted in (0, 60000, 2000):
        bridge.set_firmware_start_pause(accepted)
    for refused in (-1, 60001):
        with pytest.raises(ValueError, match=str(refused)):
            bridge.set_firmware_start_pause(refused)


def test_unanswered_command_times_out(bridge):
    command = "NATIVE_READ_WORD_CMD 0x10000000"
    with pytest.raises(termbridge.CommandError) as caught:
        bridge.send(command, timeout_ms=200)
    assert (caught.value.rc, caught.value.message) == (1, TIMEOUT_TEXT % command)
    assert bridge.failure_message == caught.value.message
    assert bridge.result_length == 0
    assert (bridge.result_data, bridge.result_hex) == (b"", "")


def test_send_without_timeout_uses_the_default(bridge):
    bridge.default_timeout = 300
    started = time.monotonic()
    with pytest.raises(termbridge.CommandError) as caught:
        bridge.send("NATIVE_READ_WORD_CMD 0x20")
    # The library's own default would be 15 s.
    assert time.monotonic() - started < 10.0
    assert caught.value.message == TIMEOUT_TEXT % "NATIVE_READ_WORD_CMD 0x20"


@pytest.mark.parametrize("command", ["NATIVE_READ_WORD_CMD", "NATIVE_WRITE_BUFFER_CMD 0x100 3 1 2"])
def test_malformed_native_command_is_not_sent(bridge, command):
    with pytest.raises(termbridge.CommandError) as caught:
        bridge.send(command, timeout_ms=5000)
    assert (caught.value.command, caught.value.message) == (command,
                                                            "Error: Failed to Send Command : '%s '" % command)
    # The library's reason, from its operation log, comes with it.
    assert caught.value.cause, "no cause"
    assert str(caught.value).startswith(caught.value.message + "\n  cause: ")


def test_a_second_session_is_refused_and_the_first_kept(bridge, lib):
    bridge.default_timeout = 4321
    second = termbridge.TermBridge(udp_port=1, tcp_port=1, lib=lib)
    with pytest.raises(termbridge.SessionInUseError):
        second.open()
    assert not second.is_open
    assert second.close() == 0  # closing the refused one leaves the first alone
    assert bridge.default_timeout == 4321


def test_failure_while_no_dispatcher_is_connected_says_so(bridge):
    # The silent dispatcher takes packets but never connects to the library.
    with pytest.raises(termbridge.CommandError) as caught:
        bridge.send("NATIVE_READ_WORD_CMD 0x30", timeout_ms=200)
    assert caught.value.notes == ["no dispatcher is connected: the library waits for it on port %d"
                                  % bridge.link_state().listen_port]
    assert "no dispatcher is connected" in str(caught.value)
    assert caught.value.log_path and caught.value.log_path.endswith(".log")


def test_missing_firmware_file_raises_a_text(bridge, tmp_path):
    with pytest.raises(termbridge.FirmwareError) as caught:
        bridge.load_firmware(tmp_path / "no-such-firmware.bin")
    assert caught.value.message not in ("", NOT_READY)


def test_close_returns_to_not_initialized(silent):
    # Last in this module: it ends the module's session.
    assert silent.result_length != -1
    assert silent.failure_message != NOT_READY
    assert silent.close() == 0
    assert not silent.is_open
    assert (silent.result_length, silent.failure_message, silent.default_timeout) == (-1, NOT_READY, -1)
