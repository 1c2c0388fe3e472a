#!/usr/bin/env python3
"""fwpack.py refuses what would make a broken package or an empty map file:
each case's exit status (1 an input, 2 a usage error) and its message, never
a traceback.

usage: fwpack_test.py --fwpack FWPACK.PY --nm NM --strip STRIP --elf IMAGE
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None


class FwpackRefusals(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tb-fwpack-")
        self.hex = self.write("asip.hex", "00 11 22 33\n")
        self.stripped = os.path.join(self.folder, "stripped.elf")
        subprocess.run([ARGS.strip, "-o", self.stripped, ARGS.elf], check=True)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def write(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def fwpack(self, *arguments):
        run = subprocess.run([sys.executable, ARGS.fwpack] + list(arguments), capture_output=True, text=True,
                             timeout=30)
        return run.returncode, run.stderr

    def test_refusals(self):
        out = os.path.join(self.folder, "out")
        not_elf = self.write("notes.txt", "not an image\n")
        missing_nm = os.path.join(self.folder, "no-such-nm")
        cases = [
            # arguments, exit status, what stderr says
            (["map", "--nm", ARGS.nm, "--out", out, self.stripped], 1, "no symbols"),
            (["map", "--nm", ARGS.nm, "--out", out, not_elf], 1, "file format not recognized"),
            (["map", "--nm", missing_nm, "--out", out, ARGS.elf], 1, "cannot run " + missing_nm),
            (["pack", "--out", out], 2, "at least one module"),
            (["pack", "--out", out, "--mac", not_elf], 1, "is not an ELF image"),
            (["pack", "--out", out, "--asip", "1:16:-5:" + self.hex], 2, "32-bit address"),
            (["pack", "--out", out, "--asip", "1:16:0xBF3C0000"], 2, "TYPE:WIDTH:ADDRESS:HEXFILE"),
            (["pack", "--out", out, "--asip", "1:16:0xBF3C0000:" + not_elf], 1, "is not a byte"),
        ]
        for arguments, status, said in cases:
            code, err = self.fwpack(*arguments)
            self.assertEqual(code, status, "%s: %s" % (arguments, err))
            self.assertIn(said, err, arguments)
            self.assertNotIn("Traceback", err, arguments)
            self.assertFalse(os.path.exists(out), arguments)

    def test_good_inputs_still_make_a_package_and_a_map(self):
        out = os.path.join(self.folder, "out")
        self.assertEqual(self.fwpack("pack", "--out", out, "--mac", ARGS.elf, "--asip",
                                     "1:16:0xFFFFFFFF:" + self.hex), (0, ""))
        with open(out, "rb") as package:
            self.assertIn(b"Load Address: 0xFFFFFFFF\n", package.read())
        self.assertEqual(self.fwpack("map", "--nm", ARGS.nm, "--out", out, ARGS.elf), (0, ""))
        with open(out) as map_file:
            self.assertGreater(len(map_file.read().splitlines()), 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--fwpack", "--nm", "--strip", "--elf"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
