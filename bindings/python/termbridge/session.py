"""The session object: one host's use of the library, in Python terms."""

from __future__ import annotations

import ctypes
import dataclasses
import os
import threading
from typing import Any, Callable, Dict, Optional, Union

from ._library import (NOT_READY_TEXT, OperationStatsRecord, ProgressFunction, decode, encode, extension,
                       load_library, version)
from .eeprom import EepromSource, EepromValue, format_eeprom_value, parse_eeprom_listing, parse_eeprom_value
from .errors import (CommandError, EepromError, ExtensionUnavailableError, FirmwareError, InitializeError,
                     OperationError)
from .versioninfo import SystemVersion, parse_version_report

__all__ = ["OperationStats", "ProgressCallback", "Result", "TermBridge"]

# stage, bytes (or steps) done, total
ProgressCallback = Callable[[str, int, int], None]
PathArgument = Union[str, bytes, "os.PathLike[str]"]


class Result:
    """The outcome of a successful command.

    ``data`` holds exactly the result bytes; ``hex`` is the library's own
    hexadecimal text of them (two lower-case digits per byte).
    """

    __slots__ = ("command", "data", "hex")

    def __init__(self, command: str, data: bytes, hex_text: str):
        self.command = command
        self.data = data
        self.hex = hex_text

    @property
    def text(self) -> str:
        """The data read as text up to its first NUL (for answers that are text)."""
        return decode(self.data.split(b"\0", 1)[0])

    def __bytes__(self) -> bytes:
        return self.data

    def __len__(self) -> int:
        return len(self.data)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Result):
            return NotImplemented
        return (self.command, self.data, self.hex) == (other.command, other.data, other.hex)

    def __repr__(self) -> str:
        return "Result(%r, %d bytes, hex=%r)" % (self.command, len(self.data), self.hex)


@dataclasses.dataclass(frozen=True)
class OperationStats:
    """The traffic of the last operation (command, firmware load, EEPROM
    call...): packets and their bytes on the wire."""

    commands_sent: int
    events_accepted: int
    events_dropped: int
    bytes_sent: int
    bytes_received: int


