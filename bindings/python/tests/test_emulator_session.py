"""End to end through the plugin's fixtures: the library against a
tb-emulator process (the dispatcher and the chip) on free loopback ports."""

import _thread
import gc
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import termbridge
from conftest import EXAMPLES
from termbridge.emulator import Emulator, find_emulator, free_port
from termbridge.pytest_plugin import run_key

# Far from the mailbox and the firmware load areas.
SCRATCH = 0x10000040
TIMEOUT_TEXT = "Timeout Error: No Event occur for command : '%s '"

with_examples = pytest.mark.termbridge_emulator(definitions=str(EXAMPLES / "definitions" / "list.txt"),
                                                mac_map=str(EXAMPLES / "maps" / "mac.map"),
                                                phy_map=str(EXAMPLES / "maps" / "phy.map"))


def word_value(result):
    """The value of a word read: hexadecimal text from data byte 2 on."""
    return int(result.data[2:].split(b"\0", 1)[0].decode("ascii"), 16)


def test_written_word_reads_back_and_is_in_chip_memory(termbridge_session, termbridge_emulator):
    for value in (0x12345678, random.randrange(1, 0xFFFFFFFF), 0):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x%x 0x%x" % (SCRATCH, value), timeout_ms=5000)
        result = termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH, timeout_ms=5000)
        assert word_value(result) == value
        assert result.hex == result.data.hex()
        assert len(result.data) == termbridge_session.result_length
        # The chip keeps words most significant byte first.
        assert termbridge_emulator.read_memory(SCRATCH, 4) == value.to_bytes(4, "big")


def test_decimal_address_and_value(termbridge_session):
    termbridge_session.send("NATIVE_WRITE_WORD_CMD %d %d" % (SCRATCH + 8, 4660))
    assert word_value(termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % (SCRATCH + 8))) == 0x1234


def test_buffer_with_zero_bytes_reads_back_exactly(termbridge_session):
    data = bytes([0x01, 0x00, 0xFF, 0x00, 0x7E, 0x00])
    termbridge_session.send("NATIVE_WRITE_BUFFER_CMD 0x%x %d %s" % (SCRATCH + 0x20, len(data),
                                                                     " ".join("0x%x" % byte for byte in data)))
    result = termbridge_session.send("NATIVE_READ_BUFFER_CMD 0x%x %d" % (SCRATCH + 0x20, len(data)))
    assert (result.data, result.hex) == (data, "0100ff007e00")


@pytest.mark.termbridge_emulator(faults=["drop-next"])
def test_fault_from_the_marker_drops_the_first_answer(termbridge_session):
    command = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
    with pytest.raises(termbridge.CommandError) as caught:
        termbridge_session.send(command, timeout_ms=500)
    assert (caught.value.rc, caught.value.command, caught.value.message) == (1, command, TIMEOUT_TEXT % command)
    assert termbridge_session.result_length == 0
    # The next command is answered again.
    termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x%x 0x5a5a" % SCRATCH)
    assert word_value(termbridge_session.send(command)) == 0x5A5A


def test_answer_later_than_the_time_out_is_not_taken_as_the_next_result(termbridge_session, termbridge_emulator):
    termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x%x 0x11" % SCRATCH)
    termbridge_emulator.control("delay 800")
    with pytest.raises(termbridge.CommandError):
        termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH, timeout_ms=100)
    termbridge_emulator.control("delay 0")
    termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x%x 0x22" % (SCRATCH + 12))
    assert word_value(termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % (SCRATCH + 12))) == 0x22


def test_each_test_gets_a_fresh_emulator_and_default_settings(termbridge_session, termbridge_emulator):
    # The previous tests wrote SCRATCH and changed faults; this emulator has
    # seen nothing, and the session's settings are the defaults again.
    assert termbridge_emulator.read_memory(SCRATCH, 4) == bytes(4)
    assert termbridge_emulator.counts()["packets"] == 0
    assert (termbridge_session.default_timeout, termbridge_session.log_severity) == (15000, 2)
    termbridge_session.default_timeout = 700
    termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH)


def test_refused_control_line_raises(termbridge_emulator):
    with pytest.raises(termbridge.EmulatorError):
        termbridge_emulator.control("no-such-line")


