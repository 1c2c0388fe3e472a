"""The names a definition set declares, read the way the library splits its
lines, for checks before a call: command words and the parameters of their
structures with their sizes, predefined names with their values, EEPROM
fields with their kinds. Also the reason lines of a failure, picked from the
library's operation log, and the nearest names for a mistyped one.

Only names (and the sizes and values the checks need) are read; the library
parses the same files for everything else.
"""

from __future__ import annotations

import dataclasses
import glob
import json
import math
import os
import re
from typing import Any, Dict, Iterable, List, Optional, Sequence

__all__ = ["NATIVE_COMMANDS", "DefinitionNames", "EepromField", "Parameter", "cause_lines", "nearest_names"]

# The native command words (the library's native command adapter) and the
# memory commands; a line may start with any of them whatever the definitions.
NATIVE_COMMANDS = ("NATIVE_READ_WORD_CMD", "NATIVE_WRITE_WORD_CMD", "NATIVE_READ_BUFFER_CMD", "NATIVE_WRITE_BUFFER_CMD",
                   "NATIVE_READ_EEPROM_CMD", "NATIVE_WRITE_EEPROM_CMD", "NATIVE_COMMAND_PIPE_CMD", "MEM_READ",
                   "MEM_WRITE")

_DELIMITERS = re.compile(r"[ (),;\t]+")
# The field keywords with the size and sign of the field each declares.
_FIELD_KEYWORDS = {"FIELD_UINT32": (4, False), "FIELD_INT32": (4, True), "FIELD_FIXED_POINT32": (4, True),
                   "USAGE_SPECIFIC_COUNTER_DEFINITION": (4, True), "FIELD_UINT16": (2, False),
                   "FIELD_INT16": (2, True), "FIELD_FIXED_POINT16": (2, True), "FIELD_UINT8": (1, False),
                   "FIELD_INT8": (1, True)}
_DECIMAL = re.compile(r"\s*[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?\s*")
_BYTE = re.compile(r"0x[0-9a-fA-F]{1,2}")
# EEPROM_FIELD_DOUBLE's size, format I.F, shift and sign flag.
_FORMAT = re.compile(r"\d+ \d+(\.\d+)? \d+ -?\d+")
# A command parameter's whole number: decimal, or hexadecimal with 0x (the
# library's base follows the 0x), either with a minus sign.
_WHOLE_NUMBER = re.compile(r"-?(0x[0-9a-fA-F]+|[0-9]+)[ \t\r\n]*")
# How much of a text the library reads as a number, by base.
_LEADING_NUMBER = {10: re.compile(r"[ \t\r\n]*([+-]?)()([0-9]*)"),
                   16: re.compile(r"[ \t\r\n]*([+-]?)(0[xX](?=[0-9a-fA-F]))?([0-9a-fA-F]*)")}
_PARAMETER_DELIMITERS = re.compile(r"[ =,]+")
_BLANKS = " \t\r\n"
# The longest value text the library takes (it refuses a longer one itself).
_MAX_VALUE_TEXT = 19


@dataclasses.dataclass(frozen=True)
class Parameter:
    """A field of a command's structure: its size in bytes and sign."""

    name: str
    size: int
    signed: bool

    @property
    def lowest(self) -> int:
        return -(1 << (self.size * 8 - 1)) if self.signed else 0

    @property
    def highest(self) -> int:
        return (1 << (self.size * 8 - (1 if self.signed else 0))) - 1

    def stored_value(self, text: str) -> int:
        """The value the library stores in the field for ``text``: its own
        reading (32 bits, saturated; it stops at the first character that is
        no digit), cut to the field's bytes."""
        bits = self.size * 8
        kept = _library_number(text, 32, self.signed) % (1 << bits)
        return kept - (1 << bits) if self.signed and kept >> (bits - 1) else kept


