"""Stations: one test file run on the emulator and on a dispatcher (a
tb-emulator process standing in for a bench), inventories, exclusive claims
that a crashed process gives back, probes, resets, the stations tool and a
missing library or emulator."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from termbridge.emulator import Emulator, find_emulator, free_port
from termbridge.probe import probe_dispatcher
from termbridge.pytest_plugin import run_key
from termbridge.stations import StationError, claim_station, load_inventory, parse_station

PACKAGE = Path(__file__).resolve().parents[1]

CHIP_TESTS = textwrap.dedent("""
    import pytest

    def test_word_round_trip(termbridge_session, termbridge_station):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x10000040 0x1234")
        assert termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040").data[2:10] == b"00001234"

    @pytest.mark.termbridge_emulator(faults=["drop-next"])
    def test_lost_answer(termbridge_session):
        with pytest.raises(Exception, match="Timeout Error"):
            termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040", timeout_ms=300)

    def test_chip_memory(termbridge_session, termbridge_emulator):
        termbridge_session.send("NATIVE_WRITE_WORD_CMD 0x10000040 0xcafe")
        assert termbridge_emulator.read_memory(0x10000040, 4) == bytes.fromhex("0000cafe")

    @pytest.mark.termbridge_emulator(faults=["drop-next"])
    class TestFaultOfTheClass:
        @pytest.mark.termbridge_emulator(pcap=True)  # a marker of its own, with other settings
        def test_lost_answer(self, termbridge_session):
            with pytest.raises(Exception, match="Timeout Error"):
                termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040", timeout_ms=300)

    class TestFaultOfTheFixture:
        @pytest.fixture
        def termbridge_config(self, termbridge_config):
            termbridge_config.faults = ["drop-next"]
            return termbridge_config

        def test_lost_answer(self, termbridge_session):
            with pytest.raises(Exception, match="Timeout Error"):
                termbridge_session.send("NATIVE_READ_WORD_CMD 0x10000040", timeout_ms=300)
