"""The pytest examples of the READMEs, run as they stand against this build's
library and emulator: every Python block that defines a test becomes a test
file of its own, beside `defs/` (the example definition set and map files,
the paths the examples name). Each of their tests must pass."""

import re
import shutil
from pathlib import Path

import pytest

from termbridge.emulator import find_emulator
from termbridge.pytest_plugin import run_key

pytest_plugins = ["pytester"]

SOURCE_ROOT = Path(__file__).resolve().parents[2]
READMES = (SOURCE_ROOT / "README.md", SOURCE_ROOT / "bindings" / "python" / "README.md")


def example_blocks(readme):
    """The Python blocks of a README that define tests."""
    blocks = re.findall(r"^```python\n(.*?)^```", readme.read_text(encoding="utf-8"), re.S | re.M)
    return [block for block in blocks if re.search(r"^def test_", block, re.M)]


def test_every_readme_has_examples():
    for readme in READMES:
        assert example_blocks(readme), "%s: no pytest example found" % readme


@pytest.mark.parametrize("readme", READMES, ids=lambda path: str(path.relative_to(SOURCE_ROOT)))
def test_readme_examples_pass_as_written(readme, request, pytester, monkeypatch):
    blocks = example_blocks(readme)
    defs = pytester.path / "defs"
    shutil.copytree(SOURCE_ROOT / "examples" / "definitions", defs)
    for name in ("mac.map", "phy.map"):
        shutil.copy(SOURCE_ROOT / "examples" / "maps" / name, defs / name)
    for number, block in enumerate(blocks):
        pytester.makepyfile(**{"test_example_%d" % number: block})
    expected = sum(len(re.findall(r"^def test_", block, re.M)) for block in blocks)

    run = request.config.stash[run_key]
    options = ["--termbridge-library=" + run.library()._name,
               "--termbridge-emulator=" + find_emulator(run.settings.value("emulator"))]
    # The run's library files are its own, not this process's.
    monkeypatch.delenv("TERMBRIDGE_ROOT", raising=False)
    monkeypatch.setenv("PYTHONPATH", str(SOURCE_ROOT / "bindings" / "python"))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    monkeypatch.setenv("PYTHONDONTWRITEBYTECODE", "1")
    result = pytester.runpytest_subprocess("-p", "termbridge.pytest_plugin", "-p", "no:cacheprovider", "-rA", *options,
                                           timeout=120)
    # Every example passed, none was skipped, nothing warned.
    result.assert_outcomes(passed=expected, warnings=0)
    assert result.ret == 0