def _library_number(text: str, bits: int, signed: bool) -> int:
    """``text`` as the library reads a number (strtol, strtoul or strtoll
    with a 32-bit long): hexadecimal when it contains 0x, up to the first
    character that is no digit, 0 without digits, saturated out of range
    (a minus sign negates an unsigned number)."""
    base = 16 if "0x" in text else 10
    sign, _, digits = _LEADING_NUMBER[base].match(text).groups()
    magnitude = int(digits, base) if digits else 0
    if signed:
        value = -magnitude if sign == "-" else magnitude
        return max(-(1 << (bits - 1)), min(value, (1 << (bits - 1)) - 1))
    if magnitude >= 1 << bits:
        return (1 << bits) - 1
    return -magnitude % (1 << bits) if sign == "-" else magnitude


@dataclasses.dataclass(frozen=True)
class EepromField:
    """An EEPROM field: a number, or a list of ``size`` bytes. A number with a
    format (EEPROM_FIELD_DOUBLE) has its size in bytes, fraction bits, shift
    and sign."""

    name: str
    numeric: bool
    size: int = 0
    fraction_bits: Optional[int] = None
    shift: int = 0
    signed: bool = False

    def range_problem(self, text: str) -> Optional[str]:
        """Why the field's bytes cannot hold the value as the library stores it
        (the value times 2^F, rounded half away from zero, shifted): it would
        keep the low bytes, a plausible wrong value. None when they can."""
        if self.fraction_bits is None or not 1 <= self.size <= 4:
            return None
        product = math.ldexp(float(text), self.fraction_bits)
        raw = math.ceil(product - 0.5) if product < 0 else math.floor(product + 0.5)
        stored = raw << self.shift
        bits = self.size * 8
        lowest, highest = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if self.signed else (0, (1 << bits) - 1)
        if lowest <= stored <= highest:
            return None
        # The range of the raw value, whose shifted bits fit, in the field's units.
        raw_lowest, raw_highest = -(-lowest >> self.shift), highest >> self.shift
        return "%s holds %s to %s, not %s (the library would keep the low bytes: another value)" % (
            self.name, _exact(math.ldexp(raw_lowest, -self.fraction_bits)),
            _exact(math.ldexp(raw_highest, -self.fraction_bits)), text.strip())


def _exact(value: float) -> str:
    return "%.17g" % value


