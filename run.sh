#!/usr/bin/env bash
# termbridge: one entry point for everything.
#
#   ./run.sh demo [-v]
#                    build what the demo runs, start the emulated dispatcher
#                    and chip, and run the console host on a short scripted
#                    session (-v: the emulator's packet lines too)
#   ./run.sh venv    make out/venv, a virtual environment of Debian's python3
#                    (whatever python3 comes first on PATH) that sees the
#                    system's pytest, and install the Python package into it
#   ./run.sh test    install what is missing, build the Linux and Windows
#                    targets and run every test (Linux, sanitizers, fuzzers,
#                    and the Windows suite under Wine)
#   ./run.sh build   configure and build the Linux target only
#   ./run.sh fuzz [SECONDS] [TARGET...]
#                    run every libFuzzer target (or the named ones) for
#                    SECONDS each (default 600) in the fast build, then replay
#                    each one's corpus under ASan; crashes go to
#                    out/fuzz/crashes and the figures into RELIABILITY.md (the
#                    named targets' rows only). TB_FUZZ_JOBS targets at a time
#                    (default 1); TB_FUZZ_RUNS stops a target at that many
#                    executions
#   ./run.sh soak [--windows] [N]
#                    N mixed commands (default 100000, at least 10) against
#                    the emulator with faults; a passing run's figures go into
#                    RELIABILITY.md. With --windows, the Windows build's soak
#                    under Wine
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

# A command line or setting run.sh cannot take: what is wrong (and the
# command's usage), exit code 2, before anything is built.
usage_error() {  # problem [usage]
    echo "run.sh: $1" >&2
    [ -z "${2:-}" ] || echo "usage: $2" >&2
    exit 2
}

# True when the text is a whole number (digits only) of at least the minimum.
is_count() {  # text [minimum, default 1]
    [[ "$1" =~ ^[0-9]+$ ]] || return 1
    local digits="${1#"${1%%[!0]*}"}"  # without leading zeros
    [ ${#digits} -gt 18 ] || [ "${digits:-0}" -ge "${2:-1}" ]
}

# ------------------------------------------------------------------ packages
native_packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
                 libbenchmark-dev python3 binutils-mips-linux-gnu libcli11-dev nlohmann-json3-dev libedit-dev
                 python3-pytest python3-pytest-xdist python3-pip python3-setuptools python3-wheel python3-venv tshark
                 pkg-config strace)
# The console's option and JSON headers are header-only: the Windows build
# takes them from the native packages above. LLVM's dlltool makes the import
# library for Visual Studio hosts; clang and lld-link build the test host
# that links against it as such a host does.
windows_packages=(g++-mingw-w64-i686-posix wine wine32:i386 libcli11-dev nlohmann-json3-dev llvm lld)

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

# Configures out/linux, the tree that the build, the tests, the soak, the
# fault matrix and the demo share; each then builds what it needs. The options
# that decide what the tree builds are given every time: a value cached by a
# configure by hand (TB_TESTS=OFF, say) would otherwise stay.
configure_linux() {
    cmake -S "$here" -B "$out/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_TESTS=ON -DTB_TOOLS=ON \
        -DTB_SANITIZE= -DTB_BENCH=ON >/dev/null
}

build_linux() {  # [target...], every target when none is named
    log "Linux build${*:+: $*}"
    configure_linux
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$out/linux" -j "$jobs" "${targets[@]}"
}

run_ctest() {  # dir, extra ctest arguments...
    local dir="$1"
    shift
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" "$@"
}

test_linux() {
    build_linux
    log "Linux tests"
    run_ctest "$out/linux"
}

test_sanitizers() {
    log "ASan + UBSan build and tests"
    configure_build "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DTB_TESTS=ON -DTB_TOOLS=ON -DTB_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest "$out/asan"

    log "TSan build and tests"
    configure_build "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DTB_TESTS=ON -DTB_TOOLS=ON -DTB_SANITIZE=thread
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest "$out/tsan"
}

# The fuzz targets under ASan + UBSan (-O1): the short runs of the test
# command, and the replay of what the long runs found.
build_fuzzers() {
    configure_build "$out/fuzz" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTB_FUZZ=ON -DTB_TESTS=OFF -DTB_TOOLS=OFF
}

# The same targets under UBSan only, at -O2: several times the executions of
# the ASan build, for the long runs.
build_fast_fuzzers() {
    configure_build "$out/fuzz-fast" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DTB_FUZZ=ON -DTB_TESTS=OFF -DTB_TOOLS=OFF \
        -DTB_FUZZ_SANITIZERS=undefined -DTB_FUZZ_OPTIMIZE=-O2
}

fuzz_name() { basename "$1" | sed 's/^fuzz_//'; }

# The largest input worth trying, where a longer one only repeats what a
# shorter one reaches: parameter texts end at 255 bytes, a logged command line
# and a definition line are cut at 999, and the example definition and map
# files are below 2 KB. Parsed files cost their time line by line. A firmware
# package's cost can grow with its shape (images sharing a table of section
# headers): it may be long enough to hold many images and a large table.
fuzz_max_len() {  # name
    case "$1" in
        commandline) echo 1200 ;;
        encoding | lists) echo 1024 ;;
        definitions | maps) echo 2048 ;;
        firmware) echo 262144 ;;
        *) echo 0 ;;  # libFuzzer's own choice
    esac
}

