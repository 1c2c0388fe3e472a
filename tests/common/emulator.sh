# Starting tb-emulator from a shell script (POSIX sh; sourced by
# tests/e2e/run_with_emulator.sh and examples/demo.sh). The Python scripts
# use termbridge.emulator (bindings/python) instead, whose free_port this
# borrows, so that the ports are searched for in one place.
#
# The emulator prints one line to standard output once its ports are bound:
#   ready command-port=40123 control-port=40124
# A script sends that output to a file and waits for the line there.
#
# The script sets tb_source_dir to the source tree before sourcing this.

: "${tb_source_dir:?set tb_source_dir to the source tree before sourcing tests/common/emulator.sh}"

# tb_free_port: a TCP port on 127.0.0.1 that is free at the moment of asking,
# below the systems' ephemeral ranges (termbridge.emulator.free_port).
tb_free_port() {
    PYTHONPATH="$tb_source_dir/bindings/python" python3 -B -c \
        'from termbridge.emulator import free_port; print(free_port())'
}

# tb_wait_ready <ready file> <pid> [<seconds, default 5>]: waits until the
# emulator (or the process that runs it) with this pid has written its ready
# line into the file. Status 0 when it has, 1 when the process ended without
# it, 2 when the time ran out.
tb_wait_ready() {
    tb_tries=0
    until grep -q '^ready ' "$1" 2>/dev/null; do
        if ! kill -0 "$2" 2>/dev/null; then
            grep -q '^ready ' "$1" 2>/dev/null && return 0
            return 1
        fi
        tb_tries=$((tb_tries + 1))
        [ "$tb_tries" -le $((${3:-5} * 20)) ] || return 2
        sleep 0.05
    done
}

# tb_ready_port <ready file> command|control: the port the ready line names.
tb_ready_port() {
    sed -n "s/^ready .*$2-port=\([0-9]*\).*/\1/p" "$1" | head -n 1
}
