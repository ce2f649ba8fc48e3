"""The README's limitations section is what docs/limitations.py measures now."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_limitations_are_measured_by_the_generator():
    printed = subprocess.run([sys.executable, str(ROOT / "docs" / "limitations.py")],
                             capture_output=True, text=True, check=True, timeout=60).stdout
    readme = (ROOT / "README.md").read_text()
    heading = printed.splitlines()[0]
    section = heading + readme.split("\n" + heading, 1)[1].split("\n## ", 1)[0]
    assert section.rstrip("\n") == printed.rstrip("\n"), \
        "README.md's limitations are stale: rerun docs/limitations.py --write"
