"""Stations: where a test's library talks to a dispatcher.

A station is either the emulator (``tb-emulator``, started by the pytest
plugin for each test) or a real dispatcher, reached at an address and two
ports or through the registry the library reads. A rack is a TOML inventory
of stations::

    [defaults]                      # what every station takes unless it says otherwise
    definitions = "defs/list.txt"   # paths are relative to the inventory file
    mac_map = "defs/mac.map"
    phy_map = "defs/phy.map"

    [[station]]
    name = "bench-a"
    address = "10.20.0.21"          # the dispatcher
    command_port = 50000            # its UDP port (Console_To_Dispatcher)
    library_port = 50001            # the library's TCP port (Dispatcher_To_Console)
    firmware = "fw/release.fwp"     # loaded when a session opens on the station

    reset = ["tools/power-cycle", "bench-a"]  # run before the station's first test
    reset_timeout = 60              # seconds the reset may take (60 unless given)

    [[station]]
    name = "emu-1"
    emulator = true                 # tb-emulator, on these ports when they are given

A process claims one station for its whole run (``claim_station``): an
exclusive lock on a file named after the station, which the operating system
releases when the process ends, however it ends. The file says who holds it:
the process, its host and since when. A dispatcher is probed before it is
claimed for a run (``termbridge.probe``); ``python -m termbridge.stations``
lists the stations of an inventory with their state.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import json
import os
import re
import shlex
import socket
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import IO, Any, Callable, Dict, List, Optional, Sequence, Tuple

from .probe import PROBE_SECONDS, ProbeResult, probe_dispatcher

__all__ = ["ClaimRecord", "Station", "StationClaim", "StationError", "StationState", "claim_station",
           "default_lock_dir", "load_inventory", "parse_station", "probe_station", "registry_endpoint",
           "registry_file", "station_states"]

EMULATOR = "emulator"
REGISTRY = "registry"
_PATH_KEYS = ("definitions", "mac_map", "phy_map", "firmware")
_KEYS = {"name", "emulator", "registry", "address", "command_port", "library_port", "reset",
         "reset_timeout"} | set(_PATH_KEYS)
_RESET_SECONDS = 60.0


class StationError(Exception):
    """A station that cannot be used: a bad inventory or station text, or none free."""


@dataclasses.dataclass
class Station:
    """One place to run tests: the emulator or a dispatcher."""

    name: str
    emulator: bool = True
    registry: bool = False  # a dispatcher whose settings the library reads from its registry
    address: str = "127.0.0.1"
    command_port: int = 0  # the dispatcher's UDP port; 0 on an emulator station: a free one
    library_port: int = 0  # where the library listens for events; 0 on an emulator station: a free one
    definitions: Optional[str] = None
    mac_map: Optional[str] = None
    phy_map: Optional[str] = None
    firmware: Optional[str] = None
    reset_command: Optional[List[str]] = None  # run before the station's first test, and by reset()
    reset_timeout: float = _RESET_SECONDS
    folder: Optional[str] = None  # the inventory's folder, where the reset command runs
    lock_key: str = ""  # what its claim is named after
    # Called after a reset that succeeded (the pytest plugin forgets the firmware it loaded).
    after_reset: Optional[Callable[[], None]] = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def kind(self) -> str:
        return EMULATOR if self.emulator else REGISTRY if self.registry else "dispatcher"

    def endpoint(self) -> str:
        """Its address and ports as ADDRESS:UDP:TCP; "" where they are not fixed."""
        if self.registry or (self.emulator and not self.library_port):
            return ""
        return "%s:%d:%d" % (self.address, self.command_port, self.library_port)

    def reset(self) -> None:
        """Runs the station's reset command (a power switch, a reset line);
        StationError with the command's output when it fails or has not
        ended within reset_timeout. Nothing to do without one."""
        if not self.reset_command:
            return
        env = dict(os.environ, TERMBRIDGE_STATION_NAME=self.name, TERMBRIDGE_STATION_ADDRESS=self.address,
                   TERMBRIDGE_STATION_COMMAND_PORT=str(self.command_port),
                   TERMBRIDGE_STATION_LIBRARY_PORT=str(self.library_port))
        where = "station %s: reset command %s" % (self.name, " ".join(shlex.quote(word) for word in self.reset_command))
        try:
            done = subprocess.run(self.reset_command, cwd=self.folder, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=self.reset_timeout)
        except OSError as error:
            raise StationError("%s does not start: %s" % (where, error.strerror or error)) from None
        except subprocess.TimeoutExpired as expired:
            raise StationError("%s did not end within %g s (stopped); its output:\n%s" % (
                where, self.reset_timeout, _text(expired.output))) from None
        if done.returncode != 0:
            raise StationError("%s failed (exit status %d); its output:\n%s" % (where, done.returncode,
                                                                               _text(done.stdout)))
        if self.after_reset is not None:
            self.after_reset()

    def describe(self) -> str:
        if self.emulator:
            ports = " on ports %d/%d" % (self.command_port, self.library_port) if self.library_port else ""
            return "station %s (tb-emulator%s)" % (self.name, ports)
        if self.registry:
            return "station %s (the dispatcher of the library's registry)" % self.name
        return "station %s (dispatcher %s, UDP %d, library port %d)" % (self.name, self.address, self.command_port,
                                                                       self.library_port)


def _text(output: Optional[bytes]) -> str:
    return (output or b"").decode(errors="replace").rstrip() or "(none)"


def parse_station(text: str) -> Station:
    """A station given as text: ``emulator``, ``registry`` or ``ADDRESS:UDP:TCP``."""
    text = text.strip()
    if text == EMULATOR:
        return Station(EMULATOR)
    if text == REGISTRY:
        return Station(REGISTRY, emulator=False, registry=True, lock_key=REGISTRY)
    match = re.fullmatch(r"([^:\s]+):(\d+):(\d+)", text)
    if not match or not all(0 < int(port) < 65536 for port in match.group(2, 3)):
        raise StationError("station %r: expected 'emulator', 'registry' or ADDRESS:UDP-PORT:TCP-PORT "
                           "(the dispatcher's command port, then the library's event port)" % text)
    station = Station(text, emulator=False, address=match.group(1), command_port=int(match.group(2)),
                      library_port=int(match.group(3)))
    station.lock_key = _endpoint_key(station)
    return station


def _endpoint_key(station: Station) -> str:
    return "%s-%d-%d" % (station.address, station.command_port, station.library_port)


def _read_toml(path: Path) -> Dict[str, Any]:
    try:
        import tomllib as toml  # Python 3.11 and later
    except ImportError:
        try:
            import tomli as toml  # type: ignore[no-redef]
        except ImportError:
            raise StationError("reading the inventory %s needs Python 3.11 or later (tomllib) or the tomli "
                               "package" % path) from None
    try:
        with open(path, "rb") as file:
            return toml.load(file)
    except OSError as error:
        raise StationError("cannot read the inventory %s: %s" % (path, error.strerror)) from None
    except toml.TOMLDecodeError as error:
        raise StationError("inventory %s: %s" % (path, error)) from None


def _port(value: Any, where: str, key: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 65536:
        raise StationError("%s: %s must be a port number, not %r" % (where, key, value))
    return value


def _flag(settings: Dict[str, Any], where: str, key: str) -> bool:
    value = settings.get(key, False)
    if not isinstance(value, bool):
        raise StationError("%s: %s must be true or false, not %r" % (where, key, value))
    return value


def _from_where(setting: str, table: Dict[str, Any]) -> str:
    """A setting as the error names it, saying when the station took it from [defaults]."""
    return setting if setting.split()[0] in table else setting + " (from [defaults])"


def _station_from_table(table: Dict[str, Any], defaults: Dict[str, Any], folder: Path, where: str) -> Station:
    unknown = sorted(set(table) - _KEYS)
    if unknown:
        raise StationError("%s: unknown keys %s" % (where, ", ".join(unknown)))
    name = table.get("name")
    if not isinstance(name, str) or not name:
        raise StationError("%s: every station needs a name" % where)
    where = "%s (station %s)" % (where, name)
    settings = dict(defaults)
    settings.update(table)
    emulator, registry = _flag(settings, where, "emulator"), _flag(settings, where, "registry")
    address = settings.get("address", "127.0.0.1")
    if not isinstance(address, str) or not address:
        raise StationError("%s: address must be a host name or address, not %r" % (where, address))
    if emulator and registry:
        raise StationError("%s: a station is the emulator or a dispatcher, not both" % where)
    # A key that only a dispatcher at an address uses would be ignored here:
    # a rack meant to run on benches would pass against something else.
    kind = "emulator" if emulator else "registry" if registry else None
    ignored = {"emulator": ("address",), "registry": ("address", "command_port", "library_port")}.get(kind, ())
    for key in ignored:
        if key in settings:
            raise StationError("%s: %s is not used on a station with %s" % (
                where, _from_where(key, table), _from_where(kind + " = true", table)))
    station = Station(name, emulator=emulator, registry=registry, address=address,
                      command_port=_port(settings.get("command_port", 0), where, "command_port"),
                      library_port=_port(settings.get("library_port", 0), where, "library_port"))
    for key in _PATH_KEYS:
        if settings.get(key):
            setattr(station, key, str(folder / str(settings[key])))
    station.folder = str(folder)
    if "reset" in settings:
        command = settings["reset"]
        if not isinstance(command, list) or not command or not all(isinstance(word, str) and word
                                                                   for word in command):
            raise StationError("%s: reset must be a command as a list of words (\"reset = ['power-cycle', "
                               "'bench-a']\"), not %r" % (where, command))
        station.reset_command = list(command)
    if "reset_timeout" in settings and "reset" not in settings:
        raise StationError("%s: %s is not used on a station without reset" % (
            where, _from_where("reset_timeout", table)))
    timeout = settings.get("reset_timeout", _RESET_SECONDS)
    if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or timeout <= 0:
        raise StationError("%s: reset_timeout must be a number of seconds above 0, not %r" % (where, timeout))
    station.reset_timeout = float(timeout)
    if not station.emulator and not station.registry:
        if "address" not in table or not station.command_port or not station.library_port:
            raise StationError("%s: a dispatcher needs address, command_port and library_port "
                               "(or registry = true; or emulator = true for tb-emulator)" % where)
    if station.emulator and bool(station.command_port) != bool(station.library_port):
        raise StationError("%s: give an emulator station both ports or neither" % where)
    return station


def load_inventory(path: str) -> List[Station]:
    """The stations of a TOML inventory, in its order."""
    inventory = Path(path).resolve()
    document = _read_toml(inventory)
    defaults = document.get("defaults", {})
    tables = document.get("station", [])
    if not isinstance(defaults, dict) or not isinstance(tables, list) or not tables:
        raise StationError("inventory %s names no station ([[station]] tables)" % inventory)
    unknown = sorted(set(defaults) - (_KEYS - {"name"}))
    if unknown:
        raise StationError("inventory %s: unknown keys in [defaults]: %s" % (inventory, ", ".join(unknown)))
    stations = [_station_from_table(table, defaults, inventory.parent, "inventory %s" % inventory)
                for table in tables]
    names = [station.name for station in stations]
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise StationError("inventory %s names a station twice: %s" % (inventory, ", ".join(twice)))
    digest = hashlib.sha1(str(inventory).encode()).hexdigest()[:10]
    for station in stations:
        # Emulators on free ports are this inventory's own; anything on fixed
        # ports is shared by every inventory that names those ports.
        fixed = not station.emulator or station.library_port
        station.lock_key = REGISTRY if station.registry else (
            _endpoint_key(station) if fixed else "%s-%s" % (digest, station.name))
    return stations


def registry_file(root: Optional[str] = None) -> Path:
    """The library's registry file on Linux: under the root given, else the
    library's default folder (~/.local/share/termbridge)."""
    folder = root or os.path.join(os.path.expanduser("~"), ".local", "share", "termbridge")
    return Path(folder) / "registry.reg"


