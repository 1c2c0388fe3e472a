"""Helpers shared by the Python binding's tests.

Importing this module points TERMBRIDGE_ROOT at a fresh temporary folder for
the whole test process (the library keeps its log, crash and lock files
there on Linux) and puts bindings/python on the import path.

Environment:
  TERMBRIDGE_LIBRARY  the library under test (else the binding's own search)
  TB_EMULATOR         the tb-emulator program; the end-to-end tests need it
"""

import atexit
import contextlib
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
BINDING_DIR = os.path.join(SOURCE_ROOT, "bindings", "python")
HEADER = os.path.join(SOURCE_ROOT, "include", "termbridge.h")
EXPORT_LIST = os.path.join(SOURCE_ROOT, "src", "TermBridge.def")
PROJECT_FILE = os.path.join(SOURCE_ROOT, "CMakeLists.txt")

if BINDING_DIR not in sys.path:
    sys.path.insert(0, BINDING_DIR)

import termbridge  # noqa: E402

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


@contextlib.contextmanager
def quiet_stdout():
    """Sends what the library prints on the process's standard output (its
    start-up banner) to the null device."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def definition_files(folder):
    """Empty map and list files: native commands need no definitions."""
    paths = {}
    for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"), ("struct_list", "list.txt")):
        paths[key] = os.path.join(folder, name)
        with open(paths[key], "w"):
            pass
    return paths


class SilentDispatcher:
    """A bound UDP socket that takes the library's packets and never answers."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]

    def close(self):
        self.socket.close()


class Emulator:
    """A tb-emulator process on loopback, with its text control channel."""

    START_TIMEOUT = 20.0

    def __init__(self, library_port, folder):
        self.library_port = library_port
        self.log_path = os.path.join(folder, "emulator-%d.log" % library_port)
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [EMULATOR, "--library-port", str(library_port), "--control-port", "0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._log)
        self.command_port, self.control_port = self._wait_ready()
        self._control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._replies = self._control.makefile("r", encoding="ascii", newline="\n")

    def _wait_ready(self):
        lines = queue.Queue()

        def read():
            for line in self.process.stdout:
                lines.put(line.decode("ascii", "replace"))
            lines.put(None)

        self._reader = threading.Thread(target=read, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + self.START_TIMEOUT
        while True:
            try:
                line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                self.stop()
                raise RuntimeError("tb-emulator did not start: %s" % self.log_text())
            if line.startswith("ready "):
                fields = dict(word.split("=", 1) for word in line.split()[1:] if "=" in word)
                return int(fields["command-port"]), int(fields["control-port"])

    def control(self, line):
        """Sends one control line and returns the emulator's answer line."""
        self._control.sendall((line + "\n").encode("ascii"))
        return self._replies.readline().strip()

    def log_text(self):
        self._log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")[-4000:]

    def stop(self):
        if getattr(self, "_control", None) is not None:
            self._replies.close()
            self._control.close()
            self._control = None
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join(timeout=10)
        self.process.stdout.close()
        self._log.close()
