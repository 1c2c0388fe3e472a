"""Python binding of the termbridge library (libTermBridge.so / TermBridge.dll).

Two layers:

* ``load_library(path=None)`` gives the library as a ``ctypes.CDLL`` with the
  argument and result types of all 26 exports set, so that the C functions
  can be called as they are (text arguments as ``bytes``, text results as
  ``bytes``; ``getResultBuffer`` returns an address, read it together with
  ``getResultLen``).
* ``TermBridge`` wraps them for Python code: a context manager that
  initializes the library on entry and shuts it down on exit, ``send()``
  returning a ``Result`` or raising ``CommandError``, and properties for the
  settings.

The library is found, in this order, at the path given, at
``$TERMBRIDGE_LIBRARY``, beside this module, or by the system's loader under
its platform file name.

Run ``python3 -m termbridge --help`` for the command-line host.
"""

import ctypes
import os
import sys
import threading

__all__ = [
    "ENV_LIBRARY",
    "EXPORTS",
    "NOT_READY_TEXT",
    "CommandError",
    "InitializeError",
    "LibraryNotFoundError",
    "Result",
    "TermBridge",
    "TermBridgeError",
    "allow_file_logging",
    "default_library_name",
    "find_library",
    "load_library",
    "version",
]

ENV_LIBRARY = "TERMBRIDGE_LIBRARY"

# What every text export answers while the library is not initialized.
NOT_READY_TEXT = "Fatal Error!!! Console Application isn't Ready!!!!"

# Text passed to and from the library is single-byte; latin-1 maps every byte
# value, so nothing the library returns fails to decode.
_ENCODING = "latin-1"

_int = ctypes.c_int
_text = ctypes.c_char_p
_ushort = ctypes.c_ushort

# name -> (result type, argument types), in the order of include/termbridge.h.
# getResultBuffer returns bytes that may contain NULs, hence a plain address.
EXPORTS = {
    # Start-up and shut-down
    "initialize": (_int, (_text, _text, _text)),
    "initialize_old": (_int, (_ushort, _text, _ushort, _text, _text, _text)),
    "deinitialize": (_int, ()),
    "ver": (_text, ()),
    # Commands and their results
    "sendCommand": (_int, (_text, _int)),
    "sendCommandDefaultTimeout": (_int, (_text,)),
    "getResultBuffer": (ctypes.c_void_p, ()),
    "getResultBufferText": (_text, ()),
    "getResultLen": (_int, ()),
    "getFailureMessage": (_text, ()),
    # Settings
    "setDefaultTimeout": (None, (_int,)),
    "getDefaultTimeout": (_int, ()),
    "setLogSeverity": (None, (_int,)),
    "getLogSeverity": (_int, ()),
    "setInternalCommandTimeout": (None, (_int,)),
    "AllowWriteLogsToFile": (None, (ctypes.c_bool,)),
    # Chip
    "SyncChipAccess": (_int, ()),
    "LoadFW": (_int, (_text,)),
    "getSystemVersionInfo": (_text, ()),
    # EEPROM
    "InitEepromIF": (_int, (_int, _text)),
    "UpdateEepromField": (_int, (_text, _text)),
    "BurnEeprom": (_int, (ctypes.c_ubyte,)),
    "DumpEepromTableToFile": (_int, (_text,)),
    "ReadEntireEeprom": (_text, (_text,)),
    "ReadFieldFromEeprom": (_text, (_text,)),
    "ReadFieldFromVolatile": (_text, (_text,)),
}


class TermBridgeError(Exception):
    """Base class of the errors raised by this module."""


class LibraryNotFoundError(TermBridgeError, OSError):
    """The library could not be loaded from any of the places searched."""


class InitializeError(TermBridgeError):
    """initialize / initialize_old returned failure."""

    def __init__(self, rc, message):
        super().__init__(message)
        self.rc = rc


class CommandError(TermBridgeError):
    """A command returned failure; ``message`` is the library's failure text."""

    def __init__(self, command, rc, message):
        super().__init__(message)
        self.command = command
        self.rc = rc
        self.message = message

    def __str__(self):
        return self.message

    def __repr__(self):
        return "CommandError(%r, rc=%d, %r)" % (self.command, self.rc, self.message)


