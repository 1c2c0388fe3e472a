#!/usr/bin/env bash
# The README's quick start, run as it stands: every line of the first sh
# block of "From a clone to a session, a pytest run and a capture" after the
# clone (this tree is the clone), from the source root, with a python3 first
# on PATH that has neither pytest nor setuptools (as a pyenv or another venv
# would). Every line must succeed, and the capture must decode with the
# names of the example definitions and with its answers paired.
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

cd "$source_root"
rm -rf out/captures
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
echo "README quick start: every line ran as written"
