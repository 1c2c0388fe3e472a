"""A suite spread over a rack of stations (stations.toml): each pytest-xdist
worker claims one station for its whole run and keeps the library's files
apart. Forty-eight short chip tests; CTest runs them over four emulator
stations (python_rack). bench/bench_rack.py measures racks of up to 16
stations with a load of its own (bench/rack).

    python -m pytest -n 4 --termbridge-inventory=tests/rack/stations.toml tests/rack
"""

import fcntl
import os

import pytest

from termbridge.pytest_plugin import run_key

VALUES = range(12)
SCRATCH = 0x10000100


@pytest.fixture(scope="session")
def claimed(request):
    """This process's station: claimed (its lock held here), with a library root of its own."""
    plugin = request.config.stash[run_key]
    station = plugin.station()
    assert plugin.in_rack(), "run with --termbridge-inventory"
    with open(plugin.claim.path) as lock:
        with pytest.raises(BlockingIOError):
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    return station


@pytest.fixture
def session(claimed, termbridge_session):
    assert os.environ["TERMBRIDGE_ROOT"].endswith(os.path.join("stations", claimed.name))
    return termbridge_session


def word(result):
    return int(result.data[2:10], 16)


@pytest.mark.parametrize("value", VALUES)
def test_word_round_trip(session, value):
    address = SCRATCH + 4 * value
    session.send("NATIVE_WRITE_WORD_CMD 0x%x 0x%x" % (address, 0x5A000000 + value))
    assert word(session.send("NATIVE_READ_WORD_CMD 0x%x" % address)) == 0x5A000000 + value


@pytest.mark.parametrize("value", VALUES)
def test_buffer_round_trip(session, value):
    data = bytes((value * 31 + i) % 256 for i in range(16))
    address = SCRATCH + 0x1000 + 64 * value
    session.send("NATIVE_WRITE_BUFFER_CMD 0x%x %d %s" % (address, len(data), " ".join("0x%02x" % b for b in data)))
    assert session.send("NATIVE_READ_BUFFER_CMD 0x%x %d" % (address, len(data))).data == data


@pytest.mark.parametrize("value", VALUES)
def test_phy_command(session, value):
    result = session.send("PHYC_SET_CHANNEL_CMD channel=%d, band=1, flags=0x8001" % (value + 1))
    assert result.text.strip() == "PHYC_STATUS_OK"


@pytest.mark.parametrize("value", VALUES)
def test_capture(session, termbridge_emulator, value):
    # The emulated chip captures as many bytes as it is told (1000 unless
    # told), in fragments of 200: one to four fragments, the last one partial.
    length = 100 + 50 * value
    termbridge_emulator.control("capture-length %d" % length)
    capture = session.send("PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=%d source=1" % length)
    # The emulated chip's capture pattern: byte i = (i * 7 + (i / 256) * 13 + 1) mod 256.
    assert len(capture.data) == length
    assert capture.data == bytes((i * 7 + (i // 256) * 13 + 1) % 256 for i in range(length))
