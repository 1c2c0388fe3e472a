#!/usr/bin/env bash
# The demo: the emulated dispatcher and chip on loopback, and the console host
# running examples/demo.tbs against them through the library.
#   examples/demo.sh <build dir>
set -euo pipefail

build="$(cd "${1:?build dir}" && pwd)"
examples="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export TERMBRIDGE_ROOT="$build/demo-root"
mkdir -p "$TERMBRIDGE_ROOT"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
command_port=$(free_port)
library_port=$(free_port)

# The library finds the dispatcher through the registry (registry.reg here).
cat >"$TERMBRIDGE_ROOT/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports]
"Console_To_Dispatcher"="$command_port"
"Dispatcher_To_Console"="$library_port"

[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses]
"Console_To_Dispatcher"="127.0.0.1"
REG

emulator_args=(--command-port "$command_port" --library-port "$library_port")
[ -f "$examples/definitions/list.txt" ] && emulator_args+=(--definitions "$examples/definitions/list.txt")
"$build/tools/emulator/tb-emulator" "${emulator_args[@]}" -v &
emulator=$!
trap 'kill $emulator 2>/dev/null || true; wait $emulator 2>/dev/null || true' EXIT
sleep 0.3

echo "== console session (logs in $TERMBRIDGE_ROOT)"
# The script names the example firmware package relative to the build tree.
cd "$build"
# The console exits 1 when an expectation of the script is not met.
"$build/tools/console/tb-console" --lib "$build/libTermBridge.so" --echo --script "$examples/demo.tbs" \
    --list "$examples/definitions/list.txt" --mac "$examples/maps/mac.map" --phy "$examples/maps/phy.map"
echo "== demo finished"
