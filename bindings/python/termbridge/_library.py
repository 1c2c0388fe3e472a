"""Loading the library and declaring its C functions for ctypes.

The 26 exports of include/termbridge.h are declared in ``EXPORTS``; the
extension functions of include/termbridge_ext.h (prefix ``tbx_``) in
``EXTENSIONS``. Extensions are looked up one by one, so a library without
them still loads; ``extension(lib, name)`` tells whether one is there.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Callable, Dict, List, Optional, Tuple, Union

from .errors import LibraryNotFoundError

__all__ = [
    "ENV_LIBRARY",
    "EXPORTS",
    "EXTENSIONS",
    "NOT_READY_TEXT",
    "LinkStateRecord",
    "OperationStatsRecord",
    "ProgressFunction",
    "StoppableProgressFunction",
    "allow_file_logging",
    "decode",
    "default_library_name",
    "encode",
    "extension",
    "find_library",
    "load_library",
    "version",
]

ENV_LIBRARY = "TERMBRIDGE_LIBRARY"

# What every text export answers while the library is not initialized.
NOT_READY_TEXT = "Fatal Error!!! Console Application isn't Ready!!!!"

# Text passed to and from the library is single-byte; latin-1 maps every byte
# value, so nothing the library returns fails to decode.
ENCODING = "latin-1"

_int = ctypes.c_int
_text = ctypes.c_char_p
_ushort = ctypes.c_ushort

Prototype = Tuple[object, Tuple[object, ...]]

# name -> (result type, argument types), in the order of include/termbridge.h.
# getResultBuffer returns bytes that may contain NULs, hence a plain address.
EXPORTS: Dict[str, Prototype] = {
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

# void (*)(const char* stage, uint64_t done, uint64_t total, void* user), the
# C calling convention like the exports.
ProgressFunction = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_void_p)
# The same, answering nonzero to stop the operation.
StoppableProgressFunction = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64,
                                             ctypes.c_void_p)


class OperationStatsRecord(ctypes.Structure):
    """tbx_OperationStats: the traffic of the last operation export."""

    _fields_ = [
        ("commandsSent", ctypes.c_uint),
        ("eventsAccepted", ctypes.c_uint),
        ("eventsDropped", ctypes.c_uint),
        ("reserved", ctypes.c_uint),
        ("bytesSent", ctypes.c_ulonglong),
        ("bytesReceived", ctypes.c_ulonglong),
    ]


class LinkStateRecord(ctypes.Structure):
    """tbx_LinkState: the link to the dispatcher as the library sees it."""

    _fields_ = [
        ("connected", ctypes.c_uint),
        ("connections", ctypes.c_uint),
        ("listenPort", ctypes.c_ushort),
        ("commandPort", ctypes.c_ushort),
        ("reserved", ctypes.c_uint),
    ]


# The extension functions of include/termbridge_ext.h; each may be missing.
EXTENSIONS: Dict[str, Prototype] = {
    "tbx_setProgressCallback": (None, (ProgressFunction, ctypes.c_void_p)),
    "tbx_getLastOperationStats": (_int, (ctypes.POINTER(OperationStatsRecord),)),
    "tbx_setStoppableProgressCallback": (None, (StoppableProgressFunction, ctypes.c_void_p)),
    "tbx_cancelOperation": (None, ()),
    "tbx_getLastOperationLog": (_text, ()),
    "tbx_getLogFilePath": (_text, ()),
    "tbx_getLinkState": (_int, (ctypes.POINTER(LinkStateRecord),)),
    "tbx_setFirmwareStartPause": (_int, (ctypes.c_int,)),
    "tbx_readMemory": (_int, (ctypes.c_uint, ctypes.c_uint, ctypes.POINTER(ctypes.c_ubyte))),
    "tbx_writeMemory": (_int, (ctypes.c_uint, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_uint)),
    "tbx_verifyFW": (_int, (ctypes.c_char_p,)),
}


def default_library_name(platform: Optional[str] = None) -> str:
    """The library's file name on a platform (``sys.platform`` by default)."""
    platform = sys.platform if platform is None else platform
    if platform.startswith(("win", "cygwin", "msys")):
        return "TermBridge.dll"
    if platform == "darwin":
        return "libTermBridge.dylib"
    return "libTermBridge.so"


PathLike = Union[str, bytes, "os.PathLike[str]"]


def _candidates(path: Optional[PathLike]) -> List[str]:
    if path:
        return [os.fsdecode(os.fspath(path))]
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [env]
    name = default_library_name()
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    # The bare name last: the system's loader searches its own path for it.
    return [beside, name] if os.path.exists(beside) else [name]


def find_library(path: Optional[PathLike] = None) -> str:
    """The first place that load_library would try, as a path or a bare name."""
    return _candidates(path)[0]


def _declare(function: Callable, prototype: Prototype) -> None:
    restype, argtypes = prototype
    function.restype = restype  # type: ignore[attr-defined]
    function.argtypes = list(argtypes)  # type: ignore[attr-defined]


def _prototype(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, prototype in EXPORTS.items():
        _declare(getattr(lib, name), prototype)
    for name, prototype in EXTENSIONS.items():
        function = extension(lib, name)
        if function is not None:
            _declare(function, prototype)
    return lib


def extension(lib: object, name: str) -> Optional[Callable]:
    """The extension function ``name`` of the library, or None when it lacks it."""
    try:
        return getattr(lib, name)
    except AttributeError:
        return None


def load_library(path: Optional[PathLike] = None) -> ctypes.CDLL:
    """Loads the library and declares the types of its exports.

    ``path`` wins; otherwise $TERMBRIDGE_LIBRARY; otherwise the platform's file
    name beside this package or on the loader's path. The exports use the C
    calling convention on every platform (cdecl on 32-bit Windows too).
    Raises LibraryNotFoundError when no candidate loads.
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
            raise LibraryNotFoundError("%s is not the termbridge library: %s" % (candidate, error)) from None
    raise LibraryNotFoundError("cannot load the termbridge library (%s)" % "; ".join(errors))


def encode(text: Union[None, str, bytes, bytearray, "os.PathLike[str]"], what: str = "text") -> bytes:
    """Text for the library: single-byte (latin-1); bytes pass unchanged.

    Raises ValueError for a NUL in it: the library would read the text only
    up to there. ``what`` names the argument in that error."""
    if text is None:
        return b""
    if isinstance(text, os.PathLike):
        text = os.fspath(text)
    raw = bytes(text) if isinstance(text, (bytes, bytearray)) else text.encode(ENCODING)
    if b"\0" in raw:
        raise ValueError("%s holds a NUL at offset %d: the library would read only %r" % (what, raw.index(b"\0"),
                                                                                          raw.split(b"\0", 1)[0]))
    return raw


def decode(raw: Optional[bytes]) -> str:
    return "" if raw is None else raw.decode(ENCODING)


def version(lib: Optional[ctypes.CDLL] = None) -> str:
    """The library's version text, "major.minor.build" (works before initialize)."""
    lib = lib if lib is not None else load_library()
    return decode(lib.ver()).rstrip("\r\n")


def allow_file_logging(allow: bool, lib: Optional[ctypes.CDLL] = None) -> None:
    """Turns the library's log file on or off (works before initialize)."""
    lib = lib if lib is not None else load_library()
    lib.AllowWriteLogsToFile(bool(allow))
