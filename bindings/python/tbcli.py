"""tbcli: run termbridge commands from a file or standard input.

Each line is one command for the library (for example
``NATIVE_READ_WORD_CMD 0xBFC00000``); for each the return code and the
result's hexadecimal text, or the failure text, are printed. Empty lines and
lines starting with ``#`` are skipped. Lines starting with ``:`` are this
tool's own: ``:timeout MS``, ``:internal-timeout MS``, ``:severity N``,
``:sync``, ``:version``, ``:quit``, ``:help``.

    python3 tbcli.py --udp 50000 --tcp 50001 script.txt
    echo "NATIVE_READ_WORD_CMD 0xBFC00000" | python3 -m termbridge --udp 50000 --tcp 50001

Without --udp the library takes the dispatcher's address and ports from its
registry. Exit code: 0 when every command succeeded, 1 when one failed or
initialization failed, 2 for usage errors and a library that cannot be loaded.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import termbridge  # noqa: E402

OWN_COMMANDS = ":timeout MS | :internal-timeout MS | :severity N | :sync | :version | :quit"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="tbcli", description="Run termbridge commands, one per line, from a file or standard input.")
    parser.add_argument("script", nargs="?", help="file of command lines (default: standard input; - too)")
    parser.add_argument("--lib", help="library to load (default: $%s, then beside this module, then the "
                                      "loader's path)" % termbridge.ENV_LIBRARY)
    parser.add_argument("--list", default="", help="list file of struct definition files")
    parser.add_argument("--mac", default="", help="MAC linker map file")
    parser.add_argument("--phy", default="", help="PHY linker map file")
    parser.add_argument("--udp", type=int, help="dispatcher's command port; without it the registry is read")
    parser.add_argument("--tcp", type=int, default=0, help="port on which the library accepts the dispatcher")
    parser.add_argument("--dispatcher", default="127.0.0.1", help="dispatcher address (with --udp; default "
                                                                   "%(default)s)")
    parser.add_argument("--timeout", type=int, default=5000,
                        help="command time-out in ms (default %(default)s; 0 waits without limit)")
    parser.add_argument("--echo", action="store_true", help="print each command before its result")
    return parser.parse_args(argv)


def number(word):
    """A number as the library reads them: hexadecimal with 0x, else decimal; None if neither."""
    try:
        return int(word, 16) if word.lower().startswith(("0x", "-0x")) else int(word, 10)
    except ValueError:
        return None


class Session:
    """Runs the lines of one script against an open TermBridge."""

    def __init__(self, bridge, timeout_ms, echo, out):
        self.bridge = bridge
        self.timeout_ms = timeout_ms
        self.echo = echo
        self.out = out
        self.failures = 0

    def run(self, raw_line):
        """Runs one line; False ends the session."""
        line = raw_line.strip()
        if not line or line.startswith("#"):
            return True
        if self.echo:
            self.write("> " + line)
        if line.startswith(":"):
            return self.own_command(line[1:].split())
        try:
            result = self.bridge.send(line, self.timeout_ms)
        except termbridge.CommandError as error:
            self.failures += 1
            self.write("rc=%d failed: %s" % (error.rc, error.message))
        else:
            self.write("rc=0 len=%d result=%s" % (len(result.data), result.hex))
        return True

    def own_command(self, words):
        command = words[0] if words else ""
        value = number(words[1]) if len(words) > 1 else None
        if command in ("quit", "exit"):
            return False
        if command == "timeout" and value is not None:
            self.timeout_ms = value
        elif command == "severity" and value is not None:
            self.bridge.log_severity = value
        elif command == "internal-timeout" and value is not None:
            self.bridge.set_internal_command_timeout(value)
        elif command == "sync":
            self.write("sync: %d" % self.bridge.sync())
        elif command == "version":
            self.write(self.bridge.system_version_info())
        else:
            self.write(OWN_COMMANDS)
        return True

    def write(self, text):
        self.out.write(text + "\n")
        self.out.flush()


def main(argv=None, out=None):
    out = out if out is not None else sys.stdout
    options = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        lib = termbridge.load_library(options.lib)
    except termbridge.LibraryNotFoundError as error:
        sys.stderr.write("tbcli: %s\n" % error)
        return 2

    if options.script and options.script != "-":
        try:
            lines = open(options.script, encoding="latin-1")
        except OSError as error:
            sys.stderr.write("tbcli: cannot open %s: %s\n" % (options.script, error))
            return 2
    else:
        lines = sys.stdin
    try:
        return run_session(lib, options, lines, out)
    finally:
        if lines is not sys.stdin:
            lines.close()


def run_session(lib, options, lines, out):
    bridge = termbridge.TermBridge(mac_map=options.mac, phy_map=options.phy, struct_list=options.list,
                                   udp_port=options.udp, tcp_port=options.tcp, dispatcher=options.dispatcher,
                                   lib=lib)
    # The library prints its start-up banner on the process's standard output.
    out.flush()
    try:
        bridge.open()
    except termbridge.InitializeError as error:
        sys.stderr.write("tbcli: %s\n" % error)
        return 1
    session = Session(bridge, options.timeout, options.echo, out)
    try:
        for line in lines:
            if not session.run(line):
                break
    finally:
        bridge.close()
    return 0 if session.failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
