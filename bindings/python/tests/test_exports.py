"""The binding's declarations against the headers and the export list, the
plugin's copies of the library's defaults against the library, and
the library's answers before initialize."""

import ctypes
import os
import re
import subprocess
import sys

import pytest

import termbridge
from conftest import EXPORT_LIST, EXTENSION_HEADER, HEADER, NOT_READY, PROJECT_FILE, SOURCE_ROOT
from termbridge.pytest_plugin.run import LIBRARY_DEFAULTS

# C types of the headers -> the ctypes types that pass them unchanged.
C_TYPES = {
    "int": ctypes.c_int,
    "const char*": ctypes.c_char_p,
    "unsigned short": ctypes.c_ushort,
    "unsigned char": ctypes.c_ubyte,
    "bool": ctypes.c_bool,
    "void*": ctypes.c_void_p,
    "void": None,
}


def header_prototypes(path, api=r"TB_API\s+"):
    """name -> (result C type, [argument C types]) of a public header."""
    text = path.read_text(encoding="ascii")
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)
    prototypes = {}
    for match in re.finditer(api + r"([^;()]+?)\s*(?:TB_CALL\s+)?(\w+)\s*\(([^()]*(?:\([^()]*\)[^()]*)*)\)\s*;", text):
        result, name, arguments = match.groups()
        types = []
        for argument in re.split(r",(?![^()]*\))", arguments):
            argument = " ".join(argument.split())
            if argument in ("", "void"):
                continue
            if "(" in argument:
                types.append("callback")
                continue
            # Drop the parameter name; keep the type with its '*' attached.
            argument = re.sub(r"\s*\*\s*", "* ", argument)
            types.append(" ".join(argument.split()[:-1]))
        prototypes[name] = (" ".join(result.replace("*", "* ").split()).replace(" *", "*"), types)
    return prototypes


def export_list():
    words = [line.strip() for line in EXPORT_LIST.read_text(encoding="ascii").splitlines()]
    return [word for word in words if word and not word.startswith(("LIBRARY", "EXPORTS", ";"))]


def test_binding_declares_exactly_the_26_header_functions():
    prototypes = header_prototypes(HEADER)
    assert len(prototypes) == 26
    assert sorted(termbridge.EXPORTS) == sorted(prototypes)


def test_export_list_is_the_26_then_extensions_only():
    names = export_list()
    assert names[:26] == list(header_prototypes(HEADER))
    assert all(name.startswith("tbx_") for name in names[26:]), names[26:]
    # Every extension the binding uses is one the library may export.
    extensions = set(names[26:])
    if extensions:
        assert set(termbridge.EXTENSIONS) <= extensions


def test_argument_and_result_types_match_the_header():
    for name, (result, arguments) in header_prototypes(HEADER).items():
        restype, argtypes = termbridge.EXPORTS[name]
        assert list(argtypes) == [C_TYPES[argument] for argument in arguments], name
        if result == "const char*":
            # Text results as text; the result buffer as an address, because
            # its bytes may contain NULs.
            assert restype is (ctypes.c_void_p if name == "getResultBuffer" else ctypes.c_char_p), name
        else:
            assert restype is C_TYPES[result], name


@pytest.mark.skipif(not EXTENSION_HEADER.exists(), reason="no extension header in this tree")
def test_extension_declarations_match_their_header():
    types = dict(C_TYPES, tbx_ProgressCallback=termbridge._library.ProgressFunction,
                 tbx_StoppableProgressCallback=termbridge._library.StoppableProgressFunction,
                 **{"tbx_OperationStats*": ctypes.POINTER(termbridge._library.OperationStatsRecord),
                    "tbx_LinkState*": ctypes.POINTER(termbridge._library.LinkStateRecord),
                    "unsigned int": ctypes.c_uint, "unsigned char*": ctypes.POINTER(ctypes.c_ubyte),
                    "const unsigned char*": ctypes.POINTER(ctypes.c_ubyte)})
    prototypes = header_prototypes(EXTENSION_HEADER)
    assert sorted(termbridge.EXTENSIONS) == sorted(name for name in prototypes if name.startswith("tbx_"))
    for name, (restype, argtypes) in termbridge.EXTENSIONS.items():
        result, arguments = prototypes[name]
        assert (restype, list(argtypes)) == (types[result], [types[argument] for argument in arguments]), name


