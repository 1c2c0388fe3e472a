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

    [[station]]
    name = "emu-1"
    emulator = true                 # tb-emulator, on these ports when they are given

A process claims one station for its whole run (``claim_station``): an
exclusive lock on a file named after the station, which the operating system
releases when the process ends, however it ends.
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import re
import sys
import tempfile
import time
from pathlib import Path
from typing import IO, Any, Dict, List, Optional, Sequence

__all__ = ["Station", "StationClaim", "StationError", "claim_station", "load_inventory", "parse_station",
           "registry_file"]

EMULATOR = "emulator"
REGISTRY = "registry"
_PATH_KEYS = ("definitions", "mac_map", "phy_map", "firmware")
_KEYS = {"name", "emulator", "registry", "address", "command_port", "library_port"} | set(_PATH_KEYS)


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
    lock_key: str = ""  # what its claim is named after

    def describe(self) -> str:
        if self.emulator:
            ports = " on ports %d/%d" % (self.command_port, self.library_port) if self.library_port else ""
            return "station %s (tb-emulator%s)" % (self.name, ports)
        if self.registry:
            return "station %s (the dispatcher of the library's registry)" % self.name
        return "station %s (dispatcher %s, UDP %d, library port %d)" % (self.name, self.address, self.command_port,
                                                                       self.library_port)


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


class StationClaim:
    """An exclusive, non-blocking lock on one file; released by close() or
    by the end of the process."""

    def __init__(self, path: Path):
        self.path = path
        self._file: Optional[IO[str]] = None

    def try_acquire(self, holder: str) -> bool:
        self.path.parent.mkdir(parents=True, exist_ok=True)
        file = open(self.path, "a+")
        try:
            _lock(file)
        except OSError:
            file.close()
            return False
        file.seek(0)
        file.truncate()
        file.write(holder + "\n")
        file.flush()
        self._file = file
        return True

    def holder(self) -> str:
        try:
            return self.path.read_text().strip() or "unknown"
        except OSError:
            return "unknown"

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


def claim_station(stations: Sequence[Station], holder: str, lock_dir: Optional[Path] = None, first: int = 0,
                  timeout: float = 0.0) -> "tuple[Station, StationClaim]":
    """Claims the first free station, trying from index ``first`` on (so that
    workers spread over the rack); waits up to ``timeout`` seconds for one."""
    folder = lock_dir or default_lock_dir()
    deadline = time.monotonic() + timeout
    order = [stations[(first + i) % len(stations)] for i in range(len(stations))]
    claims = [(station, StationClaim(folder / (re.sub(r"[^\w.-]+", "_", station.lock_key) + ".lock")))
              for station in order]
    while True:
        for station, claim in claims:
            if claim.try_acquire("%s (pid %d)" % (holder, os.getpid())):
                return station, claim
        if time.monotonic() >= deadline:
            busy = ", ".join("%s held by %s" % (station.name, claim.holder()) for station, claim in claims)
            raise StationError("no free station: %s (locks in %s)" % (busy, folder))
        time.sleep(0.2)
