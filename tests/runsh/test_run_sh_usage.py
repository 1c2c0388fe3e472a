"""run.sh refuses a command line it cannot take before anything is built:
exit status 2, what is wrong and the verb's usage. It runs from a copy in a
scratch folder, with stand-ins for the tools a run would start first (cmake,
dpkg-query, apt-get, sudo), so that a line it took by mistake fails at once
(exit status 1) instead of building or installing."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE_ROOT = Path(__file__).resolve().parents[2]
STAND_IN = "#!/bin/sh\necho \"stand-in $(basename \"$0\") called: $*\" >&2\nexit 1\n"
INSTALLED = "#!/bin/sh\necho 'install ok installed'\n"


@pytest.fixture
def run_sh(tmp_path):
    shutil.copy(SOURCE_ROOT / "run.sh", tmp_path / "run.sh")
    tools = tmp_path / "tools"
    tools.mkdir()
    for name, text in (("cmake", STAND_IN), ("apt-get", STAND_IN), ("sudo", STAND_IN), ("dpkg-query", INSTALLED)):
        (tools / name).write_text(text)
        (tools / name).chmod(0o755)
    environment = dict(os.environ, PATH="%s:%s" % (tools, os.environ["PATH"]))

    def run(*arguments):
        return subprocess.run(["bash", str(tmp_path / "run.sh"), *arguments], cwd=tmp_path, env=environment,
                              capture_output=True, text=True, timeout=60)

    return run


@pytest.mark.parametrize("arguments, said, usage", [
    (["matrix", "extra"], "unexpected argument 'extra'", "./run.sh matrix"),
    (["test", "--windows"], "unexpected argument '--windows'", "./run.sh test"),
    (["build", "extra"], "unexpected argument 'extra'", "./run.sh build"),
    (["venv", "extra"], "unexpected argument 'extra'", "./run.sh venv"),
    (["demo", "-v", "extra"], "unexpected argument 'extra'", "./run.sh demo [-v]"),
    (["soak", "5"], "N must be a whole number of at least 10, not '5'", "./run.sh soak [--windows] [N]"),
    (["fuzz", "ten"], "SECONDS must be a whole number above 0, not 'ten'", "./run.sh fuzz [SECONDS] [TARGET...]"),
])
def test_a_command_line_run_sh_cannot_take_is_a_usage_error(run_sh, arguments, said, usage):
    run = run_sh(*arguments)
    assert (run.returncode, run.stdout) == (2, ""), run.stderr
    lines = run.stderr.splitlines()
    assert len(lines) == 2 and lines[0].startswith("run.sh: " + said) and lines[1] == "usage: " + usage, run.stderr
