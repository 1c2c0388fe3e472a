"""pytest fixtures that run chip tests against the emulated dispatcher and chip.

Registered as the pytest11 entry point ``termbridge``, so installing the
package is enough. Fixtures:

``termbridge_emulator``
    a ``termbridge.emulator.Emulator`` (tb-emulator on free loopback ports)
    started for the test and stopped after it.
``termbridge_session``
    a ``termbridge.TermBridge`` initialized against that emulator. Starting
    the library costs a second (its synchronising pause), so the library stays
    initialized from one test to the next when the definition set is the same;
    each test's emulator then takes over the previous one's ports. The
    session's time-outs, log severity and progress callback are set back to
    their defaults before each test; the EEPROM image is the library's, init
    it in tests that use it.
``termbridge_config``
    the settings both use (an ``EmulatorConfig``); override the fixture, or
    mark a test::

        @pytest.mark.termbridge_emulator(definitions="defs/list.txt", mac_map="defs/mac.map",
                                         phy_map="defs/phy.map", faults=["delay 200"], pcap=True)

Options (command line, or the ini keys without the leading dashes and with
underscores): ``--termbridge-library``, ``--termbridge-emulator``,
``--termbridge-definitions``, ``--termbridge-mac-map``,
``--termbridge-phy-map`` and ``--termbridge-pcap-dir`` (a capture of every
test's traffic, named after the test). Without them the library is searched
as ``termbridge.load_library`` does and the emulator at $TB_EMULATOR or on
PATH; a test that needs what is not found is skipped.

The library keeps its files under $TERMBRIDGE_ROOT on Linux; unless that is
set, the plugin points it at a temporary folder for the test run.
"""

from __future__ import annotations

import dataclasses
import os
import re
import shutil
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import pytest

from ._library import load_library
from .emulator import Emulator, find_emulator, free_port
from .errors import EmulatorError, LibraryNotFoundError
from .session import TermBridge

__all__ = ["EmulatorConfig"]

_OPTIONS = {
    "library": "the termbridge library to test (default: $TERMBRIDGE_LIBRARY, then the usual search)",
    "emulator": "the tb-emulator program (default: $TB_EMULATOR, then PATH)",
    "definitions": "list file of the definition set the emulator executes and the library parses",
    "mac_map": "MAC linker map file given to the library",
    "phy_map": "PHY linker map file given to the library",
    "pcap_dir": "write a capture of every test's emulator traffic into this folder",
}

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
    group = parser.getgroup("termbridge", "termbridge library and emulator")
    for name, text in _OPTIONS.items():
        option = "--termbridge-" + name.replace("_", "-")
        group.addoption(option, dest="termbridge_" + name, default=None, help=text)
        parser.addini("termbridge_" + name, text, default=None)


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "termbridge_emulator(definitions=, mac_map=, phy_map=, faults=[], pcap=False, eeprom_size=, "
                   "eeprom_file=, extra_args=[]): settings of the termbridge_emulator fixture for this test")
    config._termbridge = _Plugin(config)  # type: ignore[attr-defined]


def pytest_unconfigure(config: pytest.Config) -> None:
    plugin = getattr(config, "_termbridge", None)
    if plugin is not None:
        plugin.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: Any) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    emulator = getattr(item, "funcargs", {}).get("termbridge_emulator")
    if report.failed and isinstance(emulator, Emulator):
        report.sections.append(("tb-emulator log", emulator.log_text()))


class _Plugin:
    """The run's library, its pooled session and the option values."""

    def __init__(self, config: pytest.Config):
        self.config = config
        self.lib: Any = None
        self.session: Optional[TermBridge] = None
        self.session_key: Any = None
        self._root: Optional[str] = None
        self._scratch = tempfile.mkdtemp(prefix="tb-pytest-")

    def option(self, name: str) -> Optional[str]:
        """A path option: the command line's (as given), else the ini file's (from its folder)."""
        value = self.config.getoption("termbridge_" + name)
        if value:
            return os.path.abspath(value)
        value = self.config.getini("termbridge_" + name)
        if value:
            folder = self.config.inipath.parent if self.config.inipath else self.config.rootpath
            return str(folder / value)
        return None

    def isolate_root(self) -> None:
        """Logs, lock and crash files of this run (the library's and those the
        emulator writes while parsing definitions) stay out of the user's own."""
        if "TERMBRIDGE_ROOT" not in os.environ:
            self._root = tempfile.mkdtemp(prefix="tb-pytest-root-")
            os.environ["TERMBRIDGE_ROOT"] = self._root

    def library(self) -> Any:
        if self.lib is None:
            self.isolate_root()
            path = self.option("library")
            try:
                self.lib = load_library(path)
            except LibraryNotFoundError as error:
                if path or os.environ.get("TERMBRIDGE_LIBRARY"):
                    raise
                pytest.skip("termbridge library not found: %s" % error)
        return self.lib

    def empty_definitions(self) -> Dict[str, str]:
        """Empty map and list files: native commands need no definitions."""
        files = {}
        for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"), ("struct_list", "list.txt")):
            files[key] = os.path.join(self._scratch, name)
            Path(files[key]).touch()
        return files

    def reusable_ports(self, config: EmulatorConfig) -> Optional[Tuple[int, int]]:
        """(command port, library port) of the open session, if it suits this configuration."""
        if self.session is None or not self.session.is_open or self.session_key[0] != config.definition_key():
            return None
        return self.session_key[1], self.session_key[2]

    def open_session(self, emulator: Emulator, config: EmulatorConfig) -> TermBridge:
        key = (config.definition_key(), emulator.command_port, emulator.library_port)
        if self.session is not None and self.session.is_open and self.session_key == key:
            return self.session
        self.close_session()
        files = self.empty_definitions()
        if config.definitions:
            files["struct_list"] = config.definitions
        if config.mac_map:
            files["mac_map"] = config.mac_map
        if config.phy_map:
            files["phy_map"] = config.phy_map
        session = TermBridge(udp_port=emulator.command_port, tcp_port=emulator.library_port, dispatcher="127.0.0.1",
                             lib=self.library(), **files)
        session.open()
        self.session, self.session_key = session, key
        return session

    def close_session(self) -> None:
        if self.session is not None:
            self.session.close()
        self.session = None
        self.session_key = None

    def close(self) -> None:
        self.close_session()
        shutil.rmtree(self._scratch, ignore_errors=True)
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)


