"""pytest fixtures that run chip tests against the emulator or a real dispatcher.

Registered as the pytest11 entry point ``termbridge``, so installing the
package is enough. A test is written once; the *station* decides where it
runs: the emulator (``tb-emulator``, the default), a dispatcher given by
address and ports, the dispatcher of the library's registry, or one station
of a rack (a TOML inventory, see ``termbridge.stations``). Fixtures:

``termbridge_session``
    a ``termbridge.TermBridge`` initialized against the station. Starting
    the library costs a second (its synchronising pause), so it stays
    initialized from one test to the next while the definition set and the
    dispatcher stay the same. Time-outs, log severity and the progress
    callback are set back to their defaults before each test; the EEPROM image
    is the library's, init it in tests that use it.
``termbridge_emulator``
    a ``termbridge.emulator.Emulator`` started for the test and stopped after
    it: fault injection and the chip's state. A test that uses it (or whose
    markers or termbridge_config set faults or emulator settings) is
    emulator-only: on a dispatcher station it is skipped, with the reason; a
    test that uses the fixture is skipped in a replay too (the chip model is off).
``termbridge_station``
    the ``Station`` this process runs on.
``termbridge_config``
    the settings both use (an ``EmulatorConfig``); override the fixture, or
    mark a test (its class, its module: the markers are merged key by key,
    the nearest winning)::

        @pytest.mark.termbridge_emulator(definitions="defs/list.txt", mac_map="defs/mac.map",
                                         phy_map="defs/phy.map", faults=["delay 200"])

Settings come from the command line, else the ini file (the option's name
with underscores, paths relative to the ini file), else the environment:
``--termbridge-station`` ($TERMBRIDGE_STATION: ``emulator``, ``registry``,
``ADDRESS:UDP:TCP``, or a station's name in the inventory),
``--termbridge-inventory`` ($TERMBRIDGE_INVENTORY), ``--termbridge-library``
($TERMBRIDGE_LIBRARY), ``--termbridge-emulator`` ($TB_EMULATOR, then PATH),
``--termbridge-definitions``, ``--termbridge-mac-map``, ``--termbridge-phy-map``,
``--termbridge-pcap-dir``, ``--termbridge-replay-dir``, ``--termbridge-dissector``,
``--termbridge-lock-dir``, ``--termbridge-claim-timeout``. A library or emulator
that cannot be found makes the tests that need it errors, unless
``--termbridge-skip-missing`` (ini ``termbridge_skip_missing = true``) asks for
skips; a library that was given but does not load is an error all the same.

Under pytest-xdist each worker is a process of its own: it claims one
station of the inventory for its whole run (or, without one, runs emulators
of its own), with library files of its own ($TERMBRIDGE_ROOT on Linux).

SIGTERM (a CI job's time-out, ``kill``) ends the run as Ctrl-C does: the
library's operation is cancelled and fixtures are torn down, so emulators
stop and station claims are given back; a second SIGTERM ends it at once.
"""

from __future__ import annotations

import dataclasses
import os
import re
import shlex
import shutil
import signal
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import pytest

from ._library import load_library
from .emulator import Emulator, find_emulator, free_port
from .errors import EmulatorError, LibraryNotFoundError
from .session import TermBridge
from .stations import (Station, StationClaim, StationError, claim_station, load_inventory, parse_station,
                       registry_file)

__all__ = ["EmulatorConfig"]

# name -> (help, environment variable or None, is a path)
_OPTIONS = {
    "station": ("where the tests run: emulator (default), registry, ADDRESS:UDP:TCP, or a station of the "
                "inventory", "TERMBRIDGE_STATION", False),
    "inventory": ("TOML inventory of stations; each process (xdist worker) claims one", "TERMBRIDGE_INVENTORY",
                  True),
    "library": ("the termbridge library to test (default: $TERMBRIDGE_LIBRARY, then the usual search)", None, True),
    "emulator": ("the tb-emulator program (default: $TB_EMULATOR, then PATH)", None, True),
    "definitions": ("list file of the definition set the emulator executes and the library parses", None, True),
    "mac_map": ("MAC linker map file given to the library", None, True),
    "phy_map": ("PHY linker map file given to the library", None, True),
    "pcap_dir": ("write a capture of every test's emulator traffic into this folder, named after the test",
                 None, True),
    "replay_dir": ("answer every test from its capture in this folder (tb-emulator --replay)", None, True),
    "dissector": ("termbridge.lua, for the tshark command of a failing test's report", "TERMBRIDGE_DISSECTOR",
                  True),
    "lock_dir": ("folder of the station claims (default: the system's temporary folder)", None, True),
    "claim_timeout": ("seconds to wait for a free station (default 0)", None, False),
}
# Marker settings that only the emulator can honour: their tests are emulator-only.
_EMULATOR_ONLY_SETTINGS = ("faults", "eeprom_size", "eeprom_file", "extra_args")