class Result:
    """The outcome of a successful command.

    ``data`` holds exactly the result bytes; ``hex`` is the library's own
    hexadecimal text of them (two lower-case digits per byte).
    """

    __slots__ = ("command", "data", "hex")

    def __init__(self, command, data, hex_text):
        self.command = command
        self.data = data
        self.hex = hex_text

    @property
    def text(self):
        """The data read as text up to its first NUL (for answers that are text)."""
        return self.data.split(b"\0", 1)[0].decode(_ENCODING)

    def __bytes__(self):
        return self.data

    def __len__(self):
        return len(self.data)

    def __eq__(self, other):
        if not isinstance(other, Result):
            return NotImplemented
        return (self.command, self.data, self.hex) == (other.command, other.data, other.hex)

    def __repr__(self):
        return "Result(%r, %d bytes, hex=%r)" % (self.command, len(self.data), self.hex)


# ---------------------------------------------------------------- loading

def default_library_name(platform=None):
    """The library's file name on a platform (``sys.platform`` by default)."""
    platform = sys.platform if platform is None else platform
    if platform.startswith(("win", "cygwin", "msys")):
        return "TermBridge.dll"
    if platform == "darwin":
        return "libTermBridge.dylib"
    return "libTermBridge.so"


def _candidates(path):
    if path:
        return [os.fspath(path)]
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [env]
    name = default_library_name()
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    # The bare name last: the system's loader searches its own path for it.
    return [beside, name] if os.path.exists(beside) else [name]


def find_library(path=None):
    """The first place that load_library would try, as a path or a bare name."""
    return _candidates(path)[0]


def _prototype(lib):
    for name, (restype, argtypes) in EXPORTS.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = list(argtypes)
    return lib


def load_library(path=None):
    """Loads the library and declares the types of its 26 exports.

    ``path`` wins; otherwise $TERMBRIDGE_LIBRARY; otherwise the platform's file
    name beside this module or on the loader's path. The exports use the C
    calling convention on every platform (cdecl on 32-bit Windows too).
    """
    errors = []
    for candidate in _candidates(path):
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append("%s: %s" % (candidate, error))
            continue
        try:
            return _prototype(lib)
        except AttributeError as error:
            raise LibraryNotFoundError("%s is not the termbridge library: %s" % (candidate, error))
    raise LibraryNotFoundError("cannot load the termbridge library (%s)" % "; ".join(errors))


def _encode(text):
    if text is None:
        return b""
    if isinstance(text, os.PathLike):
        text = os.fspath(text)
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    return text.encode(_ENCODING)


def _decode(raw):
    return "" if raw is None else raw.decode(_ENCODING)


def version(lib=None):
    """The library's version text, "major.minor.build" (works before initialize)."""
    lib = lib if lib is not None else load_library()
    return _decode(lib.ver()).rstrip("\r\n")


def allow_file_logging(allow, lib=None):
    """Turns the library's log file on or off (works before initialize)."""
    lib = lib if lib is not None else load_library()
    lib.AllowWriteLogsToFile(bool(allow))


# ---------------------------------------------------------------- the host object

