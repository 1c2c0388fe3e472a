#!/usr/bin/env bash
# The README's quick start, run as it stands: every line of the first sh
# block of "From a clone to a session, a pytest run and a capture" after the
# clone (this tree is the clone), from the source root, with a python3 first
# on PATH that has neither pytest nor setuptools (as a pyenv or another venv
# would). Every line must succeed, and the capture must decode with the
# names of the example definitions and with its answers paired. Then the
# first sh block of "Installing the SDK", into a scratch prefix: after the
# demo it must install the SDK whole.
#   readme_quickstart_test.sh <source root>
set -euo pipefail
source_root="$(cd "$1" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

/usr/bin/python3 -m venv --without-pip "$scratch/foreign"
export PATH="$scratch/foreign/bin:$PATH"
if python3 -c 'import pytest' 2>/dev/null; then echo "the stand-in python3 has pytest" >&2; exit 1; fi

python3 - "$source_root/README.md" >"$scratch/quickstart.sh" <<'PY'
import re
import sys

text = open(sys.argv[1], encoding="utf-8").read()
section = text.split("## From a clone to a session, a pytest run and a capture", 1)[1]
lines = re.search(r"```sh\n(.*?)```", section, re.S).group(1).splitlines()
if not lines[0].startswith("git clone "):
    sys.exit("the quick start does not begin with the clone: " + lines[0])
print("\n".join(lines[1:]))
PY

python3 - "$source_root/README.md" "$scratch/prefix" >"$scratch/sdk.sh" <<'PY'
import re
import sys

text = open(sys.argv[1], encoding="utf-8").read()
section = text.split("## Installing the SDK", 1)[1]
block = re.search(r"```sh\n(.*?)```", section, re.S).group(1)
if "/opt/termbridge" not in block:
    sys.exit("the SDK steps install elsewhere than /opt/termbridge: " + block)
print(block.replace("/opt/termbridge", sys.argv[2]))
PY

cd "$source_root"
rm -rf out/captures
# The demo builds what it runs only: without this the wheel of an earlier
# full build of this tree would stand in for the one the SDK steps must make.
rm -f out/linux/python/termbridge-*.whl
if ! bash -euo pipefail -x "$scratch/quickstart.sh" >"$scratch/output" 2>&1; then
    cat "$scratch/output"
    echo "the quick start failed at the line above" >&2
    exit 1
fi
for expected in "== demo finished" " passed" "PHYC_SET_CHANNEL_CMD" "PHYC_STATUS_OK" "(PHYC_CAPTURE_DATA_CMD, " \
                "(capture of 1000 bytes reassembled)"; do
    if ! grep -q -F -- "$expected" "$scratch/output"; then
        cat "$scratch/output"
        echo "the quick start's output lacks: $expected" >&2
        exit 1
    fi
done
if ! bash -euo pipefail -x "$scratch/sdk.sh" >"$scratch/sdk-output" 2>&1; then
    cat "$scratch/sdk-output"
    echo "the SDK steps after the quick start failed at the line above" >&2
    exit 1
fi
if ! ls "$scratch"/prefix/share/termbridge/python/termbridge-*.whl >/dev/null 2>&1; then
    cat "$scratch/sdk-output"
    echo "the SDK steps installed no wheel of the Python package" >&2
    exit 1
fi
echo "README quick start and SDK steps: every line ran as written"