def _plugin(request: pytest.FixtureRequest) -> _Plugin:
    return request.config._termbridge  # type: ignore[attr-defined]


def _marker_path(request: pytest.FixtureRequest, value: Optional[str]) -> Optional[str]:
    """A path of the marker: relative to the test file's folder."""
    if not value:
        return None
    return str(Path(request.node.path).parent / value)


@pytest.fixture
def termbridge_config(request: pytest.FixtureRequest, tmp_path: Path) -> EmulatorConfig:
    """The settings of the emulator and the session: options first, then the test's marker."""
    plugin = _plugin(request)
    config = EmulatorConfig(definitions=plugin.option("definitions"), mac_map=plugin.option("mac_map"),
                            phy_map=plugin.option("phy_map"))
    marker = request.node.get_closest_marker("termbridge_emulator")
    settings: Dict[str, Any] = dict(marker.kwargs) if marker else {}
    for key in ("definitions", "mac_map", "phy_map", "eeprom_file"):
        if key in settings:
            setattr(config, key, _marker_path(request, settings.pop(key)))
    config.faults = list(settings.pop("faults", []))
    config.extra_args = list(settings.pop("extra_args", []))
    config.eeprom_size = settings.pop("eeprom_size", None)
    pcap = settings.pop("pcap", False)
    if settings:
        raise pytest.UsageError("termbridge_emulator marker: unknown settings %s" % sorted(settings))
    pcap_dir = plugin.option("pcap_dir")
    if pcap_dir:
        os.makedirs(pcap_dir, exist_ok=True)
        config.pcap = os.path.join(pcap_dir, re.sub(r"[^\w.-]+", "_", request.node.nodeid) + ".pcap")
    elif pcap:
        config.pcap = str(tmp_path / "emulator.pcap")
    return config


@pytest.fixture
def termbridge_emulator(request: pytest.FixtureRequest, termbridge_config: EmulatorConfig,
                        tmp_path: Path) -> Iterator[Emulator]:
    """tb-emulator on free loopback ports for this test, stopped after it."""
    plugin = _plugin(request)
    program = find_emulator(plugin.option("emulator"))
    if not program:
        pytest.skip("tb-emulator not found (--termbridge-emulator, $TB_EMULATOR or PATH)")
    plugin.isolate_root()
    config = termbridge_config
    settings = dict(definitions=config.definitions, faults=config.faults, pcap=config.pcap,
                    eeprom_size=config.eeprom_size, eeprom_file=config.eeprom_file, extra_args=config.extra_args,
                    log_dir=tmp_path)
    emulator = None
    ports = plugin.reusable_ports(config)
    if ports is not None:
        try:
            emulator = Emulator(program, ports[1], command_port=ports[0], **settings)
        except EmulatorError:
            plugin.close_session()  # the port went elsewhere: a new session on new ports
    if emulator is None:
        emulator = Emulator(program, free_port(), **settings)
    try:
        yield emulator
    finally:
        status = emulator.stop()
    # It stops cleanly on SIGTERM; anything else is a fault of the run.
    if status != 0:
        pytest.fail("tb-emulator ended with status %s:\n%s" % (status, emulator.log_text()))


@pytest.fixture
def termbridge_session(request: pytest.FixtureRequest, termbridge_emulator: Emulator,
                       termbridge_config: EmulatorConfig) -> Iterator[TermBridge]:
    """The library, initialized against this test's emulator."""
    session = _plugin(request).open_session(termbridge_emulator, termbridge_config)
    if session.default_timeout != _DEFAULT_TIMEOUT_MS:
        session.default_timeout = _DEFAULT_TIMEOUT_MS
    if session.log_severity != _DEFAULT_SEVERITY:
        session.log_severity = _DEFAULT_SEVERITY
    session.set_internal_command_timeout(_DEFAULT_INTERNAL_TIMEOUT_MS)
    yield session
    if session.is_open and session.progress_supported:
        session.set_progress_callback(None)