@with_examples
def test_phy_and_mac_commands_of_a_definition_set(termbridge_session, termbridge_emulator):
    assert termbridge_session.send("PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001").text.strip() == "PHYC_STATUS_OK"
    termbridge_emulator.control("fail PHYC_SET_GAIN_CMD 3")
    with pytest.raises(termbridge.CommandError):
        termbridge_session.send("PHYC_SET_GAIN_CMD gain=-2 path=1")
    capture = termbridge_session.send("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1")
    assert capture.data[:4] == bytes((i * 7 + 1) % 256 for i in range(4))
    assert termbridge_emulator.control("executed") == "3"


def test_operation_stats_of_one_command(termbridge_session):
    if not termbridge_session.progress_supported:
        pytest.skip("the library has no extension functions")
    termbridge_session.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH)
    stats = termbridge_session.last_operation_stats()
    assert (stats.commands_sent, stats.events_accepted, stats.bytes_sent, stats.bytes_received) == (1, 1, 524, 520)


@with_examples
def test_progress_of_an_eeprom_burn(termbridge_session, termbridge_emulator):
    if not termbridge_session.progress_supported:
        pytest.skip("the library has no extension functions")
    steps = []
    termbridge_session.set_progress_callback(lambda stage, done, total: steps.append((stage, done, total)))
    try:
        termbridge_session.init_eeprom(termbridge.EepromSource.DEFINITIONS)
        termbridge_session.burn_eeprom()
    except termbridge.EepromError as error:
        if "not available" in error.message:
            pytest.skip(error.message)
        raise
    assert steps, "no progress reported"
    stage, done, total = steps[-1]
    assert done == total > 0
    assert all(earlier[1] <= later[1] for earlier, later in zip(steps, steps[1:]) if earlier[0] == later[0])


@with_examples
@pytest.mark.termbridge_emulator(faults=["drop-next"])
def test_a_lost_answer_inside_a_command_is_its_cause(termbridge_session):
    # A command of the definitions goes through the mailbox: the answer lost
    # is the counter read's, and the library's time-out line says so.
    with pytest.raises(termbridge.CommandError) as caught:
        termbridge_session.send("PHYC_GET_STATUS_CMD")
    assert caught.value.cause == [
        "<TrafficManager>Timeout Occur - No Response for Native Command (Internal Operation)!!!"]


@with_examples
def test_failures_say_why_and_unknown_names_are_not_sent(termbridge_session, termbridge_emulator):
    with pytest.raises(termbridge.CommandError) as caught:
        termbridge_session.send("PHYC_SET_CHANNEL_CMD channel=abc")
    assert caught.value.cause == ["<StructAccess>Error!,Enum for value abc not found."]
    assert "cause: <StructAccess>Error!,Enum for value abc not found." in str(caught.value)
    packets = termbridge_emulator.counts()["packets"]
    with pytest.raises(termbridge.UnknownNameError, match="did you mean channel="):
        termbridge_session.send("PHYC_SET_CHANNEL_CMD chanel=3")
    with pytest.raises(termbridge.EepromValueError):
        termbridge_session.update_eeprom_field("TxPowerGain", "abc")
    assert termbridge_emulator.counts()["packets"] == packets


@with_examples
def test_a_parameter_value_goes_as_typed_or_not_at_all(termbridge_session, termbridge_emulator):
    line = "PHYC_SET_CHANNEL_CMD channel=300"
    with pytest.raises(termbridge.CommandValueError) as caught:
        termbridge_session.send(line)
    assert (caught.value.message, caught.value.rc) == ("channel takes 0 to 255, not 300 (the library would store 44)",
                                                       None)
    assert termbridge_emulator.control("executed") == "0"
    termbridge_session.strict = False
    try:
        termbridge_session.send(line)
    finally:
        termbridge_session.strict = True
    command = bytes.fromhex(termbridge_emulator.control("executed 1").split(" bytes ", 1)[1])
    assert command[8] == 44  # the structure behind the 8-byte PHY header: the library's reading of 300


@with_examples
def test_a_blank_chip_is_no_compatible_pair(termbridge_session):
    info = termbridge_session.version_info()
    assert (info.compatible, info.reason) == (False, "no firmware answers on the MAC and the PHY: every version word "
                                                     "reads 0")


