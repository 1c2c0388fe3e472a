"""python -m termbridge.stations INVENTORY list|who|check: the stations of a
rack, who holds them, and which answer.

list   every station: name, kind, address and ports, and its state: free,
       held (by which run, host and process, since when) or down (its
       dispatcher did not answer a probe within a second)
who    only the held stations (nothing is probed)
check  as list; exits 1 when a station is down

A held station is not probed (its dispatcher talks to its holder); a free one
is claimed for the second of its probe, the stations all at once.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from .probe import PROBE_SECONDS
from .stations import DOWN, HELD, StationError, StationState, default_lock_dir, load_inventory, station_states

OK, DOWN_FOUND, USAGE = 0, 1, 2

EPILOG = ("exit status: 0 done (check: no station is down); 1 check found a station down; 2 a usage error or an "
          "inventory that cannot be read")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m termbridge.stations", description=__doc__.split("\n\n")[0],
                                     epilog=EPILOG)
    parser.add_argument("inventory", help="the TOML inventory of stations")
    parser.add_argument("command", choices=("list", "who", "check"),
                        help="list: every station and its state; who: the held ones; check: probe, exit 1 on a "
                             "station down")
    parser.add_argument("--json", action="store_true", help="one JSON object on standard output, for scripts")
    parser.add_argument("--lock-dir", help="folder of the station claims, as the pytest plugin's "
                                           "--termbridge-lock-dir (default: %s)" % default_lock_dir())
    return parser


def _address(state: StationState) -> str:
    station = state.station
    if station.registry:
        return "(the library's registry)"
    return station.endpoint() or "(free ports, a tb-emulator per test)"


def _state_text(state: StationState) -> str:
    if state.state == HELD:
        return "held by " + (state.holder.describe() if state.holder else state.reason)
    if state.state == DOWN:
        return "down: " + state.reason
    return state.state


def _table(states: Sequence[StationState]) -> List[str]:
    rows = [("STATION", "KIND", "ADDRESS:UDP:TCP", "STATE")]
    rows += [(s.station.name, s.station.kind, _address(s), _state_text(s)) for s in states]
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    return ["  ".join(cell.ljust(width) for cell, width in zip(row[:3], widths)) + "  " + row[3] for row in rows]


def _summary(states: Sequence[StationState]) -> str:
    counts = {name: sum(1 for state in states if state.state == name) for name in ("free", HELD, DOWN)}
    return "%d stations: %d free, %d held, %d down" % (len(states), counts["free"], counts[HELD], counts[DOWN])


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        stations = load_inventory(arguments.inventory)
    except StationError as error:
        print("termbridge.stations: %s" % error, file=sys.stderr)
        return USAGE
    lock_dir = Path(arguments.lock_dir) if arguments.lock_dir else None
    states = station_states(stations, lock_dir, probe=arguments.command != "who",
                            holder="termbridge.stations " + arguments.command,
                            registry_root=os.environ.get("TERMBRIDGE_ROOT"))
    shown = [state for state in states if state.state == HELD] if arguments.command == "who" else states
    down = any(state.state == DOWN for state in states)
    if arguments.json:
        print(json.dumps({"inventory": str(Path(arguments.inventory).resolve()), "probe_seconds": PROBE_SECONDS,
                          "stations": [state.as_json() for state in shown]}, indent=2))
    elif arguments.command == "who" and not shown:
        print("no station of %d is held" % len(states))
    else:
        print("\n".join(_table(shown)))
        if arguments.command != "who":
            print(_summary(states))
    return DOWN_FOUND if arguments.command == "check" and down else OK