def test_operation_stats_record_has_the_header_layout():
    record = termbridge._library.OperationStatsRecord
    assert [(name, getattr(record, name).offset) for name, _ in record._fields_] == [
        ("commandsSent", 0), ("eventsAccepted", 4), ("eventsDropped", 8), ("reserved", 12), ("bytesSent", 16),
        ("bytesReceived", 24)]
    assert ctypes.sizeof(record) == 32


def test_link_state_record_has_the_header_layout():
    record = termbridge._library.LinkStateRecord
    assert [(name, getattr(record, name).offset) for name, _ in record._fields_] == [
        ("connected", 0), ("connections", 4), ("listenPort", 8), ("commandPort", 10), ("reserved", 12)]
    assert ctypes.sizeof(record) == 16


def test_loaded_library_carries_the_declared_types(lib):
    for name, (restype, argtypes) in termbridge.EXPORTS.items():
        function = getattr(lib, name)
        assert function.restype is restype, name
        assert list(function.argtypes) == list(argtypes), name


class TestNotInitialized:
    """What every export answers while no application object exists."""

    def test_integer_results(self, closed_lib):
        expected = {
            "getResultLen": (closed_lib.getResultLen, (), -1),
            "getDefaultTimeout": (closed_lib.getDefaultTimeout, (), -1),
            "getLogSeverity": (closed_lib.getLogSeverity, (), -1),
            "LoadFW": (closed_lib.LoadFW, (b"firmware.bin",), -1),
            "sendCommand": (closed_lib.sendCommand, (b"NATIVE_READ_WORD_CMD 0x10", 100), 1),
            "sendCommandDefaultTimeout": (closed_lib.sendCommandDefaultTimeout, (b"NATIVE_READ_WORD_CMD 0x10",), 1),
            "SyncChipAccess": (closed_lib.SyncChipAccess, (), 1),
            "InitEepromIF": (closed_lib.InitEepromIF, (0, b""), 1),
            "UpdateEepromField": (closed_lib.UpdateEepromField, (b"field", b"1"), 1),
            "BurnEeprom": (closed_lib.BurnEeprom, (0,), 0),  # 0: not burnt
            "DumpEepromTableToFile": (closed_lib.DumpEepromTableToFile, (b"eeprom.txt",), 1),
            "deinitialize": (closed_lib.deinitialize, (), 0),
        }
        answers = {name: function(*arguments) for name, (function, arguments, _) in expected.items()}
        assert answers == {name: value for name, (_, _, value) in expected.items()}

    def test_text_results_are_the_not_ready_text(self, closed_lib):
        texts = {
            "getResultBufferText": closed_lib.getResultBufferText(),
            "getFailureMessage": closed_lib.getFailureMessage(),
            "getSystemVersionInfo": closed_lib.getSystemVersionInfo(),
            "ReadEntireEeprom": closed_lib.ReadEntireEeprom(b""),
            "ReadFieldFromEeprom": closed_lib.ReadFieldFromEeprom(b"field"),
            "ReadFieldFromVolatile": closed_lib.ReadFieldFromVolatile(b"field"),
        }
        assert {name: text.decode("latin-1") for name, text in texts.items()} == dict.fromkeys(texts, NOT_READY)
        address = closed_lib.getResultBuffer()
        assert address and ctypes.string_at(address).decode("latin-1") == NOT_READY

    def test_setters_keep_the_not_ready_values(self, closed_lib):
        closed_lib.setDefaultTimeout(500)
        closed_lib.setLogSeverity(3)
        closed_lib.setInternalCommandTimeout(500)
        assert (closed_lib.getDefaultTimeout(), closed_lib.getLogSeverity()) == (-1, -1)

    def test_a_session_not_open_says_so_for_every_operation_and_setting(self, closed_lib):
        # The library would answer "isn't Ready" to an operation and drop a
        # setting; a session that is not open says what is wrong instead.
        bridge = termbridge.TermBridge(lib=closed_lib)
        operations = {
            "send": lambda: bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=100),
            "sync": bridge.sync,
            "load_firmware": lambda: bridge.load_firmware("firmware.bin"),
            "verify_firmware": lambda: bridge.verify_firmware("firmware.bin"),
            "save_memory": lambda: bridge.save_memory(0x10000000, 4, "memory.bin"),
            "load_memory": lambda: bridge.load_memory(0x10000000, "memory.bin"),
            "verify_memory": lambda: bridge.verify_memory(0x10000000, "memory.bin"),
            "version_info": bridge.version_info,
            "init_eeprom": lambda: bridge.init_eeprom(termbridge.EepromSource.DEFINITIONS),
            "update_eeprom_field": lambda: bridge.update_eeprom_field("field", 1),
            "burn_eeprom": bridge.burn_eeprom,
            "dump_eeprom_table": lambda: bridge.dump_eeprom_table("table.bin"),
            "read_entire_eeprom": bridge.read_entire_eeprom,
            "read_eeprom_field": lambda: bridge.read_eeprom_field("field"),
            "read_volatile_field": lambda: bridge.read_volatile_field("field"),
            "default_timeout": lambda: setattr(bridge, "default_timeout", 500),
            "log_severity": lambda: setattr(bridge, "log_severity", 3),
            "set_internal_command_timeout": lambda: bridge.set_internal_command_timeout(500),
            "last_operation_stats": bridge.last_operation_stats,
        }
        for name, operation in operations.items():
            with pytest.raises(termbridge.SessionNotOpenError) as caught:
                operation()
            assert caught.value.message.startswith(name + ": the session is not open"), name
        assert bridge.result_length == -1
        assert bridge.result_data == b""
        assert bridge.close() == 0


