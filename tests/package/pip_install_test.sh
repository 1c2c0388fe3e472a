#!/usr/bin/env bash
# bindings/python installs with pip without a network, and pytest then finds
# the plugin through its entry point: a chip test written against the
# fixtures runs against this build's library and emulator.
#   pip_install_test.sh <python> <source dir> <library> <tb-emulator>
set -euo pipefail
python="$1" source="$2" library="$3" emulator="$4"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# pip builds in the folder it is given: a copy keeps the source tree clean.
cp -r "$source/bindings/python" "$scratch/package"
"$python" -m pip install --quiet --root-user-action=ignore --no-index --no-build-isolation --no-deps \
    --target "$scratch/site" "$scratch/package"

cat >"$scratch/test_chip.py" <<'TEST'
import pytest
import termbridge


def test_word_round_trip(termbridge_session, termbridge_emulator):
    termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x10000040 0xcafe")
    assert termbridge_emulator.read_memory(0x10000040, 4) == bytes.fromhex("0000cafe")


@pytest.mark.termbridge_emulator(faults=["drop-next"])
def test_fault(termbridge_session):
    with pytest.raises(termbridge.CommandError, match="Timeout Error"):
        termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040", timeout_ms=300)
TEST

# Only the installed copy is importable; the plugin loads by its entry point.
cd "$scratch"
PYTHONPATH="$scratch/site" "$python" -m pytest -q -p no:cacheprovider --termbridge-library="$library" \
    --termbridge-emulator="$emulator" test_chip.py
