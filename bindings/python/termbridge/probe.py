"""Whether a dispatcher answers, asked without the library.

The library serves one session per process and starts with a second's
synchronising pause, so a probe speaks the dispatcher's protocol itself: it
listens on the library's port, as the library does, sends one native word
read to the dispatcher's command port and waits for the event packet that
answers it over the connection the dispatcher opens. Any answer counts, also
one that reports the read failed: the dispatcher is there and answers.

The word read is of the chip's mailbox counter (0xBF108300, the address the
library reads before every command it sends), so the probe asks nothing of
the chip that the library would not. What it takes for granted: that the
dispatcher connects to the listening port within the probe's time (tb-emulator
tries every 100 ms; a dispatcher that connects only once, at its own start,
answers no probe), and that nothing else on this host listens on the
library's port (a library session, a tb-console): then the probe cannot
listen and says so instead of probing.
"""

from __future__ import annotations

import random
import select
import socket
import struct
import sys
import time
from typing import NamedTuple, Optional

__all__ = ["PROBE_SECONDS", "ProbeResult", "probe_dispatcher", "word_read_packet"]

PROBE_SECONDS = 1.0

_NATIVE_READ_WORD = 0
_MAILBOX_COUNTER = 0xBF108300
_COMMAND_BYTES = 524
_EVENT_BYTES = 520
_RX_NUMBER_AT = 4  # RxCmdPacketNum in an event packet
_RESEND_SECONDS = 0.25  # a dispatcher may drop an answer it had no connection for


class ProbeResult(NamedTuple):
    answered: bool
    reason: str = ""  # why not, when not
    port_taken: bool = False  # the library's port is in use on this host: nothing was probed


def word_read_packet(number: int, address: int = _MAILBOX_COUNTER) -> bytes:
    """A native command packet (version 1) that reads one word."""
    return struct.pack("<BBHIHH", 1, number, _NATIVE_READ_WORD, address, 0, 0).ljust(_COMMAND_BYTES, b"\0")


def _listener(port: int) -> socket.socket:
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # As the library binds: any local address. On Windows SO_REUSEADDR would
    # let the probe share a port the library holds; there the port is made
    # exclusive instead.
    if sys.platform == "win32":
        listener.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_EXCLUSIVEADDRUSE"), 1)
    else:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind(("0.0.0.0", port))
        listener.listen(4)
    except OSError:
        listener.close()
        raise
    listener.setblocking(False)
    return listener


class _Exchange:
    """The listening socket, the dispatcher's connections and the bytes read from each."""

    def __init__(self, listener: socket.socket):
        self.listener = listener
        self.connections: "dict[socket.socket, bytearray]" = {}
        self.connected = False

    def wait(self, seconds: float) -> None:
        """Takes new connections and reads what came, for at most `seconds`."""
        readable, _, _ = select.select([self.listener, *self.connections], [], [], max(seconds, 0))
        for ready in readable:
            if ready is self.listener:
                try:
                    connection, _ = self.listener.accept()
                except OSError:
                    continue
                connection.setblocking(False)
                self.connections[connection] = bytearray()
                self.connected = True
                continue
            try:
                data = ready.recv(65536)
            except OSError:
                data = b""
            if data:
                self.connections[ready] += data
            else:
                self.connections.pop(ready).close()

    def answered(self, numbers: "set[int]") -> bool:
        for stream in self.connections.values():
            for at in range(0, len(stream) - _EVENT_BYTES + 1, _EVENT_BYTES):
                if stream[at + _RX_NUMBER_AT] in numbers:
                    return True
        return False

    def close(self) -> None:
        for connection in self.connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()
        self.listener.close()


def probe_dispatcher(address: str, command_port: int, library_port: int,
                     timeout: float = PROBE_SECONDS) -> ProbeResult:
    """One word read through the dispatcher at `address`, answered within `timeout` seconds or not."""
    deadline = time.monotonic() + timeout
    try:
        target = (socket.gethostbyname(address), command_port)
    except OSError as error:
        return ProbeResult(False, "the address %s does not resolve: %s" % (address, error))
    try:
        listener = _listener(library_port)
    except OSError as error:
        return ProbeResult(False, "the library's port %d is in use on this host (%s): a session that took no "
                                  "claim, or a tb-console" % (library_port, error.strerror or error), True)
    exchange = _Exchange(listener)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    numbers: "set[int]" = set()
    try:
        first = random.randrange(256)
        next_send = time.monotonic()
        while not exchange.answered(numbers):
            now = time.monotonic()
            if now >= deadline:
                break
            if now >= next_send:
                number = (first + len(numbers)) % 256
                numbers.add(number)
                try:
                    sender.sendto(word_read_packet(number), target)
                except OSError as error:
                    return ProbeResult(False, "cannot send to %s:%d: %s" % (address, command_port,
                                                                            error.strerror or error))
                next_send = now + _RESEND_SECONDS
            exchange.wait(min(deadline, next_send) - now)
        else:
            return ProbeResult(True)
        if not exchange.connected:
            return ProbeResult(False, "no dispatcher connected to port %d within %.1f s; a word read went to %s:%d"
                               % (library_port, timeout, address, command_port))
        return ProbeResult(False, "the dispatcher connected to port %d but did not answer a word read sent to "
                                  "%s:%d within %.1f s" % (library_port, address, command_port, timeout))
    finally:
        sender.close()
        exchange.close()
