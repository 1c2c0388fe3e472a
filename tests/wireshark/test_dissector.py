"""The Wireshark dissector (tools/wireshark/termbridge.lua, with the name
table of the example definitions beside it in the build tree) read by tshark
on the emulator's capture of a short session like the demo's, with no port
given: the fields of chosen packets are those of the commands sent and of the
answers the emulator reports having sent, events are paired with their
commands and named, and the capture's fragments come out as one payload."""

import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from termbridge.pytest_plugin import run_key

pytest_plugins = ["pytester"]

SOURCE_ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE_ROOT / "examples"
TSHARK = shutil.which("tshark")

pytestmark = [
    pytest.mark.termbridge_emulator(pcap=True, definitions=str(EXAMPLES / "definitions" / "list.txt"),
                                    mac_map=str(EXAMPLES / "maps" / "mac.map"),
                                    phy_map=str(EXAMPLES / "maps" / "phy.map")),
]

SCRATCH = 0xBFC00100
FAILED_STATUS = 3
FIELDS = ["frame.number", "termbridge.cmd.number", "termbridge.cmd.type", "termbridge.cmd.address",
          "termbridge.cmd.length", "termbridge.cmd.value", "termbridge.cmd.data", "termbridge.cmd.system",
          "termbridge.mailbox", "termbridge.mailbox.offset", "termbridge.evt.rxnumber", "termbridge.evt.source",
          "termbridge.evt.length", "termbridge.evt.text", "termbridge.hdr.ctrl", "termbridge.hdr.source",
          "termbridge.hdr.code", "termbridge.hdr.more_fragments", "termbridge.hdr.fragment",
          "termbridge.hdr.status", "termbridge.hdr.subevent", "termbridge.hdr.event", "termbridge.hdr.status_name",
          "termbridge.mailbox.command", "termbridge.request_in", "termbridge.response_time", "termbridge.answers",
          "termbridge.capture.length", "termbridge.capture.address", "termbridge.capture.fragments",
          "termbridge.capture.data"]


@pytest.fixture
def dissector(request):
    """The build's dissector, with its name table beside it (found as the plugin finds it)."""
    assert TSHARK, "tshark is not installed: the dissector cannot be read without it"
    request.config.stash[run_key].library()
    path = request.config.stash[run_key].dissector()
    assert path and (Path(path).parent / "termbridge_names.lua").is_file(), "no dissector with a name table: %s" % path
    return path


# The emulator's ports are random; tshark would give some of them to another
# protocol before any heuristic ran.
HEURISTICS_FIRST = ["-o", "udp.try_heuristic_first:TRUE", "-o", "tcp.try_heuristic_first:TRUE"]


