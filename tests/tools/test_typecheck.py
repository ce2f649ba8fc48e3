"""The tool package, the examples and the limitations generator under mypy --strict, typed
against the grid extra's packages."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_strict_type_checking():
    pytest.importorskip("distributed", reason="needs the grid extra (veltrum[grid])")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                             str(ROOT / "src" / "veltrum_tools"), str(ROOT / "examples"),
                             str(ROOT / "docs" / "limitations.py")],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
