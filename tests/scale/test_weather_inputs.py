"""The voyage and the hindcast read weather through one reader: every layout of the same
weather gives each tool the same result, and both refuse the same inputs in the same words."""

import pytest

from test_at_scale import run
from weather_layouts import LAYOUTS, base, nc


def both(directory, paths):
    """The voyage's legs and the hindcast's summary over the inputs, or their errors."""
    (directory / "route.csv").write_text("name,latitude,longitude\nA,0,-1\nB,0,1\n")
    voyage = run("veltrum-voyage", "route.csv", "--weather", *paths, "--step-nm", 20,
                 "--csv", "legs.csv", cwd=directory)
    hindcast = run("veltrum-hindcast", "--input", *paths, "--workers", 1, "--headings", 2,
                   cwd=directory)
    if voyage.returncode or hindcast.returncode:  # the error, in the hindcast's words
        return [(result.returncode, result.stderr.split(": ", 1)[-1].replace("--weather",
                                                                             "--input"))
                for result in (voyage, hindcast)]
    return (directory / "legs.csv").read_text(), hindcast.stdout.split("Estimates:")[1]


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    directory = tmp_path_factory.mktemp("reference")
    return both(directory, LAYOUTS["one file"](directory))


@pytest.mark.parametrize("layout", [name for name in LAYOUTS if name != "one file"])
def test_every_layout_gives_both_tools_the_same_result(tmp_path, reference, layout):
    assert both(tmp_path, LAYOUTS[layout](tmp_path)) == reference


@pytest.mark.parametrize("inputs, says", [
    (lambda d: [nc(base().isel(longitude=[0, 1, 1, 2, 3, 4]), d / "w.nc")],
     "w.nc: a longitude appears twice"),
    (lambda d: [nc(base().isel(time=[0, 1]), d / "a.nc"),
                nc(base().isel(time=[2, 3], latitude=[0, 1]), d / "b.nc")],
     "--input: the grids of the inputs disagree: the latitude of b.nc differs from a.nc's"),
    (lambda d: [nc(base().assign(swh=base()["swh"] * (1 + 1j)), d / "w.nc")],
     "w.nc: swh holds complex numbers (complex64), not real numbers"),
    (lambda d: [nc(base().assign(mwd=base()["mwd"].astype(str)), d / "w.nc")],
     "w.nc: mwd holds text (<U13), not real numbers"),
])
def test_both_tools_refuse_the_same_inputs(tmp_path, inputs, says):
    assert both(tmp_path, inputs(tmp_path)) == [(2, f"error: {says}\n")] * 2