# The folders a target's corpus lies in: the scratch folder its runs add to
# (the checked-in seeds stay as they are) first, then the seeds.
fuzz_corpus() {  # target
    local target="$1" name build
    name=$(fuzz_name "$target")
    build="$(cd "$(dirname "$target")/../.." && pwd)"
    echo "$out/fuzz/corpus/$name"
    echo "$here/tests/fuzz/corpus/$name"
    # The example definition set seeds the parser too (folders are read recursively).
    [ "$name" = definitions ] && echo "$here/examples/definitions"
    # The example firmware package (and its images), when the build made them.
    [ "$name" = firmware ] && [ -d "$build/firmware" ] && echo "$build/firmware"
    return 0
}

# Runs one target over its corpus for the given seconds (and at most
# TB_FUZZ_RUNS executions, when set); a crashing input goes to
# out/fuzz/crashes/. The log is left beside the target.
run_fuzzer() {  # target, seconds
    local target="$1" seconds="$2" name corpus
    name=$(fuzz_name "$target")
    mapfile -t corpus < <(fuzz_corpus "$target")
    mkdir -p "${corpus[0]}" "$out/fuzz/crashes"
    "$target" -max_total_time="$seconds" -runs="${TB_FUZZ_RUNS:--1}" -max_len="$(fuzz_max_len "$name")" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/fuzz/crashes/$name-" "${corpus[@]}" >"$target.log" 2>&1
}

# Runs every input of a target's corpus once through the given (ASan) build
# of the target. Prints the number of inputs.
replay_corpus() {  # target of the long run, target to replay with
    local name corpus
    name=$(fuzz_name "$1")
    mapfile -t corpus < <(fuzz_corpus "$1")
    mkdir -p "$out/fuzz/crashes"
    find "${corpus[@]}" -type f | wc -l
    "$2" -runs=0 -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/fuzz/crashes/$name-replay-" \
        "${corpus[@]}" >"$2.replay.log" 2>&1
}