_REGISTRY_KEY = "SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets"
_REG_VALUE = re.compile(r'^"((?:[^"\\]|\\.)*)"\s*=\s*"((?:[^"\\]|\\.)*)"\s*$')


def _reg_file_values(path: Path) -> Dict[Tuple[str, str], str]:
    """The text values of a .reg export, by (key path, value name), both in lower case."""
    try:
        raw = path.read_bytes()
    except OSError:
        raise StationError("no registry file at %s to read the dispatcher's settings from" % path) from None
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8-sig", "replace")
    values: Dict[Tuple[str, str], str] = {}
    key = ""
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1].lower()
            continue
        match = _REG_VALUE.match(line)
        if match:
            name, value = (re.sub(r"\\(.)", r"\1", part) for part in match.groups())
            values[(key, name.lower())] = value
    return values


def _registry_value(root: Optional[str], key: str, name: str) -> str:
    if sys.platform == "win32":
        import winreg

        try:
            with winreg.OpenKey(winreg.HKEY_CURRENT_USER, _REGISTRY_KEY + "\\" + key) as handle:
                return str(winreg.QueryValueEx(handle, name)[0])
        except OSError:
            return ""
    path = registry_file(root)
    return _reg_file_values(path).get((("hkey_current_user\\" + _REGISTRY_KEY + "\\" + key).lower(), name.lower()), "")


