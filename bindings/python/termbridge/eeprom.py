"""EEPROM values between Python and the library's texts.

The library formats a numeric field with three decimals ("  12.250") and a
byte-list field as "0x0a 0xff " (each byte, a blank after each). Values go
to the library as text too: numbers in decimal, bytes as "0x.." tokens.
"""

from __future__ import annotations

import enum
from typing import Dict, Union

__all__ = ["EepromSource", "EepromValue", "format_eeprom_value", "parse_eeprom_listing", "parse_eeprom_value"]

EepromValue = Union[float, bytes, str]


class EepromSource(enum.IntEnum):
    """Where InitEepromIF takes the EEPROM image from (its mode argument)."""

    DEFINITIONS = 0  # the initial values of the definition files
    IMAGE_FILE = 1  # a binary image file (path)
    CHIP = 2  # the chip's EEPROM, read field by field
    VALUE_FILE = 3  # a text file of "name = value" lines (path)


def parse_eeprom_value(text: str) -> EepromValue:
    """The Python value of a field's text: bytes for a byte list, float for a
    number, the text itself when it is neither."""
    words = text.split()
    if words and all(word.startswith("0x") for word in words):
        try:
            return bytes(int(word, 16) & 0xFF for word in words)
        except ValueError:
            return text
    if not words:
        # An empty byte list formats as nothing at all.
        return b""
    try:
        return float(text)
    except ValueError:
        return text


def parse_eeprom_listing(text: str) -> Dict[str, EepromValue]:
    """The fields of a listing ("name = value" lines), in listing order."""
    fields: Dict[str, EepromValue] = {}
    for line in text.split("\0", 1)[0].splitlines():
        name, separator, value = line.partition(" = ")
        if separator:
            fields[name.strip()] = parse_eeprom_value(value)
    return fields


def format_eeprom_value(value: Union[str, bytes, bytearray, int, float]) -> str:
    """The text UpdateEepromField takes for a value: bytes as "0x.." tokens,
    numbers in plain decimal, text unchanged."""
    if isinstance(value, (bytes, bytearray)):
        return " ".join("0x%02x" % byte for byte in value)
    if isinstance(value, bool):
        return str(int(value))
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        # Plain decimal: the library reads no exponent. 15 decimals keep
        # every fraction a field can hold.
        return ("%.15f" % value).rstrip("0").rstrip(".") or "0"
    if isinstance(value, str):
        return value
    raise TypeError("an EEPROM value is text, bytes or a number, not %s" % type(value).__name__)