_DEFAULT_TIMEOUT_MS = 15000
_DEFAULT_SEVERITY = 2
_DEFAULT_INTERNAL_TIMEOUT_MS = 1000


@dataclasses.dataclass
class EmulatorConfig:
    """What the emulator runs with and the session is initialized with."""

    definitions: Optional[str] = None  # list file; None: native commands only
    mac_map: Optional[str] = None
    phy_map: Optional[str] = None
    faults: List[str] = dataclasses.field(default_factory=list)  # control lines applied at start
    pcap: Optional[str] = None  # capture file
    eeprom_size: Optional[int] = None
    eeprom_file: Optional[str] = None
    extra_args: List[str] = dataclasses.field(default_factory=list)

    def definition_key(self) -> Tuple[Optional[str], Optional[str], Optional[str]]:
        return (self.definitions, self.mac_map, self.phy_map)


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("termbridge", "termbridge library, emulator and stations")
    for name, (text, _, _) in _OPTIONS.items():
        option = "--termbridge-" + name.replace("_", "-")
        group.addoption(option, dest="termbridge_" + name, default=None, help=text)
        parser.addini("termbridge_" + name, text, default=None)
    text = "skip (instead of failing) the tests whose library or emulator is not found"
    group.addoption("--termbridge-skip-missing", dest="termbridge_skip_missing", action="store_true", default=None,
                    help=text)
    parser.addini("termbridge_skip_missing", text, type="bool", default=False)


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
    config.addinivalue_line(
        "markers", "termbridge_emulator(definitions=, mac_map=, phy_map=, faults=[], pcap=False, eeprom_size=, "
                   "eeprom_file=, extra_args=[]): settings of the emulator and the session for this test")
    _refuse_unknown_ini_keys(config)
    _refuse_separate_path_values(config)
    try:
        config._termbridge = _Plugin(config)  # type: ignore[attr-defined]
    except StationError as error:
        raise pytest.UsageError(str(error)) from None
    _catch_sigterm(config)


def _refuse_unknown_ini_keys(config: pytest.Config) -> None:
    """A misspelt setting would leave the run on its defaults (the emulator)."""
    known = {"termbridge_" + name for name in _OPTIONS} | {"termbridge_skip_missing"}
    unknown = sorted(key for key in config.inicfg if key.startswith("termbridge_") and key not in known)
    if unknown:
        raise pytest.UsageError("%s: unknown termbridge settings %s (known: %s)" % (
            config.inipath, ", ".join(unknown), ", ".join(sorted(known))))


def _folder_of(path: Path) -> str:
    return os.path.abspath(path if path.is_dir() else path.parent)


def _refuse_separate_path_values(config: pytest.Config) -> None:
    """pytest looks for its ini file before it knows this plugin's options,
    so in ``--termbridge-library PATH`` it takes PATH for a test path: with
    PATH outside the project the root folder moves up to a common ancestor
    and the project's ini file (its station, say) is not read."""
    here = Path(config.invocation_params.dir)
    words = shlex.split(os.environ.get("PYTEST_ADDOPTS", "")) + [str(word) for word in config.invocation_params.args]
    options = {"--termbridge-" + name.replace("_", "-") for name in _OPTIONS}
    given = [(word, value) for word, value in zip(words, words[1:])
             if word in options and not value.startswith("-") and (here / value).exists()]
    if not given:
        return
    own = [here / str(arg).split("::")[0] for arg in config.args]
    own_folders = [_folder_of(path) for path in own if path.exists()] or [str(here)]
    root = os.path.commonpath(own_folders)
    for option, value in given:
        moved = os.path.commonpath(own_folders + [_folder_of(here / value)])
        if moved != root:
            raise pytest.UsageError(
                "%s %s: pytest takes a value given as a separate word for a test path while it looks for its "
                "ini file, so it looked from %s instead of %s and the project's ini file may be left unread; "
                "write %s=%s" % (option, value, moved, root, option, value))


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


