"""tb-emulator, the emulated dispatcher and chip, as a process on loopback.

    with Emulator("tb-emulator", library_port=free_port(), definitions="list.txt") as emulator:
        emulator.control("delay 200")
        ...

The emulator prints "ready command-port=P control-port=Q" once its ports are
bound; its log (standard error) goes to ``log_path``. Control lines are
those of tools/emulator/README.md; ``control`` returns the answer's data and
raises EmulatorError on an "error" answer. An emulator that is not stopped
(no ``with``, a script that raised) is stopped when the object is collected
or the interpreter exits; on Linux it also ends with the Python process
however that ends (killed, crashed): the kernel sends it SIGTERM then.
"""

from __future__ import annotations

import ctypes
import os
import queue
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from typing import IO, Any, Callable, Dict, List, Optional, Sequence, Union

from .errors import EmulatorError

__all__ = ["ENV_EMULATOR", "Emulator", "find_emulator", "free_port"]

ENV_EMULATOR = "TB_EMULATOR"

PathArgument = Union[str, "os.PathLike[str]"]


def free_port() -> int:
    """A TCP port on 127.0.0.1 that is free at the moment of asking.

    Taken at random below the systems' ephemeral ranges (Linux from 32768,
    Windows from 49152), so that no outgoing connection takes it before the
    emulator or the library binds it."""
    for _ in range(200):
        port = random.randint(20000, 32767)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def find_emulator(path: Optional[PathArgument] = None) -> Optional[str]:
    """The tb-emulator program: ``path``, $TB_EMULATOR, or tb-emulator on PATH."""
    if path:
        return os.fspath(path)
    return os.environ.get(ENV_EMULATOR) or shutil.which("tb-emulator")


_PR_SET_PDEATHSIG = 1


def _death_signal_setter() -> Optional[Callable[[], None]]:
    """For the child between fork and exec: asks the kernel to send it SIGTERM
    when its parent ends, and ends it at once when the parent is gone
    already. None where the system has no such request (not Linux)."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    prctl.restype = ctypes.c_int
    prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
    parent = os.getpid()

    def set_death_signal() -> None:
        prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        if os.getppid() != parent:  # the parent ended before the request took hold
            os._exit(1)

    return set_death_signal


class _Spawner:
    """Starts processes from one thread that lives as long as the process.

    The kernel's parent-death signal follows the thread that forked the
    child, not the process: an emulator started from a thread that ends
    (a worker of a pool) would be stopped with it. The main thread ends only
    with the process, so it starts its own; any other thread hands the start
    to this spawner's thread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._requests: "queue.Queue[Any]" = queue.Queue()
        self._thread: Optional[threading.Thread] = None

    def popen(self, arguments: List[str], **options: Any) -> "subprocess.Popen[bytes]":
        setter = _death_signal_setter()
        if setter is None or threading.current_thread() is threading.main_thread():
            return subprocess.Popen(arguments, preexec_fn=setter, **options)
        done = threading.Event()
        outcome: Dict[str, Any] = {}
        with self._lock:
            if self._thread is None:
                self._thread = threading.Thread(target=self._serve, name="termbridge-spawner", daemon=True)
                self._thread.start()
        self._requests.put((arguments, options, outcome, done))
        done.wait()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["process"]

    def _serve(self) -> None:
        while True:
            arguments, options, outcome, done = self._requests.get()
            try:
                outcome["process"] = subprocess.Popen(arguments, preexec_fn=_death_signal_setter(), **options)
            except BaseException as error:  # noqa: BLE001 - handed to the caller
                outcome["error"] = error
            finally:
                done.set()


_spawner = _Spawner()


def _read_lines(stream: Optional[IO[bytes]], lines: "queue.Queue[Optional[str]]") -> None:
    """The emulator's output lines, then None at its end (a thread that holds
    no Emulator, so that an unreferenced one can be collected)."""
    assert stream is not None
    for line in stream:
        lines.put(line.decode("ascii", "replace"))
    lines.put(None)


