"""Shared by the package's tests: source-tree paths, the library under test,
pytest runs of their own for the plugin's tests (pytester), and a stand-in
of the library that records the calls it gets.

The tests run from the source tree; the library and the emulator come from
the plugin's options (the CTest run passes this build's)."""

from __future__ import annotations

import contextlib
import ctypes
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from termbridge.emulator import find_emulator
from termbridge.pytest_plugin import run_key

pytest_plugins = ["pytester"]

SOURCE_ROOT = Path(__file__).resolve().parents[3]
HEADER = SOURCE_ROOT / "include" / "termbridge.h"
EXTENSION_HEADER = SOURCE_ROOT / "include" / "termbridge_ext.h"
EXPORT_LIST = SOURCE_ROOT / "src" / "TermBridge.def"
PROJECT_FILE = SOURCE_ROOT / "CMakeLists.txt"
EXAMPLES = SOURCE_ROOT / "examples"
PACKAGE = SOURCE_ROOT / "bindings" / "python"

NOT_READY = "Fatal Error!!! Console Application isn't Ready!!!!"


@pytest.fixture
def lib(request):
    """The library under test, loaded once per run (by the plugin)."""
    return request.config.stash[run_key].library()


@pytest.fixture
def closed_lib(request, lib):
    """The library with no session open (the plugin's pooled one is closed)."""
    request.config.stash[run_key].close_session()
    assert lib.getResultLen() == -1
    return lib


class InnerPytest:
    """pytest in a process of its own (pytester), with only the termbridge
    plugin, in pytester's folder unless told otherwise."""

    OPTIONS = ("-p", "termbridge.pytest_plugin", "-p", "no:cacheprovider", "-rs", "-q")

    def __init__(self, pytester, monkeypatch):
        self.pytester = pytester
        self._monkeypatch = monkeypatch

    @contextlib.contextmanager
    def _environment(self, env, folder):
        with self._monkeypatch.context() as patch:
            # The run's library files are its own, not this process's (whose library is in use).
            patch.delenv("TERMBRIDGE_ROOT", raising=False)
            for key, value in dict(PYTHONPATH=str(PACKAGE), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
                                   PYTHONDONTWRITEBYTECODE="1", **(env or {})).items():
                patch.setenv(key, value)
            if folder is not None:
                patch.chdir(folder)
            yield

    def run(self, *arguments, env=None, folder=None, timeout=120):
        """The run to its end: a pytest.RunResult."""
        with self._environment(env, folder):
            return self.pytester.runpytest_subprocess(*self.OPTIONS, *arguments, timeout=timeout)

    def popen(self, *arguments):
        """The run started: a subprocess.Popen whose output is read as text."""
        with self._environment(None, None):
            return self.pytester.popen([sys.executable, "-m", "pytest", *self.OPTIONS, *arguments],
                                       stdout=subprocess.PIPE, stderr=None, text=True)


@pytest.fixture
def inner_pytest(pytester, monkeypatch):
    return InnerPytest(pytester, monkeypatch)


@pytest.fixture
def library_options(request):
    """The options that give a run of its own this run's library and emulator."""
    run = request.config.stash[run_key]
    return ["--termbridge-library=" + run.library()._name,
            "--termbridge-emulator=" + find_emulator(run.settings.value("emulator"))]


class FakeFunction:
    """A library function that ``lib[name]`` hands out: settable types, a call."""

    def __init__(self, body):
        self.body = body
        self.restype = None
        self.argtypes = None

    def __call__(self, *args):
        return self.body(*args)


