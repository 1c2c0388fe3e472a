"""Chip memory to and from files, and the firmware verify's verdict.

A range is whole 4-byte words from a word-aligned address, as the chip's
memory bus moves them, at most 256 MiB at once (a transfer is held in memory
whole), and ends within the 32-bit address space. tb-console applies the same
rule with the same texts (tests/data/memoryfiles.json holds the cases both
test suites check).
"""

from __future__ import annotations

import dataclasses
import errno
import os
import random
import re
import stat
from typing import List, NamedTuple, Optional

__all__ = ["ChunkDifference", "FirmwareVerdict", "MemoryMismatch", "ReplacingFile", "difference_text",
           "mismatches", "parse_verify_text", "range_problem", "read_memory_file"]

WORD_BYTES = 4
MOST_BYTES = 256 << 20
ADDRESS_SPACE_END = 1 << 32


class MemoryMismatch(NamedTuple):
    """A byte the chip holds otherwise than the file: its address, the file's byte, the chip's."""

    address: int
    expected: int
    found: int

    def __repr__(self) -> str:  # addresses and bytes as a bring-up engineer reads them
        return "MemoryMismatch(address=0x%08x, expected=0x%02x, found=0x%02x)" % self


def range_problem(address: int, length: int) -> Optional[str]:
    """None when ``length`` bytes from ``address`` may be moved, otherwise why not."""
    if address >= ADDRESS_SPACE_END:
        return "address 0x%08x lies past the 32-bit address space" % address
    if address % WORD_BYTES:
        return "address 0x%08x is not word-aligned (a multiple of 4)" % address
    if length == 0:
        return "0 bytes: nothing to move"
    if length % WORD_BYTES:
        return "%d bytes are no whole number of 4-byte words" % length
    if length > MOST_BYTES:
        return "%d bytes are more than one transfer takes (at most %d, 256 MiB)" % (length, MOST_BYTES)
    if address + length > ADDRESS_SPACE_END:
        return "0x%08x + %d bytes runs past the end of the 32-bit address space" % (address, length)
    return None


def read_memory_file(path: str) -> bytes:
    """The whole file; OSError when it does not open (a missing file, a
    folder), ValueError when it is no regular file (opening a pipe would wait
    for a writer), is empty or is larger than one transfer takes."""
    info = os.stat(path)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(info.st_mode):
        raise ValueError("%s is no regular file" % path)
    if info.st_size > MOST_BYTES:
        raise ValueError("%s holds more bytes than one transfer takes (at most %d, 256 MiB)" % (path, MOST_BYTES))
    with open(path, "rb") as file:
        data = file.read(MOST_BYTES + 1)
    if not data:
        raise ValueError("%s is empty" % path)
    if len(data) > MOST_BYTES:
        raise ValueError("%s holds more bytes than one transfer takes (at most %d, 256 MiB)" % (path, MOST_BYTES))
    return data


def mismatches(address: int, expected: bytes, found: bytes) -> List[MemoryMismatch]:
    """Every byte where the chip's differ from the file's."""
    return [MemoryMismatch(address + offset, want, have)
            for offset, (want, have) in enumerate(zip(expected, found)) if want != have]


def difference_text(subject: str, path: str, total: int, differing: List[MemoryMismatch]) -> str:
    """"SUBJECT differs from FILE: 3 of 64 bytes, the first at 0x10000010
    (chip 0x5a, file 0x00)"; ``subject`` names what was read."""
    first = differing[0]
    return "%s differs from %s: %d of %d bytes, the first at 0x%08x (chip 0x%02x, file 0x%02x)" % (
        subject, path, len(differing), total, first.address, first.found, first.expected)


