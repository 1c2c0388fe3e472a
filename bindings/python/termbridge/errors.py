"""The exceptions of the termbridge package.

Every failure the library reports becomes an exception that carries the
library's own failure text in ``message`` and the function's return code in
``rc``. Where the library logged why (its operation log, an extension
function), ``cause`` holds those lines and ``str()`` shows them under the
failure text, with ``notes`` (no dispatcher connected, the log file's path).
"""

from __future__ import annotations

from typing import Optional, Sequence

__all__ = [
    "ChipMemoryError",
    "CommandError",
    "CommandValueError",
    "EepromError",
    "EepromValueError",
    "EmulatorError",
    "ExtensionUnavailableError",
    "FirmwareError",
    "InitializeError",
    "LibraryNotFoundError",
    "MemoryMismatchError",
    "OperationError",
    "SessionInUseError",
    "SessionNotOpenError",
    "TermBridgeError",
    "UnknownNameError",
]


class TermBridgeError(Exception):
    """Base class of the errors raised by this package."""

    def __init__(self, message: str, rc: Optional[int] = None, cause: Sequence[str] = (),
                 notes: Sequence[str] = ()):
        super().__init__(message)
        self.message = message
        self.rc = rc
        self.cause = list(cause)  # the library's log lines that say why
        self.notes = list(notes)  # what else to know: nothing connected, where the log is

    def __str__(self) -> str:
        lines = [self.message]
        lines += ["  cause: " + line for line in self.cause]
        lines += ["  " + note for note in self.notes]
        return "\n".join(lines)


class LibraryNotFoundError(TermBridgeError, OSError):
    """The library could not be loaded from any of the places searched."""


class ExtensionUnavailableError(TermBridgeError, NotImplementedError):
    """The loaded library lacks an extension function (include/termbridge_ext.h)."""


class InitializeError(TermBridgeError):
    """initialize / initialize_old returned failure."""


class SessionInUseError(TermBridgeError):
    """A session is open in this process already: the library serves one."""


class SessionNotOpenError(TermBridgeError, RuntimeError):
    """An operation or setting of a session that is not open (never opened,
    or closed): the library would refuse it as not ready, or drop a setting."""


class OperationError(TermBridgeError):
    """An export reported failure; ``operation`` names it."""

    def __init__(self, operation: str, rc: Optional[int], message: str, cause: Sequence[str] = (),
                 notes: Sequence[str] = ()):
        super().__init__(message, rc, cause, notes)
        self.operation = operation

    def __repr__(self) -> str:
        return "%s(%r, rc=%r, %r)" % (type(self).__name__, self.operation, self.rc, self.message)


class CommandError(OperationError):
    """A command returned failure; ``command`` is the line sent."""

    def __init__(self, command: str, rc: Optional[int], message: str, cause: Sequence[str] = (),
                 notes: Sequence[str] = ()):
        super().__init__("sendCommand", rc, message, cause, notes)
        self.command = command

    def __repr__(self) -> str:
        return "%s(%r, rc=%r, %r)" % (type(self).__name__, self.command, self.rc, self.message)


class UnknownNameError(CommandError, ValueError):
    """A command line names a command or parameter that the session's
    definitions do not declare; it was not sent (``rc`` is None). The message
    names the nearest declared names."""


class CommandValueError(CommandError, ValueError):
    """A parameter value of a command line that the library would store as
    another value (not wholly a number, or outside the field's range); the
    line was not sent (``rc`` is None). The message gives the field's range."""


class FirmwareError(OperationError):
    """LoadFW reported failure."""


class ChipMemoryError(OperationError):
    """A chip memory transfer (tbx_readMemory, tbx_writeMemory) reported
    failure; the message says how far it got."""


class MemoryMismatchError(ChipMemoryError):
    """The chip's memory differs from what was written to it (``rc`` None):
    ``mismatches`` lists every differing byte (address, expected, found); the
    message names the first and how many differ."""

    def __init__(self, operation: str, message: str, mismatches: Sequence[object]):
        super().__init__(operation, None, message)
        self.mismatches = list(mismatches)


class EepromError(OperationError):
    """An EEPROM operation reported failure."""


class EepromValueError(EepromError, ValueError):
    """A value the library would not read as the field's value (it stores 0
    for a number it cannot read); it was not passed on (``rc`` is None)."""


class EmulatorError(TermBridgeError):
    """tb-emulator did not start, or refused a control line."""