def _end_process(process: "subprocess.Popen[bytes]", log: IO[bytes]) -> None:
    """Stops an emulator process that its object no longer holds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    log.close()


class Emulator:
    """A running tb-emulator with its text control channel."""

    START_TIMEOUT = 20.0

    def __init__(self, program: PathArgument, library_port: int, *, command_port: int = 0,
                 definitions: Optional[PathArgument] = None, faults: Sequence[str] = (),
                 pcap: Optional[PathArgument] = None, eeprom_size: Optional[int] = None,
                 eeprom_file: Optional[PathArgument] = None, extra_args: Sequence[str] = (),
                 log_dir: Optional[PathArgument] = None):
        self.library_port = library_port
        self.definitions = os.fspath(definitions) if definitions else None
        self.pcap_path = os.fspath(pcap) if pcap else None
        folder = os.fspath(log_dir) if log_dir else tempfile.mkdtemp(prefix="tb-emulator-")
        self.log_path = os.path.join(folder, "emulator-%d.log" % library_port)
        arguments = self._arguments(os.fspath(program), command_port, faults, eeprom_size, eeprom_file, extra_args)
        self._log: IO[bytes] = open(self.log_path, "wb")
        self._control: Optional[socket.socket] = None
        try:
            self.process = _spawner.popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=self._log)
        except OSError as error:
            self._log.close()
            raise EmulatorError("cannot start %s: %s" % (arguments[0], error)) from None
        # Holds neither this object nor its reader: collection can happen.
        self._finalizer = weakref.finalize(self, _end_process, self.process, self._log)
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._reader = threading.Thread(target=_read_lines, args=(self.process.stdout, self._lines), daemon=True)
        self._reader.start()
        try:
            self.command_port, self.control_port = self._wait_ready()
            self._control = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
            self._replies = self._control.makefile("r", encoding="ascii", newline="\n")
        except BaseException:
            self.stop()
            raise

    def _arguments(self, program: str, command_port: int, faults: Sequence[str], eeprom_size: Optional[int],
                   eeprom_file: Optional[PathArgument], extra_args: Sequence[str]) -> List[str]:
        arguments = [program, "--library-port", str(self.library_port), "--command-port", str(command_port),
                     "--control-port", "0"]
        if self.definitions:
            arguments += ["--definitions", self.definitions]
        if self.pcap_path:
            arguments += ["--pcap", self.pcap_path]
        if eeprom_size is not None:
            arguments += ["--eeprom-size", str(eeprom_size)]
        if eeprom_file is not None:
            arguments += ["--eeprom-file", os.fspath(eeprom_file)]
        for fault in faults:
            arguments += ["--fault", fault]
        return arguments + list(extra_args)

    def _wait_ready(self):
        deadline = time.monotonic() + self.START_TIMEOUT
        while True:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                raise EmulatorError("tb-emulator did not start: %s" % self.log_text())
            if line.startswith("ready "):
                fields = dict(word.split("=", 1) for word in line.split()[1:] if "=" in word)
                return int(fields["command-port"]), int(fields["control-port"])

    def __enter__(self) -> "Emulator":
        return self

    def __exit__(self, *exc: object) -> bool:
        self.stop()
        return False

    # -- control channel

    def control(self, line: str) -> str:
        """Sends one control line; returns the data after "ok" (may be empty).
        Raises EmulatorError when the emulator answers "error ..."."""
        if self._control is None:
            raise EmulatorError("the emulator is stopped")
        self._control.sendall((line + "\n").encode("ascii"))
        answer = self._replies.readline().strip()
        if answer == "ok" or answer.startswith("ok "):
            return answer[3:]
        raise EmulatorError("control line %r: %s" % (line, answer or "no answer"))

    def read_memory(self, address: int, length: int) -> bytes:
        """Chip memory as the emulator holds it."""
        return bytes.fromhex(self.control("read 0x%x %d" % (address, length)).replace(" ", ""))

    def write_memory(self, address: int, data: bytes) -> None:
        self.control("write 0x%x %s" % (address, " ".join("0x%02x" % byte for byte in data)))

    def eeprom(self, offset: int, length: int) -> bytes:
        """The emulated chip's EEPROM bytes."""
        return bytes.fromhex(self.control("eeprom %d %d" % (offset, length)).replace(" ", ""))

    def counts(self) -> Dict[str, int]:
        """packets, answers, counter-reads, mailbox, system and connections so far."""
        return {key: int(value) for key, value in (word.split("=", 1) for word in self.control("count").split())}

    # -- end

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    def log_text(self, limit: int = 4000) -> str:
        """The end of the emulator's log."""
        if not self._log.closed:
            self._log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")[-limit:]

    def stop(self) -> int:
        """Stops the emulator (SIGTERM, then SIGKILL after 10 s); returns its exit status."""
        self._finalizer.detach()
        if self._control is not None:
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
        if self.process.stdout is not None:
            self.process.stdout.close()
        self._log.close()
        return self.process.returncode