class DefinitionNames:
    """Commands, their parameters and the EEPROM fields of a definition set."""

    def __init__(self) -> None:
        self.structs: Dict[str, List[str]] = {}
        self.struct_fields: Dict[str, Dict[str, Parameter]] = {}  # structure -> its fields by name
        self.commands: Dict[str, str] = {}  # command -> structure
        self.predefined: Dict[str, int] = {}  # USER_PREDEFINE_VALUE names, as the library reads them
        self.eeprom_fields: Dict[str, EepromField] = {}
        self.unreadable: List[str] = []
        self._open_fields: List[Parameter] = []

    @classmethod
    def from_list_file(cls, path: str) -> "DefinitionNames":
        """Reads the files a list file names ("folder/*.h" names each .h file
        there); files that do not open are noted in ``unreadable``."""
        names = cls()
        path = path.lstrip(" \t")
        try:
            with open(path, encoding="latin-1") as listing:
                entries = [line.strip(" \t\r\n") for line in listing]
        except OSError:
            names.unreadable.append(path)
            return names
        folder = os.path.dirname(path)
        for entry in filter(None, entries):
            full = os.path.join(folder, entry) if folder else entry
            files = sorted(glob.glob(full)) if "*.h" in full else [full]
            for file in files:
                names.read_file(file)
        return names

    def read_file(self, path: str) -> None:
        try:
            with open(path, encoding="latin-1") as definitions:
                for line in definitions:
                    tokens = [token for token in _DELIMITERS.split(line.rstrip("\r\n")) if token]
                    if tokens:
                        self._take(tokens)
        except OSError:
            self.unreadable.append(path)

    def _take(self, tokens: List[str]) -> None:
        keyword = tokens[0]
        if keyword == "OPEN_STRUCT_DECLARATION":
            self._open_fields = []
        elif keyword in _FIELD_KEYWORDS and len(tokens) >= 2:
            self._open_fields.append(Parameter(tokens[1], *_FIELD_KEYWORDS[keyword]))
        elif keyword == "END_STRUCT_DECLARATION" and len(tokens) >= 2:
            self.structs[tokens[1]] = [field.name for field in self._open_fields]
            # A name declared twice: the library keeps the later field.
            self.struct_fields[tokens[1]] = {field.name: field for field in self._open_fields}
            self._open_fields = []
        elif keyword == "USER_PREDEFINE_VALUE" and len(tokens) >= 3:
            self.predefined[tokens[1]] = _library_number(tokens[2], 64, True)
        elif keyword == "DECLARE_COMMAND" and len(tokens) >= 6:
            self.commands.setdefault(tokens[1], tokens[3])
        elif keyword == "EEPROM_FIELD_DOUBLE" and len(tokens) >= 6 and _FORMAT.fullmatch(" ".join(tokens[2:6])):
            integer_bits, fraction_bits = tokens[3].split(".") if "." in tokens[3] else (tokens[3], "0")
            self.eeprom_fields[tokens[1]] = EepromField(tokens[1], True, int(tokens[2]), min(int(fraction_bits), 64),
                                                        min(int(tokens[4]), 64), int(tokens[5]) != 0)
        elif keyword in ("EEPROM_FIELD_DOUBLE", "EEPROM_FIELD_REGISTER") and len(tokens) >= 2:
            self.eeprom_fields[tokens[1]] = EepromField(tokens[1], True)
        elif keyword == "EEPROM_FIELD_CHAR" and len(tokens) >= 3 and tokens[2].isdigit():
            self.eeprom_fields[tokens[1]] = EepromField(tokens[1], False, int(tokens[2]))

    @property
    def empty(self) -> bool:
        return not self.commands and not self.eeprom_fields

    def command_words(self) -> List[str]:
        return list(NATIVE_COMMANDS) + sorted(self.commands)

    def parameters(self, command: str) -> List[str]:
        return list(self.structs.get(self.commands.get(command, ""), []))

    def unknown_names(self, line: str) -> Optional[str]:
        """Why a command line names something the definitions do not declare
        (None when every name is known), with the nearest known names."""
        words = line.split()
        if not words:
            return None
        command = words[0]
        if command not in NATIVE_COMMANDS and command not in self.commands:
            return "unknown command %s%s" % (command, _did_you_mean(nearest_names(command, self.command_words())))
        parameters = self.parameters(command)
        if not parameters:
            return None
        unknown = []
        for word in words[1:]:
            name = word.rstrip(",").split("=", 1)[0]
            if name and name not in parameters:
                unknown.append("%s%s" % (name, _did_you_mean(nearest_names(name, parameters), "=")))
        return "%s has no parameter %s" % (command, ", ".join(unknown)) if unknown else None

    def command_value_problem(self, line: str) -> Optional[str]:
        """Why the library would not store a parameter value of a PHY or MAC
        command line as typed: a value that is not wholly a number, or a
        number or predefined name outside the field's range, with the range
        and what the library would store; None when it would store each as
        typed. What the library refuses itself (a field or name it does not
        know, a missing value, a value too long) is left to it."""
        command, parameters = _split_command_line(line)
        fields = self.struct_fields.get(self.commands.get(command, ""))
        if fields is None:
            return None
        words = [word for word in _PARAMETER_DELIMITERS.split(parameters) if word]
        problems = []
        for name, value in zip(words[0::2], words[1::2]):
            field = fields.get(name)
            problem = self._parameter_problem(field, value) if field is not None else None
            if problem is not None:
                problems.append(problem)
        return "; ".join(problems) if problems else None

    def _parameter_problem(self, field: Parameter, value: str) -> Optional[str]:
        if len(value) > _MAX_VALUE_TEXT:
            return None
        shown, read = value.strip(_BLANKS), value
        if value[0] in "0123456789-":
            whole = _WHOLE_NUMBER.fullmatch(value)
            if whole and field.lowest <= int(value, 16 if "0x" in value else 10) <= field.highest:
                return None
        else:
            predefined = self.predefined.get(value)
            if predefined is None or field.lowest <= predefined <= field.highest:
                return None
            read = str(predefined)
            shown += " = " + read
        return "%s takes %d to %d, not %s (the library would store %d)" % (
            field.name, field.lowest, field.highest, shown, field.stored_value(read))

    def eeprom_value_problem(self, name: str, text: str) -> Optional[str]:
        """Why the library would not read ``text`` as the field's value as it
        reads (a numeric field takes a decimal number; the library stores 0 for
        anything else); None when it would, or the field is not declared."""
        field = self.eeprom_fields.get(name)
        if field is None:
            return None
        if field.numeric:
            if _DECIMAL.fullmatch(text):
                return field.range_problem(text)
            return "%s takes a decimal number, not %r (the library would store 0)" % (name, text)
        values = text.split()
        for value in values:
            if not _BYTE.fullmatch(value):
                return "%s takes bytes written 0xNN; %r is not one" % (name, value)
        if len(values) != field.size:
            return "%s takes %d bytes, the value gives %d" % (name, field.size, len(values))
        return None


