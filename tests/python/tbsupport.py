"""Helpers shared by the Python binding's tests.

Importing this module points TERMBRIDGE_ROOT at a fresh temporary folder for
the whole test process (the library keeps its log, crash and lock files
there on Linux) and puts bindings/python on the import path.

Environment:
  TERMBRIDGE_LIBRARY  the library under test (else the binding's own search)
  TB_EMULATOR         the tb-emulator program; the end-to-end tests need it
"""

import atexit
import os
import shutil
import socket
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
BINDING_DIR = os.path.join(SOURCE_ROOT, "bindings", "python")

if BINDING_DIR not in sys.path:
    sys.path.insert(0, BINDING_DIR)

import termbridge  # noqa: E402
import termbridge.emulator  # noqa: E402

EMULATOR = os.environ.get("TB_EMULATOR", "")

# One root for the process, set before the library is first called.
ROOT = tempfile.mkdtemp(prefix="tb-python-root-")
os.environ["TERMBRIDGE_ROOT"] = ROOT
atexit.register(shutil.rmtree, ROOT, True)

_library = None


def library():
    """The library under test, loaded once per process."""
    global _library
    if _library is None:
        _library = termbridge.load_library()
    return _library


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def definition_files(folder):
    """Empty map and list files: native commands need no definitions."""
    paths = {}
    for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"), ("struct_list", "list.txt")):
        paths[key] = os.path.join(folder, name)
        with open(paths[key], "w"):
            pass
    return paths


def Emulator(library_port, folder):
    """A tb-emulator process on loopback, with its text control channel."""
    return termbridge.emulator.Emulator(EMULATOR, library_port, log_dir=folder)
