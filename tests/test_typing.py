"""The stubs describe the modules as they are, and the command line checks under mypy --strict."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytest.importorskip("mypy")


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
    )


def test_stubs_match_the_modules():
    result = run("mypy.stubtest", "--mypy-config-file", "pyproject.toml", "morbex")
    assert result.returncode == 0, result.stdout + result.stderr


def test_command_line_type_checks_strictly():
    result = run("mypy", "--config-file", "pyproject.toml", "--strict", "src/morbex/cli")
    assert result.returncode == 0, result.stdout + result.stderr