class TermBridge:
    """One host's session with the library.

    With ``udp_port`` set the dispatcher's address and ports are the ones
    given (``initialize_old``); without it the library reads them from its
    registry (``initialize``). The map and list files go to the library as
    given.

        with TermBridge(mac_map="mac.map", phy_map="phy.map", struct_list="list.txt",
                        udp_port=50000, tcp_port=50001) as tb:
            print(tb.send("NATIVE_READ_WORD_CMD 0xBFC00000").hex)

    Every operation that the library reports as failed raises a subclass of
    TermBridgeError carrying the library's failure text. The library holds one
    session per process and expects one call at a time; this object
    serialises its own calls with a lock.
    """

    def __init__(self, mac_map: PathArgument = "", phy_map: PathArgument = "", struct_list: PathArgument = "",
                 udp_port: Optional[int] = None, tcp_port: int = 0, dispatcher: str = "127.0.0.1",
                 lib: Any = None, library_path: Optional[PathArgument] = None):
        self.lib = lib if lib is not None else load_library(library_path)
        self.mac_map = mac_map
        self.phy_map = phy_map
        self.struct_list = struct_list
        self.udp_port = udp_port
        self.tcp_port = tcp_port
        self.dispatcher = dispatcher
        self._opened = False
        self._lock = threading.RLock()
        self._progress: Optional[ProgressCallback] = None
        self._progress_function: Any = None  # the C callback, kept alive while registered
        self._progress_error: Optional[BaseException] = None

    # -- start-up and shut-down

    def open(self) -> "TermBridge":
        """Initializes the library; raises InitializeError when it refuses."""
        files = (encode(self.mac_map), encode(self.phy_map), encode(self.struct_list))
        with self._lock:
            if self.udp_port is not None:
                rc = self.lib.initialize_old(int(self.udp_port), encode(self.dispatcher), int(self.tcp_port or 0),
                                             *files)
                how = "initialize_old(%s, %s, %s)" % (self.udp_port, self.dispatcher, self.tcp_port)
            else:
                rc = self.lib.initialize(*files)
                how = "initialize (dispatcher settings from the registry)"
            if rc != 0:
                raise InitializeError("%s returned %d: dispatcher not configured, or the library is owned by "
                                      "another process" % (how, rc), rc)
            self._opened = True
            if self._progress is not None:
                self._register_progress(self._progress)
        return self

    def close(self) -> int:
        """Shuts the library down if this object initialized it; returns deinitialize's code."""
        with self._lock:
            if not self._opened:
                return 0
            self._opened = False
            return self.lib.deinitialize()

    @property
    def is_open(self) -> bool:
        return self._opened

    def __enter__(self) -> "TermBridge":
        return self.open()

    def __exit__(self, *exc: object) -> bool:
        self.close()
        return False

    # -- commands

    def send(self, command: Union[str, bytes], timeout_ms: Optional[int] = None) -> Result:
        """Runs one command line and returns its Result.

        ``timeout_ms`` None uses the library's default time-out; 0 or -1 waits
        without limit. A non-zero return raises CommandError with the failure
        text.
        """
        raw = encode(command)
        text = command if isinstance(command, str) else decode(raw)
        with self._lock:
            if timeout_ms is None:
                rc = self.lib.sendCommandDefaultTimeout(raw)
            else:
                rc = self.lib.sendCommand(raw, int(timeout_ms))
            if rc != 0:
                raise CommandError(text, rc, self.failure_message)
            return Result(text, self._result_bytes(), decode(self.lib.getResultBufferText()))

    def _result_bytes(self) -> bytes:
        length = self.lib.getResultLen()
        if length <= 0:
            return b""
        address = self.lib.getResultBuffer()
        return ctypes.string_at(address, length) if address else b""

    @property
    def result_length(self) -> int:
        """getResultLen: the last result's length; -1 while not initialized."""
        return self.lib.getResultLen()

    @property
    def result_data(self) -> bytes:
        """The last command's result bytes."""
        with self._lock:
            return self._result_bytes()

    @property
    def result_hex(self) -> str:
        return decode(self.lib.getResultBufferText())

    @property
    def failure_message(self) -> str:
        """The library's text of the last failure."""
        return decode(self.lib.getFailureMessage())

    # -- settings

    @property
    def default_timeout(self) -> int:
        """Time-out of send() without timeout_ms, in ms; -1 waits without limit (0 is stored as -1)."""
        return self.lib.getDefaultTimeout()

    @default_timeout.setter
    def default_timeout(self, timeout_ms: int) -> None:
        self.lib.setDefaultTimeout(int(timeout_ms))

    @property
    def log_severity(self) -> int:
        """1 errors, 2 the course of each command, 3 detail."""
        return self.lib.getLogSeverity()

    @log_severity.setter
    def log_severity(self, level: int) -> None:
        self.lib.setLogSeverity(int(level))

    def set_internal_command_timeout(self, timeout_ms: int) -> None:
        """Time-out of each step of firmware and EEPROM operations, in ms (0 waits without limit)."""
        self.lib.setInternalCommandTimeout(int(timeout_ms))

    def allow_file_logging(self, allow: bool) -> None:
        self.lib.AllowWriteLogsToFile(bool(allow))

    def version(self) -> str:
        """The library's version, "major.minor.build"."""
        return version(self.lib)

    # -- progress (extension)

    @property
    def progress_supported(self) -> bool:
        """True when the loaded library has the progress extension."""
        return extension(self.lib, "tbx_setProgressCallback") is not None

    def set_progress_callback(self, callback: Optional[ProgressCallback]) -> None:
        """Calls ``callback(stage, done, total)`` during firmware loads, EEPROM
        burns and whole-EEPROM reads, on the thread that runs the operation.

        None removes it. An exception raised by the callback is re-raised by
        the operation once the library returns. Raises
        ExtensionUnavailableError when the library lacks the extension.
        """
        if not self.progress_supported:
            raise ExtensionUnavailableError("the loaded library has no tbx_setProgressCallback")
        with self._lock:
            self._progress = callback
            self._register_progress(callback)

    def _register_progress(self, callback: Optional[ProgressCallback]) -> None:
        register = extension(self.lib, "tbx_setProgressCallback")
        if register is None:
            return
        if callback is None:
            register(ProgressFunction(), None)
            self._progress_function = None
            return

        def trampoline(stage: Optional[bytes], done: int, total: int, _user: Any) -> None:
            # An exception must not unwind through the library's frames; it
            # is kept and raised once the operation has returned.
            if self._progress_error is not None:
                return
            try:
                callback(decode(stage), int(done), int(total))
            except BaseException as error:  # noqa: BLE001 - re-raised by _run
                self._progress_error = error

        function = ProgressFunction(trampoline)
        register(function, None)
        self._progress_function = function

    def last_operation_stats(self) -> OperationStats:
        """The round trips and bytes of the last operation export. Raises
        ExtensionUnavailableError when the library lacks the extension, and
        OperationError while the library is not initialized."""
        function = extension(self.lib, "tbx_getLastOperationStats")
        if function is None:
            raise ExtensionUnavailableError("the loaded library has no tbx_getLastOperationStats")
        record = OperationStatsRecord()
        with self._lock:
            rc = function(ctypes.byref(record))
        if rc != 0:
            raise OperationError("tbx_getLastOperationStats", rc, NOT_READY_TEXT)
        return OperationStats(record.commandsSent, record.eventsAccepted, record.eventsDropped, record.bytesSent,
                              record.bytesReceived)

    def _run(self, call: Callable[[], Any]) -> Any:
        """Runs one long operation; raises what the progress callback raised."""
        with self._lock:
            self._progress_error = None
            try:
                outcome = call()
            finally:
                error, self._progress_error = self._progress_error, None
            if error is not None:
                raise error
            return outcome

    # -- chip

    def sync(self) -> None:
        """Synchronises with the dispatcher (SyncChipAccess)."""
        with self._lock:
            rc = self.lib.SyncChipAccess()
            if rc != 0:
                raise OperationError("SyncChipAccess", rc, self.failure_message)

    def load_firmware(self, path: PathArgument) -> None:
        """Loads a firmware package and starts it; raises FirmwareError with the
        library's failure text when LoadFW reports failure."""
        rc = self._run(lambda: self.lib.LoadFW(encode(path)))
        if rc != 0:
            raise FirmwareError("LoadFW", rc, self.failure_message)

    def system_version_info(self) -> str:
        """The version report as the library writes it (getSystemVersionInfo)."""
        with self._lock:
            return decode(self.lib.getSystemVersionInfo())

    def version_info(self) -> SystemVersion:
        """The MAC and PHY firmware versions, read from the chip; raises
        OperationError with the library's text when no report comes back."""
        text = self.system_version_info()
        report = parse_version_report(text)
        if report is None:
            raise OperationError("getSystemVersionInfo", None, text)
        return report

    # -- EEPROM

    def init_eeprom(self, source: Union[EepromSource, int], path: PathArgument = "") -> None:
        """Initialises the EEPROM image from ``source`` (``path`` for the file sources)."""
        with self._lock:
            self._eeprom_code("InitEepromIF", self.lib.InitEepromIF(int(source), encode(path)))

    def update_eeprom_field(self, name: str, value: Union[str, bytes, int, float]) -> None:
        """Sets a field of the image: a number, bytes for a byte-list field, or the library's text."""
        with self._lock:
            rc = self.lib.UpdateEepromField(encode(name), encode(format_eeprom_value(value)))
            self._eeprom_code("UpdateEepromField", rc)

    def burn_eeprom(self, partial: bool = False) -> None:
        """Writes the image into the chip's EEPROM: all of it, or with ``partial``
        only the fields updated since the last partial burn. Raises EepromError
        when nothing was written (a partial burn with no updated field too:
        the library reports both alike)."""
        written = self._run(lambda: self.lib.BurnEeprom(1 if partial else 0))
        # A library of before this mend answered 1, "written", while not
        # initialized; the result length (-1 then) tells that apart.
        if written != 1 or self.lib.getResultLen() < 0:
            raise EepromError("BurnEeprom", written, self.failure_message)

    def dump_eeprom_table(self, path: PathArgument) -> None:
        """Writes the image to a binary file."""
        with self._lock:
            self._eeprom_code("DumpEepromTableToFile", self.lib.DumpEepromTableToFile(encode(path)))

    def read_entire_eeprom(self, path: Optional[PathArgument] = None) -> Dict[str, EepromValue]:
        """Reads every listed field from the chip, in listing order (and writes
        the listing to ``path`` when given)."""
        return parse_eeprom_listing(self._eeprom_text("ReadEntireEeprom", path or ""))

    def read_eeprom_field(self, name: str) -> EepromValue:
        """One field's value as the chip holds it."""
        return parse_eeprom_value(self._eeprom_text("ReadFieldFromEeprom", name))

    def read_volatile_field(self, name: str) -> EepromValue:
        """One field's value as the image holds it (no chip traffic)."""
        return parse_eeprom_value(self._eeprom_text("ReadFieldFromVolatile", name))

    def _eeprom_code(self, operation: str, rc: int) -> None:
        if rc != 0:
            raise EepromError(operation, rc, self.failure_message)

    def _eeprom_text(self, operation: str, argument: PathArgument) -> str:
        """Runs a text-returning EEPROM read. It returns the result buffer on
        success and the failure text otherwise; the address tells them apart,
        since a value's text may read like anything."""
        with self._lock:
            function = self.lib[operation]  # a fresh function object: its own result type
            function.restype = ctypes.c_void_p
            function.argtypes = [ctypes.c_char_p]
            address = self._run(lambda: function(encode(argument)))
            text = decode(ctypes.string_at(address)) if address else ""
            if address != self.lib.getResultBuffer() or self.lib.getResultLen() < 0:
                raise EepromError(operation, None, text or NOT_READY_TEXT)
            return text
