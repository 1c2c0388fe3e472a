"""The load of bench/bench_rack.py: one test per station of the rack, each
sending its native commands through the pooled session of the pytest
plugin, as a chip test does. bench_rack.py runs it with one pytest-xdist
worker per station and sets the environment below; every test waits until
all stations are ready, then sends, and writes its figures as JSON:

    TB_RACK_FIGURES    folder of the figures (and of the start line-up)
    TB_RACK_STATIONS   stations in the rack, one test each
    TB_RACK_COMMANDS   commands per station
    TB_RACK_DELAY_MS   the emulator's delay of every answer
"""

import json
import os
import resource
import time
from pathlib import Path

import pytest

STATIONS = int(os.environ.get("TB_RACK_STATIONS", "1"))  # without it, one test that says so
LINE_UP_TIMEOUT_S = 120.0
SCRATCH = 0x10000100


def setting(name):
    value = os.environ.get(name)
    if value is None:
        pytest.fail("%s is not set: bench/bench_rack.py runs this load" % name, pytrace=False)
    return value


def thread_cpu_seconds(process_id):
    """On-processor time of a process's live threads (user + system), from
    the scheduler's nanosecond counts."""
    total = 0
    for task in Path("/proc/%d/task" % process_id).iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (OSError, IndexError, ValueError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def machine_busy_seconds():
    """Processor time of the whole machine spent outside idle and I/O wait."""
    fields = [int(word) for word in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def own_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def line_up(folder, index):
    """Waits until every station's test is ready to send."""
    (folder / ("ready-%d" % index)).touch()
    deadline = time.monotonic() + LINE_UP_TIMEOUT_S
    while sum(1 for name in os.listdir(folder) if name.startswith("ready-")) < STATIONS:
        if time.monotonic() > deadline:
            pytest.fail("not every station got ready within %d s" % LINE_UP_TIMEOUT_S, pytrace=False)
        time.sleep(0.005)


@pytest.mark.parametrize("index", range(STATIONS))
def test_station_load(termbridge_session, termbridge_emulator, index):
    setting("TB_RACK_STATIONS")
    folder = Path(setting("TB_RACK_FIGURES"))
    commands = int(setting("TB_RACK_COMMANDS"))
    termbridge_emulator.control("delay %d" % int(setting("TB_RACK_DELAY_MS")))
    line = "NATIVE_READ_WORD_CMD 0x%x" % SCRATCH
    termbridge_session.send(line)  # the first command pays for what is set up on first use
    emulator_id = termbridge_emulator.process.pid
    latencies = []
    line_up(folder, index)
    machine_before, emulator_before, (user_before, system_before) = (machine_busy_seconds(),
                                                                     thread_cpu_seconds(emulator_id), own_cpu())
    started = time.time()
    for _ in range(commands):
        sent = time.perf_counter()
        termbridge_session.send(line)
        latencies.append(time.perf_counter() - sent)
    ended = time.time()
    machine_after, emulator_after, (user_after, system_after) = (machine_busy_seconds(),
                                                                 thread_cpu_seconds(emulator_id), own_cpu())
    latencies.sort()
    figures = dict(station=index, worker=os.environ.get("PYTEST_XDIST_WORKER", "-"), commands=commands,
                   started=started, ended=ended, user=user_after - user_before, system=system_after - system_before,
                   emulator=emulator_after - emulator_before, machine=machine_after - machine_before,
                   p50=latencies[len(latencies) // 2], p99=latencies[len(latencies) * 99 // 100],
                   peak_rss_kib=peak_rss_kib())
    (folder / ("station-%d.json" % index)).write_text(json.dumps(figures))
