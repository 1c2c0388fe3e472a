"""The exceptions of the termbridge package.

Every failure the library reports becomes an exception that carries the
library's own failure text in ``message`` (also its ``str()``) and the
function's return code in ``rc``.
"""

from __future__ import annotations

from typing import Optional

__all__ = [
    "CommandError",
    "EepromError",
    "EmulatorError",
    "ExtensionUnavailableError",
    "FirmwareError",
    "InitializeError",
    "LibraryNotFoundError",
    "OperationError",
    "TermBridgeError",
]


class TermBridgeError(Exception):
    """Base class of the errors raised by this package."""

    def __init__(self, message: str, rc: Optional[int] = None):
        super().__init__(message)
        self.message = message
        self.rc = rc

    def __str__(self) -> str:
        return self.message


class LibraryNotFoundError(TermBridgeError, OSError):
    """The library could not be loaded from any of the places searched."""


class ExtensionUnavailableError(TermBridgeError, NotImplementedError):
    """The loaded library lacks an extension function (include/termbridge_ext.h)."""


class InitializeError(TermBridgeError):
    """initialize / initialize_old returned failure."""


class OperationError(TermBridgeError):
    """An export reported failure; ``operation`` names it."""

    def __init__(self, operation: str, rc: Optional[int], message: str):
        super().__init__(message, rc)
        self.operation = operation

    def __repr__(self) -> str:
        return "%s(%r, rc=%r, %r)" % (type(self).__name__, self.operation, self.rc, self.message)


class CommandError(OperationError):
    """A command returned failure; ``command`` is the line sent."""

    def __init__(self, command: str, rc: int, message: str):
        super().__init__("sendCommand", rc, message)
        self.command = command

    def __repr__(self) -> str:
        return "CommandError(%r, rc=%d, %r)" % (self.command, self.rc, self.message)


class FirmwareError(OperationError):
    """LoadFW reported failure."""


class EepromError(OperationError):
    """An EEPROM operation reported failure."""


class EmulatorError(TermBridgeError):
    """tb-emulator did not start, or refused a control line."""
