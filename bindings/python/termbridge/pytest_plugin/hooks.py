"""The plugin's hooks: options, the run's set-up and end, SIGTERM, pytest-xdist
workers that go down, emulator-only tests and what a failing test's report
shows."""

from __future__ import annotations

import dataclasses
import signal
from typing import Any, Iterator, List, Optional, Tuple

import pytest

from .._library import version
from ..emulator import Emulator
from ..session import TermBridge
from ..stations import StationError
from ..versioninfo import FirmwareVersion, parse_version_report
from .run import TermbridgeRun, emulator_of_test_key, run_key, skip_on_a_dispatcher
from .settings import (EMULATOR_ONLY_SETTINGS, MARKER_HELP, add_options, marker_settings, refuse_separate_path_values,
                       refuse_unknown_ini_keys)


def pytest_addoption(parser: pytest.Parser) -> None:
    add_options(parser)


# The ids of the pytest-xdist workers that went down (the controller's).
_workers_down_key = pytest.StashKey[List[str]]()
# Whether this run set the SIGTERM handler (and takes it away at the end).
_sigterm_key = pytest.StashKey[bool]()


class _Terminated(KeyboardInterrupt):
    """SIGTERM, turned into an interruption that tears the run down."""


def _terminate(signum: int, frame: Any) -> None:
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # a second one ends the process at once
    raise _Terminated("SIGTERM")


def _catch_sigterm(config: pytest.Config) -> None:
    """A run ended by SIGTERM tears down like one ended by Ctrl-C. Only from
    the main thread, and not over a handler someone else set."""
    try:
        if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _terminate)
            config.stash[_sigterm_key] = True
    except ValueError:
        pass  # not the main thread: signals are not ours to handle


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", MARKER_HELP)
    refuse_unknown_ini_keys(config)
    refuse_separate_path_values(config)
    try:
        config.stash[run_key] = TermbridgeRun(config)
    except StationError as error:
        raise pytest.UsageError(str(error)) from None
    _catch_sigterm(config)


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session: pytest.Session) -> None:
    """The pooled session is closed and the station given back here, after
    the session's fixtures: a pytest-xdist worker reports its end only after
    this hook, so a worker that crashes while closing is seen as down."""
    run = session.config.stash.get(run_key, None)
    if run is not None:
        run.close()
    if session.config.stash.get(_workers_down_key, None) and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node: Any, error: Any) -> None:
    """pytest-xdist's controller: a worker that went down with an error fails the run."""
    if not error:
        return
    config = node.config
    config.stash.setdefault(_workers_down_key, []).append(node.gateway.id)
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line("termbridge: worker %s went down: %s; the run fails" % (node.gateway.id, error))


def pytest_unconfigure(config: pytest.Config) -> None:
    run = config.stash.get(run_key, None)
    if run is not None:
        run.close()
    if config.stash.get(_sigterm_key, False) and signal.getsignal(signal.SIGTERM) is _terminate:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _xdist_controller(config: pytest.Config) -> bool:
    """pytest-xdist's controller: it runs no test, its workers claim stations."""
    return config.pluginmanager.hasplugin("dsession")


def pytest_sessionstart(session: pytest.Session) -> None:
    """The station is claimed (its dispatcher probed) before the session
    header, which names it and the stations passed over."""
    run = session.config.stash.get(run_key, None)
    if run is not None and not _xdist_controller(session.config):
        run.take_station()


def pytest_report_header(config: pytest.Config) -> Optional[List[str]]:
    run = config.stash.get(run_key, None)
    if run is None:
        return None
    return run.rack_header() if _xdist_controller(config) else run.header()


def pytest_runtest_setup(item: pytest.Item) -> None:
    """Emulator-only tests are skipped on a dispatcher, and those that look
    at the chip model in a replay (it is off), saying why."""
    run = item.config.stash[run_key]
    uses_emulator = "termbridge_emulator" in getattr(item, "fixturenames", ())
    replay_dir = run.settings.value("replay_dir")
    if uses_emulator and replay_dir:
        pytest.skip("emulator only (the termbridge_emulator fixture); replaying from %s: the chip model is off"
                    % replay_dir)
    settings = marker_settings(item)
    emulator_settings = sorted(key for key in EMULATOR_ONLY_SETTINGS if settings.get(key))
    if not uses_emulator and not emulator_settings:
        return
    station = run.station()
    skip_on_a_dispatcher(station, "the termbridge_emulator fixture" if uses_emulator
                         else "emulator settings %s" % emulator_settings)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: Any) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        item.stash[_failed_key] = True
        _add_failure_sections(item, report)
    if report.when == "teardown":
        properties = _report_properties(item)
        item.user_properties.extend(properties)
        report.user_properties.extend(properties)  # JUnit XML reads the teardown report's