def registry_endpoint(root: Optional[str] = None) -> Tuple[str, int, int]:
    """(address, command port, library port) of the dispatcher the library's
    registry names, as initialize reads them; StationError when one is missing."""
    where = "the registry (%s)" % (registry_file(root) if sys.platform != "win32" else "HKEY_CURRENT_USER")
    found = []
    for key, name in (("IPAddresses", "Console_To_Dispatcher"), ("Ports", "Console_To_Dispatcher"),
                      ("Ports", "Dispatcher_To_Console")):
        value = _registry_value(root, key, name).strip()
        if not value:
            raise StationError("%s has no %s\\%s\\%s" % (where, _REGISTRY_KEY, key, name))
        found.append(value)
    address, ports = found[0][:16], found[1:]
    if not all(port.isdigit() and 0 < int(port) < 65536 for port in ports):
        raise StationError("%s: the ports %s are no port numbers" % (where, ", ".join(ports)))
    return address, int(ports[0]), int(ports[1])


@dataclasses.dataclass
class ClaimRecord:
    """Who holds a station: what its claim file says."""

    holder: str  # the run's name for itself: pytest, gw0, termbridge.stations
    host: str
    pid: int
    since: str  # ISO 8601, local time with its offset
    probing: bool = False  # held for a probe, given back within a second or so

    @classmethod
    def now(cls, holder: str, probing: bool = False) -> "ClaimRecord":
        since = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        return cls(holder, socket.gethostname(), os.getpid(), since, probing)

    @classmethod
    def parse(cls, text: str) -> Optional["ClaimRecord"]:
        try:
            fields = json.loads(text)
            return cls(str(fields["holder"]), str(fields["host"]), int(fields["pid"]), str(fields["since"]),
                       bool(fields.get("probing", False)))
        except (ValueError, KeyError, TypeError):
            return None

    def describe(self) -> str:
        text = "%s (pid %d) on %s since %s" % (self.holder, self.pid, self.host, self.since)
        return text + " (probing it)" if self.probing else text


