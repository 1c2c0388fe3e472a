"""A capture a user takes with Wireshark's dumpcap on the loopback device
(pcapng, Ethernet frames, the kernel's own TCP segments) of a session
against a dispatcher, replayed by tb-emulator --replay with the ports found
from the packets: the same commands get the same results, and the replay
reports every recorded command played."""

import select
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

import termbridge
from termbridge.emulator import Emulator, free_port
from termbridge.pytest_plugin import run_key

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

DUMPCAP = shutil.which("dumpcap")
COMMANDS = ["NATIVE_WRITE_WORD_CMD 0x10000040 0xbeef", "NATIVE_READ_WORD_CMD 0x10000040",
            "PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001",
            "PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1"]
FILES = dict(mac_map=str(EXAMPLES / "maps" / "mac.map"), phy_map=str(EXAMPLES / "maps" / "phy.map"),
             struct_list=str(EXAMPLES / "definitions" / "list.txt"))


def run_commands(plugin, emulator):
    """The commands' results through a session of the library against this emulator."""
    with termbridge.TermBridge(udp_port=emulator.command_port, tcp_port=emulator.library_port, lib=plugin.library(),
                               **FILES) as session:
        return [session.send(command, timeout_ms=3000).data for command in COMMANDS]


class Dumpcap:
    """dumpcap on the loopback device, filtered to two ports, into a pcapng file."""

    END = b"end of the recorded session"

    def __init__(self, path, udp_port, tcp_port):
        self.path = path
        self.udp_port = udp_port
        assert DUMPCAP, "dumpcap (Debian's wireshark-common, with tshark) is not installed"
        self.process = subprocess.Popen([DUMPCAP, "-q", "-i", "lo", "-f", "udp port %d or tcp port %d" % (
            udp_port, tcp_port), "-w", str(path)], stderr=subprocess.PIPE, text=True)
        try:
            self._wait_until_capturing()
        except BaseException:
            self.process.kill()
            self.process.wait(timeout=10)
            raise

    def _wait_until_capturing(self):
        deadline = time.monotonic() + 10
        said = ""
        while "Capturing on" not in said:
            left = deadline - time.monotonic()
            assert left > 0, "dumpcap did not start capturing within 10 s: %r" % said
            if select.select([self.process.stderr], [], [], left)[0]:
                line = self.process.stderr.readline()
                assert line, "dumpcap ended without capturing (capture permissions?): %r" % said
                said += line

    def stop(self):
        """Stops once the capture holds everything sent: a last datagram (one
        the dispatcher ignores) is to be in the file. dumpcap writes what it
        has read when it ends, so it is ended whatever the wait gave."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as marker:
            marker.sendto(self.END, ("127.0.0.1", self.udp_port))
        deadline = time.monotonic() + 10
        while self.END not in self.path.read_bytes() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.process.stderr.close()
        assert self.END in self.path.read_bytes(), "dumpcap did not capture the session's last datagram"


def test_dumpcap_capture_replays_with_the_same_results(request, tmp_path):
    plugin = request.config.stash[run_key]
    plugin.close_session()  # this test opens its own sessions
    program = plugin.settings.value("emulator")
    recording = tmp_path / "bench.pcapng"
    with Emulator(program, free_port(), command_port=free_port(), definitions=FILES["struct_list"],
                  log_dir=tmp_path) as bench:
        capture = Dumpcap(recording, bench.command_port, bench.library_port)
        try:
            recorded = run_commands(plugin, bench)
        finally:
            capture.stop()

    replay = Emulator(program, free_port(), extra_args=["--replay", str(recording)], log_dir=tmp_path)
    try:
        assert run_commands(plugin, replay) == recorded
        # Counter reads, command bytes and counter writes of the two console commands too.
        played = replay.control("replay")
        assert played.startswith("played ") and played.split()[1] == played.split()[3], played
    finally:
        assert replay.stop() == 0, replay.log_text()
