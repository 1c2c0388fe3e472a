"""tb-emulator, the emulated dispatcher and chip, as a process on loopback.

    with Emulator("tb-emulator", library_port=free_port(), definitions="list.txt") as emulator:
        emulator.control("delay 200")
        ...

The emulator prints "ready command-port=P control-port=Q" once its ports are
bound; its log (standard error) goes to ``log_path``. Control lines are
those of tools/emulator/README.md; ``control`` returns the answer's data and
raises EmulatorError on an "error" answer. An emulator that is not stopped
(no ``with``, a script that raised) is stopped when the object is collected
or the interpreter exits.
"""

from __future__ import annotations

import os
import queue
import random
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import weakref
from typing import IO, Dict, List, Optional, Sequence, Union

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
            self.process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
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
