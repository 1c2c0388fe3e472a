"""The plugin's hooks: options, the run's set-up and end, SIGTERM, pytest-xdist
workers that go down, emulator-only tests and what a failing test's report
shows."""

from __future__ import annotations

import signal
from typing import Any, Iterator, Optional, Tuple

import pytest

from ..emulator import Emulator
from ..session import TermBridge
from ..stations import StationError
from .run import TermbridgeRun, skip_on_a_dispatcher
from .settings import (EMULATOR_ONLY_SETTINGS, MARKER_HELP, add_options, marker_settings, refuse_separate_path_values,
                       refuse_unknown_ini_keys)


def pytest_addoption(parser: pytest.Parser) -> None:
    add_options(parser)


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
            config._termbridge_sigterm = True  # type: ignore[attr-defined]
    except ValueError:
        pass  # not the main thread: signals are not ours to handle


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", MARKER_HELP)
    refuse_unknown_ini_keys(config)
    refuse_separate_path_values(config)
    try:
        config._termbridge = TermbridgeRun(config)  # type: ignore[attr-defined]
    except StationError as error:
        raise pytest.UsageError(str(error)) from None
    _catch_sigterm(config)


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session: pytest.Session) -> None:
    """The pooled session is closed and the station given back here, after
    the session's fixtures: a pytest-xdist worker reports its end only after
    this hook, so a worker that crashes while closing is seen as down."""
    plugin = getattr(session.config, "_termbridge", None)
    if plugin is not None:
        plugin.close()
    if getattr(session.config, "_termbridge_workers_down", None) and session.exitstatus == pytest.ExitCode.OK:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node: Any, error: Any) -> None:
    """pytest-xdist's controller: a worker that went down with an error fails the run."""
    if not error:
        return
    config = node.config
    down = getattr(config, "_termbridge_workers_down", [])
    down.append(node.gateway.id)
    config._termbridge_workers_down = down
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line("termbridge: worker %s went down: %s; the run fails" % (node.gateway.id, error))


def pytest_unconfigure(config: pytest.Config) -> None:
    plugin = getattr(config, "_termbridge", None)
    if plugin is not None:
        plugin.close()
    if getattr(config, "_termbridge_sigterm", False) and signal.getsignal(signal.SIGTERM) is _terminate:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def pytest_report_header(config: pytest.Config) -> Optional[str]:
    plugin = getattr(config, "_termbridge", None)
    return plugin.header() if plugin is not None else None


def pytest_runtest_setup(item: pytest.Item) -> None:
    """Emulator-only tests are skipped on a dispatcher, and those that look
    at the chip model in a replay (it is off), saying why."""
    uses_emulator = "termbridge_emulator" in getattr(item, "fixturenames", ())
    replay_dir = item.config._termbridge.settings.value("replay_dir")  # type: ignore[attr-defined]
    if uses_emulator and replay_dir:
        pytest.skip("emulator only (the termbridge_emulator fixture); replaying from %s: the chip model is off"
                    % replay_dir)
    settings = marker_settings(item)
    emulator_settings = sorted(key for key in EMULATOR_ONLY_SETTINGS if settings.get(key))
    if not uses_emulator and not emulator_settings:
        return
    station = item.config._termbridge.station()  # type: ignore[attr-defined]
    skip_on_a_dispatcher(station, "the termbridge_emulator fixture" if uses_emulator
                         else "emulator settings %s" % emulator_settings)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: Any) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    if not report.failed:
        return
    funcargs = getattr(item, "funcargs", {})
    emulator = funcargs.get("termbridge_emulator") or getattr(item, "_termbridge_emulator", None)
    if isinstance(emulator, Emulator):
        report.sections.append(("tb-emulator log", emulator.log_text()))
        if emulator.pcap_path:
            plugin = item.config._termbridge  # type: ignore[attr-defined]
            report.sections.append(("termbridge capture", plugin.capture_help(emulator.pcap_path)))
    elif "termbridge_session" in funcargs:
        report.sections.append(("termbridge station", item.config._termbridge.station().describe()))  # type: ignore
    session = funcargs.get("termbridge_session")
    if isinstance(session, TermBridge):
        tail = _library_log_tail(session)
        if tail:
            report.sections.append(tail)


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
