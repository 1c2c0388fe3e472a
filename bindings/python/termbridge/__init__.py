"""Python binding of the termbridge library (libTermBridge.so / TermBridge.dll).

Two layers:

* ``load_library(path=None)`` gives the library as a ``ctypes.CDLL`` with the
  argument and result types of all 26 exports (and of the extension
  functions it has) set, so that the C functions can be called as they are.
* ``TermBridge``, a session object for Python code: initializes the library
  on entry and shuts it down on exit, returns Python values and raises
  exceptions that carry the library's failure text.

``termbridge.emulator.Emulator`` runs ``tb-emulator`` for tests and scripts;
the pytest plugin (``termbridge.pytest_plugin``, registered as a pytest11
entry point) offers it and an initialized session as fixtures.

The library is found, in this order, at the path given, at
``$TERMBRIDGE_LIBRARY``, beside this package, or by the system's loader under
its platform file name.
"""

from ._library import (ENV_LIBRARY, EXPORTS, EXTENSIONS, NOT_READY_TEXT, allow_file_logging, default_library_name,
                       find_library, load_library, version)
from .eeprom import EepromSource, EepromValue, format_eeprom_value, parse_eeprom_listing, parse_eeprom_value
from .definitions import DefinitionNames
from .errors import (ChipMemoryError, CommandError, CommandValueError, EepromError, EepromValueError, EmulatorError,
                     ExtensionUnavailableError, FirmwareError, InitializeError, LibraryNotFoundError,
                     MemoryMismatchError, OperationError, SessionInUseError, SessionNotOpenError, TermBridgeError,
                     UnknownNameError)
from .memoryfiles import ChunkDifference, FirmwareVerdict, MemoryMismatch
from .session import LinkState, OperationStats, ProgressCallback, Result, TermBridge
from .versioninfo import UNREAD_VALUE, FirmwareVersion, SystemVersion, parse_version_report

__version__ = "1.0.0"

__all__ = [
    "ENV_LIBRARY",
    "EXPORTS",
    "EXTENSIONS",
    "NOT_READY_TEXT",
    "UNREAD_VALUE",
    "ChipMemoryError",
    "ChunkDifference",
    "CommandError",
    "CommandValueError",
    "DefinitionNames",
    "EepromError",
    "EepromValueError",
    "EepromSource",
    "EepromValue",
    "EmulatorError",
    "ExtensionUnavailableError",
    "FirmwareError",
    "FirmwareVerdict",
    "FirmwareVersion",
    "InitializeError",
    "LibraryNotFoundError",
    "LinkState",
    "MemoryMismatch",
    "MemoryMismatchError",
    "OperationError",
    "OperationStats",
    "ProgressCallback",
    "Result",
    "SessionInUseError",
    "SessionNotOpenError",
    "SystemVersion",
    "TermBridge",
    "TermBridgeError",
    "UnknownNameError",
    "allow_file_logging",
    "default_library_name",
    "find_library",
    "format_eeprom_value",
    "load_library",
    "parse_eeprom_listing",
    "parse_eeprom_value",
    "parse_version_report",
    "version",
]
