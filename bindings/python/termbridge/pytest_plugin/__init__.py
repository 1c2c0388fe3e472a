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

The run's state (its station, library and pooled session) is kept in
``config.stash[run_key]``: a test that opens a ``TermBridge`` of its own
first closes the pooled one with ``request.config.stash[run_key].close_session()``.

Settings come from the command line, else the ini file (the option's name
with underscores, paths relative to the ini file), else the environment:
``--termbridge-station`` ($TERMBRIDGE_STATION: ``emulator``, ``registry``,
``ADDRESS:UDP:TCP``, or a station's name in the inventory),
``--termbridge-inventory`` ($TERMBRIDGE_INVENTORY), ``--termbridge-library``
($TERMBRIDGE_LIBRARY), ``--termbridge-emulator`` ($TB_EMULATOR, then PATH),
``--termbridge-definitions``, ``--termbridge-mac-map``, ``--termbridge-phy-map``,
``--termbridge-pcap-dir``, ``--termbridge-replay-dir``, ``--termbridge-dissector``,
``--termbridge-lock-dir``, ``--termbridge-claim-timeout``, ``--termbridge-down-is-error``. A library or emulator
that cannot be found makes the tests that need it errors, unless
``--termbridge-skip-missing`` (ini ``termbridge_skip_missing = true``) asks for
skips; a library that was given but does not load is an error all the same.

Under pytest-xdist each worker is a process of its own: it claims one
station of the inventory for its whole run (or, without one, runs emulators
of its own), with library files of its own ($TERMBRIDGE_ROOT on Linux).
A dispatcher is probed before it is claimed (``termbridge.probe``); one that
does not answer is passed over and named in the session header. A station's
reset command runs before its first test. Each test that used a station
records JUnit properties (its station, the library's and the firmware's
versions, its capture; a failing one the library's log and the tshark
command).

SIGTERM (a CI job's time-out, ``kill``) ends the run as Ctrl-C does: the
library's operation is cancelled and fixtures are torn down, so emulators
stop and station claims are given back; a second SIGTERM ends it at once.
"""

from .fixtures import termbridge_config, termbridge_emulator, termbridge_session, termbridge_station
from .hooks import (pytest_addoption, pytest_configure, pytest_report_header, pytest_runtest_makereport,
                    pytest_runtest_setup, pytest_sessionfinish, pytest_sessionstart, pytest_testnodedown,
                    pytest_unconfigure)
from .run import TermbridgeRun, run_key
from .settings import EmulatorConfig

# The hooks and fixtures live in .hooks and .fixtures (the options in
# .settings, the run's state in .run); pytest registers this module (the
# pytest11 entry point, or -p termbridge.pytest_plugin) and finds them here.
__all__ = [
    "EmulatorConfig",
    "TermbridgeRun",
    "pytest_addoption",
    "pytest_configure",
    "pytest_report_header",
    "pytest_runtest_makereport",
    "pytest_runtest_setup",
    "pytest_sessionfinish",
    "pytest_sessionstart",
    "pytest_testnodedown",
    "pytest_unconfigure",
    "run_key",
    "termbridge_config",
    "termbridge_emulator",
    "termbridge_session",
    "termbridge_station",
]
