"""The session object: one host's use of the library, in Python terms."""

from __future__ import annotations

import ctypes
import dataclasses
import operator
import os
import threading
import warnings
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple, Type, TypeVar, Union

from ._library import (NOT_READY_TEXT, LinkStateRecord, OperationStatsRecord, ProgressFunction,
                       StoppableProgressFunction, decode, encode, extension, load_library, version)
from ._signals import call_cancellably
from .definitions import DefinitionNames, cause_lines, nearest_names
from .eeprom import EepromSource, EepromValue, format_eeprom_value, parse_eeprom_listing, parse_eeprom_value
from .errors import (ChipMemoryError, CommandError, CommandValueError, EepromError, EepromValueError,
                     ExtensionUnavailableError, FirmwareError, InitializeError, MemoryMismatchError, OperationError,
                     SessionInUseError, SessionNotOpenError, TermBridgeError, UnknownNameError)
from .memoryfiles import (FirmwareVerdict, MemoryMismatch, ReplacingFile, difference_text, mismatches,
                          parse_verify_text, range_problem, read_memory_file)
from .versioninfo import SystemVersion, parse_version_report

__all__ = ["LinkState", "OperationStats", "ProgressCallback", "Result", "TermBridge"]

# stage, bytes (or steps) done, total; a true answer stops the operation
ProgressCallback = Callable[[str, int, int], Optional[bool]]
PathArgument = Union[str, bytes, "os.PathLike[str]"]
ErrorType = TypeVar("ErrorType", bound=TermBridgeError)

# The library serves one session per process: the one open now.
_sessions_lock = threading.Lock()
_open_session: Optional["weakref.ReferenceType[TermBridge]"] = None


INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1


def _integer(value: Any, name: str, low: int, high: int) -> int:
    """An integer argument for the library, checked against the C type's
    range: ctypes would wrap a value outside it silently."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an integer, not %r" % (name, value)) from None
    if not low <= number <= high:
        raise ValueError("%s must be %d to %d, not %d" % (name, low, high, number))
    return number


def _milliseconds(value: Any, name: str) -> int:
    return _integer(value, name, INT32_MIN, INT32_MAX)


def _count(value: Any, name: str) -> int:
    """An address or a length: an integer, 0 or more (the range rule says the rest)."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s must be an integer, not %r" % (name, value)) from None
    if number < 0:
        raise ValueError("%s must be 0 or more, not %d" % (name, number))
    return number


def _address(value: Any) -> int:
    return _count(value, "address")


def _memory_range(address: Any, length: Any) -> Tuple[int, int]:
    """The range of a memory transfer, checked before anything is sent:
    ValueError with the reason for one the chip's memory bus does not move."""
    start = _address(address)
    count = _count(length, "length")
    problem = range_problem(start, count)
    if problem is not None:
        raise ValueError(problem)
    return start, count


def _memory_file(address: Any, path: PathArgument) -> Tuple[int, str, bytes]:
    """The address and the whole memory file, checked before anything is
    sent: OSError when the file does not open, ValueError when it is empty
    or the range is one the chip's memory bus does not move."""
    start = _address(address)
    name = os.fsdecode(os.fspath(path))
    data = read_memory_file(name)
    problem = range_problem(start, len(data))
    if problem is not None:
        raise ValueError(problem)
    return start, name, data


def _firmware_problem(path: bytes) -> Optional[str]:
    """Why a file is no firmware package (none of its lines begins with
    "QUORIL", as a package's preamble does); None when it could be one, or
    does not open (the library says so itself). tb-console says the same."""
    if not os.path.isfile(path):  # opening a pipe would wait for a writer; the library says why
        return None
    try:
        with open(path, "rb") as package:
            if any(line.startswith(b"QUORIL") for line in package):
                return None
    except OSError:
        return None
    return "%s is no firmware package: none of its lines begins with QUORIL" % decode(path)


class _ProgressSlot:
    """The C progress function the library holds. Kept apart from the session
    (it refers to it only weakly), so that the session's finalizer can take
    the function back from the library before it is freed: the library keeps
    a callback across initialize and deinitialize."""

    def __init__(self) -> None:
        self.function: Any = None
        self._unregister: Optional[Callable[[], None]] = None

    def hold(self, register: Callable, function_type: Any, function: Any) -> None:
        register(function, None)
        self.function = function
        self._unregister = lambda: register(function_type(), None)

    def release(self) -> None:
        """Unregisters the function, then drops it."""
        if self._unregister is not None:
            self._unregister()
        self.function = None
        self._unregister = None


