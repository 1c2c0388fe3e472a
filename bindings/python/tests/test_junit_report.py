"""What a plain ``pytest --junitxml`` report carries of each test that used a
station: its properties, which CI dashboards show."""

import xml.etree.ElementTree as ElementTree
from pathlib import Path

import termbridge
from conftest import EXAMPLES

TESTS = """
    import pytest

    examples = pytest.mark.termbridge_emulator(definitions=%(list)r, mac_map=%(mac)r, phy_map=%(phy)r)

    @examples
    def test_reads_the_versions(termbridge_session):
        termbridge_session.set_firmware_start_pause(0)
        termbridge_session.load_firmware(%(firmware)r)
        assert termbridge_session.version_info().compatible

    def test_fails(termbridge_session):
        termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000044")
        assert False

    def test_without_a_station():
        pass
"""


def test_each_test_on_a_station_records_its_station_versions_and_capture(inner_pytest, library_options, lib,
                                                                         tmp_path):
    firmware = Path(library_options[0].split("=", 1)[1]).resolve().parent / "firmware" / "example.fwp"
    assert firmware.is_file(), "the build's example firmware is missing: %s" % firmware
    inner_pytest.pytester.makepyfile(test_recorded=TESTS % {
        "list": str(EXAMPLES / "definitions" / "list.txt"), "mac": str(EXAMPLES / "maps" / "mac.map"),
        "phy": str(EXAMPLES / "maps" / "phy.map"), "firmware": str(firmware)})
    report = tmp_path / "report.xml"
    result = inner_pytest.run(*library_options, "--junitxml=%s" % report)
    result.assert_outcomes(passed=2, failed=1)
    cases = {case.get("name"): {p.get("name"): p.get("value") for p in case.iter("property")}
             for case in ElementTree.parse(report).iter("testcase")}

    versions, failing = cases["test_reads_the_versions"], cases["test_fails"]
    assert cases["test_without_a_station"] == {}
    for properties in (versions, failing):
        assert properties["termbridge_station"] == "emulator"
        assert properties["termbridge_station_address"].startswith("127.0.0.1:")
        assert properties["termbridge_library_version"] == termbridge.version(lib)
        assert Path(properties["termbridge_capture"]).name == "emulator.pcap"
    assert versions["termbridge_firmware_mac"].startswith("major=") and "phy_mac_interface=" in versions[
        "termbridge_firmware_phy"]
    assert "termbridge_tshark" not in versions and "termbridge_library_log" not in versions
    # A failing test's: the library's last lines, the tshark command for its capture; no versions it did not read.
    assert "Handle command: NATIVE_READ_WORD_CMD 0x10000044" in failing["termbridge_library_log"]
    assert failing["termbridge_tshark"].startswith("tshark ") and failing["termbridge_capture"] in failing[
        "termbridge_tshark"]
    assert "termbridge_firmware_mac" not in failing
