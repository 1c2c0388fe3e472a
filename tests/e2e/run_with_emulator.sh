#!/bin/sh
# Runs one test program against a native emulator process:
#   run_with_emulator.sh <tb-emulator> <command...>
# The emulator picks free ports; the test program finds them in
# TB_EMULATOR_COMMAND_PORT and TB_EMULATOR_CONTROL_PORT.
set -eu
emulator="$1"
shift
ready_file="$(mktemp)"
"$emulator" --control-port 0 -q >"$ready_file" &
emulator_pid=$!
trap 'kill "$emulator_pid" 2>/dev/null || true; wait "$emulator_pid" 2>/dev/null || true; rm -f "$ready_file"' EXIT
tries=0
until grep -q '^ready ' "$ready_file"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$emulator_pid" 2>/dev/null; then
        echo "run_with_emulator: the emulator did not start" >&2
        exit 1
    fi
    sleep 0.05
done
line="$(grep '^ready ' "$ready_file")"
TB_EMULATOR_COMMAND_PORT="$(echo "$line" | sed 's/.*command-port=\([0-9]*\).*/\1/')"
TB_EMULATOR_CONTROL_PORT="$(echo "$line" | sed 's/.*control-port=\([0-9]*\).*/\1/')"
export TB_EMULATOR_COMMAND_PORT TB_EMULATOR_CONTROL_PORT
status=0
"$@" || status=$?
exit "$status"
