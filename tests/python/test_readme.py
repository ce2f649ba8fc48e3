"""The README: its limitations are what docs/limitations.py measures now, and
its routing-loop snippets do what their comments say."""

import math
import pathlib
import re
import subprocess
import sys

from veltrum import NavCalc

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def test_limitations_are_measured_by_the_generator():
    printed = subprocess.run([sys.executable, str(ROOT / "docs" / "limitations.py")],
                             capture_output=True, text=True, check=True, timeout=60).stdout
    heading = printed.splitlines()[0]
    section = heading + README.split("\n" + heading, 1)[1].split("\n## ", 1)[0]
    assert section.rstrip("\n") == printed.rstrip("\n"), \
        "README.md's limitations are stale: rerun docs/limitations.py --write"


def test_routing_loop_snippets():
    section = README.split("\n## Using it in a routing loop\n", 1)[1].split("\n## ", 1)[0]
    vessel = NavCalc(10000, 120, 20, 7)
    vessel.setup(12, True)
    names = {"__name__": "readme", "vessel": vessel, "wind_from": 10.0, "waves_from": 250.0,
             "heading": 180.0, "force": 13, "wave_height": 2.0}
    for block in re.findall(r"```python\n(.*?)```", section, re.S):
        exec(block, names)
    assert (names["wind_beta"], names["wave_beta"]) == (170.0, 70.0)
    assert [names["fold"](a) for a in (-170.0, 190.0, 350.0)] == [170.0, 170.0, 10.0]
    assert [names["beaufort"](v) for v in (0.29, 0.3, 12.6, 32.7, 99.0)] == [0, 1, 6, 12, 12]
    assert math.isnan(names["change"])  # force 13 was caught as a model failure
    names["start"]((10000, 120, 20, 7))
    assert [names["estimate"](leg) for leg in [(12.0, True, 30.0, 5, 2.0, 30.0),
                                               (12.0, True, 150.0, 7, 4.0, 150.0)]] \
        == [-1.79, -2.11]
