#!/bin/sh
# Runs one test program against a native emulator process:
#   run_with_emulator.sh <tb-emulator> <command...>
# The emulator picks free ports; the test program finds them in
# TB_EMULATOR_COMMAND_PORT and TB_EMULATOR_CONTROL_PORT. Its EEPROM lives in
# a file of its own. When the emulator stops cleanly (the control line
# "shutdown", status 0) while the test program runs, it is started again on
# the same ports with the same EEPROM file, so a test can see what survives a
# restart. Any other end (a crash, a sanitizer's report) is not restarted and
# fails the run, whatever the test program says.
set -eu
tb_source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
. "$tb_source_dir/tests/common/emulator.sh"
emulator="$1"
shift
work="$(mktemp -d)"
emulator_loop=""
cleanup() {
    touch "$work/stop"
    if [ -s "$work/pid" ]; then kill "$(cat "$work/pid")" 2>/dev/null || true; fi
    if [ -n "$emulator_loop" ]; then wait "$emulator_loop" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# run_emulator <ready file> <emulator arguments...>: one emulator run in
# the background, its process id in $work/pid; true when it ended cleanly.
# Another status goes to $work/failed, unless it is the SIGTERM (143) of our
# own stop reaching an emulator before it took the signal over (it then ends
# with 0).
run_emulator() {
    ready="$1"
    shift
    "$emulator" --eeprom-file "$work/eeprom.bin" -q "$@" >"$ready" &
    pid=$!
    echo "$pid" >"$work/pid"
    # A stop asked for before the pid was written would miss this run.
    if [ -e "$work/stop" ]; then kill "$pid" 2>/dev/null || true; fi
    ended=0
    wait "$pid" || ended=$?
    [ "$ended" -eq 0 ] && return 0
    if [ "$ended" -ne 143 ] || [ ! -e "$work/stop" ]; then echo "$ended" >"$work/failed"; fi
    return 1
}

(
    run_emulator "$work/ready" --control-port 0 || exit 0
    command_port="$(tb_ready_port "$work/ready" command)"
    control_port="$(tb_ready_port "$work/ready" control)"
    restarts=0
    while [ -n "$control_port" ] && [ ! -e "$work/stop" ] && [ "$restarts" -lt 50 ]; do
        restarts=$((restarts + 1))
        run_emulator "$work/ready-again" --command-port "$command_port" --control-port "$control_port" || exit 0
        sleep 0.05
    done
) &
emulator_loop=$!

# Stops the emulator (it ends with 0 on SIGTERM) and says how it ended: false
# when it ended otherwise at any time.
stop_emulator() {
    touch "$work/stop"
    if [ -s "$work/pid" ]; then kill "$(cat "$work/pid")" 2>/dev/null || true; fi
    wait "$emulator_loop" 2>/dev/null || true
    emulator_loop=""
    if [ -s "$work/failed" ]; then
        echo "run_with_emulator: the emulator ended with status $(cat "$work/failed")" >&2
        return 1
    fi
}

if ! tb_wait_ready "$work/ready" "$emulator_loop"; then
    echo "run_with_emulator: the emulator did not start" >&2
    if [ -s "$work/failed" ]; then echo "run_with_emulator: the emulator ended with status $(cat "$work/failed")" >&2; fi
    exit 1
fi
TB_EMULATOR_COMMAND_PORT="$(tb_ready_port "$work/ready" command)"
TB_EMULATOR_CONTROL_PORT="$(tb_ready_port "$work/ready" control)"
export TB_EMULATOR_COMMAND_PORT TB_EMULATOR_CONTROL_PORT
status=0
"$@" || status=$?
stop_emulator || { [ "$status" -ne 0 ] || status=1; }
exit "$status"