# Whether a phase of the test failed (the teardown report records the properties).
_failed_key = pytest.StashKey[bool]()
_STATION_FIXTURES = ("termbridge_session", "termbridge_emulator", "termbridge_station")


def _test_emulator(item: pytest.Item) -> Optional[Emulator]:
    emulator = (getattr(item, "funcargs", None) or {}).get("termbridge_emulator") or item.stash.get(
        emulator_of_test_key, None)
    return emulator if isinstance(emulator, Emulator) else None


def _add_failure_sections(item: pytest.Item, report: pytest.TestReport) -> None:
    funcargs = getattr(item, "funcargs", None) or {}
    emulator = _test_emulator(item)
    run = item.config.stash[run_key]
    if emulator is not None:
        report.sections.append(("tb-emulator log", emulator.log_text()))
        if emulator.pcap_path:
            report.sections.append(("termbridge capture", run.capture_help(emulator.pcap_path)))
    elif "termbridge_session" in funcargs:
        report.sections.append(("termbridge station", run.station().describe()))
    session = funcargs.get("termbridge_session")
    if isinstance(session, TermBridge):
        tail = _library_log_tail(session)
        if tail:
            report.sections.append(tail)


def _report_properties(item: pytest.Item) -> List[Tuple[str, str]]:
    """What a CI dashboard shows of a test that used a station (JUnit XML
    properties): the station, the library's version, the firmware version
    words the test read, the capture; of a failing one also the library's
    last log lines and the tshark command for its capture."""
    funcargs = getattr(item, "funcargs", None) or {}
    run = item.config.stash[run_key]
    station = run.claimed_station
    if station is None or not any(name in funcargs for name in _STATION_FIXTURES):
        return []
    emulator = _test_emulator(item)
    session = funcargs.get("termbridge_session")
    session = session if isinstance(session, TermBridge) else None
    address = ("127.0.0.1:%d:%d" % (emulator.command_port, emulator.library_port) if emulator is not None
               else run.station_address())
    properties = [("termbridge_station", station.name), ("termbridge_station_address", address)]
    if run.lib is not None:
        properties.append(("termbridge_library_version", version(run.lib)))
    report = parse_version_report(session.last_version_report or "") if session is not None else None
    if report is not None:
        properties += [("termbridge_firmware_mac", _words(report.mac)), ("termbridge_firmware_phy", _words(report.phy))]
    pcap = emulator.pcap_path if emulator is not None else None
    if pcap:
        properties.append(("termbridge_capture", pcap))
    if item.stash.get(_failed_key, False):
        if pcap:
            properties.append(("termbridge_tshark", run.tshark_command(pcap)))
        tail = _library_log_tail(session) if session is not None else None
        if tail:
            properties.append(("termbridge_library_log", tail[1]))
    return properties


def _words(side: FirmwareVersion) -> str:
    """The version words of one side, as name=value (unread words left out)."""
    words = ["%s=%d" % (field.name, getattr(side, field.name)) for field in dataclasses.fields(side)
             if getattr(side, field.name) is not None]
    return " ".join(words) or "none read"


# What a failing test's report shows of the library's own log: on a bench it
# is the only record of what the host side did (and the plugin's scratch
# root, which holds it, goes at the end of the run).
_LIBRARY_LOG_LINES = 80


def _library_log_tail(session: TermBridge) -> Optional[Tuple[str, str]]:
    try:
        path = session.log_path
        if not path:
            return None
        with open(path, "r", encoding="utf-8", errors="replace") as log:
            lines = log.readlines()[-_LIBRARY_LOG_LINES:]
    except Exception:  # noqa: BLE001 - the report must never fail for it
        return None
    return ("termbridge library log (its last %d lines, %s)" % (len(lines), path), "".join(lines))
