"""The plugin's settings: its options and ini keys, how a value is looked up
(command line, ini file, environment), the checks that refuse a setting that
would be ignored, and the settings of a test (its markers)."""

from __future__ import annotations

import dataclasses
import os
import shlex
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import pytest


class Option(NamedTuple):
    """One setting of the plugin: its command-line option, its ini key, and
    how its value is read."""

    name: str  # station: --termbridge-station, ini key termbridge_station
    value_type: type  # str; Path (made absolute, from the ini file's folder there); float; bool (a flag)
    help: str
    variable: Optional[str] = None  # the environment variable read last
    default: Union[None, float, bool] = None

    @property
    def flag(self) -> str:
        return "--termbridge-" + self.name.replace("_", "-")

    @property
    def key(self) -> str:
        """The ini key, and the option's name in the parsed command line."""
        return "termbridge_" + self.name

    @property
    def takes_a_value(self) -> bool:
        return self.value_type is not bool


# The library's and the emulator's own environment variables
# ($TERMBRIDGE_LIBRARY, $TB_EMULATOR) are read where they are looked for.
OPTIONS = (
    Option("station", str, "where the tests run: emulator (default), registry, ADDRESS:UDP:TCP, or a station of the "
           "inventory", variable="TERMBRIDGE_STATION"),
    Option("inventory", Path, "TOML inventory of stations; each process (xdist worker) claims one",
           variable="TERMBRIDGE_INVENTORY"),
    Option("library", Path, "the termbridge library to test (default: $TERMBRIDGE_LIBRARY, then the usual search)"),
    Option("emulator", Path, "the tb-emulator program (default: $TB_EMULATOR, then PATH)"),
    Option("definitions", Path, "list file of the definition set the emulator executes and the library parses"),
    Option("mac_map", Path, "MAC linker map file given to the library"),
    Option("phy_map", Path, "PHY linker map file given to the library"),
    Option("pcap_dir", Path, "write a capture of every test's emulator traffic into this folder, named after the test"),
    Option("replay_dir", Path, "answer every test from its capture in this folder (tb-emulator --replay)"),
    Option("dissector", Path, "termbridge.lua, for the tshark command of a failing test's report",
           variable="TERMBRIDGE_DISSECTOR"),
    Option("lock_dir", Path, "folder of the station claims (default: the system's temporary folder)"),
    Option("claim_timeout", float, "seconds to wait for a free station (default 0)", default=0.0),
    Option("down_is_error", bool, "a station whose dispatcher does not answer its probe fails the run instead of "
           "being passed over for another", default=False),
    Option("skip_missing", bool, "skip (instead of failing) the tests whose library or emulator is not found",
           default=False),
)
_OPTION_NAMED = {option.name: option for option in OPTIONS}

# Marker settings that only the emulator can honour: their tests are emulator-only.
EMULATOR_ONLY_SETTINGS = ("faults", "eeprom_size", "eeprom_file", "extra_args")

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
    for option in OPTIONS:
        if option.takes_a_value:
            group.addoption(option.flag, dest=option.key, default=None, help=option.help)
            parser.addini(option.key, option.help, default=None)
        else:
            group.addoption(option.flag, dest=option.key, action="store_true", default=None, help=option.help)
            parser.addini(option.key, option.help, type="bool", default=option.default)


class Settings:
    """The option values of a run."""

    def __init__(self, config: pytest.Config):
        self.config = config

    def value(self, name: str) -> Optional[str]:
        """A setting that takes a value: the command line's, else the ini
        file's (paths from its folder), else the environment's (paths from
        the folder pytest was started in, wherever a test has gone since)."""
        option = _OPTION_NAMED[name]
        is_path = option.value_type is Path
        started_in = self.config.invocation_params.dir
        value = self.config.getoption(option.key)
        if value:
            return os.path.abspath(started_in / value) if is_path else value
        value = self.config.getini(option.key)
        if value:
            folder = self.config.inipath.parent if self.config.inipath else self.config.rootpath
            return str(folder / value) if is_path else value
        value = os.environ.get(option.variable) if option.variable else None
        if value:
            return os.path.abspath(started_in / value) if is_path else value
        return None

    def number(self, name: str) -> float:
        text = self.value(name)
        return float(text) if text else float(_OPTION_NAMED[name].default or 0)

    def flag(self, name: str) -> bool:
        key = _OPTION_NAMED[name].key
        return bool(self.config.getoption(key) or self.config.getini(key))

    def given_library(self) -> Optional[str]:
        """The library the run names (option, ini or $TERMBRIDGE_LIBRARY), if any."""
        return self.value("library") or os.environ.get("TERMBRIDGE_LIBRARY") or None


def refuse_unknown_ini_keys(config: pytest.Config) -> None:
    """A misspelt setting would leave the run on its defaults (the emulator)."""
    known = {option.key for option in OPTIONS}
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
    options = {option.flag for option in OPTIONS if option.takes_a_value}
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
