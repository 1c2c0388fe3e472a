"""The Wireshark dissector (tools/wireshark/termbridge.lua) read by tshark on
the emulator's capture of a short session like the demo's: the fields of
chosen packets are those of the commands sent and of the answers the
emulator reports having sent."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE_ROOT = Path(__file__).resolve().parents[2]
DISSECTOR = SOURCE_ROOT / "tools" / "wireshark" / "termbridge.lua"
EXAMPLES = SOURCE_ROOT / "examples"
TSHARK = shutil.which("tshark")

pytestmark = [
    pytest.mark.skipif(TSHARK is None, reason="tshark is not installed"),
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
          "termbridge.hdr.status", "termbridge.hdr.subevent"]


def decode(emulator):
    """Every TERMBRIDGE packet of the emulator's capture as tshark reads it
    with the dissector: one dict of field values per frame."""
    arguments = [TSHARK, "-n", "-r", emulator.pcap_path, "-X", "lua_script:%s" % DISSECTOR,
                 "-o", "termbridge.command_port:%d" % emulator.command_port,
                 "-o", "termbridge.event_port:%d" % emulator.library_port,
                 "-Y", "termbridge", "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=|"]
    for field in FIELDS:
        arguments += ["-e", field]
    run = subprocess.run(arguments, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
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


def general_event_code():
    """PHYC_GENERAL_EVT's code in the example definitions."""
    text = (EXAMPLES / "definitions" / "events.h").read_text()
    return int(re.search(r"ENUM_EVENTS_WITH_VALUE\(PHYC_GENERAL_EVT,\s*(\w+)\)", text).group(1), 0)


@pytest.fixture
def session_capture(termbridge_session, termbridge_emulator):
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
    return termbridge_emulator


def test_native_commands_and_their_answers(session_capture):
    rows = decode(session_capture)
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
    rows = decode(session_capture)
    roles = [row["mailbox"] for row in rows if "mailbox" in row]
    # Each console command: the counter is read free, the bytes go in from offset 0, the counter is written.
    hand_over = "counter write (command handed to the chip)"
    assert roles.count(hand_over) == 3
    assert roles.count("counter read (is the mailbox free?)") >= 3
    assert {row["mailbox"] for row in select(rows, mailbox_offset=0)} == {"command bytes"}
    hand_overs = [row for row in rows if row.get("mailbox") == hand_over]
    # The channel command succeeds, the gain command fails, the capture's general event has sub-events.
    expected = [(0, 0), (FAILED_STATUS, 0), (0, 1)]
    for row, (status, subevent) in zip(hand_overs, expected):
        event, = select(rows, evt_rxnumber=number(row["cmd.number"]), hdr_source=4)
        assert (number(event["hdr.ctrl"]), number(event["hdr.code"])) == (11, general_event_code())
        assert (number(event["hdr.status"]), number(event["hdr.subevent"])) == (status, subevent)


def test_capture_fragments_reassembled_from_a_split_stream(session_capture):
    fragments = select(decode(session_capture), hdr_source=1)
    assert [number(row["hdr.fragment"]) for row in fragments] == [0, 1, 2]
    assert [row["hdr.more_fragments"] for row in fragments] == ["1", "1", "0"]
    # 200 captured bytes each after the 16-byte header; the first also carries the 8-byte information block.
    assert [number(row["evt.length"]) for row in fragments] == [16 + 8 + 200, 16 + 200, 16 + 200]
