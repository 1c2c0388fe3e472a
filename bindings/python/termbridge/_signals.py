"""Ctrl-C during a library call of the main thread.

Python runs its signal handlers on the main thread between bytecodes, so a
KeyboardInterrupt that arrives while the main thread is inside a library
call waits for that call to return: for a command whose answer was lost,
its whole time-out. While such a call runs, the signals' wake-up descriptor
(``signal.set_wakeup_fd``) is a socket that one long-lived thread reads; on
Ctrl-C it cancels the library's operation (tbx_cancelOperation), the call
returns at the operation's next step, and Python's own handler then raises
KeyboardInterrupt as usual. The call itself stays on the calling thread: a
call costs two ``set_wakeup_fd`` calls, no thread hand-over.

Only signals that have a Python handler reach the descriptor (a signal left
at its default ends the process as before). SIGINT cancels, and SIGTERM
where a Python handler takes it (the pytest plugin's ends a run like
Ctrl-C); the handler itself runs once the call has returned, as always.
Other signals only pass through: to the descriptor the call displaced, if
any (an asyncio loop's), so its owner still hears them.

On Windows the descriptor is a socket too (the only kind set_wakeup_fd takes
there), and Ctrl-C reaches it from the console's handler thread alike.
"""

from __future__ import annotations

import os
import signal
import socket
import threading
from typing import Any, Callable, Optional, Tuple

__all__ = ["call_cancellably"]

_CANCELLING = frozenset(int(number) for number in (signal.SIGINT, getattr(signal, "SIGTERM", None))
                        if number is not None)

# How often a cancel is made again while the call has not returned: a
# request made before the library's operation began is dropped when it begins.
_REPEAT_S = 0.1


def _forward(descriptor: int, data: bytes) -> None:
    """Hands signal bytes on to the wake-up descriptor a call displaced."""
    try:
        if os.name == "nt":  # a socket handle there
            displaced = socket.socket(fileno=descriptor)
            try:
                displaced.send(data)
            finally:
                displaced.detach()
        else:
            os.write(descriptor, data)
    except OSError:
        pass  # full or closed: its owner would have missed the byte as well


class _Watcher:
    """The wake-up socket of this process and the thread that reads it."""

    def __init__(self) -> None:
        self._reader, self._writer = socket.socketpair()
        self._writer.setblocking(False)  # set_wakeup_fd requires it
        self.descriptor = self._writer.fileno()
        # The running call's cancel function, in a tuple of its own: the
        # thread tells one call from the next by the tuple's identity.
        self.running: Optional[Tuple[Callable[[], Any]]] = None
        self.displaced = -1  # the wake-up descriptor the running call displaced
        threading.Thread(target=self._watch, name="termbridge-ctrl-c", daemon=True).start()

    def _watch(self) -> None:
        cancelled: Optional[Tuple[Callable[[], Any]]] = None
        while True:
            try:
                data = self._reader.recv(64)
            except socket.timeout:
                data = b""
            except OSError:
                return
            running = self.running
            if data and self.displaced != -1:
                _forward(self.displaced, data)
            if data and running is not None and _CANCELLING.intersection(data):
                cancelled = running
            if cancelled is not None and cancelled is running:
                cancelled[0]()
                self._reader.settimeout(_REPEAT_S)
            else:
                cancelled = None
                self._reader.settimeout(None)

    def call(self, function: Callable[[], Any], cancel: Callable[[], Any]) -> Any:
        self.running = (cancel,)  # before the descriptor: a signal from then on cancels
        previous = -1
        try:
            previous = signal.set_wakeup_fd(self.descriptor, warn_on_full_buffer=False)
            if previous == self.descriptor:  # left by a call interrupted before it could put it back
                previous = -1
            self.displaced = previous
            return function()
        finally:
            self.running = None
            signal.set_wakeup_fd(previous)
            self.displaced = -1


_watcher: Optional[_Watcher] = None
_watcher_lock = threading.Lock()


def _watcher_of_process() -> _Watcher:
    global _watcher
    with _watcher_lock:
        if _watcher is None:
            _watcher = _Watcher()
        return _watcher


def _forget_watcher() -> None:
    """A forked child has no watching thread: it starts its own."""
    global _watcher, _watcher_lock
    _watcher = None
    _watcher_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_watcher)


def call_cancellably(function: Callable[[], Any], cancel: Optional[Callable[[], Any]]) -> Any:
    """Runs a library call. From the main thread, Ctrl-C meanwhile cancels
    its operation with ``cancel``; KeyboardInterrupt is raised once the call
    has returned. Other threads, and a library without ``cancel``, run it
    directly (Python's handlers run on the main thread only)."""
    if cancel is None or threading.current_thread() is not threading.main_thread():
        return function()
    return _watcher_of_process().call(function, cancel)