class FakeLibrary:
    """Answers like the library would; every call is recorded as (name, args)."""

    def __init__(self, with_extensions=False):
        self.calls = []
        self.rc = 0
        self.init_rc = 0
        self.eeprom_rc = 0
        self.burn_written = 1
        self.failure = b""
        self.result_len = 0
        self.default_timeout = 15000
        self.severity = 2
        self.version_report = b""
        self.eeprom_text = b""
        self.progress = None
        self.stoppable = False
        self.progress_steps = []  # (stage, done, total) reported during long operations
        self._buffer = ctypes.create_string_buffer(64)
        self._failure_buffer = ctypes.create_string_buffer(64)
        self.stats = (0, 0, 0, 0, 0)  # commands, accepted, dropped, bytes sent, bytes received
        self.stats_rc = 0
        self.operation_log = b""
        self.stop_answers = []  # what a stoppable progress callback answered
        self.cancelled = threading.Event()
        self.block_until_cancelled = False  # LoadFW waits for tbx_cancelOperation
        self.cancels_dropped = 0  # requests dropped, as the library drops one made before its operation begins
        if with_extensions:
            self.tbx_setProgressCallback = self._set_progress
            self.tbx_getLastOperationStats = self._get_stats
            self.tbx_setStoppableProgressCallback = self._set_stoppable_progress
            self.tbx_cancelOperation = self._cancel
            self.tbx_getLastOperationLog = lambda: self.operation_log
            self.tbx_getLogFilePath = lambda: b"/logs/console_adapter.log"
            self.tbx_readMemory = self._read_memory
            self.tbx_writeMemory = self._write_memory
            self.tbx_verifyFW = self._verify_firmware

    def _record(self, name, *args):
        self.calls.append((name, args))

    def names(self):
        return [name for name, _ in self.calls]

    def set_result(self, stored, length):
        """`stored` is what the buffer holds; `length` how much of it is valid."""
        self._buffer = ctypes.create_string_buffer(stored, max(len(stored), 1))
        self.result_len = length

    def _report_progress(self):
        for stage, done, total in self.progress_steps:
            if self.progress:
                answer = self.progress(stage, done, total, None)
                if self.stoppable:
                    self.stop_answers.append(answer)
                    if answer:
                        self.failure = b"Cancelled: stopped by the host"
                        return 1
        return 0

    def _set_stoppable_progress(self, function, user):
        self._record("tbx_setStoppableProgressCallback", bool(function))
        self.progress = function if function else None
        self.stoppable = True

    def _cancel(self):
        self._record("tbx_cancelOperation")
        if self.cancels_dropped:
            self.cancels_dropped -= 1
            return
        if self.block_until_cancelled:
            # The load ends at the request. Its failure text is set here: this
            # fake's LoadFW is Python code on the calling thread, where the
            # KeyboardInterrupt is raised as soon as the wait below returns.
            self.failure = b"Cancelled: firmware load stopped by the host"
        self.cancelled.set()

    def _get_stats(self, reference):
        record = reference._obj  # what ctypes.byref points at
        (record.commandsSent, record.eventsAccepted, record.eventsDropped, record.bytesSent,
         record.bytesReceived) = self.stats
        return self.stats_rc

    # The memory and verify extensions only record their calls.
    def _read_memory(self, address, length, buffer):
        self._record("tbx_readMemory", address, length)
        return 0

    def _write_memory(self, address, buffer, length):
        self._record("tbx_writeMemory", address, length)
        return 0

    def _verify_firmware(self, path):
        self._record("tbx_verifyFW", path)
        return 0

    def _set_progress(self, function, user):
        self._record("tbx_setProgressCallback", bool(function))
        self.progress = function if function else None
        self.stoppable = False

    # the exports
    def initialize(self, *args):
        self._record("initialize", *args)
        return self.init_rc

    def initialize_old(self, *args):
        self._record("initialize_old", *args)
        return self.init_rc

    def deinitialize(self):
        self._record("deinitialize")
        return 0

    def ver(self):
        return b"4.5.6\n"

    def sendCommand(self, command, timeout):
        self._record("sendCommand", command, timeout)
        return self.rc

    def sendCommandDefaultTimeout(self, command):
        self._record("sendCommandDefaultTimeout", command)
        return self.rc

    def getResultBuffer(self):
        return ctypes.addressof(self._buffer)

    def getResultBufferText(self):
        return self._buffer.raw[:self.result_len].hex().encode("ascii")

    def getResultLen(self):
        return self.result_len

    def getFailureMessage(self):
        return self.failure

    def setDefaultTimeout(self, value):
        self._record("setDefaultTimeout", value)
        self.default_timeout = -1 if value == 0 else value

    def getDefaultTimeout(self):
        return self.default_timeout

    def setLogSeverity(self, value):
        self._record("setLogSeverity", value)
        self.severity = value

    def getLogSeverity(self):
        return self.severity

    def setInternalCommandTimeout(self, value):
        self._record("setInternalCommandTimeout", value)

    def AllowWriteLogsToFile(self, allow):
        self._record("AllowWriteLogsToFile", allow)

    def SyncChipAccess(self):
        self._record("SyncChipAccess")
        return self.rc

    def LoadFW(self, path):
        self._record("LoadFW", path)
        if self.block_until_cancelled:
            assert self.cancelled.wait(10), "never cancelled"
            return 1
        return self._report_progress() or self.rc

    def getSystemVersionInfo(self):
        return self.version_report

    def InitEepromIF(self, mode, path):
        self._record("InitEepromIF", mode, path)
        return self.eeprom_rc

    def UpdateEepromField(self, name, value):
        self._record("UpdateEepromField", name, value)
        return self.eeprom_rc

    def BurnEeprom(self, partial):
        self._record("BurnEeprom", partial)
        self._report_progress()
        return self.burn_written

    def DumpEepromTableToFile(self, path):
        self._record("DumpEepromTableToFile", path)
        return self.eeprom_rc

    # The text-returning EEPROM reads, as ``lib[name]`` gives them: the address
    # of the result buffer on success, of the failure text otherwise.
    def __getitem__(self, name):
        def read(argument):
            self._record(name, argument)
            self._report_progress()
            if self.eeprom_rc != 0:
                self._failure_buffer = ctypes.create_string_buffer(self.failure)
                return ctypes.addressof(self._failure_buffer)
            self._buffer = ctypes.create_string_buffer(self.eeprom_text)
            return ctypes.addressof(self._buffer)

        return FakeFunction(read)


@pytest.fixture
def fake():
    return FakeLibrary()


@pytest.fixture
def example_package(request):
    """The example firmware package of the build tree the library under test
    comes from (its firmware/example.fwp, which the tb_firmware target packs
    from examples/firmware)."""
    library = Path(request.config.stash[run_key].library()._name)
    path = library.parent / "firmware" / "example.fwp"
    if not path.is_file():
        pytest.fail("the example firmware package %s is missing: the build tree of %s has none (the tb_firmware "
                    "target makes it; it needs the MIPS binutils)" % (path, library), pytrace=False)
    return path
