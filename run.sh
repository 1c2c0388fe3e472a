#!/usr/bin/env bash
# termbridge: one entry point for everything.
#
#   ./run.sh demo    build, start the emulated dispatcher and chip, and run the
#                    console host on a short scripted session
#   ./run.sh test    install what is missing, build the Linux and Windows
#                    targets and run every test (Linux, sanitizers, fuzzers,
#                    and the Windows suite under Wine)
#   ./run.sh build   configure and build the Linux target only
#   ./run.sh fuzz [SECONDS] [TARGET...]
#                    run every libFuzzer target (or the named ones) for
#                    SECONDS each (default 600); crashes go to out/fuzz/crashes
#                    and the figures into RELIABILITY.md
#   ./run.sh soak [--windows] [N]
#                    N mixed commands (default 100000) against the emulator
#                    with faults; the figures go into RELIABILITY.md. With
#                    --windows, the Windows build's soak under Wine
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

build_fuzzers() {
    configure_build "$out/fuzz" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTB_FUZZ=ON -DTB_TESTS=OFF -DTB_TOOLS=OFF
}

# Runs one target over its seeds for the given seconds; new inputs go to a
# scratch folder (the checked-in seeds stay as they are), a crashing input to
# out/fuzz/crashes/. The log is left beside the target.
run_fuzzer() {  # target, seconds
    local target="$1" seconds="$2" name
    name=$(basename "$target" | sed 's/^fuzz_//')
    local scratch="$out/fuzz/corpus/$name"
    mkdir -p "$scratch" "$out/fuzz/crashes"
    local seeds=("$here/tests/fuzz/corpus/$name")
    # The example definition set seeds the parser too (folders are read recursively).
    [ "$name" = definitions ] && seeds+=("$here/examples/definitions")
    # The example firmware package (and its images), when the build made them.
    [ "$name" = firmware ] && [ -d "$out/fuzz/firmware" ] && seeds+=("$out/fuzz/firmware")
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/fuzz/crashes/$name-" "$scratch" "${seeds[@]}" >"$target.log" 2>&1
}

# One table row from a target's log: executions, coverage, crash.
fuzz_figures() {  # target, status
    local log="$1.log" name executions status_line cov ft
    name=$(basename "$1")
    executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    status_line=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
    [ -n "$executions" ] || executions=$(echo "$status_line" | grep -o '^#[0-9]*' | tr -d '#')
    cov=$(echo "$status_line" | grep -o 'cov: [0-9]*' | grep -o '[0-9]*')
    ft=$(echo "$status_line" | grep -o 'ft: [0-9]*' | grep -o '[0-9]*')
    local crash="none"
    [ "$2" -ne 0 ] && crash="$(grep -o 'Test unit written to .*' "$log" | sed 's/.*\///' | head -1)"
    [ "$2" -ne 0 ] && [ -z "$crash" ] && crash="exit status $2 (see $(basename "$log"))"
    printf '| `%s` | %s | %s | %s | %s |\n' "$name" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$crash"
}

# Replaces the generated section NAME of RELIABILITY.md with standard input.
write_reliability_section() {  # name
    python3 -c '
import sys
path, name = sys.argv[1], sys.argv[2]
begin, end = f"<!-- {name}: begin (generated by run.sh) -->", f"<!-- {name}: end -->"
body = sys.stdin.read().rstrip("\n")
text = open(path).read()
start, stop = text.index(begin) + len(begin), text.index(end)
open(path, "w").write(text[:start] + "\n" + body + "\n" + text[stop:])
' "$here/RELIABILITY.md" "$1"
}

test_fuzzers() {
    log "Fuzz targets (short runs over the seed corpus)"
    build_fuzzers
    local target
    for target in "$out"/fuzz/tests/fuzz/fuzz_*; do
        [ -x "$target" ] || continue
        run_fuzzer "$target" "${TB_FUZZ_SECONDS:-20}" || { tail -40 "$target.log"; return 1; }
        echo "$(basename "$target"): $(grep -o 'stat::number_of_executed_units: [0-9]*' "$target.log" | tail -1), no crash"
    done
}

check_definitions() {
    local checker="$out/linux/tools/checker/tb-defcheck"
    [ -x "$checker" ] || return 0
    log "Definitions checker on the examples"
    "$checker" "$here/examples/definitions/list.txt" --mac "$here/examples/maps/mac.map" \
        --phy "$here/examples/maps/phy.map"
}

build_windows() {
    log "Windows build (mingw-w64, i686)"
    configure_build "$out/win" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTB_NATIVE_EMULATOR="$out/linux/tools/emulator/tb-emulator" -DTB_BENCH=ON
}