def _release_progress(slot: _ProgressSlot) -> None:
    """Takes the progress function of a collected session back from the library."""
    try:
        slot.release()
    except Exception:  # noqa: BLE001 - at interpreter exit the library may be gone
        pass


# How long a shut-down at exit waits for a call of another thread to end.
_SHUT_DOWN_WAIT_S = 10.0


def _shut_down(lib: Any, slot: _ProgressSlot, lock: Any) -> None:
    """Shuts the library down for a session that was collected while open.
    At the interpreter's exit another thread may still be in a call: it is
    cancelled and waited for, since the library must not be shut down under
    it; one that does not end in time leaves the library up."""
    _release_progress(slot)
    try:
        cancel = extension(lib, "tbx_cancelOperation")
        if cancel is not None:
            cancel()
        if not lock.acquire(timeout=_SHUT_DOWN_WAIT_S):
            return
        try:
            lib.deinitialize()
        finally:
            lock.release()
    except Exception:  # noqa: BLE001 - at interpreter exit the library may be gone
        pass


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
class LinkState:
    """The link to the dispatcher: whether one is connected now, how many
    connections were taken, and the two ports."""

    connected: bool
    connections: int
    listen_port: int
    command_port: int


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
    given (``initialize_old``; ``tcp_port`` is then required, both 1 to
    65535); without it the library reads them from its registry
    (``initialize``). The map and list files go to the library as given; a
    definition file that does not open raises InitializeError.

        with TermBridge(mac_map="mac.map", phy_map="phy.map", struct_list="list.txt",
                        udp_port=50000, tcp_port=50001) as tb:
            print(tb.send("NATIVE_READ_WORD_CMD 0xBFC00000").hex)

    Every operation that the library reports as failed raises a subclass of
    TermBridgeError carrying the library's failure text, and where the library
    logged why, the reason (``cause``). The library holds one session per
    process (opening a second raises SessionInUseError) and expects one call
    at a time; this object serialises its own calls with a lock.

    With ``strict`` (the default) a command line naming a command or
    parameter that the definitions (``struct_list``) do not declare raises
    UnknownNameError, a parameter value the library would store as another
    value (not wholly a number, or outside the field's range) raises
    CommandValueError, and an EEPROM value the library would not read as the
    field's value raises EepromValueError, all before the library is called.
    Ctrl-C (KeyboardInterrupt) during a call from the main thread cancels the
    library's operation and then raises.
    """

    def __init__(self, mac_map: PathArgument = "", phy_map: PathArgument = "", struct_list: PathArgument = "",
                 udp_port: Optional[int] = None, tcp_port: int = 0, dispatcher: str = "127.0.0.1",
                 lib: Any = None, library_path: Optional[PathArgument] = None, strict: bool = True):
        self.lib = lib if lib is not None else load_library(library_path)
        self.strict = strict
        self.definitions: Optional[DefinitionNames] = None
        self.mac_map = mac_map
        self.phy_map = phy_map
        self.struct_list = struct_list
        self.udp_port = udp_port
        self.tcp_port = tcp_port
        self.dispatcher = dispatcher
        self._opened = False
        self._lock = threading.RLock()
        self._progress: Optional[ProgressCallback] = None
        self._progress_slot = _ProgressSlot()  # the C callback, kept alive while registered
        self._progress_error: Optional[BaseException] = None
        self._finalizer: Optional[weakref.finalize] = None
        self._progress_finalizer: Optional[weakref.finalize] = None
        # The last version report read (system_version_info, version_info); a
        # test's report shows its version words.
        self.last_version_report: Optional[str] = None

    # -- start-up and shut-down

    def open(self) -> "TermBridge":
        """Initializes the library; raises InitializeError when it refuses and
        SessionInUseError while another session of this process is open."""
        global _open_session
        files = (encode(self.mac_map, "mac_map"), encode(self.phy_map, "phy_map"),
                 encode(self.struct_list, "struct_list"))
        with _sessions_lock, self._lock:
            if self._opened:
                return self
            definitions = self._read_definitions()
            other = _open_session() if _open_session is not None else None
            if other is not None and other.is_open:
                raise SessionInUseError("a session is open in this process already (%r): the library serves one "
                                        "session per process; close that one first" % other)
            if self.udp_port is not None:
                rc = self.lib.initialize_old(*self._dispatcher_arguments(), *files)
                how = "initialize_old(%s, %s, %s)" % (self.udp_port, self.dispatcher, self.tcp_port)
            elif self.tcp_port:
                raise ValueError("tcp_port %r without udp_port: the dispatcher's ports come from the registry "
                                 "then; give both, or neither" % self.tcp_port)
            else:
                rc = self.lib.initialize(*files)
                how = "initialize (dispatcher settings from the registry)"
            if rc != 0:
                raise InitializeError("%s returned %d: dispatcher not configured, or the library is owned by "
                                      "another process" % (how, rc), rc)
            self._opened = True
            _open_session = weakref.ref(self)
            # Collected while open, or open at the interpreter's exit: the
            # library is shut down then.
            self._finalizer = weakref.finalize(self, _shut_down, self.lib, self._progress_slot, self._lock)
            if self._progress is not None:
                self._register_progress(self._progress)
            self.definitions = definitions
        return self

    def _read_definitions(self) -> Optional[DefinitionNames]:
        """The names of the list file, for the strict checks. A file that does
        not open raises InitializeError: the library would start without its
        definitions and the checks would be off."""
        if not self.struct_list:
            return None
        list_file = os.fsdecode(os.fspath(self.struct_list))
        definitions = DefinitionNames.from_list_file(list_file)
        if definitions.unreadable:
            raise InitializeError("definition files that do not open: %s (struct_list %s)"
                                  % (", ".join(definitions.unreadable), list_file))
        return definitions

    def _dispatcher_arguments(self) -> tuple:
        """initialize_old's first three arguments, checked: ctypes would wrap
        a port above 65535, and a missing listen port would be 0."""
        if self.tcp_port is None or self.tcp_port == 0:
            raise ValueError("udp_port %r without tcp_port: give the port the library listens on for the "
                             "dispatcher too" % (self.udp_port,))
        return (_integer(self.udp_port, "udp_port", 1, 65535), encode(self.dispatcher, "dispatcher"),
                _integer(self.tcp_port, "tcp_port", 1, 65535))

    def close(self) -> int:
        """Shuts the library down if this object initialized it; returns deinitialize's code.
        The progress callback is taken back from the library either way."""
        with self._lock:
            self._progress_slot.release()
            if not self._opened:
                return 0
            self._opened = False
            if self._finalizer is not None:
                self._finalizer.detach()
            return self.lib.deinitialize()

    def __repr__(self) -> str:
        where = ("%s:%s/%s" % (self.dispatcher, self.udp_port, self.tcp_port) if self.udp_port is not None
                 else "registry")
        return "TermBridge(%s, %s)" % (where, "open" if self._opened else "closed")

    @property
    def is_open(self) -> bool:
        return self._opened

    def _require_open(self, operation: str) -> None:
        """Operations and settings need the library initialized by this
        session: otherwise the library answers "isn't Ready", drops a setting,
        or serves another session of the process."""
        if not self._opened:
            raise SessionNotOpenError("%s: the session is not open (use `with TermBridge(...) as tb:`, or call "
                                      "open() first)" % operation)

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
        self._require_open("send")
        raw = encode(command, "the command line")
        text = command if isinstance(command, str) else decode(raw)
        timeout = None if timeout_ms is None else _milliseconds(timeout_ms, "timeout_ms")
        if self.strict and self.definitions is not None and not self.definitions.empty:
            problem = self.definitions.unknown_names(text)
            if problem is not None:
                raise UnknownNameError(text, None, problem)
            problem = self.definitions.command_value_problem(text)
            if problem is not None:
                raise CommandValueError(text, None, problem)
        with self._lock:
            if timeout_ms is None:
                rc = self._blocking(lambda: self.lib.sendCommandDefaultTimeout(raw))
            else:
                rc = self._blocking(lambda: self.lib.sendCommand(raw, timeout))
            if rc != 0:
                raise self._failure(CommandError, text, rc, self.failure_message)
            return Result(text, self._result_bytes(), decode(self.lib.getResultBufferText()))

    # -- why a call failed, and calls that Ctrl-C can cancel

    def _failure(self, error_type: Type[ErrorType], name: str, rc: Optional[int], message: str,
                 chip: bool = True) -> ErrorType:
        """The error for a failure, with the library's reason (its operation
        log), a note when no dispatcher is connected (``chip``: the call needs
        one) and the library's log file (``log_path``)."""
        cause: List[str] = []
        notes: List[str] = []
        read_log = extension(self.lib, "tbx_getLastOperationLog")
        if read_log is not None:
            cause = cause_lines(decode(read_log()), message)
        # The console adds the same notes: tests/data/linknotes.json holds
        # their cases, which both test suites check.
        link = self.link_state() if chip and self._opened else None
        if link is not None and not link.connected and not message.startswith("Cancelled:"):
            if link.listen_port == 0:
                notes.append("no dispatcher can connect: the library could not open its listening port "
                             "(another program may hold it)")
            else:
                notes.append("no dispatcher is connected: the library waits for it on port %d" % link.listen_port)
        error = error_type(name, rc, message, cause, notes)
        error.log_path = self.log_path  # type: ignore[attr-defined]
        return error

    @property
    def log_path(self) -> Optional[str]:
        """The library's log file now (None when it writes none, or cannot tell)."""
        function = extension(self.lib, "tbx_getLogFilePath")
        path = decode(function()) if function is not None else ""
        return path or None

    def link_state(self) -> Optional[LinkState]:
        """The link to the dispatcher, or None when the library cannot tell
        (no extension, not initialized)."""
        function = extension(self.lib, "tbx_getLinkState")
        if function is None:
            return None
        record = LinkStateRecord()
        if function(ctypes.byref(record)) != 0:
            return None
        return LinkState(bool(record.connected), record.connections, record.listenPort, record.commandPort)

    def _blocking(self, call: Callable[[], Any]) -> Any:
        """Runs a library call that may take long. Ctrl-C during a call from
        the main thread cancels the library's operation (tbx_cancelOperation);
        KeyboardInterrupt is raised once the call has returned."""
        return call_cancellably(call, extension(self.lib, "tbx_cancelOperation"))

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
        self._require_open("default_timeout")
        self.lib.setDefaultTimeout(_milliseconds(timeout_ms, "default_timeout"))

    @property
    def log_severity(self) -> int:
        """1 errors, 2 the course of each command, 3 detail."""
        return self.lib.getLogSeverity()

    @log_severity.setter
    def log_severity(self, level: int) -> None:
        self._require_open("log_severity")
        self.lib.setLogSeverity(_integer(level, "log_severity", INT32_MIN, INT32_MAX))

    def set_internal_command_timeout(self, timeout_ms: int) -> None:
        """Time-out of each step of firmware and EEPROM operations, in ms (0 waits without limit)."""
        self._require_open("set_internal_command_timeout")
        self.lib.setInternalCommandTimeout(_milliseconds(timeout_ms, "internal command time-out"))

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

        None removes it. A true answer stops the operation at its next step
        (where the library can stop: tbx_setStoppableProgressCallback); the
        library then reports it as cancelled. An exception raised by the
        callback stops it too and is re-raised by the operation once the
        library returns. Raises ExtensionUnavailableError when the library
        lacks the extension.
        """
        if not self.progress_supported:
            raise ExtensionUnavailableError("the loaded library has no tbx_setProgressCallback")
        with self._lock:
            self._progress = callback
            self._register_progress(callback)

    def _register_progress(self, callback: Optional[ProgressCallback]) -> None:
        stoppable = extension(self.lib, "tbx_setStoppableProgressCallback")
        register = stoppable if stoppable is not None else extension(self.lib, "tbx_setProgressCallback")
        function_type = StoppableProgressFunction if stoppable is not None else ProgressFunction
        if register is None:
            return
        if callback is None:
            self._progress_slot.release()
            return
        # The C function refers to this session only weakly: the slot, which
        # the finalizers hold, must not keep the session alive.
        session = weakref.ref(self)

        def stop_after(stage: Optional[bytes], done: int, total: int) -> int:
            owner = session()
            return 1 if owner is None else owner._report_progress(stage, done, total)

        def stoppable_trampoline(stage: Optional[bytes], done: int, total: int, _user: Any) -> int:
            return stop_after(stage, done, total)

        def trampoline(stage: Optional[bytes], done: int, total: int, _user: Any) -> None:
            stop_after(stage, done, total)  # this library cannot stop; the answer is dropped

        self._progress_slot.hold(register, function_type,
                                 function_type(stoppable_trampoline if stoppable is not None else trampoline))
        if self._progress_finalizer is None or not self._progress_finalizer.alive:
            self._progress_finalizer = weakref.finalize(self, _release_progress, self._progress_slot)

    def _report_progress(self, stage: Optional[bytes], done: int, total: int) -> int:
        """One progress step for the callback; 1 stops the operation. An
        exception must not unwind through the library's frames: it is kept,
        stops the operation and is raised by _run once the library returned."""
        if self._progress_error is not None:
            return 1
        callback = self._progress
        if callback is None:
            return 0
        try:
            return 1 if callback(decode(stage), int(done), int(total)) else 0
        except BaseException as error:  # noqa: BLE001 - re-raised by _run
            self._progress_error = error
            return 1

    def last_operation_stats(self) -> OperationStats:
        """The round trips and bytes of the last operation export. Raises
        ExtensionUnavailableError when the library lacks the extension, and
        OperationError while the library is not initialized."""
        function = extension(self.lib, "tbx_getLastOperationStats")
        if function is None:
            raise ExtensionUnavailableError("the loaded library has no tbx_getLastOperationStats")
        self._require_open("last_operation_stats")
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
                outcome = self._blocking(call)
            finally:
                error, self._progress_error = self._progress_error, None
            if error is not None:
                raise error
            return outcome

    # -- chip

    def sync(self) -> None:
        """Synchronises with the dispatcher (SyncChipAccess)."""
        self._require_open("sync")
        with self._lock:
            rc = self._blocking(self.lib.SyncChipAccess)
            if rc != 0:
                raise self._failure(OperationError, "SyncChipAccess", rc, self.failure_message)

    def load_firmware(self, path: PathArgument) -> None:
        """Loads a firmware package and starts it; raises FirmwareError with the
        library's failure text when LoadFW reports failure."""
        self._require_open("load_firmware")
        raw = encode(path, "the firmware path")
        rc = self._run(lambda: self.lib.LoadFW(raw))
        if rc != 0:
            raise self._firmware_failure("LoadFW", rc, raw)

    def verify_firmware(self, path: PathArgument) -> FirmwareVerdict:
        """Reads the chip's memory for every chunk the package would load and
        compares, writing nothing (no set-up change, no run command). Returns
        the verdict: ``holds``, or the differing chunks (kind, address, first
        differing byte). Raises FirmwareError when there is no verdict: a
        package that does not build (as load_firmware), a read that failed, a
        cancel; ExtensionUnavailableError when the library lacks tbx_verifyFW."""
        self._require_open("verify_firmware")
        raw = encode(path, "the firmware path")
        verify = self._extension("tbx_verifyFW")
        rc = self._run(lambda: verify(raw))
        text = decode(self._result_bytes().split(b"\0", 1)[0]) if rc == 0 else self.failure_message
        verdict = parse_verify_text(text) if rc in (0, 1) else None
        if verdict is None or verdict.holds != (rc == 0):
            raise self._firmware_failure("tbx_verifyFW", rc, raw)
        return verdict

    def _firmware_failure(self, operation: str, rc: int, raw: bytes) -> FirmwareError:
        error = self._failure(FirmwareError, operation, rc, self.failure_message)
        # The library logs nothing of its own for a file that is no package.
        problem = None if error.cause or error.message.startswith("Cancelled:") else _firmware_problem(raw)
        if problem is not None:
            error.cause.append(problem)
        return error

    # -- chip memory and files

    def save_memory(self, address: int, length: int, path: PathArgument) -> None:
        """Writes ``length`` bytes of chip memory from ``address`` to the file
        (raw bytes), whole or not at all: a failed or cancelled read leaves the
        file as it was. Address and length are whole 4-byte words, the range
        within 32 bits: ValueError otherwise, and OSError for a file that
        cannot be written, before anything is sent. A failed read raises
        ChipMemoryError saying how far it got."""
        self._require_open("save_memory")
        start, count = _memory_range(address, length)
        read = self._extension("tbx_readMemory")
        with ReplacingFile(os.fsdecode(os.fspath(path))) as file:
            file.commit(self._read_memory(read, start, count))

    def load_memory(self, address: int, path: PathArgument) -> None:
        """Writes the file's bytes to chip memory from ``address``, then reads
        them back: MemoryMismatchError when the chip holds others (naming the
        first differing address and how many differ). The file and range are
        checked as verify_memory checks them."""
        self._require_open("load_memory")
        start, name, data = _memory_file(address, path)
        write, read = self._extension("tbx_writeMemory"), self._extension("tbx_readMemory")
        buffer = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
        rc = self._run(lambda: write(start, buffer, len(data)))
        if rc != 0:
            raise self._failure(ChipMemoryError, "tbx_writeMemory", rc, self.failure_message)
        try:
            back = self._read_memory(read, start, len(data))
        except ChipMemoryError as error:
            error.notes.insert(0, "all %d bytes were written; their read-back did not finish" % len(data))
            raise
        differing = mismatches(start, data, back)
        if differing:
            raise MemoryMismatchError("tbx_readMemory", difference_text("read-back", name, len(data), differing),
                                      differing)

    def verify_memory(self, address: int, path: PathArgument) -> List[MemoryMismatch]:
        """Reads chip memory from ``address`` for the file's length and
        compares, writing nothing: every differing byte as (address,
        expected, found), empty when the chip holds the file. The file must
        open and hold whole 4-byte words (OSError, ValueError), the address
        be word-aligned and the range within 32 bits (ValueError), before
        anything is sent."""
        self._require_open("verify_memory")
        start, _, data = _memory_file(address, path)
        read = self._extension("tbx_readMemory")
        return mismatches(start, data, self._read_memory(read, start, len(data)))

    def _read_memory(self, read: Callable, address: int, length: int) -> bytes:
        buffer = (ctypes.c_ubyte * length)()
        rc = self._run(lambda: read(address, length, buffer))
        if rc != 0:
            raise self._failure(ChipMemoryError, "tbx_readMemory", rc, self.failure_message)
        return bytes(buffer)

    def _extension(self, name: str) -> Callable:
        function = extension(self.lib, name)
        if function is None:
            raise ExtensionUnavailableError("the loaded library has no %s" % name)
        return function

    def set_firmware_start_pause(self, milliseconds: int) -> None:
        """How long load_firmware waits after the run command for the firmware
        to start (2000 ms unless set; 0 to 60000). Raises ValueError for a
        value outside, ExtensionUnavailableError when the library lacks
        tbx_setFirmwareStartPause."""
        function = extension(self.lib, "tbx_setFirmwareStartPause")
        if function is None:
            raise ExtensionUnavailableError("the loaded library has no tbx_setFirmwareStartPause")
        if function(_milliseconds(milliseconds, "firmware start pause")) != 0:
            raise ValueError("a firmware start pause is 0 to 60000 ms, not %d" % milliseconds)

    def system_version_info(self) -> str:
        """The version report as the library writes it (getSystemVersionInfo)."""
        self._require_open("system_version_info")
        with self._lock:
            self.last_version_report = decode(self._blocking(self.lib.getSystemVersionInfo))
            return self.last_version_report

    def version_info(self) -> SystemVersion:
        """The MAC and PHY firmware versions, read from the chip; raises
        OperationError with the library's text when no report comes back, and
        with the failure text of the reads when no version word could be read
        (the library still writes a report then, every word unread)."""
        self._require_open("version_info")
        with self._lock:
            text = self.system_version_info()
            report = parse_version_report(text)
            if report is None:
                raise OperationError("getSystemVersionInfo", None, text)
            if not report.read_any:
                message = self.failure_message or "no version word could be read"
                raise self._failure(OperationError, "getSystemVersionInfo", None, message)
            return report

    # -- EEPROM

    def init_eeprom(self, source: Union[EepromSource, int], path: PathArgument = "") -> None:
        """Initialises the EEPROM image from ``source`` (``path`` for the file sources).
        An image file longer than the layout loads its first bytes only: a
        UserWarning says so (the library only logs it)."""
        self._require_open("init_eeprom")
        mode, raw = _integer(source, "source", INT32_MIN, INT32_MAX), encode(path, "the path")
        with self._lock:
            rc = self._blocking(lambda: self.lib.InitEepromIF(mode, raw))
            self._eeprom_code("InitEepromIF", rc, chip=mode == EepromSource.CHIP)
            read_log = extension(self.lib, "tbx_getLastOperationLog")
            if mode == EepromSource.IMAGE_FILE and read_log is not None:
                for line in decode(read_log()).split("\n"):
                    if line.startswith("<EepromInterface>Eeprom File Size("):
                        warnings.warn("the image file is longer than the EEPROM layout; only its first bytes were "
                                      "taken (%s)" % line.rstrip(" \r"), stacklevel=2)

    def update_eeprom_field(self, name: str, value: Union[str, bytes, int, float],
                            strict: Optional[bool] = None) -> None:
        """Sets a field of the image: a number, bytes for a byte-list field, or the library's text.

        Strict (the session's setting unless ``strict`` says otherwise): a text
        that is no decimal number for a numeric field, or bytes of the wrong
        count or form for a byte-list field, raise EepromValueError before the
        library sees them (the library itself stores 0 for a number it cannot
        read)."""
        self._require_open("update_eeprom_field")
        text = format_eeprom_value(value)
        raw_name, raw_text = encode(name, "the field name"), encode(text, "the value")
        strict = self.strict if strict is None else strict
        if strict and self.definitions is not None:
            problem = self.definitions.eeprom_value_problem(name, text)
            if problem is not None:
                raise EepromValueError("UpdateEepromField", None, problem)
        with self._lock:
            rc = self.lib.UpdateEepromField(raw_name, raw_text)
            if rc != 0:
                raise self._field_failure(name, "UpdateEepromField", rc, self.failure_message, chip=False)

    def burn_eeprom(self, partial: bool = False) -> None:
        """Writes the image into the chip's EEPROM: all of it, or with ``partial``
        only the fields updated since the last partial burn. Raises EepromError
        when nothing was written (a partial burn with no updated field too:
        the library reports both alike)."""
        self._require_open("burn_eeprom")
        written = self._run(lambda: self.lib.BurnEeprom(1 if partial else 0))
        # A library of before this mend answered 1, "written", while not
        # initialized; the result length (-1 then) tells that apart.
        if written != 1 or self.lib.getResultLen() < 0:
            raise self._failure(EepromError, "BurnEeprom", written, self.failure_message)

    def dump_eeprom_table(self, path: PathArgument) -> None:
        """Writes the image to a binary file."""
        self._require_open("dump_eeprom_table")
        raw = encode(path, "the path")
        with self._lock:
            self._eeprom_code("DumpEepromTableToFile", self.lib.DumpEepromTableToFile(raw), chip=False)

    def read_entire_eeprom(self, path: Optional[PathArgument] = None) -> Dict[str, EepromValue]:
        """Reads every listed field from the chip, in listing order (and writes
        the listing to ``path`` when given)."""
        self._require_open("read_entire_eeprom")
        return parse_eeprom_listing(self._eeprom_text("ReadEntireEeprom", path or ""))

    def read_eeprom_field(self, name: str) -> EepromValue:
        """One field's value as the chip holds it."""
        self._require_open("read_eeprom_field")
        return parse_eeprom_value(self._eeprom_text("ReadFieldFromEeprom", name, field=name))

    def read_volatile_field(self, name: str) -> EepromValue:
        """One field's value as the image holds it (no chip traffic)."""
        self._require_open("read_volatile_field")
        return parse_eeprom_value(self._eeprom_text("ReadFieldFromVolatile", name, field=name))

    def _eeprom_code(self, operation: str, rc: int, chip: bool = True) -> None:
        if rc != 0:
            raise self._failure(EepromError, operation, rc, self.failure_message, chip)

    def _field_failure(self, field: str, operation: str, rc: Optional[int], message: str,
                       chip: bool = True) -> EepromError:
        """The error of a failed field operation; a field the definitions do
        not declare gets the nearest declared name."""
        error = self._failure(EepromError, operation, rc, message, chip)
        fields = self.definitions.eeprom_fields if self.definitions is not None else {}
        if fields and field not in fields:
            nearest = nearest_names(field, fields, 1)
            if nearest:
                error.notes.append("did you mean %s?" % nearest[0])
        return error

    def _eeprom_text(self, operation: str, argument: PathArgument, field: Optional[str] = None) -> str:
        """Runs a text-returning EEPROM read. It returns the result buffer on
        success and the failure text otherwise; the address tells them apart,
        since a value's text may read like anything."""
        raw = encode(argument, "the argument")
        with self._lock:
            function = self.lib[operation]  # a fresh function object: its own result type
            function.restype = ctypes.c_void_p
            function.argtypes = [ctypes.c_char_p]
            address = self._run(lambda: function(raw))
            text = decode(ctypes.string_at(address)) if address else ""
            if address != self.lib.getResultBuffer() or self.lib.getResultLen() < 0:
                chip = operation != "ReadFieldFromVolatile"
                if field is not None:
                    raise self._field_failure(field, operation, None, text or NOT_READY_TEXT, chip)
                raise self._failure(EepromError, operation, None, text or NOT_READY_TEXT, chip)
            return text
