#!/usr/bin/env bash
# termbridge: one entry point for everything.
#
#   ./run.sh demo    build, start the emulated dispatcher and chip, and run the
#                    console host on a short scripted session
#   ./run.sh test    install what is missing, build the Linux and Windows
#                    targets and run every test (Linux, sanitizers, fuzzers,
#                    and the Windows suite under Wine)
#   ./run.sh build   configure and build the Linux target only
#   ./run.sh matrix  run the fault matrix (every emulated fault against every
#                    kind of operation) and put its table into RELIABILITY.md
#
# Build trees go to out/. Set TB_JOBS to change the build parallelism.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"
out="$here/out"
jobs="${TB_JOBS:-2}"

log() { printf '\n==== %s\n' "$*"; }

# ------------------------------------------------------------------ packages
native_packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
                 libbenchmark-dev python3 binutils-mips-linux-gnu libcli11-dev nlohmann-json3-dev libedit-dev
                 python3-pytest python3-pip python3-setuptools python3-wheel tshark pkg-config)
# The console's option and JSON headers are header-only: the Windows build
# takes them from the native packages above.
windows_packages=(g++-mingw-w64-i686-posix wine wine32:i386 libcli11-dev nlohmann-json3-dev)

missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
    done
}

install_packages() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    log "installing: $missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if echo "$missing" | grep -q ':i386' && ! dpkg --print-foreign-architectures | grep -q i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

# ------------------------------------------------------------------ builds
configure_build() {  # dir, extra cmake arguments...
    local dir="$1"
    shift
    cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

build_linux() {
    log "Linux build"
    configure_build "$out/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_BENCH=ON
}

run_ctest() {  # dir, extra ctest arguments...
    local dir="$1"
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

test_linux() {
    build_linux
    log "Linux tests"
    run_ctest "$out/linux"
}

test_sanitizers() {
    log "ASan + UBSan build and tests"
    configure_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DTB_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "$out/asan"

    log "TSan build and tests"
    configure_build "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DTB_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest "$out/tsan"
}

test_fuzzers() {
    log "Fuzz targets (short runs over the seed corpus)"
    configure_build "$out/fuzz" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTB_FUZZ=ON -DTB_TESTS=OFF -DTB_TOOLS=OFF
    local target name scratch
    for target in "$out"/fuzz/tests/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        name=$(basename "$target" | sed 's/^fuzz_//')
        # New inputs go to a scratch folder; the checked-in seeds stay as they are.
        scratch="$out/fuzz/corpus/$name"
        mkdir -p "$scratch"
        local seeds=("$here/tests/fuzz/corpus/$name")
        # The example definition set seeds the parser too (folders are read recursively).
        [ "$name" = definitions ] && seeds+=("$here/examples/definitions")
        # The example firmware package (and its images), when the build made them.
        [ "$name" = firmware ] && [ -d "$out/fuzz/firmware" ] && seeds+=("$out/fuzz/firmware")
        "$target" -max_total_time=20 -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 "$scratch" "${seeds[@]}" \
            >"$target.log" 2>&1 || { tail -40 "$target.log"; return 1; }
        echo "fuzz_$name: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$target.log" | tail -1), no crash"
    done
}

check_definitions() {
    local checker="$out/linux/tools/checker/tb-defcheck"
    [ -x "$checker" ] || return 0
    log "Definitions checker on the examples"
    "$checker" "$here/examples/definitions/list.txt" --mac "$here/examples/maps/mac.map" \
        --phy "$here/examples/maps/phy.map"
}

test_windows() {
    log "Windows build (mingw-w64, i686)"
    configure_build "$out/win" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTB_NATIVE_EMULATOR="$out/linux/tools/emulator/tb-emulator"
    local dll="$out/win/bin/TermBridge.dll"
    log "TermBridge.dll imports and exports"
    i686-w64-mingw32-objdump -p "$dll" | grep 'DLL Name' | sort
    if i686-w64-mingw32-objdump -p "$dll" | grep -Ei 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
        echo "TermBridge.dll must not need the mingw runtime DLLs" >&2
        return 1
    fi
    # The 26 host functions, unchanged, then only the tbx_ extensions listed.
    python3 "$here/tests/check_exports.py" "$dll" "$here/src/TermBridge.def"

    log "Windows tests under Wine"
    export WINEPREFIX="$out/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32
    if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1 || true; fi
    # A persistent Wine server makes each test program start in milliseconds.
    (wineserver -p >/dev/null 2>&1 &)
    # One test program at a time: they share the prefix's log folder and C:\.
    local status=0
    ctest --test-dir "$out/win" --output-on-failure -j 1 || status=$?
    wineserver -k >/dev/null 2>&1 || true
    return $status
}

# ------------------------------------------------------------------ RELIABILITY.md
# update_reliability_section <name> <heading> <body file>: replaces the part of
# RELIABILITY.md between <!-- name:begin --> and <!-- name:end --> (appended
# when missing; the file is created when missing), so that each command keeps
# its own section.
update_reliability_section() {
    python3 - "$here/RELIABILITY.md" "$1" "$2" "$3" <<'PY'
import os, sys
path, name, heading, body_file = sys.argv[1:5]
begin, end = "<!-- %s:begin -->" % name, "<!-- %s:end -->" % name
with open(body_file, encoding="utf-8") as f:
    body = f.read().rstrip("\n")
section = "%s\n## %s\n\n%s\n%s" % (begin, heading, body, end)
text = open(path, encoding="utf-8").read() if os.path.exists(path) else "# Reliability\n"
if begin in text and end in text and text.index(begin) < text.index(end):
    text = text[:text.index(begin)] + section + text[text.index(end) + len(end):]
else:
    text = text.rstrip("\n") + "\n\n" + section + "\n"
tmp = path + ".tmp"
with open(tmp, "w", encoding="utf-8") as f:
    f.write(text)
os.replace(tmp, path)
PY
}

# ------------------------------------------------------------------ commands
cmd_build() {
    install_packages "${native_packages[@]}"
    build_linux
}

cmd_test() {
    install_packages "${native_packages[@]}" "${windows_packages[@]}"
    local started=$SECONDS
    test_linux
    check_definitions
    test_sanitizers
    test_fuzzers
    test_windows
    log "all tests passed in $((SECONDS - started)) s"
}

cmd_matrix() {
    install_packages "${native_packages[@]}"
    log "Fault matrix (Linux)"
    cmake -S "$here" -B "$out/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_BENCH=ON >/dev/null
    cmake --build "$out/linux" -j "$jobs" --target e2e_fault_matrix
    local table="$out/fault-matrix.md"
    rm -f "$table"
    TB_MATRIX_OUT="$table" "$out/linux/tests/e2e/e2e_fault_matrix" --gtest_brief=1
    local body="$out/fault-matrix-section.md"
    {
        echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -sm), \`./run.sh matrix\`" \
             "(tests/e2e/fault_matrix_e2e_test.cpp; the test command runs the same program on Linux," \
             "under ASan+UBSan and TSan, and as a Windows program under Wine)."
        echo
        cat "$table"
    } >"$body"
    update_reliability_section matrix "Fault matrix" "$body"
    log "RELIABILITY.md: fault matrix updated"
}

cmd_demo() {
    install_packages "${native_packages[@]}"
    build_linux
    "$here/examples/demo.sh" "$out/linux"
}

case "${1:-}" in
    demo) cmd_demo ;;
    test) cmd_test ;;
    build) cmd_build ;;
    matrix) cmd_matrix ;;
    *)
        sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
