#!/usr/bin/env bash
# The demo: the emulated dispatcher and chip on loopback, and the console host
# running examples/demo.tbs against them through the library.
#   examples/demo.sh <build dir> [-v]
# The emulator's log goes to demo-root/emulator.log; -v shows it, one line
# per packet, among the session's lines.
set -euo pipefail

usage() { echo "usage: examples/demo.sh <build dir> [-v]" >&2; exit 2; }
if [ $# -lt 1 ] || [ $# -gt 2 ]; then usage; fi
[ $# -eq 1 ] || [ "$2" = -v ] || { echo "demo.sh: unknown option '$2'" >&2; usage; }
build="$(cd "$1" && pwd)"
verbose="${2:-}"
examples="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
tb_source_dir="$(cd "$examples/.." && pwd)"
source "$tb_source_dir/tests/common/emulator.sh"
# The library's files of this session (log, crash file, registry) start afresh.
export TERMBRIDGE_ROOT="$build/demo-root"
rm -rf "$TERMBRIDGE_ROOT"
mkdir -p "$TERMBRIDGE_ROOT"

command_port=$(tb_free_port)
library_port=$(tb_free_port)

# The library finds the dispatcher through the registry (registry.reg here).
cat >"$TERMBRIDGE_ROOT/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports]
"Console_To_Dispatcher"="$command_port"
"Dispatcher_To_Console"="$library_port"

[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses]
"Console_To_Dispatcher"="127.0.0.1"
REG

emulator_args=(--command-port "$command_port" --library-port "$library_port"
               --definitions "$examples/definitions/list.txt" --pcap "$TERMBRIDGE_ROOT/demo.pcap")
emulator_log="$TERMBRIDGE_ROOT/emulator.log"
if [ "$verbose" = -v ]; then
    "$build/tools/emulator/tb-emulator" "${emulator_args[@]}" -v >"$TERMBRIDGE_ROOT/emulator.ready" &
else
    "$build/tools/emulator/tb-emulator" "${emulator_args[@]}" >"$TERMBRIDGE_ROOT/emulator.ready" 2>"$emulator_log" &
fi
emulator=$!
trap 'kill $emulator 2>/dev/null || true; wait $emulator 2>/dev/null || true' EXIT
ready=0
tb_wait_ready "$TERMBRIDGE_ROOT/emulator.ready" $emulator || ready=$?
case $ready in
    1) echo "tb-emulator did not start:" >&2; cat "$emulator_log" >&2; exit 1 ;;
    2) echo "tb-emulator is not ready after 5 s" >&2; exit 1 ;;
esac

echo "== console session (logs in $TERMBRIDGE_ROOT)"
# The script names the example firmware package relative to the build tree.
cd "$build"
# The console exits 1 when an expectation of the script is not met.
"$build/tools/console/tb-console" --lib "$build/libTermBridge.so" --echo --script "$examples/demo.tbs" \
    --list "$examples/definitions/list.txt" --mac "$examples/maps/mac.map" --phy "$examples/maps/phy.map"
crash_file="$TERMBRIDGE_ROOT/C/ConsoleDllCrash.txt"
if [ -s "$crash_file" ]; then
    echo "== the library's crash file $crash_file:"
    cat "$crash_file"
fi
echo "== demo finished; its traffic, decoded: tshark -o udp.try_heuristic_first:TRUE -o tcp.try_heuristic_first:TRUE -X lua_script:$build/wireshark/termbridge.lua -r $TERMBRIDGE_ROOT/demo.pcap -Y termbridge"
