"""The firmware version report of getSystemVersionInfo, read into records."""

from __future__ import annotations

import dataclasses
from typing import Dict, List, Optional

__all__ = ["FirmwareVersion", "SystemVersion", "UNREAD_VALUE", "parse_version_report"]

# What the report shows for a version word whose read failed (0xCDCDCDCD).
UNREAD_VALUE = -842150451

_LABELS: Dict[str, str] = {
    "Major Version": "major",
    "Minor Version": "minor",
    "Branch Version": "branch",
    "Build Number": "build",
    "System Repo Revision Number": "system_revision",
    "Component Repo Revision Number": "component_revision",
    "Host-FW Interface Revision Number": "host_fw_interface",
    "Phy-Mac Interface Revision Number": "phy_mac_interface",
    "Uart-Phy Interface Revision Number": "uart_phy_interface",
}

# The words whose difference makes the report warn of an incompatibility.
_COMPARED = ("major", "minor", "branch", "phy_mac_interface")


@dataclasses.dataclass
class FirmwareVersion:
    """The version words of one processor's firmware; None where the read failed
    (and ``host_fw_interface`` for the PHY, which has none)."""

    major: Optional[int] = None
    minor: Optional[int] = None
    branch: Optional[int] = None
    build: Optional[int] = None
    system_revision: Optional[int] = None
    component_revision: Optional[int] = None
    host_fw_interface: Optional[int] = None
    phy_mac_interface: Optional[int] = None
    uart_phy_interface: Optional[int] = None


@dataclasses.dataclass
class SystemVersion:
    """The MAC and PHY firmware versions, the report's warnings and its text."""

    mac: FirmwareVersion
    phy: FirmwareVersion
    warnings: List[str]
    text: str

    @property
    def read_any(self) -> bool:
        """Whether any version word was read (none is when no chip answered)."""
        return any(value is not None for side in (self.mac, self.phy) for value in dataclasses.astuple(side))

    @property
    def compatible(self) -> bool:
        """True when both sides run firmware, the words the library compares
        were read on both sides and the report warns of no incompatibility;
        ``reason`` says why not."""
        return self.reason is None

    @property
    def reason(self) -> Optional[str]:
        """Why the pair is not compatible, None when it is. A side whose words
        all read 0 runs no firmware (a blank chip answers so); the library
        compares the words as they came: two unread ones, or two zero ones,
        look alike to it."""
        blank = [name for name, side in (("the MAC", self.mac), ("the PHY", self.phy)) if _blank(side)]
        if blank:
            return "no firmware answers on %s: every version word reads 0" % " and ".join(blank)
        compared = [getattr(side, name) for side in (self.mac, self.phy) for name in _COMPARED]
        if None in compared:
            return "the words the library compares (major, minor, branch, Phy-Mac interface) were not all read"
        if self.warnings:
            return "incompatible versions: " + "; ".join(self.warnings)
        return None


def _blank(side: FirmwareVersion) -> bool:
    read = [value for value in dataclasses.astuple(side) if value is not None]
    return bool(read) and not any(read)


def parse_version_report(text: str) -> Optional[SystemVersion]:
    """The records of a version report; None when the text is no report."""
    sides = {"Mac Version:": FirmwareVersion(), "Phy Version:": FirmwareVersion()}
    current: Optional[FirmwareVersion] = None
    seen = set()
    warnings = []
    for line in text.splitlines():
        line = line.strip()
        if line in sides:
            current = sides[line]
            seen.add(line)
        elif line.startswith("!! ") and line.endswith("!!"):
            warnings.append(line.strip("! "))
        elif current is not None and ":" in line:
            label, _, value = line.partition(":")
            attribute = _LABELS.get(label.strip())
            if attribute is not None and value.strip().lstrip("-").isdigit():
                number = int(value.strip())
                setattr(current, attribute, None if number == UNREAD_VALUE else number)
    if len(seen) != len(sides):
        return None
    return SystemVersion(sides["Mac Version:"], sides["Phy Version:"], warnings, text)