def _split_command_line(line: str):
    """The command word (the first blank-delimited word) and the parameter
    text after the blank that ends it, as the library splits a line."""
    start = len(line) - len(line.lstrip(_BLANKS))
    end = start
    while end < len(line) and line[end] not in _BLANKS:
        end += 1
    return line[start:end], line[end + 1:]


def _did_you_mean(names: Sequence[str], suffix: str = "") -> str:
    return " (did you mean %s?)" % " or ".join(name + suffix for name in names) if names else ""


def _distance(a: str, b: str) -> int:
    """Edits (insert, delete, replace, swap of neighbours), case ignored."""
    a, b = a.upper(), b.upper()
    before: List[int] = []
    previous = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        current = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cost = 0 if a[i - 1] == b[j - 1] else 1
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                current[j] = min(current[j], before[j - 2] + 1)
        before, previous = previous, current
    return previous[-1]


def nearest_names(word: str, names: Iterable[str], count: int = 3) -> List[str]:
    """The names nearest to ``word`` (those that differ least from it); none
    when none is near enough (at most a third of the letters differ)."""
    scored = []
    for name in names:
        prefix = len(word) >= 4 and len(name) > len(word) and name[:len(word)].upper() == word.upper()
        distance = 1 if prefix else _distance(word, name)
        if distance <= max(1, max(len(word), len(name)) // 3):
            scored.append((distance, name))
    if not scored:
        return []
    nearest = min(distance for distance, _ in scored)
    best: List[str] = []
    for distance, name in scored:
        if distance == nearest and name not in best:
            best.append(name)
    return best[:count]


def _read_cause_rules() -> Dict[str, Any]:
    """The rule that picks a failure's cause from the library's log: a data
    file of this package, which tb-console is built from too."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "failure_causes.json"),
              encoding="utf-8") as rules:
        return json.load(rules)


_CAUSE_RULES = _read_cause_rules()
_REASON_WORDS = tuple(_CAUSE_RULES["reason_words"])
_RESTATEMENTS = tuple(_CAUSE_RULES["restatements"])
MAX_CAUSE_LINES = int(_CAUSE_RULES["max_lines"])


def cause_lines(operation_log: str, failure: str) -> List[str]:
    """The lines of the library's operation log that give the reason for a
    failure (at most the last MAX_CAUSE_LINES), without the failure text itself."""
    lines: List[str] = []
    for line in operation_log.split("\n"):
        line = line.rstrip(" \r")
        lower = line.lower()
        if not line or line == failure or line.startswith(_RESTATEMENTS):
            continue
        if any(word in lower for word in _REASON_WORDS) and line not in lines:
            lines.append(line)
    return lines[-MAX_CAUSE_LINES:]
