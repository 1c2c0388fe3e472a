"""The state of a pytest run: its station (claimed for the whole run), the
library's root folder, the library, the pooled session and the help a
failing test's report gives on its capture."""

from __future__ import annotations

import os
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, NoReturn, Optional, Tuple

import pytest

from .._library import load_library
from ..emulator import Emulator
from ..errors import LibraryNotFoundError
from ..session import TermBridge
from ..stations import (DOWN, HELD, Station, StationClaim, StationError, claim_station, load_inventory, parse_station,
                        probe_station, registry_endpoint, registry_file, station_states)
from .settings import EmulatorConfig, Settings


class LibraryDefaults(NamedTuple):
    """The settings the library starts a process with, which a test may
    change: its session is set back to them. The package's tests hold them
    to the library's own."""

    timeout_ms: int  # getDefaultTimeout
    severity: int  # getLogSeverity
    internal_timeout_ms: int  # setInternalCommandTimeout; the library does not report it


LIBRARY_DEFAULTS = LibraryDefaults(timeout_ms=15000, severity=2, internal_timeout_ms=1000)


def _worker() -> Optional[str]:
    """The pytest-xdist worker's id (gw0, gw1, ...), or None outside xdist."""
    return os.environ.get("PYTEST_XDIST_WORKER")


