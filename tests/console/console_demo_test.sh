#!/usr/bin/env bash
# The console host runs the demo script against the emulator through the
# library, prints readable results for each kind of command, and meets every
# expectation of the script (demo.sh fails otherwise).
#   console_demo_test.sh <build dir>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# The emulator's own log lines (time first) are left out.
output=$("$here/../../examples/demo.sh" "$1" 2>&1 | grep -v '^[0-9][0-9]:[0-9][0-9]:[0-9][0-9] ')

# The console's lines after the echoed command, up to the next echoed one
# (a load's progress lines come before its answer).
answer_of() {
    awk -v command="> $1" 'found && /^> / { exit } found { print } $0 == command { found = 1 }' <<<"$output"
}

expect() {  # the console's answer to the echoed command
    local command="$1" answer="$2"
    if ! answer_of "$command" | grep -v -E '^(build|load|verify|eeprom) ' | head -1 | grep -q -F -- "$answer"; then
        echo "after '$command' expected '$answer'"
        answer_of "$command"
        exit 1
    fi
}

# Text results are shown as text, values the definitions name by their names.
expect "NATIVE_READ_WORD_CMD 0xBFC00100" '  ok, 11 bytes: "0x12345678"'
expect "NATIVE_READ_BUFFER_CMD 0xBFE00200 4" "  ok, 4 bytes: deadbeef"
expect "PHYC_SET_CHANNEL_CMD channel=3, band=1, flags=0x8001" '  ok, 15 bytes: "PHYC_STATUS_OK "'
expect "PHYC_RESET_CMD" "  ok, 0 bytes: "
# The MAC answer begins with the command's opcode.
expect "UMAC_SET_MODE_CMD mode=2 timeout=500 powerOffset=-3" "  ok, 12 bytes: UMAC_SET_MODE_OP 0000020001f4fffffffd"
expect "MEM_READ MAC_FILE_TYPE g_macStats 4" "  ok, 4 bytes: 01020304"
expect "MEM_READ STRUCT PHY_STATE temperature" "  ok, 2 bytes: 0123"
expect "PHYC_CAPTURE_DATA_CMD address=0xBF560000 length=600 source=1" "  ok, 1000 bytes: 01080f161d"
expect "NO_SUCH_CMD x=1" "  failed (1): Error: Failed to Send Command : 'NO_SUCH_CMD x=1 '"
# The capture's traffic: counter read, two buffer writes, counter write; their
# four answers and the six events of the capture.
expect ":stats" "last operation: 4 commands sent, 10 events accepted, 0 events dropped, 2096 bytes sent, 5200 bytes received"
# The firmware is loaded and started; the report shows the versions the
# images carry, printed once.
expect ":load firmware/example.fwp" "  ok ("
[ "$(grep -c '^Mac Version:' <<<"$output")" -eq 1 ] || { echo "the version report is not printed exactly once"; exit 1; }
grep -q "Phy-Mac Interface Revision Number:  5" <<<"$output"
# The example images agree: the report ends without a warning block.
if grep -q "Incompatible Version" <<<"$output"; then echo "the demo's version report warns"; exit 1; fi
expect ":eeprom get TxPowerGain chip" "  ok ("
grep -q "== demo finished" <<<"$output"
# The emulator's quiet by default: no per-packet lines ("<- #3 ...") among the session's.
if grep -q -- '<- #' <<<"$output"; then echo "the emulator's packet lines are in the demo's output"; exit 1; fi
# Nothing went to the library's crash file (the emulator keeps its own files apart).
crash="$1/demo-root/C/ConsoleDllCrash.txt"
if [ -s "$crash" ]; then echo "the demo left lines in $crash:"; cat "$crash"; exit 1; fi
echo "console demo: every answer as expected"