# One table row from a long run's logs: executions, speed, coverage, the
# replay, crash.
fuzz_figures() {  # fast target, its status, inputs replayed, replay status, ASan target
    local log="$1.log" name executions seconds status_line cov ft replayed crash="none"
    name=$(basename "$1")
    executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    seconds=$(grep -o '^Done [0-9]* runs in [0-9]* second' "$log" | grep -o '[0-9]* second' | grep -o '[0-9]*' || true)
    status_line=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
    [ -n "$executions" ] || executions=$(echo "$status_line" | grep -o '^#[0-9]*' | tr -d '#')
    cov=$(echo "$status_line" | grep -o 'cov: [0-9]*' | grep -o '[0-9]*' || true)
    ft=$(echo "$status_line" | grep -o 'ft: [0-9]*' | grep -o '[0-9]*' || true)
    local speed="?"
    # libFuzzer counts whole seconds: a run under one second is taken as one.
    [ -n "$executions" ] && [ -n "$seconds" ] && speed=$((executions / (seconds > 0 ? seconds : 1)))
    if [ "$2" -ne 0 ]; then
        crash="$(grep -o 'Test unit written to .*' "$log" | sed 's/.*\///' | head -1 || true)"
        [ -z "$crash" ] && crash="exit status $2 (see $(basename "$log"))"
    fi
    replayed="$3 inputs, clean"
    if [ "$4" -ne 0 ]; then
        replayed="$3 inputs: FAULT $(grep -o 'Test unit written to .*' "$5.replay.log" | sed 's/.*\///' | head -1 || true)"
        replayed="$replayed (see $(basename "$5").replay.log)"
    fi
    printf '| `%s` | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$(date -u '+%Y-%m-%d %H:%M')" \
        "${seconds:-?}" "${executions:-?}" "$speed" "${cov:-?}" "${ft:-?}" "$replayed" "$crash"
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

# Runs the command once for each item, with the item as its last argument,
# in the background and at most N at a time. False when a run failed.
run_at_most() {  # N command [argument...] -- item...
    local limit="$1" command=() item running=0 failed=0
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        command+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    for item in "$@"; do
        if [ "$running" -ge "$limit" ]; then
            wait -n || failed=1
            running=$((running - 1))
        fi
        "${command[@]}" "$item" &
        running=$((running + 1))
    done
    while [ "$running" -gt 0 ]; do
        wait -n || failed=1
        running=$((running - 1))
    done
    return $failed
}

# The executable fuzz targets of a build folder (not the logs beside them).
fuzz_targets_in() {  # folder
    local target
    for target in "$1"/fuzz_*; do
        [ -x "$target" ] && echo "$target"
    done
    return 0
}

# One short run; says how it went.
short_fuzz_run() {  # target
    local target="$1"
    if ! run_fuzzer "$target" "${TB_FUZZ_SECONDS:-10}"; then
        echo "$(basename "$target"): FAILED"
        tail -40 "$target.log"
        return 1
    fi
    echo "$(basename "$target"): $(grep -o 'stat::number_of_executed_units: [0-9]*' "$target.log" | tail -1), no crash"
}

# The short runs, as many at a time as the build has jobs.
test_fuzzers() {
    log "Fuzz targets (short runs over the seed corpus)"
    build_fuzzers
    local targets
    mapfile -t targets < <(fuzz_targets_in "$out/fuzz/tests/fuzz")
    run_at_most "$jobs" short_fuzz_run -- "${targets[@]}"
}

check_definitions() {
    local checker="$out/linux/tools/checker/tb-defcheck"
    if [ ! -x "$checker" ]; then
        echo "the definitions checker is missing: $checker (the Linux build makes it)" >&2
        return 1
    fi
    log "Definitions checker on the examples"
    "$checker" "$here/examples/definitions/list.txt" --mac "$here/examples/maps/mac.map" \
        --phy "$here/examples/maps/phy.map"
}

build_windows() {
    log "Windows build (mingw-w64, i686)"
    configure_build "$out/win" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTB_TESTS=ON -DTB_TOOLS=ON -DTB_SANITIZE= \
        -DTB_NATIVE_EMULATOR="$out/linux/tools/emulator/tb-emulator" -DTB_BENCH=ON
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

# The DLLs of Windows itself that TermBridge.dll may import (the C++ runtime
# and winpthread are linked in): a host copies the DLL alone.
windows_system_dlls=(advapi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll version.dll ws2_32.dll)

check_dll_imports() {  # dll
    local imports name failed=0
    imports=$(i686-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ { print $3 }' | sort)
    if [ -z "$imports" ]; then
        echo "$(basename "$1"): no import table found" >&2
        return 1
    fi
    echo "$imports"
    for name in $imports; do
        if ! printf '%s\n' "${windows_system_dlls[@]}" | grep -qixF "$name"; then
            echo "$(basename "$1") imports $name, which is not one of Windows' own DLLs" >&2
            failed=1
        fi
    done
    return $failed
}

test_windows() {
    build_windows
    local dll="$out/win/bin/TermBridge.dll"
    log "TermBridge.dll imports and exports"
    check_dll_imports "$dll"
    # The 26 host functions, unchanged, then only the tbx_ extensions listed.
    python3 "$here/tests/check_exports.py" "$dll" "$here/src/TermBridge.def"

    log "Windows tests under Wine"
    start_wine
    # One test program at a time: they share the prefix's log folder and C:\.
    local status=0
    ctest --test-dir "$out/win" --output-on-failure --no-tests=error -j 1 || status=$?
    stop_wine
    return $status
}

# ------------------------------------------------------------------ commands
cmd_build() {
    install_packages "${native_packages[@]}"
    build_linux
}

cmd_test() {
    check_fuzz_settings
    install_packages "${native_packages[@]}" "${windows_packages[@]}"
    local started=$SECONDS
    test_linux
    check_definitions
    test_sanitizers
    test_fuzzers
    test_windows
    log "all tests passed in $((SECONDS - started)) s"
}

# One target's long run in the fast build, then the replay of its corpus
# under ASan; its table row goes to the rows folder. False on a crash or a
# fault in the replay.
fuzz_one_target() {  # seconds, rows folder, fast target
    local seconds="$1" rows="$2" fast="$3" asan status=0 replay=0 inputs
    echo "$(basename "$fast"): $seconds s"
    asan="$out/fuzz/tests/fuzz/$(basename "$fast")"
    run_fuzzer "$fast" "$seconds" || status=$?
    inputs=$(replay_corpus "$fast" "$asan") || replay=$?
    [ -n "$inputs" ] || inputs="?"
    fuzz_figures "$fast" $status "$inputs" $replay "$asan" | tee "$rows/$(basename "$fast")"
    [ $status -eq 0 ] && [ $replay -eq 0 ]
}

# The fuzzing settings from the environment, checked before anything runs: a
# text libFuzzer reads as 0 would mean no limit at all.
check_fuzz_settings() {
    local name value
    for name in TB_FUZZ_JOBS TB_FUZZ_RUNS TB_FUZZ_SECONDS; do
        value="${!name:-}"
        [ -z "$value" ] || is_count "$value" || usage_error "$name must be a whole number above 0, not '$value'"
    done
}

is_fuzz_target() { [ -f "$here/tests/fuzz/fuzz_${1#fuzz_}.cpp" ]; }

cmd_fuzz() {  # [seconds] [target...]
    local usage="./run.sh fuzz [SECONDS] [TARGET...]" seconds=600 target
    if [ $# -gt 0 ]; then
        if ! is_count "$1"; then
            is_fuzz_target "$1" &&
                usage_error "'$1' is a target, not SECONDS: the seconds come first (./run.sh fuzz 600 $*)" "$usage"
            usage_error "SECONDS must be a whole number above 0, not '$1'" "$usage"
        fi
        seconds="$1"
        shift
    fi
    for target in "$@"; do
        is_fuzz_target "$target" || usage_error "no fuzz target '$target' (tests/fuzz/fuzz_<name>.cpp)" "$usage"
    done
    check_fuzz_settings
    install_packages "${native_packages[@]}"
    local parallel="${TB_FUZZ_JOBS:-1}"
    log "Fuzz targets, $seconds s each${TB_FUZZ_RUNS:+ (at most $TB_FUZZ_RUNS executions)}, $parallel at a time"
    build_fast_fuzzers
    build_fuzzers
    local targets=() failed=0 rows="$out/fuzz-fast/rows"
    if [ $# -gt 0 ]; then
        for target in "$@"; do targets+=("$out/fuzz-fast/tests/fuzz/fuzz_${target#fuzz_}"); done
    else
        mapfile -t targets < <(fuzz_targets_in "$out/fuzz-fast/tests/fuzz")
    fi
    for target in "${targets[@]}"; do
        [ -x "$target" ] || { echo "no fuzz target $target" >&2; return 1; }
    done
    rm -rf "$rows"
    mkdir -p "$rows"
    run_at_most "$parallel" fuzz_one_target "$seconds" "$rows" -- "${targets[@]}" || failed=1
    python3 "$here/tests/fuzz/fuzz_table.py" "$here/RELIABILITY.md" "$rows"/*
    log "figures written to RELIABILITY.md; crashing inputs, if any, in $out/fuzz/crashes"
    return $failed
}

# The soak's report without the logger's start-up lines (and without the
# carriage returns a Windows program ends its lines with).
soak_report() {  # report file
    tr -d '\r' <"$1" | grep -v -e '^Removing logs' -e '^Done\.$'
}

# Puts a soak's report into its section of RELIABILITY.md below the given
# first line. A failed run, or a report without the table's last row, leaves
# the section as it was (the last good figures) and is false.
record_soak() {  # section, exit status, report, first line
    local section="$1" status="$2" report="$3" failure=""
    if [ "$status" -ne 0 ]; then
        failure="exit status $status"
    elif ! soak_report "$report" | grep '^| end |' >/dev/null; then
        failure="no table in the report"
    fi
    if [ -n "$failure" ]; then
        echo "soak failed ($failure): RELIABILITY.md's $section section left as it was; the report: $report" >&2
        return 1
    fi
    {
        echo "$4"
        echo
        soak_report "$report"
    } | write_reliability_section "$section"
    log "RELIABILITY.md: $section section updated"
}

cmd_soak() {  # [--windows] [commands]
    local usage="./run.sh soak [--windows] [N]" windows=0
    if [ "${1:-}" = --windows ]; then
        windows=1
        shift
    fi
    if [ "${1:-}" = --windows ] || [ "${2:-}" = --windows ]; then
        usage_error "--windows comes first, once" "$usage"
    fi
    if [ $# -gt 0 ] && ! is_count "$1" 10; then
        usage_error "N must be a whole number of at least 10, not '$1'" "$usage"
    fi
    [ $# -le 1 ] || usage_error "unexpected argument '$2'" "$usage"
    if [ $windows -eq 1 ]; then
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
    local headline
    headline="Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench_soak $commands\` (RelWithDebInfo)"
    headline+=" on $(nproc) cores."
    record_soak soak $status "$report" "$headline" || [ $status -ne 0 ] || status=1
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
    local headline
    headline="Last run: $(date -u '+%Y-%m-%d %H:%M UTC'), \`bench_soak.exe $commands\` (Release, mingw-w64 i686)"
    headline+=" under $(wine --version) on $(nproc) cores, against the native emulator process."
    record_soak soak-windows $status "$report" "$headline" || [ $status -ne 0 ] || status=1
    return $status
}

cmd_matrix() {
    install_packages "${native_packages[@]}"
    build_linux e2e_fault_matrix
    log "Fault matrix (Linux)"
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

# The demo builds what it runs only: the library, the console, the emulator,
# the example firmware and the Wireshark dissector with its name table.
cmd_demo() {  # [-v]
    [ $# -eq 0 ] || [ "$1" = -v ] || usage_error "unexpected argument '$1'" "./run.sh demo [-v]"
    [ $# -le 1 ] || usage_error "unexpected argument '$2'" "./run.sh demo [-v]"
    install_packages "${native_packages[@]}"
    build_linux TermBridge tb-console tb-emulator tb_firmware tb_wireshark
    log "Demo"
    "$here/examples/demo.sh" "$out/linux" "$@"
}

# A virtual environment for the Python package: Debian's own python3, so that
# the system's pytest, pytest-xdist, setuptools and wheel are seen whatever
# python3 (pyenv, another venv) comes first on PATH; the package is installed
# from the source tree without a network.
cmd_venv() {
    install_packages python3 python3-venv python3-pip python3-pytest python3-pytest-xdist python3-setuptools \
        python3-wheel
    local venv="$out/venv"
    log "Python environment $venv"
    /usr/bin/python3 -m venv --system-site-packages "$venv"
    # pip builds in the folder it is given: a copy keeps the source tree clean.
    local copy
    copy="$(mktemp -d)"
    cp -r "$here/bindings/python" "$copy/package"
    "$venv/bin/python" -m pip install --quiet --no-index --no-build-isolation --no-deps "$copy/package"
    rm -rf "$copy"
    echo "activate it with: . out/venv/bin/activate (then python -m pytest ...)"
}

# A verb that takes no argument refuses one: the whole run would go ahead
# without it.
no_arguments() {  # verb, arguments...
    local verb="$1"
    shift
    [ $# -eq 0 ] || usage_error "unexpected argument '$1'" "./run.sh $verb"
}

case "${1:-}" in
    demo) shift; cmd_demo "$@" ;;
    test) shift; no_arguments test "$@"; cmd_test ;;
    build) shift; no_arguments build "$@"; cmd_build ;;
    venv) shift; no_arguments venv "$@"; cmd_venv ;;
    fuzz) shift; cmd_fuzz "$@" ;;
    soak) shift; cmd_soak "$@" ;;
    matrix) shift; no_arguments matrix "$@"; cmd_matrix ;;
    *)
        sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
