"""The binding's declarations against the header, and the library's answers
before initialize."""

import ctypes
import re
import unittest

import tbsupport
import termbridge

NOT_READY = "Fatal Error!!! Console Application isn't Ready!!!!"

# C types of the header -> the ctypes types that pass them unchanged.
C_TYPES = {
    "int": ctypes.c_int,
    "const char*": ctypes.c_char_p,
    "unsigned short": ctypes.c_ushort,
    "unsigned char": ctypes.c_ubyte,
    "bool": ctypes.c_bool,
    "void": None,
}


def header_prototypes():
    """name -> (result C type, [argument C types]) from the public header."""
    with open(tbsupport.HEADER, encoding="ascii") as header:
        text = header.read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)
    prototypes = {}
    for match in re.finditer(r"TB_API\s+([^;()]+?)\s*TB_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        result, name, arguments = match.groups()
        types = []
        for argument in arguments.split(","):
            argument = " ".join(argument.split())
            if argument in ("", "void"):
                continue
            # Drop the parameter name; keep the type with its '*' attached.
            argument = re.sub(r"\s*\*\s*", "* ", argument)
            types.append(" ".join(argument.split()[:-1]))
        prototypes[name] = (" ".join(result.replace("*", "* ").split()).replace(" *", "*"), types)
    return prototypes


def export_list():
    with open(tbsupport.EXPORT_LIST, encoding="ascii") as listing:
        words = [line.strip() for line in listing]
    return [word for word in words if word and not word.startswith(("LIBRARY", "EXPORTS", ";"))]


def project_version():
    with open(tbsupport.PROJECT_FILE, encoding="utf-8") as project:
        match = re.search(r"project\s*\(\s*\w+\s+VERSION\s+(\d+)\.(\d+)\.(\d+)", project.read())
    return tuple(int(part) for part in match.groups()) if match else None


class DeclarationsTest(unittest.TestCase):
    def test_header_has_the_26_exports(self):
        self.assertEqual(len(header_prototypes()), 26)

    def test_binding_declares_exactly_the_header_functions(self):
        self.assertEqual(sorted(termbridge.EXPORTS), sorted(header_prototypes()))

    def test_export_list_names_the_same_functions(self):
        # The tbx_ extensions follow the 26 in the list (termbridge_ext.h).
        host_functions = [name for name in export_list() if not name.startswith("tbx_")]
        self.assertEqual(sorted(host_functions), sorted(termbridge.EXPORTS))

    def test_argument_and_result_types_match_the_header(self):
        for name, (result, arguments) in header_prototypes().items():
            with self.subTest(export=name):
                restype, argtypes = termbridge.EXPORTS[name]
                self.assertEqual(list(argtypes), [C_TYPES[argument] for argument in arguments])
                if result == "const char*":
                    # Text results as text; the result buffer as an address,
                    # because its bytes may contain NULs.
                    expected = ctypes.c_void_p if name == "getResultBuffer" else ctypes.c_char_p
                    self.assertIs(restype, expected)
                else:
                    self.assertIs(restype, C_TYPES[result])

    def test_loaded_library_carries_the_declared_types(self):
        lib = tbsupport.library()
        for name, (restype, argtypes) in termbridge.EXPORTS.items():
            with self.subTest(export=name):
                function = getattr(lib, name)
                self.assertIs(function.restype, restype)
                self.assertEqual(list(function.argtypes), list(argtypes))


class NotInitializedTest(unittest.TestCase):
    """What every export answers while no application object exists."""

    @classmethod
    def setUpClass(cls):
        cls.lib = tbsupport.library()

    def test_integer_results(self):
        lib = self.lib
        expected = {
            "getResultLen": (lib.getResultLen, (), -1),
            "getDefaultTimeout": (lib.getDefaultTimeout, (), -1),
            "getLogSeverity": (lib.getLogSeverity, (), -1),
            "LoadFW": (lib.LoadFW, (b"firmware.bin",), -1),
            "sendCommand": (lib.sendCommand, (b"NATIVE_READ_WORD_CMD 0x10", 100), 1),
            "sendCommandDefaultTimeout": (lib.sendCommandDefaultTimeout, (b"NATIVE_READ_WORD_CMD 0x10",), 1),
            "SyncChipAccess": (lib.SyncChipAccess, (), 1),
            "InitEepromIF": (lib.InitEepromIF, (0, b""), 1),
            "UpdateEepromField": (lib.UpdateEepromField, (b"field", b"1"), 1),
            "BurnEeprom": (lib.BurnEeprom, (0,), 1),
            "DumpEepromTableToFile": (lib.DumpEepromTableToFile, (b"eeprom.txt",), 1),
            "deinitialize": (lib.deinitialize, (), 0),
        }
        for name, (function, arguments, value) in expected.items():
            with self.subTest(export=name):
                self.assertEqual(function(*arguments), value)

    def test_text_results_are_the_not_ready_text(self):
        lib = self.lib
        texts = {
            "getResultBufferText": lib.getResultBufferText(),
            "getFailureMessage": lib.getFailureMessage(),
            "getSystemVersionInfo": lib.getSystemVersionInfo(),
            "ReadEntireEeprom": lib.ReadEntireEeprom(b""),
            "ReadFieldFromEeprom": lib.ReadFieldFromEeprom(b"field"),
            "ReadFieldFromVolatile": lib.ReadFieldFromVolatile(b"field"),
        }
        for name, text in texts.items():
            with self.subTest(export=name):
                self.assertEqual(text.decode("latin-1"), NOT_READY)

    def test_result_buffer_points_at_the_not_ready_text(self):
        address = self.lib.getResultBuffer()
        self.assertTrue(address)
        self.assertEqual(ctypes.string_at(address).decode("latin-1"), NOT_READY)

    def test_setters_keep_the_not_ready_values(self):
        self.lib.setDefaultTimeout(500)
        self.lib.setLogSeverity(3)
        self.lib.setInternalCommandTimeout(500)
        self.assertEqual(self.lib.getDefaultTimeout(), -1)
        self.assertEqual(self.lib.getLogSeverity(), -1)

    def test_send_raises_with_the_not_ready_text(self):
        bridge = termbridge.TermBridge(lib=self.lib)
        with self.assertRaises(termbridge.CommandError) as caught:
            bridge.send("NATIVE_READ_WORD_CMD 0x10", timeout_ms=100)
        self.assertEqual(caught.exception.rc, 1)
        self.assertEqual(caught.exception.message, NOT_READY)
        self.assertEqual(caught.exception.command, "NATIVE_READ_WORD_CMD 0x10")
        with self.assertRaises(termbridge.CommandError):
            bridge.send("NATIVE_READ_WORD_CMD 0x10")

    def test_layer_passes_the_not_ready_values_through(self):
        bridge = termbridge.TermBridge(lib=self.lib)
        self.assertEqual(bridge.result_length, -1)
        self.assertEqual(bridge.result_data, b"")
        self.assertEqual(bridge.result_hex, NOT_READY)
        self.assertEqual(bridge.failure_message, NOT_READY)
        self.assertEqual(bridge.default_timeout, -1)
        self.assertEqual(bridge.log_severity, -1)
        self.assertEqual(bridge.load_firmware("firmware.bin"), -1)
        self.assertEqual(bridge.sync(), 1)
        self.assertEqual(bridge.system_version_info(), NOT_READY)
        self.assertEqual(bridge.read_eeprom_field("field"), NOT_READY)
        self.assertEqual(bridge.close(), 0)


class VersionTest(unittest.TestCase):
    def test_ver_is_major_minor_build_and_a_line_end(self):
        text = tbsupport.library().ver().decode("ascii")
        self.assertRegex(text, r"\A\d+\.\d+\.\d+\n\Z")

    def test_ver_is_the_project_version(self):
        version = project_version()
        self.assertIsNotNone(version, "no project(... VERSION x.y.z) in CMakeLists.txt")
        self.assertEqual(tbsupport.library().ver().decode("ascii"), "%d.%d.%d\n" % version)

    def test_version_helper_drops_the_line_end(self):
        lib = tbsupport.library()
        self.assertEqual(termbridge.version(lib) + "\n", lib.ver().decode("ascii"))
        self.assertEqual(termbridge.TermBridge(lib=lib).version(), termbridge.version(lib))


if __name__ == "__main__":
    unittest.main()