""")


@pytest.fixture
def chip_tests(pytester):
    pytester.makepyfile(test_chip=CHIP_TESTS)


@pytest.fixture
def bench(request, tmp_path):
    """A dispatcher at fixed ports, as a bench would be: a tb-emulator the tests do not start."""
    program = find_emulator(request.config.stash[run_key].settings.value("emulator"))
    with Emulator(program, free_port(), command_port=free_port(), log_dir=tmp_path) as dispatcher:
        yield dispatcher


def test_same_tests_on_the_emulator_and_on_a_dispatcher(inner_pytest, chip_tests, library_options, bench, tmp_path):
    result = inner_pytest.run(*library_options)
    result.assert_outcomes(passed=5)
    assert result.ret == 0

    station = "127.0.0.1:%d:%d" % (bench.command_port, bench.library_port)
    result = inner_pytest.run(*library_options, "--termbridge-station=" + station)
    result.assert_outcomes(passed=1, skipped=4)
    assert result.ret == 0
    output = str(result.stdout)
    assert "emulator only (emulator settings ['faults'] of termbridge_config)" in output
    assert "emulator only (emulator settings ['faults']); running on station %s (dispatcher 127.0.0.1" % station \
        in output
    assert "emulator only (the termbridge_emulator fixture)" in output
    assert bench.counts()["answers"] >= 2  # the round trip went to the dispatcher

    # Held by someone else: the first test waits for it, the others fail at once.
    locks = tmp_path / "locks"
    _, held = claim_station([parse_station(station)], "someone", locks)
    try:
        result = inner_pytest.run(*library_options, "--termbridge-station=" + station,
                                  "--termbridge-lock-dir=%s" % locks, "--termbridge-claim-timeout=1")
    finally:
        held.close()
    output = str(result.stdout)
    assert result.ret == 1 and output.count("no free station: %s held by someone" % station) == 5
    assert output.count("not tried again") == 4

    # The same dispatcher through the library's registry, named by the environment.
    root = tmp_path / "user-root"
    root.mkdir()
    (root / "registry.reg").write_text(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\Ports]\n"
        "\"Console_To_Dispatcher\"=\"%d\"\n\"Dispatcher_To_Console\"=\"%d\"\n\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Quoril Semiconductor\\ZRX4620\\Sockets\\IPAddresses]\n"
        "\"Console_To_Dispatcher\"=\"127.0.0.1\"\n" % (bench.command_port, bench.library_port))
    result = inner_pytest.run(*library_options, "-k", "round_trip",
                              env={"TERMBRIDGE_STATION": "registry", "TERMBRIDGE_ROOT": str(root)})
    result.assert_outcomes(passed=1)
    assert result.ret == 0
    # A root without one: the file looked for is named.
    (root / "registry.reg").unlink()
    result = inner_pytest.run(*library_options, "-k", "round_trip",
                              env={"TERMBRIDGE_STATION": "registry", "TERMBRIDGE_ROOT": str(root)})
    assert result.ret == 1 and "no registry file at %s" % (root / "registry.reg") in str(result.stdout)


def test_a_failing_test_on_a_dispatcher_reports_the_librarys_log(inner_pytest, library_options, bench):
    inner_pytest.pytester.makepyfile(test_fails="""
        def test_fails(termbridge_session):
            termbridge_session.send('NATIVE_READ_WORD_CMD 0x10000044')
            assert False
    """)
    station = "127.0.0.1:%d:%d" % (bench.command_port, bench.library_port)
    result = inner_pytest.run(*library_options, "--termbridge-station=" + station)
    assert result.ret == 1
    output = str(result.stdout)
    assert "termbridge library log (its last" in output
    assert "Handle command: NATIVE_READ_WORD_CMD 0x10000044" in output


def test_missing_library_or_emulator_is_an_error_unless_skips_are_asked_for(inner_pytest, chip_tests, library_options,
                                                                             tmp_path):
    without = {"TERMBRIDGE_LIBRARY": "", "TB_EMULATOR": "", "PATH": "/usr/bin:/bin"}
    for missing, options in (("termbridge library not found", library_options[1:]),
                             ("tb-emulator not found", library_options[:1])):
        result = inner_pytest.run(*options, "-k", "round_trip", env=without)
        result.assert_outcomes(errors=1)
        assert result.ret == 1 and missing in str(result.stdout)
        result = inner_pytest.run(*options, "-k", "round_trip", "--termbridge-skip-missing", env=without)
        result.assert_outcomes(skipped=1)
        assert result.ret == 0

    # A library that was given is never skipped: a typo, a truncated file;
    # also when the emulator is missing too (its skip came first).
    (tmp_path / "truncated.so").write_bytes(b"\x7fELF\x02\x01")
    for given, variable, emulator in ((["--termbridge-library=libTermBridge.so.typo"], "", library_options[1:]),
                                      ([], str(tmp_path / "truncated.so"), library_options[1:]),
                                      (["--termbridge-library=libTermBridge.so.typo"], "", [])):
        result = inner_pytest.run(*given, *emulator, "-k", "round_trip", "--termbridge-skip-missing",
                                  env=dict(without, TERMBRIDGE_LIBRARY=variable))
        result.assert_outcomes(errors=1)
        assert result.ret == 1 and "does not load" in str(result.stdout)


def test_a_worker_that_crashes_closing_its_session_fails_the_run(inner_pytest, library_options):
    inner_pytest.pytester.makeconftest("""
        import os, signal
        from termbridge.session import TermBridge
        TermBridge.close = lambda self: os.kill(os.getpid(), signal.SIGSEGV)
    """)
    inner_pytest.pytester.makepyfile(test_opens="def test_opens(termbridge_session):\n    pass\n")
    result = inner_pytest.run(*library_options, "-p", "xdist.plugin", "-n", "1", "test_opens.py")
    assert result.ret == 1 and "termbridge: worker gw0 went down" in str(result.stdout)


def test_relative_paths_are_from_the_folder_pytest_started_in(inner_pytest, library_options, tmp_path):
    # A test that goes elsewhere (monkeypatch.chdir, pytester) before the
    # emulator is looked for.
    inner_pytest.pytester.makepyfile(test_elsewhere="""
        import pytest

        @pytest.fixture
        def elsewhere(tmp_path, monkeypatch):
            monkeypatch.chdir(tmp_path)

        def test_emulator(elsewhere, termbridge_emulator):
            assert termbridge_emulator.counts()["packets"] == 0
    """)
    (inner_pytest.pytester.path / "bin").mkdir()
    (inner_pytest.pytester.path / "bin" / "tb-emulator").symlink_to(library_options[1].split("=", 1)[1])
    result = inner_pytest.run("--termbridge-emulator=bin/tb-emulator", "test_elsewhere.py")
    result.assert_outcomes(passed=1)
    assert result.ret == 0


@pytest.mark.parametrize("ini, options, error", [
    # In two words pytest takes the library for a test path: it would look for
    # its ini file from tmp_path (setup.py), and run on the emulator.
    ("termbridge_station = 127.0.0.1:50000:50001", ["--termbridge-library", "{library}"],
     "write --termbridge-library={library}"),
    ("termbridge_inventroy = rack.toml", ["--termbridge-library={library}"],
     "unknown termbridge settings termbridge_inventroy"),
    ("termbridge_station = 127.0.0.1:50000:50001", ["--termbridge-library={library}", "--termbridge-replay-dir=."],
     "only tb-emulator replays captures; 127.0.0.1:50000:50001 is a dispatcher"),
])
def test_settings_that_would_be_ignored_are_usage_errors(inner_pytest, tmp_path, library_options, ini, options, error):
    project = tmp_path / "project"
    project.mkdir()
    (project / "pytest.ini").write_text("[pytest]\n%s\n" % ini)
    (project / "test_station.py").write_text("def test_station(termbridge_station):\n    pass\n")
    (tmp_path / "setup.py").touch()
    library = tmp_path / "out" / "libTermBridge.so"
    library.parent.mkdir()
    library.symlink_to(library_options[0].split("=", 1)[1])
    result = inner_pytest.run(*[option.format(library=library) for option in options], library_options[1],
                              "test_station.py", folder=project)
    assert result.ret == 4 and error.format(library=library) in str(result.stderr)


@pytest.mark.parametrize("text, error", [
    ("bench:50000", "expected 'emulator', 'registry' or ADDRESS:UDP-PORT:TCP-PORT"),
    ("10.0.0.1:50000:70000", "expected"),
    ('[[station]]\nname = "a"\naddress = "10.0.0.1"\ncommand_port = 50000\n', "needs address, command_port and library_port"),
    ('[[station]]\nname = "a"\nemulator = true\nlibrary_port = 40000\n', "both ports or neither"),
    ('[[station]]\nname = "a"\nemulator = true\ncolour = "red"\n', "unknown keys colour"),
    ('[[station]]\nname = "a"\nemulator = true\n[[station]]\nname = "b"\nemulator = true\n[[station]]\nname = "a"\n'
     'emulator = true\n', "names a station twice: a"),
    ("[defaults]\nemulator = true\n", "names no station"),
    ('[[station]]\nname = "a"\nemulator = "false"\naddress = "10.0.0.1"\ncommand_port = 1\nlibrary_port = 2\n',
     "(station a): emulator must be true or false, not 'false'"),
    ('[defaults]\nregistry = 1\n[[station]]\nname = "a"\n', "(station a): registry must be true or false, not 1"),
    ('[defaults]\nemulator = true\n[[station]]\nname = "a"\naddress = "10.0.0.1"\ncommand_port = 1\n'
     'library_port = 2\n', "(station a): address is not used on a station with emulator = true (from [defaults])"),
    ('[[station]]\nname = "a"\nregistry = true\nlibrary_port = 2\n',
     "(station a): library_port is not used on a station with registry = true"),
    ('[[station]]\nname = "a"\nemulator = true\nreset = "power-cycle a"\n', "(station a): reset must be a command as a "
     "list of words"),
    ('[[station]]\nname = "a"\nemulator = true\nreset = []\n', "reset must be a command as a list of words"),
    ('[defaults]\nreset_timeout = 5\n[[station]]\nname = "a"\nemulator = true\n',
     "(station a): reset_timeout (from [defaults]) is not used on a station without reset"),
    ('[[station]]\nname = "a"\nemulator = true\nreset = ["x"]\nreset_timeout = 0\n',
     "reset_timeout must be a number of seconds above 0, not 0"),
    ("[[station]\n", "inventory"),
])
def test_refused_stations_and_inventories(tmp_path, text, error):
    with pytest.raises(StationError, match=re.escape(error)):
        if text.startswith("[") or "\n" in text:
            (tmp_path / "rack.toml").write_text(text)
            load_inventory(str(tmp_path / "rack.toml"))
        else:
            parse_station(text)


def test_inventory_paths_and_defaults(tmp_path):
    (tmp_path / "rack.toml").write_text(textwrap.dedent("""
        [defaults]
        definitions = "defs/list.txt"
        [[station]]
        name = "bench-a"
        address = "10.0.0.21"
        command_port = 50000
        library_port = 50001
        firmware = "fw/release.fwp"
        [[station]]
        name = "emu"
        emulator = true
        definitions = "other/list.txt"
    """))
    bench, emulator = load_inventory(str(tmp_path / "rack.toml"))
    assert (bench.emulator, bench.address, bench.command_port, bench.library_port) == (False, "10.0.0.21", 50000, 50001)
    assert (bench.definitions, bench.firmware) == (str(tmp_path / "defs/list.txt"), str(tmp_path / "fw/release.fwp"))
    assert (emulator.emulator, emulator.definitions) == (True, str(tmp_path / "other/list.txt"))
    assert bench.lock_key == "10.0.0.21-50000-50001"


def test_claims_are_exclusive_and_a_killed_holder_gives_its_station_back(tmp_path):
    stations = [parse_station("127.0.0.1:%d:%d" % (port, port + 1)) for port in (41000, 41002)]
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, time; from pathlib import Path; from termbridge.stations import "
         "claim_station, parse_station; held = claim_station([parse_station(sys.argv[1])], 'holder', Path(sys.argv[2])); "
         "print('claimed', flush=True); time.sleep(60)", "127.0.0.1:41000:41001", str(tmp_path)],
        stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=str(PACKAGE)))
    try:
        assert holder.stdout.readline().strip() == "claimed", "the holder process did not claim its station"
        station, claim = claim_station(stations, "test", tmp_path)
        assert station.command_port == 41002  # the first is held by the other process
        with pytest.raises(StationError, match=r"no free station: .* held by holder \(pid %d\)" % holder.pid):
            claim_station(stations, "test", tmp_path)
        claim.close()
        holder.send_signal(signal.SIGKILL)
        holder.wait(timeout=10)
        taken = [claim_station(stations, "test", tmp_path) for _ in stations]
        assert sorted(station.command_port for station, _ in taken) == [41000, 41002]
        for _, claim in taken:
            claim.close()
    finally:
        holder.kill()
        holder.wait(timeout=10)
        holder.stdout.close()


def test_station_of_an_inventory_with_firmware(inner_pytest, library_options, tmp_path):
    package = Path(library_options[0].split("=", 1)[1]).resolve().parent / "firmware" / "example.fwp"
    assert package.is_file(), "the build's example firmware is missing: %s" % package
    inner_pytest.pytester.makefile(".toml", rack='[[station]]\nname = "emu-fw"\nemulator = true\nfirmware = "%s"\n'
                                   % package)
    inner_pytest.pytester.makepyfile(test_firmware="""
        def test_loaded(termbridge_session, termbridge_emulator, termbridge_station):
            assert termbridge_station.name == "emu-fw"
            assert termbridge_emulator.control("firmware").startswith("running")
    """)
    result = inner_pytest.run(*library_options, "--termbridge-inventory=rack.toml",
                              "--termbridge-lock-dir=%s" % (tmp_path / "locks"), "test_firmware.py")
    result.assert_outcomes(passed=1)
    assert result.ret == 0


def dispatcher_table(name, command_port, library_port, extra=""):
    return '[[station]]\nname = "%s"\naddress = "127.0.0.1"\ncommand_port = %d\nlibrary_port = %d\n%s' % (
        name, command_port, library_port, extra)


def stations_tool(inventory, command, locks, *options):
    return subprocess.run([sys.executable, "-m", "termbridge.stations", str(inventory), command,
                           "--lock-dir=%s" % locks, *options], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE)))


def test_the_stations_tool_says_which_are_free_held_and_down(bench, tmp_path):
    dead = (free_port(), free_port())
    inventory = tmp_path / "rack.toml"
    inventory.write_text(dispatcher_table("bench", bench.command_port, bench.library_port)
                         + dispatcher_table("dead", *dead) + dispatcher_table("taken", 41000, 41001)
                         + '[[station]]\nname = "emu"\nemulator = true\n')
    locks = tmp_path / "locks"
    _, held = claim_station([load_inventory(str(inventory))[2]], "ci-job", locks)
    try:
        listed = stations_tool(inventory, "list", locks, "--json")
        checked = stations_tool(inventory, "check", locks)
        who = stations_tool(inventory, "who", locks)
    finally:
        held.close()
    assert listed.returncode == 0, listed.stderr
    states = {entry["name"]: entry for entry in json.loads(listed.stdout)["stations"]}
    assert {name: entry["state"] for name, entry in states.items()} == {
        "bench": "free", "dead": "down", "taken": "held", "emu": "free"}
    assert states["dead"]["reason"].startswith("no dispatcher connected to port %d within 1.0 s" % dead[1])
    holder = states["taken"]["holder"]
    assert (holder["holder"], holder["pid"], holder["host"]) == ("ci-job", os.getpid(), socket.gethostname())
    assert (states["bench"]["address"], states["bench"]["library_port"]) == ("127.0.0.1", bench.library_port)

    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert re.search(r"^dead +dispatcher +127\.0\.0\.1:%d:%d +down: no dispatcher connected" % dead, checked.stdout,
                     re.M), checked.stdout
    assert "4 stations: 2 free, 1 held, 1 down" in checked.stdout
    assert who.returncode == 0 and [line.split()[0] for line in who.stdout.splitlines()] == ["STATION", "taken"]
    assert "held by ci-job (pid %d) on %s since " % (os.getpid(), socket.gethostname()) in who.stdout

    # Every station answers (or is held): check passes. A bad inventory is a usage error.
    inventory.write_text(dispatcher_table("bench", bench.command_port, bench.library_port))
    assert stations_tool(inventory, "check", locks).returncode == 0
    inventory.write_text("[[station]]\n")
    refused = stations_tool(inventory, "list", locks)
    assert refused.returncode == 2 and "every station needs a name" in refused.stderr


@pytest.mark.parametrize("case, reason", [
    ("nobody listens", "no dispatcher connected to port {tcp} within 1.0 s"),
    ("silent dispatcher", "the dispatcher connected to port {tcp} but did not answer a word read sent to "
                          "127.0.0.1:{udp} within 1.0 s"),
    ("port taken here", "the library's port {tcp} is in use on this host"),
    ("no such host", "the address no-such-host.invalid does not resolve"),
])
def test_what_a_probe_says_when_no_dispatcher_answers(bench, case, reason):
    udp, tcp = (free_port(), free_port()) if case == "nobody listens" else (bench.command_port, bench.library_port)
    taken = socket.socket()
    try:
        if case == "silent dispatcher":
            bench.control("hostile silent")
        if case == "port taken here":
            taken.bind(("0.0.0.0", tcp))
            taken.listen()
        result = probe_dispatcher("no-such-host.invalid" if case == "no such host" else "127.0.0.1", udp, tcp)
    finally:
        taken.close()
    assert not result.answered and result.reason.startswith(reason.format(udp=udp, tcp=tcp)), result.reason
    assert result.port_taken == (case == "port taken here")


def test_the_plugin_passes_over_a_station_that_is_down(inner_pytest, library_options, bench, tmp_path):
    inner_pytest.pytester.makepyfile(test_where="""
        def test_where(termbridge_station, termbridge_session):
            assert termbridge_station.name == "bench"
    """)
    dead, dead2 = (free_port(), free_port()), (free_port(), free_port())
    (tmp_path / "rack.toml").write_text(dispatcher_table("dead", *dead)
                                        + dispatcher_table("bench", bench.command_port, bench.library_port))
    (tmp_path / "down.toml").write_text(dispatcher_table("dead", *dead) + dispatcher_table("dead2", *dead2))
    options = [*library_options, "--termbridge-lock-dir=%s" % (tmp_path / "locks"), "-v"]  # -v: the header
    result = inner_pytest.run(*options, "--termbridge-inventory=%s" % (tmp_path / "rack.toml"))
    result.assert_outcomes(passed=1)
    output = str(result.stdout)
    assert "termbridge: passed over dead: down (no dispatcher connected to port %d" % dead[1] in output
    assert "termbridge: claimed station bench (dispatcher 127.0.0.1" in output

    result = inner_pytest.run(*options, "--termbridge-inventory=%s" % (tmp_path / "rack.toml"),
                              "--termbridge-down-is-error")
    assert result.ret == 1 and "station dead is down: no dispatcher connected to port %d" % dead[1] in str(
        result.stdout)

    result = inner_pytest.run(*options, "--termbridge-inventory=%s" % (tmp_path / "down.toml"))
    assert result.ret == 1
    assert re.search(r"no free station: dead down \(no dispatcher connected to port %d .*\), dead2 down \(no "
                     r"dispatcher connected to port %d " % (dead[1], dead2[1]), str(result.stdout)), result.stdout


def test_a_station_reset_runs_before_its_first_test_and_when_a_test_asks(inner_pytest, library_options, tmp_path):
    resets = tmp_path / "resets.log"
    record = "import os, sys; open(sys.argv[1], 'a').write(os.environ['TERMBRIDGE_STATION_NAME'] + chr(10))"
    inner_pytest.pytester.makepyfile(test_reset="""
        from pathlib import Path

        def test_first(termbridge_station):
            assert Path(%(log)r).read_text() == "emu-r\\n"

        def test_asks(termbridge_station):
            termbridge_station.reset()
            assert Path(%(log)r).read_text() == "emu-r\\nemu-r\\n"
    """ % {"log": str(resets)})
    station = '[[station]]\nname = "emu-r"\nemulator = true\nreset = [%s]\n'
    inventory = inner_pytest.pytester.path / "rack.toml"
    inventory.write_text(station % ", ".join(json.dumps(word) for word in (sys.executable, "-c", record, str(resets))))
    options = [*library_options, "--termbridge-inventory=rack.toml", "--termbridge-lock-dir=%s" % (tmp_path / "locks")]
    result = inner_pytest.run(*options)
    result.assert_outcomes(passed=2)

    # A reset that fails fails the first test with its output, and the next without running again.
    inventory.write_text(station % ", ".join(json.dumps(word) for word in (
        sys.executable, "-c", "print('relay', 1 + 2, 'stuck'); raise SystemExit(3)")))
    result = inner_pytest.run(*options)
    result.assert_outcomes(errors=2)
    output = str(result.stdout)
    assert "failed (exit status 3); its output:" in output and output.count("relay 3 stuck") == 2, output
    assert output.count("(the station's reset failed before; not tried again)") == 1