class ReplacingFile:
    """A file written whole or not at all, as tb-console writes one: a
    temporary file is opened beside the destination before the bytes exist
    (so a destination that cannot be written is refused first), and commit()
    writes it, flushes it to the disk and puts it in the destination's place
    in one step (an existing file's permissions kept). Closed without a
    commit, the temporary file is removed and nothing else touched."""

    def __init__(self, path: str):
        self.path = path
        self.destination = os.path.realpath(path)
        self._mode: Optional[int] = None
        self._fd: Optional[int] = None
        self._committed = False
        try:
            self._check_destination()
            self._open_temporary()
        except OSError as error:
            # The error names the path given, not the temporary file.
            raise type(error)(error.errno, error.strerror, path) from None

    def _check_destination(self) -> None:
        if not os.path.lexists(self.destination):
            return
        info = os.stat(self.destination)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if not stat.S_ISREG(info.st_mode):
            raise OSError(0, "not a regular file")
        os.close(os.open(self.destination, os.O_WRONLY | getattr(os, "O_NONBLOCK", 0)))  # asks, never truncates
        self._mode = stat.S_IMODE(info.st_mode)

    def _open_temporary(self) -> None:
        folder, name = os.path.split(self.destination)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
        while True:
            self.temporary = os.path.join(folder, ".%s.tb%x%08x" % (name[:32], os.getpid(), random.getrandbits(32)))
            try:
                # 0666 less the umask: what an open for writing would create.
                self._fd = os.open(self.temporary, flags, 0o666)
                return
            except FileExistsError:
                continue

    def commit(self, data: bytes) -> None:
        assert self._fd is not None and not self._committed
        fd, self._fd = self._fd, None
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        if self._mode is not None:
            os.chmod(self.temporary, self._mode)
        os.replace(self.temporary, self.destination)
        self._committed = True

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if not self._committed:
            try:
                os.remove(self.temporary)
            except FileNotFoundError:
                pass

    def __enter__(self) -> "ReplacingFile":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


@dataclasses.dataclass(frozen=True)
class ChunkDifference:
    """A chunk of a firmware package that the chip holds otherwise: its kind
    ("MAC", "MAC interrupt-vector", "PHY", "ASIP"), address and length, the
    first differing byte (its address, what the chip holds, what the package
    has) and how many bytes of it differ."""

    kind: str
    address: int
    length: int
    first_address: int
    found: int
    expected: int
    differing: int

    def __repr__(self) -> str:
        return ("ChunkDifference(kind=%r, address=0x%08x, length=%d, first_address=0x%08x, found=0x%02x, "
                "expected=0x%02x, differing=%d)" % dataclasses.astuple(self))


@dataclasses.dataclass(frozen=True)
class FirmwareVerdict:
    """What a firmware verify found: ``holds`` when the chip holds every
    chunk the package would load; otherwise ``differences`` names the
    differing chunks (the library lists the first 20; ``differing`` counts
    them all). ``text`` is the library's own."""

    chunks: int
    differing: int
    differences: List[ChunkDifference]
    text: str

    @property
    def holds(self) -> bool:
        return self.differing == 0


_HOLDS = re.compile(r": (\d+) chunks, \d+ bytes compared$")
_DIFFERS = re.compile(r"^The chip's memory differs from .* in (\d+) of (\d+) chunks:$")
_CHUNK = re.compile(r"^  (.+) chunk at 0x([0-9a-f]+) \((\d+) bytes\): byte \d+ at 0x([0-9a-f]+) reads 0x([0-9a-f]+), "
                    r"the package has 0x([0-9a-f]+) \((\d+) of \d+ bytes differ\)$")


def parse_verify_text(text: str) -> Optional[FirmwareVerdict]:
    """The verdict in tbx_verifyFW's text (its summary, or its list of
    differing chunks); None when the text holds none (the verify failed)."""
    lines = text.split("\n")
    holds = _HOLDS.search(lines[0])
    if holds is not None and len(lines) == 1:
        return FirmwareVerdict(int(holds.group(1)), 0, [], text)
    differs = _DIFFERS.match(lines[0])
    if differs is None:
        return None
    differences = []
    for line in lines[1:]:
        chunk = _CHUNK.match(line)
        if chunk is not None:
            kind, address, length, first, found, expected, count = chunk.groups()
            differences.append(ChunkDifference(kind, int(address, 16), int(length), int(first, 16), int(found, 16),
                                               int(expected, 16), int(count)))
    return FirmwareVerdict(int(differs.group(2)), int(differs.group(1)), differences, text)