def run_tshark(emulator, dissector, options, *output):
    """tshark over the emulator's capture with the dissector, TERMBRIDGE
    packets only, no port given; it must succeed."""
    run = subprocess.run([TSHARK, "-n", *HEURISTICS_FIRST, "-r", emulator.pcap_path, "-X", "lua_script:%s" % dissector,
                          *options,
                          "-Y", "termbridge", *output], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return run


def decode(emulator, dissector, *options):
    """Every TERMBRIDGE packet as tshark reads it: one dict of field values
    per frame."""
    output = ["-T", "fields", "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    for field in FIELDS:
        output += ["-e", field]
    run = run_tshark(emulator, dissector, options, *output)
    rows = []
    for line in run.stdout.splitlines():
        values = dict(zip((field.split(".", 1)[1] for field in FIELDS), line.split("\t")))
        rows.append({key: value for key, value in values.items() if value != ""})
    return rows


def select(rows, **wanted):
    """The rows whose fields (dots as underscores) have the values given."""
    return [row for row in rows
            if all(key.replace("_", ".", 1) in row and number(row[key.replace("_", ".", 1)]) == value
                   for key, value in wanted.items())]


def number(text):
    return int(text, 0)


def status_names():
    """The PHY general event names (statuses) of the example definitions, by code."""
    text = (EXAMPLES / "definitions" / "events.h").read_text()
    section = text.split("START_GNRL_EVNTS_ENUM(PHY_CMD_TYPE)", 1)[1].split("END_GNRL_EVNTS_ENUM", 1)[0]
    return dict(enumerate(re.findall(r"ENUM_GNRL_EVNTS_\w+\((\w+)", section)))


def general_event_code():
    """PHYC_GENERAL_EVT's code in the example definitions."""
    text = (EXAMPLES / "definitions" / "events.h").read_text()
    return int(re.search(r"ENUM_EVENTS_WITH_VALUE\(PHYC_GENERAL_EVT,\s*(\w+)\)", text).group(1), 0)


@pytest.fixture
def session_capture(termbridge_session, termbridge_emulator, dissector):
    """Runs the session, stops the emulator (the capture is complete then)
    and returns what the test needs to check it."""
    bridge = termbridge_session
    bridge.send("NATIVE_WRITE_WORD_CMD 0x%x 0x12345678" % SCRATCH)
    bridge.send("NATIVE_READ_WORD_CMD 0x%x" % SCRATCH)
    bridge.send("NATIVE_WRITE_BUFFER_CMD 0x%x 4 0xde 0xad 0xbe 0xef" % (SCRATCH + 0x100))
    bridge.send("PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001")
    termbridge_emulator.control("fail PHYC_SET_GAIN_CMD %d" % FAILED_STATUS)
    with pytest.raises(Exception):
        bridge.send("PHYC_SET_GAIN_CMD gain=-2 path=1")
    termbridge_emulator.control("capture-length 600")
    termbridge_emulator.control("split 100")  # events cut across segments
    bridge.send("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1")
    termbridge_emulator.stop()
    return decode(termbridge_emulator, dissector)


def test_native_commands_and_their_answers(session_capture):
    rows = session_capture
    write, = select(rows, cmd_type=1, cmd_address=SCRATCH)
    assert (number(write["cmd.length"]), number(write["cmd.value"])) == (4, 0x12345678)
    read, = select(rows, cmd_type=0, cmd_address=SCRATCH)
    answer, = select(rows, evt_rxnumber=number(read["cmd.number"]), evt_source=0)
    assert answer["evt.text"] == "0x12345678"
    buffer_write, = select(rows, cmd_type=3, cmd_address=SCRATCH + 0x100)
    assert buffer_write["cmd.data"] == "deadbeef"
    sync, = select(rows, cmd_system=3)
    assert number(sync["cmd.type"]) == 0xFFFF


def test_mailbox_traffic_and_event_headers(session_capture):
    rows = session_capture
    roles = [row["mailbox"] for row in rows if "mailbox" in row]
    # Each console command: the counter is read free, the bytes go in from offset 0, the counter is written.
    hand_over = "counter write (command handed to the chip)"
    assert roles.count(hand_over) == 3
    assert roles.count("counter read (is the mailbox free?)") >= 3
    assert {row["mailbox"] for row in select(rows, mailbox_offset=0)} == {"command bytes"}
    hand_overs = [row for row in rows if row.get("mailbox") == hand_over]
    # The channel command succeeds, the gain command fails, the capture's general event has sub-events.
    expected = [("PHYC_SET_CHANNEL_CMD", 0, 0), ("PHYC_SET_GAIN_CMD", FAILED_STATUS, 0), ("PHYC_CAPTURE_DATA_CMD", 0, 1)]
    for row, (command, status, subevent) in zip(hand_overs, expected):
        assert row["mailbox.command"] == command
        event, = select(rows, evt_rxnumber=number(row["cmd.number"]), hdr_source=4)
        assert (number(event["hdr.ctrl"]), number(event["hdr.code"])) == (11, general_event_code())
        assert (number(event["hdr.status"]), number(event["hdr.subevent"])) == (status, subevent)
        assert (event["hdr.event"], event["hdr.status_name"]) == ("PHYC_GENERAL_EVT", status_names()[status])
        # Paired with the counter write that handed the command over, named after the command.
        assert (number(event["request_in"]), event["answers"]) == (number(row["number"]), command)


def test_every_answer_is_paired_with_its_command(session_capture):
    rows = session_capture
    events = [row for row in rows if "evt.rxnumber" in row]
    assert events
    for event in events:
        command = [row for row in rows if number(row["number"]) == number(event["request_in"])]
        assert [number(row["cmd.number"]) for row in command] == [number(event["evt.rxnumber"])]
        assert number(command[0]["number"]) < number(event["number"])
        assert float(event["response_time"]) >= 0


def test_capture_fragments_reassembled_from_a_split_stream(session_capture):
    fragments = select(session_capture, hdr_source=1)
    assert [number(row["hdr.fragment"]) for row in fragments] == [0, 1, 2]
    assert [row["hdr.more_fragments"] for row in fragments] == ["1", "1", "0"]
    # 200 captured bytes each after the 16-byte header; the first also carries the 8-byte information block.
    assert [number(row["evt.length"]) for row in fragments] == [16 + 8 + 200, 16 + 200, 16 + 200]
    # The last fragment carries the whole capture: the emulated chip's pattern.
    assert ["capture.data" in row for row in fragments] == [False, False, True]
    last = fragments[-1]
    assert (number(last["capture.length"]), number(last["capture.address"]), number(last["capture.fragments"])) == \
        (600, 0xBF560000, 3)
    pattern = bytes((i * 7 + (i // 256) * 13 + 1) % 256 for i in range(600))
    assert bytes.fromhex(last["capture.data"].replace(":", "")) == pattern


def decode_verbose(emulator, dissector, *options):
    """tshark's packet trees of the capture (-V) and what it said on standard error."""
    run = run_tshark(emulator, dissector, options, "-V")
    return run.stdout, run.stderr


OTHER_NAMES = """return {
    events = { [%(event)d] = "OTHER_GENERAL_EVT" },
    statuses = { [0] = "OTHER_STATUS_OK" },
    mailbox = { counter_read = %(counter_read)d },
}
"""


def test_names_file_preference_governs_every_label(session_capture, termbridge_emulator, dissector, tmp_path):
    """The table the preference names replaces the one beside the dissector
    in every label and mailbox address; one that does not load is an error
    on standard error and on every packet, and leaves no names at all."""
    event = general_event_code()
    cases = [  # (file name, content (None: no file), what tshark says about it)
        ("other_names.lua", OTHER_NAMES % {"event": event, "counter_read": SCRATCH}, None),
        ("missing_names.lua", None, "No such file or directory"),
    ]
    for name, content, problem in cases:
        table = tmp_path / name
        if content is not None:
            table.write_text(content)
        option = "termbridge.names_file:%s" % table
        text, errors = decode_verbose(termbridge_emulator, dissector, "-o", option)
        assert "PHYC_" not in text, name  # nothing of the table beside the dissector
        if problem is None:
            assert "termbridge" not in errors, errors
            assert "Event code: OTHER_GENERAL_EVT (0x%02x)" % event in text and "Event: OTHER_GENERAL_EVT" in text
            assert "Status: OTHER_STATUS_OK (0)" in text and "Status name: OTHER_STATUS_OK" in text
            # Its counter read address makes the word read of the scratch address a counter read.
            rows = decode(termbridge_emulator, dissector, "-o", option)
            roles = [(number(row["cmd.address"]), row["mailbox"]) for row in select(rows, cmd_type=0) if "mailbox" in row]
            assert roles == [(SCRATCH, "counter read (is the mailbox free?)")], roles
        else:
            said = "termbridge: the name table %s did not load: " % table
            assert said in errors and problem in errors, errors
            assert "Expert Info (Error/Undecoded): " in text and "[%s" % said in text, text[:2000]


FAILING_TEST = textwrap.dedent("""
    def test_that_fails(termbridge_session):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x10000040 0x1234")
        assert termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040").data[2:10] == b"00004321"
""")


def test_report_of_a_failing_test_gives_the_capture_and_a_tshark_command(request, pytester, monkeypatch, dissector):
    pytester.makepyfile(test_fails=FAILING_TEST)
    plugin = request.config.stash[run_key]
    options = ["--termbridge-library=" + plugin.library()._name,
               "--termbridge-emulator=" + plugin.settings.value("emulator")]
    # The run's library files are its own, not this process's.
    monkeypatch.delenv("TERMBRIDGE_ROOT", raising=False)
    monkeypatch.setenv("PYTHONPATH", str(SOURCE_ROOT / "bindings" / "python"))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    result = pytester.runpytest_subprocess("-p", "termbridge.pytest_plugin", "-p", "no:cacheprovider", "-q", *options,
                                           "test_fails.py", timeout=120)
    # It fails on its assertion, after its commands went out.
    output = str(result.stdout)
    assert result.ret == 1 and "b'00004321'" in output
    capture = re.search(r"^capture: (\S+)$", output, re.M)
    command = re.search(r"^(tshark .*)$", output, re.M)
    assert capture and command
    assert os.path.isfile(capture.group(1))
    assert "lua_script:%s" % dissector in command.group(1)
    decoded = subprocess.run(shlex.split(command.group(1)), capture_output=True, text=True, timeout=120)
    assert decoded.returncode == 0, decoded.stderr
    assert "NATIVE_READ_WORD_CMD" in decoded.stdout and "Answers the command in" in decoded.stdout


# Protocols that tshark gives a UDP port above 1024 and that take any datagram
# sent there.
CLAIMING_PROTOCOLS = {"tzsp", "manolito", "pn_rt", "enip", "elasticsearch"}

SESSION_ON_A_CLAIMED_PORT = textwrap.dedent("""
    import sys
    from termbridge._library import load_library
    from termbridge.emulator import Emulator, free_port
    from termbridge.session import TermBridge
    emulator_program, library, port, pcap = sys.argv[1:]
    with Emulator(emulator_program, free_port(), command_port=int(port), pcap=pcap) as emulator:
        session = TermBridge(udp_port=int(port), tcp_port=emulator.library_port, dispatcher="127.0.0.1",
                             lib=load_library(library))
        session.open()
        try:
            session.send("NATIVE_READ_WORD_CMD 0x%x")
        finally:
            session.close()
""" % SCRATCH)


def claimed_free_port():
    """A UDP port that tshark hands to a protocol taking anything, free here."""
    decodes = subprocess.run([TSHARK, "-G", "decodes"], capture_output=True, text=True, timeout=60).stdout
    for line in decodes.splitlines():
        fields = line.split("\t")
        if len(fields) >= 3 and fields[0] == "udp.port" and fields[2] in CLAIMING_PROTOCOLS and int(fields[1]) > 1024:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                try:
                    probe.bind(("127.0.0.1", int(fields[1])))
                except OSError:
                    continue
            return int(fields[1])
    raise AssertionError("tshark gives none of %s a free UDP port" % sorted(CLAIMING_PROTOCOLS))


def test_report_command_decodes_a_session_on_a_port_another_protocol_claims(request, tmp_path, dissector):
    plugin = request.config.stash[run_key]
    plugin.close_session()  # the library has one owner on a machine
    pcap = tmp_path / "claimed.pcap"
    port = claimed_free_port()
    run = subprocess.run([sys.executable, "-c", SESSION_ON_A_CLAIMED_PORT, plugin.settings.value("emulator"),
                          plugin.library()._name, str(port), str(pcap)], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PYTHONPATH=str(SOURCE_ROOT / "bindings" / "python")))
    assert run.returncode == 0, run.stdout + run.stderr
    command = re.search(r"^(tshark .*)$", plugin.capture_help(str(pcap)), re.M)
    decoded = subprocess.run(shlex.split(command.group(1)), capture_output=True, text=True, timeout=120)
    assert decoded.returncode == 0, decoded.stderr
    assert "NATIVE_READ_WORD_CMD" in decoded.stdout and "Answers the command in" in decoded.stdout, port
