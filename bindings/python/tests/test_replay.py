"""A pytest session recorded against the emulator (--termbridge-pcap-dir)
and replayed from its captures (--termbridge-replay-dir): the emulator's chip
model is off and every answer comes from the recording. A test that sends
something else is told where it went astray."""

import textwrap

from conftest import EXAMPLES

SESSION = textwrap.dedent("""
    import pytest
    import termbridge

    def test_words_and_buffers(termbridge_session):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x%(address)x 0x%(value)x", timeout_ms=2000)
        assert termbridge_session.send("NATIVE_READ_WORD_CMD 0x%(address)x").data[2:10] == b"00001234"
        termbridge_session.send("NATIVE_WRITE_BUFFER_CMD 0x10000100 3 1 2 3")
        assert termbridge_session.send("NATIVE_READ_BUFFER_CMD 0x10000100 3").data == bytes([1, 2, 3])

    def test_console_commands(termbridge_session):
        assert termbridge_session.send("PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001").text.strip() == \\
            "PHYC_STATUS_OK"
        assert termbridge_session.send("UMAC_SET_MODE_CMD mode=2 timeout=500 powerOffset=-3").hex == \\
            "01010000020001f4fffffffd"
        capture = termbridge_session.send("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1")
        assert len(capture.data) == 1000 and capture.data[:3] == bytes([1, 8, 15])

    def test_chip_memory(termbridge_session, termbridge_emulator):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x10000200 0xcafe")
        assert termbridge_emulator.read_memory(0x10000200, 4) == bytes.fromhex("0000cafe")
""")


def run_session(inner_pytest, library_options, address, *options, value=0x1234):
    inner_pytest.pytester.makepyfile(test_session=SESSION % {"address": address, "value": value})
    return inner_pytest.run(*library_options, "--termbridge-definitions=%s" % (EXAMPLES / "definitions" / "list.txt"),
                            "--termbridge-mac-map=%s" % (EXAMPLES / "maps" / "mac.map"),
                            "--termbridge-phy-map=%s" % (EXAMPLES / "maps" / "phy.map"),
                            "--rootdir", str(inner_pytest.pytester.path), *options, "test_session.py", timeout=180)


def test_recorded_session_replays_and_a_changed_one_is_caught(inner_pytest, library_options, tmp_path):
    recordings = tmp_path / "recordings"
    result = run_session(inner_pytest, library_options, 0x10000040, "--termbridge-pcap-dir=%s" % recordings)
    result.assert_outcomes(passed=3)
    assert result.ret == 0
    assert sorted(path.name for path in recordings.iterdir()) == [
        "test_session.py_test_chip_memory.pcap", "test_session.py_test_console_commands.pcap",
        "test_session.py_test_words_and_buffers.pcap"]

    # The chip model is off in a replay: a test that looks at it is skipped, as on a bench.
    result = run_session(inner_pytest, library_options, 0x10000040, "--termbridge-replay-dir=%s" % recordings)
    result.assert_outcomes(passed=2, skipped=1)
    assert result.ret == 0
    assert "emulator only (the termbridge_emulator fixture); replaying from %s: the chip model is off" % recordings \
        in str(result.stdout)

    # Another address in the first write: the replay stops there and says so.
    result = run_session(inner_pytest, library_options, 0x10000044, "--termbridge-replay-dir=%s" % recordings,
                         "-k", "words")
    output = str(result.stdout)
    assert result.ret == 1 and "tb-emulator ended with status 3" in output
    assert ("replay: command 1 of 4 differs: recorded NATIVE_WRITE_WORD_CMD address 0x10000040 length 4 (#" in output
            and "live NATIVE_WRITE_WORD_CMD address 0x10000044 length 4" in output)
    assert "replay: played 0 of 4 recorded commands" in output

    # The same address with another value: the data is compared too, and the
    # departing write is refused at once instead of running into its time-out.
    result = run_session(inner_pytest, library_options, 0x10000040, "--termbridge-replay-dir=%s" % recordings,
                         "-k", "words", value=0xbeef)
    output = str(result.stdout)
    assert result.ret == 1 and "tb-emulator ended with status 3" in output
    assert ("replay: command 1 of 4 differs: NATIVE_WRITE_WORD_CMD address 0x10000040 length 4 (#" in output
            and "data byte 0 recorded 0x34, live 0xef (2 of 4 bytes differ)" in output)
    assert "The dispatcher refused the Native Command" in output
