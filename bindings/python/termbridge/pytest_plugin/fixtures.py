"""The plugin's fixtures: the station, the settings of a test, its emulator
and the pooled session."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterator, Optional

import pytest

from ..emulator import Emulator, find_emulator, free_port
from ..errors import EmulatorError
from ..session import TermBridge
from ..stations import Station
from .run import TermbridgeRun, emulator_of_test_key, run_key, skip_on_a_dispatcher
from .settings import EMULATOR_ONLY_SETTINGS, EmulatorConfig, marker_settings


def _run(request: pytest.FixtureRequest) -> TermbridgeRun:
    return request.config.stash[run_key]


def _marker_path(request: pytest.FixtureRequest, value: Optional[str]) -> Optional[str]:
    """A path of the marker: relative to the test file's folder."""
    if not value:
        return None
    return str(Path(request.node.path).parent / value)


@pytest.fixture
def termbridge_station(request: pytest.FixtureRequest) -> Station:
    """The station this process runs its tests on."""
    return _run(request).station()


@pytest.fixture
def termbridge_config(request: pytest.FixtureRequest, tmp_path: Path) -> EmulatorConfig:
    """The settings of the emulator and the session: the options, then the
    station's definition set, then the test's marker."""
    run = _run(request)
    station = run.station()
    config = EmulatorConfig(definitions=station.definitions or run.settings.value("definitions"),
                            mac_map=station.mac_map or run.settings.value("mac_map"),
                            phy_map=station.phy_map or run.settings.value("phy_map"))
    settings = marker_settings(request.node)
    for key in ("definitions", "mac_map", "phy_map", "eeprom_file"):
        if key in settings:
            setattr(config, key, _marker_path(request, settings.pop(key)))
    config.faults = list(settings.pop("faults", []))
    config.extra_args = list(settings.pop("extra_args", []))
    config.eeprom_size = settings.pop("eeprom_size", None)
    settings.pop("pcap", None)  # every test is recorded; kept for markers written before that
    if settings:
        raise pytest.UsageError("termbridge_emulator marker: unknown settings %s" % sorted(settings))
    pcap_dir = run.settings.value("pcap_dir")
    if pcap_dir:
        os.makedirs(pcap_dir, exist_ok=True)
        config.pcap = os.path.join(pcap_dir, run.capture_name(request.node.nodeid))
    else:
        config.pcap = str(tmp_path / "emulator.pcap")
    replay_dir = run.settings.value("replay_dir")
    if replay_dir:
        recording = os.path.join(replay_dir, run.capture_name(request.node.nodeid))
        if not os.path.isfile(recording):
            pytest.fail("no recording of this test: %s (make one with --termbridge-pcap-dir)" % recording,
                        pytrace=False)
        config.extra_args += ["--replay", recording]
    return config


@pytest.fixture
def termbridge_emulator(request: pytest.FixtureRequest, termbridge_config: EmulatorConfig,
                        tmp_path: Path) -> Iterator[Emulator]:
    """tb-emulator for this test, stopped after it (emulator stations only)."""
    run = _run(request)
    station = run.station()
    if not station.emulator:
        pytest.skip("emulator only; running on %s" % station.describe())
    program = find_emulator(run.settings.value("emulator"))
    if not program:
        run.missing("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    run.prepare_root()
    config = termbridge_config
    # A replay answers from its recording: the emulator takes no definition
    # set and has no EEPROM then (the session still reads the definitions).
    replaying = "--replay" in config.extra_args
    settings = dict(definitions=None if replaying else config.definitions, faults=config.faults, pcap=config.pcap,
                    eeprom_size=None if replaying else config.eeprom_size,
                    eeprom_file=None if replaying else config.eeprom_file, extra_args=config.extra_args,
                    log_dir=tmp_path)
    emulator = None
    ports = run.reusable_ports(config)
    if ports is not None:
        try:
            emulator = Emulator(program, ports[1], command_port=ports[0], **settings)
        except EmulatorError:
            if station.library_port:
                raise  # the station's own ports are taken: nothing else may be used
            run.close_session()  # the port went elsewhere: a new session on new ports
    if emulator is None:
        emulator = Emulator(program, free_port(), **settings)
    request.node.stash[emulator_of_test_key] = emulator
    try:
        yield emulator
    finally:
        status = emulator.stop()
    # It stops cleanly on SIGTERM; anything else (a replay that went astray too) is a fault of the run.
    if status != 0:
        pytest.fail("tb-emulator ended with status %s:\n%s" % (status, emulator.log_text()))


@pytest.fixture
def termbridge_session(request: pytest.FixtureRequest, termbridge_config: EmulatorConfig) -> Iterator[TermBridge]:
    """The library, initialized against this test's station."""
    run = _run(request)
    station = run.station()
    # The settings as the test resolved them (its own termbridge_config too).
    emulator_settings = sorted(key for key in EMULATOR_ONLY_SETTINGS if getattr(termbridge_config, key))
    if emulator_settings:
        skip_on_a_dispatcher(station, "emulator settings %s of termbridge_config" % emulator_settings)
    emulator = request.getfixturevalue("termbridge_emulator") if station.emulator else None
    session = run.open_session(termbridge_config, emulator)
    run.set_back_to_defaults(session)
    session.last_version_report = None  # the version words of this test's report are those it reads
    yield session
    if session.is_open and session.progress_supported:
        session.set_progress_callback(None)
