"""The plugin's settings: its options and ini keys, how a value is looked up
(command line, ini file, environment), the checks that refuse a setting that
would be ignored, and the settings of a test (its markers)."""

from __future__ import annotations

import dataclasses
import os
import shlex
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import pytest

# name -> (help, environment variable or None, is a path)
OPTIONS = {
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
EMULATOR_ONLY_SETTINGS = ("faults", "eeprom_size", "eeprom_file", "extra_args")

DEFAULT_TIMEOUT_MS = 15000
DEFAULT_SEVERITY = 2
DEFAULT_INTERNAL_TIMEOUT_MS = 1000

MARKER_HELP = ("termbridge_emulator(definitions=, mac_map=, phy_map=, faults=[], pcap=False, eeprom_size=, "
               "eeprom_file=, extra_args=[]): settings of the emulator and the session for this test")


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


def add_options(parser: pytest.Parser) -> None:
    group = parser.getgroup("termbridge", "termbridge library, emulator and stations")
    for name, (text, _, _) in OPTIONS.items():
        option = "--termbridge-" + name.replace("_", "-")
        group.addoption(option, dest="termbridge_" + name, default=None, help=text)
        parser.addini("termbridge_" + name, text, default=None)
    text = "skip (instead of failing) the tests whose library or emulator is not found"
    group.addoption("--termbridge-skip-missing", dest="termbridge_skip_missing", action="store_true", default=None,
                    help=text)
    parser.addini("termbridge_skip_missing", text, type="bool", default=False)


class Settings:
    """The option values of a run."""

    def __init__(self, config: pytest.Config):
        self.config = config

    def value(self, name: str) -> Optional[str]:
        """A setting: the command line's, else the ini file's (paths from its
        folder), else the environment's (paths from the current folder)."""
        is_path = OPTIONS[name][2]
        value = self.config.getoption("termbridge_" + name)
        if value:
            return os.path.abspath(value) if is_path else value
        value = self.config.getini("termbridge_" + name)
        if value:
            folder = self.config.inipath.parent if self.config.inipath else self.config.rootpath
            return str(folder / value) if is_path else value
        variable = OPTIONS[name][1]
        value = os.environ.get(variable) if variable else None
        if value:
            return os.path.abspath(value) if is_path else value
        return None

    def skip_missing(self) -> bool:
        return bool(self.config.getoption("termbridge_skip_missing") or self.config.getini("termbridge_skip_missing"))

    def given_library(self) -> Optional[str]:
        """The library the run names (option, ini or $TERMBRIDGE_LIBRARY), if any."""
        return self.value("library") or os.environ.get("TERMBRIDGE_LIBRARY") or None


def refuse_unknown_ini_keys(config: pytest.Config) -> None:
    """A misspelt setting would leave the run on its defaults (the emulator)."""
    known = {"termbridge_" + name for name in OPTIONS} | {"termbridge_skip_missing"}
    unknown = sorted(key for key in config.inicfg if key.startswith("termbridge_") and key not in known)
    if unknown:
        raise pytest.UsageError("%s: unknown termbridge settings %s (known: %s)" % (
            config.inipath, ", ".join(unknown), ", ".join(sorted(known))))


def _folder_of(path: Path) -> str:
    return os.path.abspath(path if path.is_dir() else path.parent)


def refuse_separate_path_values(config: pytest.Config) -> None:
    """pytest looks for its ini file before it knows this plugin's options,
    so in ``--termbridge-library PATH`` it takes PATH for a test path: with
    PATH outside the project the root folder moves up to a common ancestor
    and the project's ini file (its station, say) is not read."""
    here = Path(config.invocation_params.dir)
    words = shlex.split(os.environ.get("PYTEST_ADDOPTS", "")) + [str(word) for word in config.invocation_params.args]
    options = {"--termbridge-" + name.replace("_", "-") for name in OPTIONS}
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


def marker_settings(item: pytest.Item) -> Dict[str, Any]:
    """The settings of every termbridge_emulator marker of the test (its
    own, its class's, its module's), key by key, the nearest winning."""
    settings: Dict[str, Any] = {}
    for marker in item.iter_markers("termbridge_emulator"):  # nearest first
        for key, value in marker.kwargs.items():
            settings.setdefault(key, value)
    return settings
