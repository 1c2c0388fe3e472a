#!/usr/bin/env bash
# Installs this build into a scratch prefix, then builds and runs a tiny host
# project against it with find_package(termbridge), and compiles it once more
# with the flags of the pkg-config file.
#   sdk_consumer_test.sh <build dir> <source dir> <expected version "x.y.z">
set -euo pipefail
build="$1" source="$2" version="$3"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
# The library's files (logs) go to the scratch folder.
export TERMBRIDGE_ROOT="$scratch/root"
cmake --install "$build" --prefix "$prefix" >/dev/null
for installed in include/termbridge.h bin/tb-console bin/tb-emulator; do
    [ -e "$prefix/$installed" ] || { echo "not installed: $installed" >&2; exit 1; }
done

# A compiler launcher of the environment (ccache) plays no part here.
env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER \
    cmake -S "$source/tests/sdk/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
# The library's start-up lines come first; the consumer's own line is the last.
output="$("$scratch/consumer/consumer" | tail -1)"
echo "$output"
[ "$output" = "termbridge $version" ] || { echo "expected: termbridge $version" >&2; exit 1; }

if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name termbridge.pc)")"
    # shellcheck disable=SC2046
    cc -o "$scratch/consumer-pc" "$source/tests/sdk/consumer/consumer.c" $(pkg-config --cflags --libs termbridge)
    output="$(LD_LIBRARY_PATH="$(pkg-config --variable=libdir termbridge)" "$scratch/consumer-pc" | tail -1)"
    [ "$output" = "termbridge $version" ] || { echo "pkg-config build printed: $output" >&2; exit 1; }
    echo "pkg-config: $(pkg-config --modversion termbridge)"
fi