class StationClaim:
    """An exclusive, non-blocking lock on one file; released by close() or
    by the end of the process. The file holds the holder's ClaimRecord."""

    def __init__(self, path: Path):
        self.path = path
        self._file: Optional[IO[str]] = None
        self.passed_over: List[Tuple[Station, str]] = []  # stations found down before this one was claimed

    def try_acquire(self, holder: str, probing: bool = False) -> bool:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        file = open(self.path, "a+")
        try:
            _lock(file)
        except OSError:
            file.close()
            return False
        self._file = file
        self._write(ClaimRecord.now(holder, probing))
        return True

    def keep(self) -> None:
        """A claim taken for a probe becomes the run's."""
        record = self.record()
        if record is not None and record.probing:
            record.probing = False
            self._write(record)

    def _write(self, record: ClaimRecord) -> None:
        assert self._file is not None
        self._file.seek(0)
        self._file.truncate()
        self._file.write(json.dumps(dataclasses.asdict(record)) + "\n")
        self._file.flush()

    def text(self) -> str:
        try:
            return self.path.read_text().strip()
        except OSError:
            return ""

    def record(self) -> Optional[ClaimRecord]:
        return ClaimRecord.parse(self.text())

    def holder(self) -> str:
        record = self.record()
        return record.describe() if record is not None else self.text() or "unknown"

    def close(self) -> None:
        if self._file is not None:
            self._file.close()  # closing the file releases the lock
            self._file = None


if sys.platform == "win32":
    import msvcrt

    def _lock(file: IO[str]) -> None:
        file.seek(0)
        msvcrt.locking(file.fileno(), msvcrt.LK_NBLCK, 1)
else:
    import fcntl

    def _lock(file: IO[str]) -> None:
        fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)


def default_lock_dir() -> Path:
    return Path(tempfile.gettempdir()) / "termbridge-stations"


def _claim_file(station: Station, folder: Path) -> StationClaim:
    return StationClaim(folder / (re.sub(r"[^\w.-]+", "_", station.lock_key) + ".lock"))


