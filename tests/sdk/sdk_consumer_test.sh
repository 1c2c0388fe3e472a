#!/usr/bin/env bash
# Installs this build into a scratch prefix, then builds and runs a tiny host
# project against it with find_package(termbridge); natively, compiles it once
# more with the flags of the pkg-config file and runs it as it is (the run
# path is in the flags), checks the library's versioned SONAME, and installs
# the Python wheel of the SDK and imports it.
#   sdk_consumer_test.sh <build dir> <source dir> <expected version "x.y.z"> [<tool chain file> <runner>]
# With a tool chain file (the Windows build) the consumer is cross-built and
# run by the runner (wine), with the installed DLL beside it.
set -euo pipefail
build="$1" source="$2" version="$3" toolchain="${4:-}" runner="${5:-}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
# The library's files (logs) go to the scratch folder.
export TERMBRIDGE_ROOT="$scratch/root"
cmake --install "$build" --prefix "$prefix" >/dev/null

if [ -n "$toolchain" ]; then
    expected=(include/termbridge.h bin/TermBridge.dll bin/tb-console.exe lib/TermBridge.lib lib/libTermBridge.dll.a)
else
    expected=(include/termbridge.h lib/libTermBridge.so bin/tb-console bin/tb-emulator bin/tb-defcheck
              share/termbridge/wireshark/termbridge.lua share/termbridge/wireshark/termbridge_names.lua)
fi
for installed in "${expected[@]}"; do
    [ -e "$prefix/$installed" ] || { echo "not installed: $installed" >&2; exit 1; }
done

configure=(-S "$source/tests/sdk/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix")
[ -n "$toolchain" ] && configure+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
# A compiler launcher of the environment (ccache) plays no part here.
env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER cmake "${configure[@]}" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
if [ -n "$toolchain" ]; then
    cp "$prefix"/bin/*.dll "$scratch/consumer/"
    consumer=("$runner" "$scratch/consumer/consumer.exe")
else
    consumer=("$scratch/consumer/consumer")
fi
# Into a file, not a pipe: processes Wine starts on the side keep a pipe open.
"${consumer[@]}" >"$scratch/consumer.out" 2>&1 </dev/null
# The library's start-up lines come first; the consumer's own line is the last.
output="$(tr -d '\r' <"$scratch/consumer.out" | tail -1)"
echo "$output"
[ "$output" = "termbridge $version" ] || { echo "expected: termbridge $version" >&2; exit 1; }

if [ -z "$toolchain" ]; then
    command -v pkg-config >/dev/null || { echo "pkg-config is not installed: the SDK's termbridge.pc goes unchecked" >&2; exit 1; }
    export PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name termbridge.pc)")"
    # shellcheck disable=SC2046
    cc -o "$scratch/consumer-pc" "$source/tests/sdk/consumer/consumer.c" $(pkg-config --cflags --libs termbridge)
    output="$(env -u LD_LIBRARY_PATH "$scratch/consumer-pc" | tail -1)"
    [ "$output" = "termbridge $version" ] || { echo "pkg-config build printed: $output" >&2; exit 1; }
    echo "pkg-config: $(pkg-config --modversion termbridge)"
fi

if [ -z "$toolchain" ]; then
    soname="$(objdump -p "$prefix/lib/libTermBridge.so" | awk '$1 == "SONAME" { print $2 }')"
    [ "$soname" = "libTermBridge.so.${version%%.*}" ] || { echo "SONAME: '$soname'" >&2; exit 1; }
    echo "SONAME: $soname"
fi
# The wheel (the build makes one with $TB_WHEEL_PYTHON) installs and imports
# without a network. The Linux SDK always holds one; a Windows build has one
# when its configure found such a Python.
if [ -z "$toolchain" ] && [ -z "${TB_WHEEL_PYTHON:-}" ]; then
    echo "no wheel: the build found no Python with pip, setuptools and wheel" \
         "(python3-pip, python3-setuptools, python3-wheel; or set TB_WHEEL_PYTHON)" >&2
    exit 1
fi
if [ -n "${TB_WHEEL_PYTHON:-}" ]; then
    wheels=("$prefix"/share/termbridge/python/termbridge-*.whl)
    [ -e "${wheels[0]}" ] || { echo "no wheel in $prefix/share/termbridge/python" >&2; exit 1; }
    "$TB_WHEEL_PYTHON" -m pip install --quiet --no-index --no-deps --target "$scratch/site" "${wheels[0]}"
    PYTHONPATH="$scratch/site" "$TB_WHEEL_PYTHON" -c \
        'import termbridge.pytest_plugin, termbridge.stations; print("wheel:", termbridge.__version__)'
fi
