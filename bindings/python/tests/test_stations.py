"""Stations: one test file run on the emulator and on a dispatcher (a
tb-emulator process standing in for a bench), inventories, exclusive claims
that a crashed process gives back, and a missing library or emulator."""

import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from termbridge.emulator import Emulator, find_emulator, free_port
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