@pytest.mark.termbridge_emulator(faults=["drop-next"])
def test_ctrl_c_cancels_a_waiting_command(termbridge_session):
    if not hasattr(termbridge_session.lib, "tbx_cancelOperation"):
        pytest.skip("the library cannot cancel")
    command = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        termbridge_session.send(command, timeout_ms=20000)  # the answer is lost: it waits until cancelled
    timer.join()
    assert termbridge_session.failure_message == "Cancelled: stopped waiting for the answer to command '%s '" % command
    termbridge_session.send(command)  # the session goes on


# Chip memory to and from files: an ordinary address, away from the
# mirrored boot memory.
MEMORY = 0x10000000


def test_memory_saved_loaded_and_verified(termbridge_session, termbridge_emulator, tmp_path):
    image = bytes(random.randrange(256) for _ in range(4096))
    original, saved = tmp_path / "image.bin", tmp_path / "saved.bin"
    original.write_bytes(image)
    stages = set()
    termbridge_session.set_progress_callback(lambda stage, done, total: stages.add(stage))
    termbridge_session.load_memory(MEMORY, original)
    termbridge_session.save_memory(MEMORY, len(image), saved)
    assert termbridge_emulator.read_memory(MEMORY, len(image)) == image
    assert saved.read_bytes() == image
    assert termbridge_session.verify_memory(MEMORY, saved) == []
    assert stages == {"memory write", "memory read"}
    # Two bytes changed behind the session's back: each is named.
    for offset in (0x10, 0x200):
        termbridge_emulator.write_memory(MEMORY + offset, bytes([image[offset] ^ 0xFF]))
    assert termbridge_session.verify_memory(MEMORY, original) == [
        termbridge.MemoryMismatch(MEMORY + offset, image[offset], image[offset] ^ 0xFF) for offset in (0x10, 0x200)]
    # A read-back that differs from what was written: the second read's first byte.
    termbridge_emulator.control("corrupt-read 2")
    with pytest.raises(termbridge.MemoryMismatchError) as caught:
        termbridge_session.load_memory(MEMORY, original)
    assert caught.value.message == ("read-back differs from %s: 1 of 4096 bytes, the first at 0x%08x (chip 0x%02x, "
                                    "file 0x%02x)" % (original, MEMORY + 512, image[512] ^ 0xFF, image[512]))
    assert caught.value.mismatches == [termbridge.MemoryMismatch(MEMORY + 512, image[512], image[512] ^ 0xFF)]


