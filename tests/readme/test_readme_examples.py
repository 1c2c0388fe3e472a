"""The pytest examples of the READMEs, run as they stand against this build's
library and emulator: every Python block that defines a test becomes a test
file of its own, beside `defs/` (the example definition set and map files,
the paths the examples name). Each of their tests must pass."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from termbridge.emulator import find_emulator
from termbridge.pytest_plugin import run_key

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
def test_readme_examples_pass_as_written(readme, request, tmp_path):
    blocks = example_blocks(readme)
    defs = tmp_path / "defs"
    shutil.copytree(SOURCE_ROOT / "examples" / "definitions", defs)
    for name in ("mac.map", "phy.map"):
        shutil.copy(SOURCE_ROOT / "examples" / "maps" / name, defs / name)
    for number, block in enumerate(blocks):
        (tmp_path / ("test_example_%d.py" % number)).write_text(block)
    expected = sum(len(re.findall(r"^def test_", block, re.M)) for block in blocks)

    plugin = request.config.stash[run_key]
    # The run's library files are its own, not this process's.
    environment = {key: value for key, value in os.environ.items() if key != "TERMBRIDGE_ROOT"}
    environment.update(PYTHONPATH=str(SOURCE_ROOT / "bindings" / "python"), PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
                       PYTHONDONTWRITEBYTECODE="1")
    command = [sys.executable, "-m", "pytest", "-p", "termbridge.pytest_plugin", "-p", "no:cacheprovider", "-rA",
               "--termbridge-library=" + plugin.library()._name, "--termbridge-emulator=" + find_emulator(plugin.settings.value("emulator"))]
    run = subprocess.run(command, cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120)
    output = run.stdout + run.stderr
    assert run.returncode == 0, output
    # Every example passed, none was skipped.
    assert re.fullmatch(r"=+ %d passed in .* =+" % expected, output.splitlines()[-1]), output