class TermbridgeRun:
    """The run's settings, its station, its library and its pooled session."""

    def __init__(self, config: pytest.Config):
        self.settings = Settings(config)
        self.lib: Any = None
        self.session: Optional[TermBridge] = None
        self.session_key: Any = None
        self._station: Optional[Station] = None
        self._claim: Optional[StationClaim] = None
        self._station_error: Optional[str] = None  # why the claim or the reset failed: not tried again
        self._station_error_again = ""  # what the later tests add to it
        self._station_error_shown = False  # the first test that met it said so
        self._passed_over: List[Tuple[Station, str]] = []  # stations found down before this one was claimed
        self._reset_done = False
        self._firmware_target: Any = None  # the dispatcher the station's firmware was loaded into
        self._user_root = os.environ.get("TERMBRIDGE_ROOT")
        self._root_ready = False
        self._own_root: Optional[str] = None
        self._scratch = tempfile.mkdtemp(prefix="tb-pytest-")
        self._stations = self._read_stations()
        self._refuse_replay_on_a_dispatcher()

    # -- the station

    def _read_stations(self) -> Optional[List[Station]]:
        """The inventory's stations (None without one); checks a station text early."""
        inventory = self.settings.value("inventory")
        text = self.settings.value("station")
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
        if not self.settings.value("replay_dir"):
            return
        stations = self._stations if self._stations is not None else [
            parse_station(self.settings.value("station") or "emulator")]
        dispatchers = [station.name for station in stations if not station.emulator]
        if dispatchers:
            raise StationError("--termbridge-replay-dir: only tb-emulator replays captures; %s %s a dispatcher" % (
                ", ".join(dispatchers), "is" if len(dispatchers) == 1 else "are"))

    @property
    def claim(self) -> Optional[StationClaim]:
        """The claim of this process's station; None on a station nobody claims (the emulator)."""
        return self._claim

    def in_rack(self) -> bool:
        return self._stations is not None or _worker() is not None

    def _lock_dir(self) -> Optional[Path]:
        folder = self.settings.value("lock_dir")
        return Path(folder) if folder else None

    def _probe(self, station: Station) -> Optional[str]:
        """Why the station cannot be used (its dispatcher does not answer), or None."""
        result = probe_station(station, registry_root=self._user_root)
        return None if result.answered else result.reason

    def take_station(self) -> None:
        """Claims this process's station, probing each dispatcher before it
        is taken; a failure is kept for the tests to report."""
        if self._station is not None or self._station_error is not None:
            return
        worker = _worker()
        try:
            timeout = self.settings.number("claim_timeout")
            lock_dir = self._lock_dir()
            down_is_error = self.settings.flag("down_is_error")
            if self._stations is not None:
                first = int(re.sub(r"\D", "", worker) or 0) if worker else 0
                station, self._claim = claim_station(self._stations, worker or "pytest", lock_dir, first, timeout,
                                                     self._probe, down_is_error)
            else:
                station = parse_station(self.settings.value("station") or "emulator")
                if station.emulator and worker:
                    station.name = "emulator-" + worker
                elif not station.emulator:
                    station, self._claim = claim_station([station], worker or "pytest", lock_dir, 0, timeout,
                                                         self._probe, down_is_error)
        except StationError as error:
            self._station_error = str(error)
            self._station_error_again = " (the run's claim failed before; not tried again)"
            return
        if self._claim is not None:
            self._passed_over = self._claim.passed_over
        station.after_reset = self._forget_firmware
        self._station = station

    def station(self) -> Station:
        """This process's station, claimed on first use for the rest of the
        run, and reset (its reset command) before its first test."""
        self.take_station()
        if self._station_error is not None:
            again = self._station_error_again if self._station_error_shown else ""
            self._station_error_shown = True
            pytest.fail(self._station_error + again, pytrace=False)
        assert self._station is not None
        if not self._reset_done:
            self._reset_done = True
            try:
                self._station.reset()
            except StationError as error:
                self._station_error = str(error)
                self._station_error_again = " (the station's reset failed before; not tried again)"
                self._station_error_shown = True
            if self._station_error is not None:
                pytest.fail(self._station_error, pytrace=False)
        return self._station

    @property
    def claimed_station(self) -> Optional[Station]:
        """The station, once claimed (None before, or when the claim failed)."""
        return self._station

    def station_address(self) -> str:
        """ADDRESS:UDP:TCP of the claimed station's dispatcher (a registry station's as its registry says now)."""
        station = self._station
        if station is None:
            return ""
        if station.registry:
            try:
                return "%s:%d:%d" % registry_endpoint(self._user_root)
            except StationError as error:
                return "registry (%s)" % error
        return station.endpoint() or "tb-emulator on free ports"

    def _forget_firmware(self) -> None:
        """After a reset the chip runs no firmware: the next session loads the station's again."""
        self._firmware_target = None

    def header(self) -> List[str]:
        if self._stations is not None:
            lines = ["termbridge: inventory %s, %d stations (%s)" % (
                self.settings.value("inventory"), len(self._stations), ", ".join(s.name for s in self._stations))]
        else:
            lines = ["termbridge: %s" % parse_station(self.settings.value("station") or "emulator").describe()]
        if self._station is not None and self._claim is not None:
            lines.append("termbridge: claimed %s" % self._station.describe())
        elif self._station_error is not None:
            lines.append("termbridge: %s" % self._station_error)
        lines += ["termbridge: passed over %s: down (%s)" % (station.name, reason)
                  for station, reason in self._passed_over]
        return lines

    def rack_header(self) -> List[str]:
        """pytest-xdist's controller claims nothing: the stations its workers
        will find held or down, probed now (before the workers start)."""
        if not self._stations:
            return self.header()
        states = station_states(self._stations, self._lock_dir(), holder="pytest (probe)",
                                registry_root=self._user_root)
        lines = self.header()
        for state in states:
            if state.state == DOWN:
                lines.append("termbridge: %s is down (%s); the workers pass it over" % (state.station.name,
                                                                                        state.reason))
            elif state.state == HELD:
                lines.append("termbridge: %s is held by %s" % (
                    state.station.name, state.holder.describe() if state.holder else state.reason))
        return lines

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

    def missing(self, text: str) -> NoReturn:
        """A library or emulator that is not there: an error unless skips were asked for."""
        if self.settings.flag("skip_missing"):
            # A library that was given and does not load fails the test
            # whatever else is missing (the emulator's skip comes first in a
            # session's set-up).
            if self.settings.given_library():
                self.library()
            pytest.skip(text)
        pytest.fail(text + " (--termbridge-skip-missing makes this a skip)", pytrace=False)

    def library(self) -> Any:
        if self.lib is None:
            self.prepare_root()
            path = self.settings.value("library")
            given = self.settings.given_library()
            try:
                self.lib = load_library(path)
            except LibraryNotFoundError as error:
                if given:  # a typo or a wrong file is a fault of the run, never a skip
                    pytest.fail("the termbridge library given (%s) does not load: %s" % (given, error),
                                pytrace=False)
                self.missing("termbridge library not found (--termbridge-library or $TERMBRIDGE_LIBRARY): %s"
                             % error)
        return self.lib

    def set_back_to_defaults(self, session: TermBridge) -> None:
        """The time-outs and the log severity a test may have changed, back to the library's defaults."""
        if session.default_timeout != LIBRARY_DEFAULTS.timeout_ms:
            session.default_timeout = LIBRARY_DEFAULTS.timeout_ms
        if session.log_severity != LIBRARY_DEFAULTS.severity:
            session.log_severity = LIBRARY_DEFAULTS.severity
        session.set_internal_command_timeout(LIBRARY_DEFAULTS.internal_timeout_ms)

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
        session = self.session
        if session is None or not session.is_open or self.session_key != key:
            self.close_session()
            empty = self.empty_definitions()
            session = TermBridge(mac_map=config.mac_map or empty["mac_map"], phy_map=config.phy_map or empty["phy_map"],
                                 struct_list=config.definitions or empty["struct_list"],
                                 udp_port=None if station.registry else udp, tcp_port=tcp, dispatcher=address,
                                 lib=self.library())
            session.open()
            self.session, self.session_key = session, key
            self._firmware_target = None
        target = emulator if emulator is not None else station
        if station.firmware and self._firmware_target is not target:
            session.load_firmware(station.firmware)
            self._firmware_target = target
        return session

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
        given = self.settings.value("dissector")
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

    def tshark_command(self, pcap: str) -> str:
        dissector = self.dissector()
        load = "-X lua_script:%s " % dissector if dissector else ""
        # The ports are picked at random, and tshark gives some of them to
        # other protocols; the packets' shapes decide first instead.
        return ("tshark -o udp.try_heuristic_first:TRUE -o tcp.try_heuristic_first:TRUE "
                "%s-r %s -Y termbridge -O termbridge" % (load, pcap))

    def capture_help(self, pcap: str) -> str:
        dissector = self.dissector()
        text = "capture: %s\n%s" % (pcap, self.tshark_command(pcap))
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


# The run's state, in the run's config.stash: request.config.stash[run_key].
run_key = pytest.StashKey[TermbridgeRun]()
# The emulator of a test, in its item's stash (for the report of a failing test).
emulator_of_test_key = pytest.StashKey[Emulator]()


def skip_on_a_dispatcher(station: Station, needs: str) -> None:
    if not station.emulator:
        pytest.skip("emulator only (%s); running on %s" % (needs, station.describe()))