class TermBridge:
    """One host's session with the library.

    With ``udp_port`` set the dispatcher's address and ports are the ones
    given (``initialize_old``); without it the library reads them from its
    registry (``initialize``). The map and list files go to the library as
    given.

        with TermBridge(mac_map="mac.map", phy_map="phy.map", struct_list="list.txt",
                        udp_port=50000, tcp_port=50001) as tb:
            print(tb.send("NATIVE_READ_WORD_CMD 0xBFC00000").hex)

    The library holds one session per process and expects one call at a time;
    this object serialises its own calls with a lock.
    """

    def __init__(self, mac_map="", phy_map="", struct_list="", udp_port=None, tcp_port=0,
                 dispatcher="127.0.0.1", lib=None, library_path=None):
        self.lib = lib if lib is not None else load_library(library_path)
        self.mac_map = mac_map
        self.phy_map = phy_map
        self.struct_list = struct_list
        self.udp_port = udp_port
        self.tcp_port = tcp_port
        self.dispatcher = dispatcher
        self._opened = False
        self._lock = threading.RLock()

    # -- start-up and shut-down

    def open(self):
        """Initializes the library; raises InitializeError when it refuses."""
        files = (_encode(self.mac_map), _encode(self.phy_map), _encode(self.struct_list))
        with self._lock:
            if self.udp_port is not None:
                rc = self.lib.initialize_old(int(self.udp_port), _encode(self.dispatcher),
                                             int(self.tcp_port or 0), *files)
                how = "initialize_old(%s, %s, %s)" % (self.udp_port, self.dispatcher, self.tcp_port)
            else:
                rc = self.lib.initialize(*files)
                how = "initialize (dispatcher settings from the registry)"
            if rc != 0:
                raise InitializeError(rc, "%s returned %d: dispatcher not configured, or the library "
                                          "is owned by another process" % (how, rc))
            self._opened = True
        return self

    def close(self):
        """Shuts the library down if this object initialized it; returns deinitialize's code."""
        with self._lock:
            if not self._opened:
                return 0
            self._opened = False
            return self.lib.deinitialize()

    @property
    def is_open(self):
        return self._opened

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()
        return False

    # -- commands

    def send(self, command, timeout_ms=None):
        """Runs one command line and returns its Result.

        ``timeout_ms`` None uses the library's default time-out; 0 or -1 waits
        without limit. A non-zero return raises CommandError with the failure
        text.
        """
        raw = _encode(command)
        text = command if isinstance(command, str) else _decode(raw)
        with self._lock:
            if timeout_ms is None:
                rc = self.lib.sendCommandDefaultTimeout(raw)
            else:
                rc = self.lib.sendCommand(raw, int(timeout_ms))
            if rc != 0:
                raise CommandError(text, rc, _decode(self.lib.getFailureMessage()))
            return Result(text, self._result_bytes(), _decode(self.lib.getResultBufferText()))

    def _result_bytes(self):
        length = self.lib.getResultLen()
        if length <= 0:
            return b""
        address = self.lib.getResultBuffer()
        return ctypes.string_at(address, length) if address else b""

    @property
    def result_length(self):
        return self.lib.getResultLen()

    @property
    def result_data(self):
        """The last command's result bytes."""
        with self._lock:
            return self._result_bytes()

    @property
    def result_hex(self):
        return _decode(self.lib.getResultBufferText())

    @property
    def failure_message(self):
        return _decode(self.lib.getFailureMessage())

    # -- settings

    @property
    def default_timeout(self):
        """Time-out of send() without timeout_ms, in ms; -1 waits without limit (0 is stored as -1)."""
        return self.lib.getDefaultTimeout()

    @default_timeout.setter
    def default_timeout(self, timeout_ms):
        self.lib.setDefaultTimeout(int(timeout_ms))

    @property
    def log_severity(self):
        """1 errors, 2 the course of each command, 3 detail."""
        return self.lib.getLogSeverity()

    @log_severity.setter
    def log_severity(self, level):
        self.lib.setLogSeverity(int(level))

    def set_internal_command_timeout(self, timeout_ms):
        """Time-out of each step of firmware and EEPROM operations, in ms (0 waits without limit)."""
        self.lib.setInternalCommandTimeout(int(timeout_ms))

    def allow_file_logging(self, allow):
        self.lib.AllowWriteLogsToFile(bool(allow))

    def version(self):
        return version(self.lib)

    # -- chip

    def sync(self):
        """Synchronises with the dispatcher; returns the library's code."""
        with self._lock:
            return self.lib.SyncChipAccess()

    def load_firmware(self, path):
        """Loads a firmware package; returns LoadFW's code (see failure_message)."""
        with self._lock:
            return self.lib.LoadFW(_encode(path))

    def system_version_info(self):
        with self._lock:
            return _decode(self.lib.getSystemVersionInfo())

    # -- EEPROM (codes and texts as the library returns them)

    def init_eeprom(self, mode, path=""):
        with self._lock:
            return self.lib.InitEepromIF(int(mode), _encode(path))

    def update_eeprom_field(self, name, value):
        with self._lock:
            return self.lib.UpdateEepromField(_encode(name), _encode(value))

    def burn_eeprom(self, partial=False):
        with self._lock:
            return self.lib.BurnEeprom(int(partial))

    def dump_eeprom_table(self, path):
        with self._lock:
            return self.lib.DumpEepromTableToFile(_encode(path))

    def read_entire_eeprom(self, path=""):
        with self._lock:
            return _decode(self.lib.ReadEntireEeprom(_encode(path)))

    def read_eeprom_field(self, name):
        with self._lock:
            return _decode(self.lib.ReadFieldFromEeprom(_encode(name)))

    def read_volatile_field(self, name):
        with self._lock:
            return _decode(self.lib.ReadFieldFromVolatile(_encode(name)))