def test_ctrl_c_stops_a_save_and_leaves_the_file_as_it_was(termbridge_session, termbridge_emulator, tmp_path):
    folder = tmp_path / "files"  # the emulator keeps its log in tmp_path
    folder.mkdir()
    saved = folder / "saved.bin"
    saved.write_bytes(b"kept")
    termbridge_session.set_internal_command_timeout(0)  # the lost answer is waited for without limit
    termbridge_emulator.control("drop-read 2")
    timer = threading.Timer(0.5, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        termbridge_session.save_memory(MEMORY, 4096, saved)
    timer.join()
    assert termbridge_session.failure_message == "Cancelled: memory read stopped by the host after 512 of 4096 bytes"
    assert saved.read_bytes() == b"kept"
    assert os.listdir(folder) == ["saved.bin"]


@with_examples
def test_firmware_verify_writes_nothing_and_names_the_differing_chunk(termbridge_session, termbridge_emulator,
                                                                      example_package):
    termbridge_session.set_firmware_start_pause(0)
    termbridge_session.load_firmware(example_package)
    verdict = termbridge_session.verify_firmware(example_package)
    assert (verdict.holds, verdict.differences) == (True, [])
    assert verdict.chunks > 0
    phy_byte = 0xBF540010  # in the PHY image
    held = termbridge_emulator.read_memory(phy_byte, 1)[0]
    termbridge_emulator.write_memory(phy_byte, bytes([held ^ 0xFF]))
    system = termbridge_emulator.counts()["system"]
    verdict = termbridge_session.verify_firmware(example_package)
    assert (verdict.holds, verdict.differing) == (False, 1)
    (chunk,) = verdict.differences
    assert (chunk.kind, chunk.address, chunk.first_address, chunk.found, chunk.expected, chunk.differing) == (
        "PHY", 0xBF540000, phy_byte, held ^ 0xFF, held, 1)
    assert termbridge_emulator.read_memory(phy_byte, 1)[0] == held ^ 0xFF, "the verify wrote"
    assert termbridge_emulator.counts()["system"] == system, "the verify changed the link's set-up"
    assert termbridge_emulator.control("firmware").startswith("running")
    with pytest.raises(termbridge.FirmwareError) as caught:
        termbridge_session.verify_firmware(str(example_package) + ".none")
    assert caught.value.message == "<ConsoleAppLogic>Error!!! Failed to build memory chunk data base from FW file!"


class _Stopped(KeyboardInterrupt):
    """What the test's SIGTERM handler raises, as the pytest plugin's does."""


def _stop(signum, frame):
    raise _Stopped(signum)


# A signal from the operating system during a command: Ctrl-C, SIGTERM whose
# Python handler stops the program, and a signal whose handler lets it go on.
# Either way the wake-up descriptor the call displaced gets the signal too.
SIGNALS_DURING_A_COMMAND = [
    # signal, its handler during the test, whether it cancels the command
    (signal.SIGINT, signal.default_int_handler, True),
    (signal.SIGTERM, _stop, True),
    (signal.SIGUSR1, "count", False),
]


@pytest.mark.parametrize("number, handler, cancels", SIGNALS_DURING_A_COMMAND,
                         ids=[signal.Signals(row[0]).name for row in SIGNALS_DURING_A_COMMAND])
def test_a_signal_during_a_command(termbridge_session, termbridge_emulator, number, handler, cancels):
    command = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
    handled = []
    if handler == "count":
        handler = lambda signum, frame: handled.append(signum)  # noqa: E731
    previous_handler = signal.signal(number, handler)
    wake_up, wake_up_writer = socket.socketpair()
    wake_up_writer.setblocking(False)
    previous_wake_up = signal.set_wakeup_fd(wake_up_writer.fileno())
    try:
        termbridge_emulator.control("delay 1000 1")  # the next answer leaves a second late
        timer = threading.Timer(0.3, os.kill, (os.getpid(), number))
        timer.start()
        started = time.monotonic()
        if cancels:
            with pytest.raises(KeyboardInterrupt):
                termbridge_session.send(command, timeout_ms=20000)
            assert termbridge_session.failure_message == ("Cancelled: stopped waiting for the answer to command "
                                                          "'%s '" % command)
            assert time.monotonic() - started < 0.9
        else:
            termbridge_session.send(command, timeout_ms=20000)
            assert handled == [number]
        timer.join()
        assert signal.set_wakeup_fd(previous_wake_up) == wake_up_writer.fileno()  # given back after the call
        wake_up.settimeout(5)
        assert wake_up.recv(16) == bytes([number])
    finally:
        signal.set_wakeup_fd(previous_wake_up)
        signal.signal(number, previous_handler)
        wake_up.close()
        wake_up_writer.close()
    termbridge_session.send(command)  # the session goes on


def _running(process_id):
    """Whether the process runs: neither ended nor ended and waiting to be
    reaped (an orphan's parent may never reap it)."""
    try:
        os.kill(process_id, 0)
        with open("/proc/%d/stat" % process_id) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return not sys.platform.startswith("linux")
    except OSError:
        return False


def _gone(process_id, seconds=10.0):
    """Whether the process ended within the deadline."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not _running(process_id):
            return True
        time.sleep(0.05)
    return False


def test_an_emulator_nobody_stops_ends_with_its_object_or_the_interpreter(request, tmp_path):
    program = find_emulator(request.config.stash[run_key].settings.value("emulator"))
    if not program:
        request.config.stash[run_key].missing("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    emulator = Emulator(program, free_port(), log_dir=tmp_path)
    process = emulator.process
    del emulator
    gc.collect()
    assert process.wait(timeout=10) is not None, "the collected emulator's process still runs"
    # A script that raised before stopping its emulator.
    script = ("import sys; from termbridge.emulator import Emulator, free_port\n"
              "emulator = Emulator(sys.argv[1], free_port(), log_dir=sys.argv[2])\n"
              "print(emulator.process.pid, flush=True)\n"
              "raise SystemExit('the script failed')\n")
    package = os.path.dirname(os.path.dirname(os.path.abspath(termbridge.__file__)))
    run = subprocess.run([sys.executable, "-c", script, program, str(tmp_path)], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=package), timeout=60)
    assert run.returncode == 1, run.stderr
    assert _gone(int(run.stdout.split()[0])), "the emulator outlived the script"


# A script that ends while a thread of its own waits in a command, without
# closing its session: the exit cancels the command and shuts the library
# down after it, never under it.
ENDS_WHILE_A_COMMAND_WAITS = """
import sys, threading, time
from termbridge import TermBridge, load_library
from termbridge.emulator import Emulator, free_port
emulator = Emulator(sys.argv[1], free_port(), faults=["delay 5000"], log_dir=sys.argv[2])
session = TermBridge(udp_port=emulator.command_port, tcp_port=emulator.library_port, dispatcher="127.0.0.1",
                     lib=load_library(sys.argv[3])).open()
before = emulator.counts()["packets"]
threading.Thread(target=lambda: session.send("NATIVE_READ_WORD_CMD 0x10000040", timeout_ms=20000),
                 daemon=True).start()
deadline = time.monotonic() + 10
while emulator.counts()["packets"] == before and time.monotonic() < deadline:
    time.sleep(0.02)
if emulator.counts()["packets"] > before:
    print("the command waits", flush=True)
"""


def test_a_script_ending_while_its_thread_waits_in_a_command_exits_cleanly(request, tmp_path):
    plugin = request.config.stash[run_key]
    program = find_emulator(plugin.settings.value("emulator"))
    if not program:
        plugin.missing("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    plugin.close_session()  # the library has one owner on a machine
    package = os.path.dirname(os.path.dirname(os.path.abspath(termbridge.__file__)))
    environment = {key: value for key, value in os.environ.items() if key != "TERMBRIDGE_ROOT"}
    environment.update(PYTHONPATH=package, TERMBRIDGE_ROOT=str(tmp_path))
    run = subprocess.run([sys.executable, "-c", ENDS_WHILE_A_COMMAND_WAITS, program, str(tmp_path),
                          plugin.library()._name], capture_output=True, text=True, env=environment, timeout=60)
    assert "the command waits" in run.stdout, run.stdout + run.stderr
    assert run.returncode == 0, run.stderr


# A script whose emulator was started by a thread that has ended since, and
# a pytest run: each prints the emulator's process id, then waits to be ended.
OWNERS = {
    "script": ("import sys, threading, time; from termbridge.emulator import Emulator, free_port\n"
               "started = []\n"
               "worker = threading.Thread(target=lambda: started.append(Emulator(sys.argv[1], free_port(), "
               "log_dir=sys.argv[2])))\n"
               "worker.start(); worker.join()\n"
               "print(started[0].process.pid, flush=True)\n"
               "time.sleep(60)\n"),
    "pytest": ("import time\n"
               "def test_waits(termbridge_emulator):\n"
               "    print(termbridge_emulator.process.pid, flush=True)\n"
               "    time.sleep(60)\n"),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the parent-death signal is Linux's")
@pytest.mark.parametrize("owner, ending", [("script", signal.SIGKILL), ("pytest", signal.SIGTERM)])
def test_an_emulator_ends_with_the_process_that_started_it(request, inner_pytest, tmp_path, owner, ending):
    program = find_emulator(request.config.stash[run_key].settings.value("emulator"))
    if not program:
        request.config.stash[run_key].missing("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    if owner == "script":
        package = os.path.dirname(os.path.dirname(os.path.abspath(termbridge.__file__)))
        environment = {key: value for key, value in os.environ.items() if key != "TERMBRIDGE_ROOT"}
        environment.update(PYTHONPATH=package, PYTHONDONTWRITEBYTECODE="1")
        started = subprocess.Popen([sys.executable, "-c", OWNERS[owner], program, str(tmp_path)], cwd=tmp_path,
                                   env=environment, stdout=subprocess.PIPE, text=True)
    else:
        inner_pytest.pytester.makepyfile(test_owner=OWNERS[owner])
        started = inner_pytest.popen("-s", "--termbridge-emulator=" + program, "test_owner.py")
    try:
        line = []
        reader = threading.Thread(target=lambda: line.append(started.stdout.readline()), daemon=True)
        reader.start()
        reader.join(30)
        assert line and line[0].strip().isdigit(), "the %s did not print its emulator's process id" % owner
        emulator = int(line[0])
        assert _running(emulator)
        started.send_signal(ending)
        status = started.wait(timeout=30)
        assert _gone(emulator), "the emulator outlived its %s" % owner
        # pytest ends by itself, its fixtures torn down (interrupted: 2), not by the signal.
        assert status == (-ending if owner == "script" else 2), started.stdout.read()
    finally:
        if started.poll() is None:
            started.kill()
            started.wait()
        started.stdout.close()