# Wine for the Windows programs: a prefix in the build tree, quiet, and a
# persistent server, so that each program starts in milliseconds.
start_wine() {
    export WINEPREFIX="$out/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win32
    if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1 || true; fi
    (wineserver -p >/dev/null 2>&1 </dev/null &)
    # Wine's side processes (services) start with the first program and stay;
    # started here, they hold no test's output open (CTest would wait for it).
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

stop_wine() { wineserver -k >/dev/null 2>&1 || true; }

test_windows() {
    build_windows
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
    start_wine
    # One test program at a time: they share the prefix's log folder and C:\.
    local status=0
    ctest --test-dir "$out/win" --output-on-failure -j 1 || status=$?
    stop_wine
    return $status
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

cmd_fuzz() {  # [seconds] [target...]
    install_packages "${native_packages[@]}"
    local seconds="${1:-600}"
    [ $# -gt 0 ] && shift
    log "Fuzz targets, $seconds s each"
    build_fuzzers
    local targets=() target status failed=0 rows=""
    if [ $# -gt 0 ]; then
        for target in "$@"; do targets+=("$out/fuzz/tests/fuzz/fuzz_${target#fuzz_}"); done
    else
        for target in "$out"/fuzz/tests/fuzz/fuzz_*; do
            [ -x "$target" ] && targets+=("$target")  # not the logs beside them
        done
    fi
    for target in "${targets[@]}"; do
        [ -x "$target" ] || { echo "no fuzz target $target" >&2; return 1; }
        echo "$(basename "$target"): $seconds s"
        status=0
        run_fuzzer "$target" "$seconds" || status=$?
        [ $status -ne 0 ] && failed=1
        rows+="$(fuzz_figures "$target" $status)"$'\n'
        echo "${rows%$'\n'}" | tail -1
    done
    {
        echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), $seconds s per target on $(nproc) cores," \
             "ASan + UBSan, -O1; coverage as libFuzzer counts it at the end (cov: edges, ft: features)."
        echo
        echo "| target | executions | cov | ft | crash |"
        echo "|---|---:|---:|---:|---|"
        printf '%s' "$rows"
    } | write_reliability_section fuzz
    log "figures written to RELIABILITY.md; crashing inputs, if any, in $out/fuzz/crashes"
    return $failed
}

# The soak's report without the logger's start-up lines (and without the
# carriage returns a Windows program ends its lines with).
soak_report() {  # report file
    tr -d '\r' <"$1" | grep -v -e '^Removing logs' -e '^Done\.$'
}

cmd_soak() {  # [--windows] [commands]
    if [ "${1:-}" = --windows ]; then
        shift
        cmd_soak_windows "$@"
        return
    fi
    install_packages "${native_packages[@]}"
    build_linux
    local commands="${1:-100000}" report status=0
    log "Soak: $commands commands"
    report="$out/linux/soak.md"
    "$out/linux/bench/bench_soak" "$commands" --check >"$report" || status=$?
    cat "$report"
    {
        echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench_soak $commands\` (RelWithDebInfo) on $(nproc) cores."
        echo
        soak_report "$report"
    } | write_reliability_section soak
    return $status
}

# The Windows build's soak under Wine, against a native emulator process.
cmd_soak_windows() {  # [commands]
    install_packages "${native_packages[@]}" "${windows_packages[@]}"
    build_linux
    build_windows
    local commands="${1:-100000}" report status=0
    log "Soak under Wine: $commands commands"
    report="$out/win/soak.md"
    start_wine
    sh "$here/tests/e2e/run_with_emulator.sh" "$out/linux/tools/emulator/tb-emulator" \
        wine "$out/win/bin/bench_soak.exe" "$commands" --check >"$report" || status=$?
    stop_wine
    cat "$report"
    {
        echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench_soak.exe $commands\` (Release, mingw-w64 i686)" \
             "under $(wine --version) on $(nproc) cores, against the native emulator process."
        echo
        soak_report "$report"
    } | write_reliability_section soak-windows
    return $status
}

cmd_matrix() {
    install_packages "${native_packages[@]}"
    log "Fault matrix (Linux)"
    cmake -S "$here" -B "$out/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_BENCH=ON >/dev/null
    cmake --build "$out/linux" -j "$jobs" --target e2e_fault_matrix
    local table="$out/fault-matrix.md"
    rm -f "$table"
    TB_MATRIX_OUT="$table" "$out/linux/tests/e2e/e2e_fault_matrix" --gtest_brief=1
    {
        echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -sm), \`./run.sh matrix\`."
        echo
        cat "$table"
    } | write_reliability_section matrix
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
    fuzz) shift; cmd_fuzz "$@" ;;
    soak) shift; cmd_soak "$@" ;;
    matrix) cmd_matrix ;;
    *)
        sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
