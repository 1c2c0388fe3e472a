#!/usr/bin/env python3
"""fwpack: firmware packages and map files for the ZRX4620.

  fwpack.py pack --out FILE [--mac ELF] [--phy ELF] [--asip TYPE:WIDTH:ADDRESS:HEXFILE]...
                 [--crlf]
      Writes a package: the preamble, then a MAC block, a PHY block and the
      ASIP blocks, in that order. ASIP data comes from text files of
      hexadecimal bytes (blanks and line ends between them; '#' starts a
      comment).

  fwpack.py map --nm NM --out FILE [--title TEXT] ELF
      Writes a linker map file from the image's symbol table, one
      "name address size type" line per defined symbol, as the library's map
      file reader takes them (first word the name, second the address).
"""
import argparse
import subprocess
import sys

RULE = "-" * 32
ELF_MAGIC = b"\x7fELF"


class InputError(Exception):
    """An input that cannot be used: exit status 1 with its message."""


def elf_block(header, image, end):
    text = end.join([header, RULE, "Image Size: %d" % len(image), RULE]) + end
    return text.encode("ascii") + image + end.encode("ascii")


def read_hex_bytes(path):
    data = bytearray()
    with open(path, encoding="ascii", errors="replace") as source:
        for number, line in enumerate(source, 1):
            for word in line.split("#", 1)[0].split():
                try:
                    value = int(word, 16)
                except ValueError:
                    value = -1
                if not 0 <= value <= 0xFF:
                    raise InputError("%s:%d: %s is not a byte" % (path, number, word))
                data.append(value)
    return bytes(data)


def parse_asip(argument):
    """(type, width, address, hex file) of an --asip value; None when malformed.
    The header writes the numbers in decimal and the address in 8 hex digits."""
    try:
        asip_type, width, address, path = argument.split(":", 3)
        asip_type, width, address = int(asip_type, 0), int(width, 0), int(address, 0)
    except ValueError:
        return None
    if asip_type < 0 or width < 0 or not 0 <= address <= 0xFFFFFFFF or not path:
        return None
    return asip_type, width, address, path


def asip_block(asip, end):
    asip_type, width, address, path = asip
    data = read_hex_bytes(path)
    lines = [
        "ASIP HEADER", RULE, "ASIP module %d" % asip_type, RULE,
        "ASIP Type: %d" % asip_type,
        "Instruction Width: %d" % width,
        "Load Address: 0x%08X" % address,
        "Data Length: %d" % len(data),
    ]
    return end.join(lines).encode("ascii") + end.encode("ascii") + data + end.encode("ascii")


def read_elf(path):
    with open(path, "rb") as image:
        data = image.read()
    if not data.startswith(ELF_MAGIC):
        raise InputError("%s is not an ELF image" % path)
    return data


def pack(args):
    end = "\r\n" if args.crlf else "\n"
    modules = (["mac"] if args.mac else []) + (["phy"] if args.phy else []) + ["asip"] * len(args.asip)
    preamble = [
        "ZRX4620 firmware package",
        "QUORIL SEMICONDUCTOR FIRMWARE PACKAGE",
        "Created by fwpack",
        "Package Version: 1",
        "Modules: " + " ".join(modules),
        "=" * 32,
    ]
    out = bytearray(end.join(preamble).encode("ascii") + end.encode("ascii"))
    for header, path in (("MAC HEADER", args.mac), ("PHY HEADER", args.phy)):
        if path:
            out += elf_block(header, read_elf(path), end)
    for asip in args.asip:
        out += asip_block(asip, end)
    with open(args.out, "wb") as target:
        target.write(out)


def nm_listing(nm, elf):
    try:
        run = subprocess.run([nm, "-S", "--defined-only", elf], capture_output=True, text=True)
    except OSError as error:
        raise InputError("cannot run %s: %s" % (nm, error.strerror))
    said = run.stderr.strip()
    if run.returncode != 0:
        raise InputError("%s failed on %s (exit status %d)%s" % (nm, elf, run.returncode,
                                                                  ": " + said if said else ""))
    # A stripped image: nm says "no symbols" and still succeeds.
    if not run.stdout.strip():
        raise InputError("%s has no symbols%s" % (elf, " (" + said + ")" if said else ""))
    return run.stdout


def symbols(nm, elf):
    for line in nm_listing(nm, elf).splitlines():
        words = line.split()
        if len(words) == 3:  # no size
            address, kind, name = words
            size = "0"
        elif len(words) == 4:
            address, size, kind, name = words
        else:
            continue
        if kind.upper() not in "TDRB":
            continue
        # nm shows a 32-bit image's addresses sign-extended to 64 bits.
        yield name, int(address, 16) & 0xFFFFFFFF, int(size, 16), kind


def write_map(args):
    lines = ["# %s: name, address, size, symbol type." % (args.title or args.elf)]
    for name, address, size, kind in sorted(symbols(args.nm, args.elf), key=lambda s: (s[1], s[0])):
        lines.append("%-30s0x%08X  0x%08X  %s" % (name, address, size, kind))
    if len(lines) == 1:
        raise InputError("%s has no code or data symbols for a map file" % args.elf)
    with open(args.out, "w", encoding="ascii", newline="\n") as target:
        target.write("\n".join(lines) + "\n")


def check_pack_arguments(parser, args):
    """Usage errors of pack (exit status 2): no module, a malformed --asip."""
    if not args.mac and not args.phy and not args.asip:
        parser.error("a package needs at least one module: --mac, --phy or --asip")
    parsed = []
    for argument in args.asip:
        asip = parse_asip(argument)
        if asip is None:
            parser.error("--asip wants TYPE:WIDTH:ADDRESS:HEXFILE with numbers of 0 or more and a 32-bit "
                         "address, not " + argument)
        parsed.append(asip)
    args.asip = parsed


# The project's version (CMakeLists.txt).
VERSION = "1.0.0.0"


def main():
    parser = argparse.ArgumentParser(description="ZRX4620 firmware packages and map files",
                                     epilog="Exit status: 0 written, 1 an input could not be read or the output "
                                            "written, 2 a usage error.")
    parser.add_argument("--version", action="version", version="fwpack.py " + VERSION)
    commands = parser.add_subparsers(dest="command", required=True)
    pack_command = commands.add_parser("pack", help="write a firmware package")
    pack_command.add_argument("--out", required=True)
    pack_command.add_argument("--mac")
    pack_command.add_argument("--phy")
    pack_command.add_argument("--asip", action="append", default=[], metavar="TYPE:WIDTH:ADDRESS:HEXFILE")
    pack_command.add_argument("--crlf", action="store_true", help="end the text lines with CR LF")
    map_command = commands.add_parser("map", help="write a map file from an image's symbols")
    map_command.add_argument("--nm", required=True)
    map_command.add_argument("--out", required=True)
    map_command.add_argument("--title")
    map_command.add_argument("elf")
    args = parser.parse_args()
    if args.command == "pack":
        check_pack_arguments(pack_command, args)
    try:
        if args.command == "pack":
            pack(args)
        else:
            write_map(args)
    except InputError as error:
        print("fwpack: %s" % error, file=sys.stderr)
        return 1
    except OSError as error:
        print("fwpack: %s: %s" % (error.filename, error.strerror), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