class TestVersion:
    def test_ver_is_the_project_version_and_a_line_end(self, lib):
        match = re.search(r"project\s*\(\s*\w+\s+VERSION\s+(\d+)\.(\d+)\.(\d+)", PROJECT_FILE.read_text())
        assert match, "no project(... VERSION x.y.z) in CMakeLists.txt"
        assert lib.ver().decode("ascii") == "%s.%s.%s\n" % match.groups()

    def test_version_helper_drops_the_line_end(self, lib):
        assert termbridge.version(lib) + "\n" == lib.ver().decode("ascii")
        assert termbridge.TermBridge(lib=lib).version() == termbridge.version(lib)


# A new process's library, initialized (before, it answers -1), reports the
# default time-out and log severity it starts with; this process's may have
# been changed by the tests before.
NEW_PROCESS_DEFAULTS = """
import socket, sys
from pathlib import Path
from termbridge import TermBridge, load_library
from termbridge.emulator import free_port
folder = Path(sys.argv[2])
files = {key: folder / name for key, name in (("mac_map", "mac.map"), ("phy_map", "phy.map"),
                                              ("struct_list", "list.txt"))}
for path in files.values():
    path.touch()
silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
silent.bind(("127.0.0.1", 0))
with TermBridge(udp_port=silent.getsockname()[1], tcp_port=free_port(), lib=load_library(sys.argv[1]),
                **files) as bridge:
    print("defaults", bridge.default_timeout, bridge.log_severity)
"""


def test_the_settings_the_plugin_sets_back_are_the_librarys_defaults(lib, tmp_path):
    environment = dict(os.environ, PYTHONPATH=str(SOURCE_ROOT / "bindings" / "python"), TERMBRIDGE_ROOT=str(tmp_path))
    run = subprocess.run([sys.executable, "-c", NEW_PROCESS_DEFAULTS, lib._name, str(tmp_path)], capture_output=True,
                         text=True, env=environment, timeout=60)
    reported = re.search(r"^defaults (-?\d+) (-?\d+)$", run.stdout, re.M)
    assert run.returncode == 0 and reported, run.stdout + run.stderr
    assert (LIBRARY_DEFAULTS.timeout_ms, LIBRARY_DEFAULTS.severity) == tuple(map(int, reported.groups()))
    # The internal time-out the library does not report; its source names it.
    source = (SOURCE_ROOT / "src" / "trafficmanager.h").read_text()
    internal = re.search(r"\bkDefaultInternalTimeoutMs\s*=\s*(\d+)\s*;", source)
    assert internal, "src/trafficmanager.h names no kDefaultInternalTimeoutMs"
    assert LIBRARY_DEFAULTS.internal_timeout_ms == int(internal.group(1))