def _marker_settings(item: pytest.Item) -> Dict[str, Any]:
    """The settings of every termbridge_emulator marker of the test (its
    own, its class's, its module's), key by key, the nearest winning."""
    settings: Dict[str, Any] = {}
    for marker in item.iter_markers("termbridge_emulator"):  # nearest first
        for key, value in marker.kwargs.items():
            settings.setdefault(key, value)
    return settings


def _skip_on_a_dispatcher(station: Station, needs: str) -> None:
    if not station.emulator:
        pytest.skip("emulator only (%s); running on %s" % (needs, station.describe()))


def pytest_runtest_setup(item: pytest.Item) -> None:
    """Emulator-only tests are skipped on a dispatcher, and those that look
    at the chip model in a replay (it is off), saying why."""
    uses_emulator = "termbridge_emulator" in getattr(item, "fixturenames", ())
    replay_dir = item.config._termbridge.value("replay_dir")  # type: ignore[attr-defined]
    if uses_emulator and replay_dir:
        pytest.skip("emulator only (the termbridge_emulator fixture); replaying from %s: the chip model is off"
                    % replay_dir)
    settings = _marker_settings(item)
    emulator_settings = sorted(key for key in _EMULATOR_ONLY_SETTINGS if settings.get(key))
    if not uses_emulator and not emulator_settings:
        return
    station = item.config._termbridge.station()  # type: ignore[attr-defined]
    _skip_on_a_dispatcher(station, "the termbridge_emulator fixture" if uses_emulator
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


def _worker() -> Optional[str]:
    """The pytest-xdist worker's id (gw0, gw1, ...), or None outside xdist."""
    return os.environ.get("PYTEST_XDIST_WORKER")


class _Plugin:
    """The run's station, its library, its pooled session and the option values."""

    def __init__(self, config: pytest.Config):
        self.config = config
        self.lib: Any = None
        self.session: Optional[TermBridge] = None
        self.session_key: Any = None
        self._station: Optional[Station] = None
        self._claim: Optional[StationClaim] = None
        self._station_error: Optional[str] = None  # why the claim failed: not tried again for each test
        self._firmware_target: Any = None  # the dispatcher the station's firmware was loaded into
        self._user_root = os.environ.get("TERMBRIDGE_ROOT")
        self._root_ready = False
        self._own_root: Optional[str] = None
        self._scratch = tempfile.mkdtemp(prefix="tb-pytest-")
        self._stations = self._read_stations()
        self._refuse_replay_on_a_dispatcher()

    # -- settings

    def value(self, name: str) -> Optional[str]:
        """A setting: the command line's, else the ini file's (paths from its
        folder), else the environment's (paths from the current folder)."""
        is_path = _OPTIONS[name][2]
        value = self.config.getoption("termbridge_" + name)
        if value:
            return os.path.abspath(value) if is_path else value
        value = self.config.getini("termbridge_" + name)
        if value:
            folder = self.config.inipath.parent if self.config.inipath else self.config.rootpath
            return str(folder / value) if is_path else value
        variable = _OPTIONS[name][1]
        value = os.environ.get(variable) if variable else None
        if value:
            return os.path.abspath(value) if is_path else value
        return None

    def skip_missing(self) -> bool:
        return bool(self.config.getoption("termbridge_skip_missing") or self.config.getini("termbridge_skip_missing"))

    def given_library(self) -> Optional[str]:
        """The library the run names (option, ini or $TERMBRIDGE_LIBRARY), if any."""
        return self.value("library") or os.environ.get("TERMBRIDGE_LIBRARY") or None

    def missing(self, text: str) -> None:
        """A library or emulator that is not there: an error unless skips were asked for."""
        if self.skip_missing():
            # A library that was given and does not load fails the test
            # whatever else is missing (the emulator's skip comes first in a
            # session's set-up).
            if self.given_library():
                self.library()
            pytest.skip(text)
        pytest.fail(text + " (--termbridge-skip-missing makes this a skip)", pytrace=False)

    # -- the station

    def _read_stations(self) -> Optional[List[Station]]:
        """The inventory's stations (None without one); checks a station text early."""
        inventory = self.value("inventory")
        text = self.value("station")
        if inventory is None:
            if text:
                parse_station(text)
            return None
        stations = load_inventory(inventory)
        if text:
            stations = [station for station in stations if station.name == text]
            if not stations:
                raise StationError("inventory %s has no station %r" % (inventory, text))
        return stations

    def _refuse_replay_on_a_dispatcher(self) -> None:
        """Only the emulator replays: on a dispatcher the tests would run live."""
        if not self.value("replay_dir"):
            return
        stations = self._stations if self._stations is not None else [
            parse_station(self.value("station") or "emulator")]
        dispatchers = [station.name for station in stations if not station.emulator]
        if dispatchers:
            raise StationError("--termbridge-replay-dir: only tb-emulator replays captures; %s %s a dispatcher" % (
                ", ".join(dispatchers), "is" if len(dispatchers) == 1 else "are"))

    def in_rack(self) -> bool:
        return self._stations is not None or _worker() is not None

    def station(self) -> Station:
        """This process's station, claimed on first use for the rest of the run."""
        if self._station is not None:
            return self._station
        if self._station_error is not None:
            pytest.fail(self._station_error + " (the run's claim failed before; not tried again)", pytrace=False)
        worker = _worker()
        try:
            timeout = float(self.value("claim_timeout") or 0)
            lock_dir = self.value("lock_dir")
            if self._stations is not None:
                first = int(re.sub(r"\D", "", worker) or 0) if worker else 0
                station, self._claim = claim_station(self._stations, worker or "pytest",
                                                     Path(lock_dir) if lock_dir else None, first, timeout)
            else:
                station = parse_station(self.value("station") or "emulator")
                if station.emulator and worker:
                    station.name = "emulator-" + worker
                elif not station.emulator:
                    station, self._claim = claim_station([station], worker or "pytest",
                                                         Path(lock_dir) if lock_dir else None, 0, timeout)
        except StationError as error:
            self._station_error = str(error)
        if self._station_error is not None:
            pytest.fail(self._station_error, pytrace=False)
        self._station = station
        return station

    def header(self) -> str:
        if self._stations is not None:
            return "termbridge: inventory %s, %d stations (%s)" % (
                self.value("inventory"), len(self._stations), ", ".join(s.name for s in self._stations))
        return "termbridge: %s" % parse_station(self.value("station") or "emulator").describe()

    def prepare_root(self) -> None:
        """Logs, lock and crash files of this run stay out of the user's own,
        and each station of a rack keeps its own (the library's global mutex
        is a lock file under the root on Linux)."""
        if self._root_ready:
            return
        station = self.station()
        base = self._user_root
        if base is None:
            base = self._own_root = tempfile.mkdtemp(prefix="tb-pytest-root-")
        root = os.path.join(base, "stations", re.sub(r"[^\w.-]+", "_", station.name)) if self.in_rack() else base
        os.makedirs(root, exist_ok=True)
        if station.registry and sys.platform != "win32":
            self._seed_registry(root)
        os.environ["TERMBRIDGE_ROOT"] = root
        self._root_ready = True

    def _seed_registry(self, root: str) -> None:
        """The registry station's settings, from the user's registry file into this run's root."""
        source = registry_file(self._user_root)
        target = Path(root) / "registry.reg"
        if not source.is_file():  # also when it is the run's own: the library would only say it did not start
            pytest.fail("station registry: no registry file at %s to read the dispatcher's settings from" % source,
                        pytrace=False)
        if source.resolve() != target.resolve():
            shutil.copyfile(source, target)

    # -- library and session

    def library(self) -> Any:
        if self.lib is None:
            self.prepare_root()
            path = self.value("library")
            given = self.given_library()
            try:
                self.lib = load_library(path)
            except LibraryNotFoundError as error:
                if given:  # a typo or a wrong file is a fault of the run, never a skip
                    pytest.fail("the termbridge library given (%s) does not load: %s" % (given, error),
                                pytrace=False)
                self.missing("termbridge library not found (--termbridge-library or $TERMBRIDGE_LIBRARY): %s"
                             % error)
        return self.lib

    def empty_definitions(self) -> Dict[str, str]:
        """Empty map and list files: native commands need no definitions."""
        files = {}
        for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"), ("struct_list", "list.txt")):
            files[key] = os.path.join(self._scratch, name)
            Path(files[key]).touch()
        return files

    def reusable_ports(self, config: EmulatorConfig) -> Optional[Tuple[int, int]]:
        """(command port, library port) the next emulator takes: the station's
        own, or those of the open session when it suits this configuration."""
        station = self.station()
        if station.library_port:
            return station.command_port, station.library_port
        if self.session is None or not self.session.is_open or self.session_key[0] != config.definition_key():
            return None
        return self.session_key[2], self.session_key[3]

    def open_session(self, config: EmulatorConfig, emulator: Optional[Emulator] = None) -> TermBridge:
        """The pooled session for this configuration, against the emulator given or the station's dispatcher."""
        station = self.station()
        if emulator is not None:
            address, udp, tcp = "127.0.0.1", emulator.command_port, emulator.library_port
        else:
            address, udp, tcp = station.address, station.command_port, station.library_port
        key = (config.definition_key(), address, udp, tcp, station.registry)
        if not (self.session is not None and self.session.is_open and self.session_key == key):
            self.close_session()
            files = self.empty_definitions()
            for name, value in (("struct_list", config.definitions), ("mac_map", config.mac_map),
                                ("phy_map", config.phy_map)):
                if value:
                    files[name] = value
            session = TermBridge(udp_port=None if station.registry else udp, tcp_port=tcp, dispatcher=address,
                                 lib=self.library(), **files)
            session.open()
            self.session, self.session_key = session, key
            self._firmware_target = None
        target = emulator if emulator is not None else station
        if station.firmware and self._firmware_target is not target:
            self.session.load_firmware(station.firmware)
            self._firmware_target = target
        return self.session

    def close_session(self) -> None:
        if self.session is not None:
            self.session.close()
        self.session = None
        self.session_key = None

    # -- captures

    def capture_name(self, nodeid: str) -> str:
        return re.sub(r"[^\w.-]+", "_", nodeid) + ".pcap"

    def dissector(self) -> Optional[str]:
        """termbridge.lua: as set, else beside the library (an installed SDK, or a build tree)."""
        given = self.value("dissector")
        if given:
            return given
        library = getattr(self.lib, "_name", None)
        if library:
            folder = Path(library).resolve().parent
            for candidate in (folder.parent / "share" / "termbridge" / "wireshark" / "termbridge.lua",
                              folder / "wireshark" / "termbridge.lua"):
                if candidate.is_file():
                    return str(candidate)
        return None

    def capture_help(self, pcap: str) -> str:
        dissector = self.dissector()
        load = "-X lua_script:%s " % dissector if dissector else ""
        # The ports are picked at random, and tshark gives some of them to
        # other protocols; the packets' shapes decide first instead.
        text = ("capture: %s\ntshark -o udp.try_heuristic_first:TRUE -o tcp.try_heuristic_first:TRUE "
                "%s-r %s -Y termbridge -O termbridge" % (pcap, load, pcap))
        if not dissector:
            text += ("\n(the dissector tools/wireshark/termbridge.lua is loaded from Wireshark's plugins folder, "
                     "or give it with -X lua_script:PATH)")
        return text

    def close(self) -> None:
        """Closes the session, gives the station back, removes the run's files (again: nothing)."""
        self.close_session()
        if self._claim is not None:
            self._claim.close()
            self._claim = None
        shutil.rmtree(self._scratch, ignore_errors=True)
        if self._own_root is not None:
            shutil.rmtree(self._own_root, ignore_errors=True)


def _plugin(request: pytest.FixtureRequest) -> _Plugin:
    return request.config._termbridge  # type: ignore[attr-defined]


def _marker_path(request: pytest.FixtureRequest, value: Optional[str]) -> Optional[str]:
    """A path of the marker: relative to the test file's folder."""
    if not value:
        return None
    return str(Path(request.node.path).parent / value)


@pytest.fixture
def termbridge_station(request: pytest.FixtureRequest) -> Station:
    """The station this process runs its tests on."""
    return _plugin(request).station()


@pytest.fixture
def termbridge_config(request: pytest.FixtureRequest, tmp_path: Path) -> EmulatorConfig:
    """The settings of the emulator and the session: the options, then the
    station's definition set, then the test's marker."""
    plugin = _plugin(request)
    station = plugin.station()
    config = EmulatorConfig(definitions=station.definitions or plugin.value("definitions"),
                            mac_map=station.mac_map or plugin.value("mac_map"),
                            phy_map=station.phy_map or plugin.value("phy_map"))
    settings = _marker_settings(request.node)
    for key in ("definitions", "mac_map", "phy_map", "eeprom_file"):
        if key in settings:
            setattr(config, key, _marker_path(request, settings.pop(key)))
    config.faults = list(settings.pop("faults", []))
    config.extra_args = list(settings.pop("extra_args", []))
    config.eeprom_size = settings.pop("eeprom_size", None)
    settings.pop("pcap", None)  # every test is recorded; kept for markers written before that
    if settings:
        raise pytest.UsageError("termbridge_emulator marker: unknown settings %s" % sorted(settings))
    pcap_dir = plugin.value("pcap_dir")
    if pcap_dir:
        os.makedirs(pcap_dir, exist_ok=True)
        config.pcap = os.path.join(pcap_dir, plugin.capture_name(request.node.nodeid))
    else:
        config.pcap = str(tmp_path / "emulator.pcap")
    replay_dir = plugin.value("replay_dir")
    if replay_dir:
        recording = os.path.join(replay_dir, plugin.capture_name(request.node.nodeid))
        if not os.path.isfile(recording):
            pytest.fail("no recording of this test: %s (make one with --termbridge-pcap-dir)" % recording,
                        pytrace=False)
        config.extra_args += ["--replay", recording]
    return config


@pytest.fixture
def termbridge_emulator(request: pytest.FixtureRequest, termbridge_config: EmulatorConfig,
                        tmp_path: Path) -> Iterator[Emulator]:
    """tb-emulator for this test, stopped after it (emulator stations only)."""
    plugin = _plugin(request)
    station = plugin.station()
    if not station.emulator:
        pytest.skip("emulator only; running on %s" % station.describe())
    program = find_emulator(plugin.value("emulator"))
    if not program:
        plugin.missing("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    plugin.prepare_root()
    config = termbridge_config
    # A replay answers from its recording: the emulator takes no definition
    # set and has no EEPROM then (the session still reads the definitions).
    replaying = "--replay" in config.extra_args
    settings = dict(definitions=None if replaying else config.definitions, faults=config.faults, pcap=config.pcap,
                    eeprom_size=None if replaying else config.eeprom_size,
                    eeprom_file=None if replaying else config.eeprom_file, extra_args=config.extra_args,
                    log_dir=tmp_path)
    emulator = None
    ports = plugin.reusable_ports(config)
    if ports is not None:
        try:
            emulator = Emulator(program, ports[1], command_port=ports[0], **settings)
        except EmulatorError:
            if station.library_port:
                raise  # the station's own ports are taken: nothing else may be used
            plugin.close_session()  # the port went elsewhere: a new session on new ports
    if emulator is None:
        emulator = Emulator(program, free_port(), **settings)
    request.node._termbridge_emulator = emulator
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
    plugin = _plugin(request)
    station = plugin.station()
    # The settings as the test resolved them (its own termbridge_config too).
    emulator_settings = sorted(key for key in _EMULATOR_ONLY_SETTINGS if getattr(termbridge_config, key))
    if emulator_settings:
        _skip_on_a_dispatcher(station, "emulator settings %s of termbridge_config" % emulator_settings)
    emulator = request.getfixturevalue("termbridge_emulator") if station.emulator else None
    session = plugin.open_session(termbridge_config, emulator)
    if session.default_timeout != _DEFAULT_TIMEOUT_MS:
        session.default_timeout = _DEFAULT_TIMEOUT_MS
    if session.log_severity != _DEFAULT_SEVERITY:
        session.log_severity = _DEFAULT_SEVERITY
    session.set_internal_command_timeout(_DEFAULT_INTERNAL_TIMEOUT_MS)
    yield session
    if session.is_open and session.progress_supported:
        session.set_progress_callback(None)