def probe_station(station: Station, timeout: float = PROBE_SECONDS, registry_root: Optional[str] = None) -> ProbeResult:
    """Whether the station's dispatcher answers (termbridge.probe). An
    emulator station has none to ask: tb-emulator is started for each test."""
    if station.emulator:
        return ProbeResult(True)
    address, command_port, library_port = station.address, station.command_port, station.library_port
    if station.registry:
        try:
            address, command_port, library_port = registry_endpoint(registry_root)
        except StationError as error:
            return ProbeResult(False, str(error))
    return probe_dispatcher(address, command_port, library_port, timeout)


# A probe's reason for a station that cannot be used; None when it answers.
Probe = Callable[[Station], Optional[str]]


def claim_station(stations: Sequence[Station], holder: str, lock_dir: Optional[Path] = None, first: int = 0,
                  timeout: float = 0.0, probe: Optional[Probe] = None,
                  down_is_error: bool = False) -> "tuple[Station, StationClaim]":
    """Claims the first free station, trying from index ``first`` on (so that
    workers spread over the rack); waits up to ``timeout`` seconds for one.
    With ``probe``, a station is held while it is probed and passed over
    when it does not answer (listed in the claim's ``passed_over``), or with
    ``down_is_error`` the claim fails on it."""
    folder = lock_dir or default_lock_dir()
    deadline = time.monotonic() + timeout
    order = [stations[(first + i) % len(stations)] for i in range(len(stations))]
    claims = [(station, _claim_file(station, folder)) for station in order]
    while True:
        unusable: List[str] = []
        passed_over: List[Tuple[Station, str]] = []
        probed_elsewhere = False
        for station, claim in claims:
            if not claim.try_acquire(holder, probing=probe is not None):
                record = claim.record()
                probed_elsewhere = probed_elsewhere or (record is not None and record.probing)
                unusable.append("%s held by %s" % (station.name, claim.holder()))
                continue
            reason = probe(station) if probe is not None else None
            if reason is None:
                claim.keep()
                claim.passed_over = passed_over
                return station, claim
            claim.close()
            if down_is_error:
                raise StationError("station %s is down: %s (--termbridge-down-is-error)" % (station.name, reason))
            passed_over.append((station, reason))
            unusable.append("%s down (%s)" % (station.name, reason))
        if probed_elsewhere:
            # Another process holds a station only for the second of its
            # probe: a claim that gave up now would fail for nothing.
            deadline = max(deadline, time.monotonic() + 0.5)
        if time.monotonic() >= deadline:
            raise StationError("no free station: %s (locks in %s)" % (", ".join(unusable), folder))
        time.sleep(0.2)


FREE, HELD, DOWN = "free", "held", "down"


@dataclasses.dataclass
class StationState:
    """A station as the rack sees it now: free, held (by whom) or down (why)."""

    station: Station
    state: str
    holder: Optional[ClaimRecord] = None
    reason: str = ""  # why it is down, or held by no claim

    def as_json(self) -> Dict[str, Any]:
        station = self.station
        fixed = not station.emulator and not station.registry
        return {"name": station.name, "kind": station.kind, "address": station.address if fixed else None,
                "command_port": station.command_port or None, "library_port": station.library_port or None,
                "state": self.state, "holder": dataclasses.asdict(self.holder) if self.holder else None,
                "reason": self.reason or None}


def _state_of(station: Station, folder: Path, probe: bool, holder: str, registry_root: Optional[str]) -> StationState:
    claim = _claim_file(station, folder)
    if not claim.try_acquire(holder, probing=True):
        record = claim.record()
        return StationState(station, HELD, record, "" if record else "its claim file says: " + (claim.text() or
                                                                                                "nothing"))
    try:
        result = probe_station(station, registry_root=registry_root) if probe else ProbeResult(True)
    finally:
        claim.close()
    if result.port_taken:
        return StationState(station, HELD, None, result.reason)
    return StationState(station, FREE if result.answered else DOWN, None, result.reason)


def station_states(stations: Sequence[Station], lock_dir: Optional[Path] = None, probe: bool = True,
                   holder: str = "termbridge.stations", registry_root: Optional[str] = None) -> List[StationState]:
    """Each station's state, in the inventory's order. A free station is
    claimed for the moment of its probe (all at once, a second at most); a
    held one is not probed: its dispatcher talks to its holder."""
    folder = lock_dir or default_lock_dir()
    with ThreadPoolExecutor(max_workers=max(1, min(16, len(stations)))) as pool:
        return list(pool.map(lambda station: _state_of(station, folder, probe, holder, registry_root), stations))


if __name__ == "__main__":
    from termbridge.stations_cli import main

    sys.exit(main())
