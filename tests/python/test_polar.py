"""veltrum-polar, as installed: its output, its handling of bad input, its diagram; and the
short example of the library calls behind it."""

import os
import pathlib
import subprocess
import sys

import pytest

from veltrum import NavCalc
from veltrum_tools import polar
from veltrum_tools.marine import WAVE_HEIGHT_BY_FORCE
from veltrum_tools.outputs import save_figure
from veltrum_tools.errors import UsageError
from veltrum_tools.vessel import Vessel, refusals_as_usage

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The console script installed beside the interpreter
TOOL = pathlib.Path(sys.executable).parent / "veltrum-polar"


def run(*args, cwd=None):
    return subprocess.run([str(TOOL), *args], capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def test_default_estimate_is_the_worked_example():
    result = run()
    assert result.returncode == 0, result.stderr
    assert "Speed change:     -0.66 kn (-5.5 % of the set speed)" in result.stdout
    assert "Attainable speed: 11.34 kn" in result.stdout
    assert result.stderr == ""


def test_table_holds_the_module_values():
    result = run("--ballast", "--speed-kts", "14", "--length", "180", "--displacement", "45000",
                 "--breadth", "32", "--draught", "10", "--table")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("heading"))
    rows = [line.split() for line in lines[header + 1:]]
    assert [row[0] for row in rows] == [f"{h}°" for h in range(0, 181, 15)]
    vessel = NavCalc(45000, 180, 32, 10)
    vessel.setup(14, False)
    heights = (0.0, 0.1, 0.2, 0.6, 1.0, 2.0, 3.0, 4.0, 5.5, 7.0, 9.0, 11.5, 14.0)
    expected = [[f"{h}°"] + [f"{vessel.compute(h, force, heights[force], h):+.2f}"
                             for force in range(13)] for h in range(0, 181, 15)]
    assert rows == expected


@pytest.mark.parametrize("args, says", [
    (["--length", "x"], "argument --length: invalid float value: 'x'"),
    (["--wind-scale", "4.5"], "argument --wind-scale: invalid int value: '4.5'"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--speed-kts", "nan"], "--speed-kts wants a speed from 0 to 100 kn, not nan"),
    (["--wind-scale", str(2**40)], "--wind-scale wants a Beaufort force from 0 to 12, not 1099"),
    # outside what the tools take, refused before the model would print its failure report
    (["--draught", "0"], "--draught wants a number from 0.001 to 1e+07, not 0"),
    (["--displacement", "1e-320"], "--displacement wants a number from 0.001 to 1e+07"),
    (["--wind-scale", "13"], "--wind-scale wants a Beaufort force from 0 to 12, not 13"),
    (["--wave-height", "-5"], "no sea has waves of -5 m (possible: 0 to 30 m)"),
    (["--wind-speed", "200", "--knots"], "no sea has a wind of 102.889 m/s (possible: 0 to 100"),
    (["--plot", "diagram.svg"], "--plot wants a file name ending in .png"),
    (["--plot", "no/such/dir/p.png"], "--plot: no directory for 'no/such/dir/p.png'"),
    (["--wind-from", "10"], "--wind-from and --waves-from need the ship's --heading"),
    (["--wind-speed", "3", "--wind-scale", "2"], "--wind-speed and --wind-scale say the same"),
    (["--wind-speed", "-1"], "--wind-speed: a wind speed is a number of at least 0, not -1.0"),
    (["--wind-beta", "inf"], "the wind direction must be a finite angle, not inf"),
])
def test_bad_input_is_one_line_and_status_2(args, says):
    result = run(*args)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("veltrum-polar: error: ") and says in result.stderr


@pytest.mark.parametrize("particulars, force, refusal", [
    ((10000, 120, 20, 0), 4, "参数必须大于0 — every hull particular must be greater than zero"),
    ((10000, float("nan"), 20, 7), 4, "无效的方形系数 — invalid block coefficient: none follows"),
    ((10000, 120, 20, 7), 13, "蒲福风级必须在 0~12 — the Beaufort force must be between 0 and 12"),
])
def test_model_failure_is_explained(particulars, force, refusal):
    # the tools refuse such input first; a refusal of the model is still explained
    with pytest.raises(UsageError, match=refusal), refusals_as_usage():
        Vessel(*particulars, 12, True).checked().compute(0, force, 2, 0)


def estimate(result):
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    return [line for line in lines if line.startswith(("Speed change", "Attainable"))]


@pytest.mark.parametrize("args, same_as, note", [
    (["--wind-beta", "-170", "--wave-beta", "-170"], ["--wind-beta", "170", "--wave-beta", "170"],
     "wind -170° → 170°, waves -170° → 170°"),
    (["--wind-beta", "350", "--wave-beta", "10"], ["--wind-beta", "10", "--wave-beta", "10"],
     "wind 350° → 10°"),
    (["--heading", "90", "--wind-from", "270", "--waves-from", "270"],
     ["--wind-beta", "180", "--wave-beta", "180"], None),
    (["--heading", "350", "--wind-from", "20", "--wind-speed", "25", "--knots"],
     ["--wind-beta", "30", "--wave-beta", "30", "--wind-scale", "6", "--wave-height", "3"], None),
    (["--wind-speed", "10.79"], ["--wind-scale", "5", "--wave-height", "2"], None),
])
def test_navigators_terms_give_the_models_estimate(args, same_as, note):
    result = run(*args)
    assert estimate(result) == estimate(run(*same_as))
    notes = [line for line in result.stdout.splitlines() if line.startswith("Note: ")]
    if note is None:
        assert notes == []
    else:
        assert len(notes) == 1 and note in notes[0]


def drawn_forces(path, figure):
    """The forces whose curve colour (PLOT_STYLES) covers whole pixels in each polar panel of
    a diagram written from `figure`, at 90 dpi."""
    from matplotlib import image

    pixels = (image.imread(path)[..., :3] * 255).round().astype(int)
    height, width, _ = pixels.shape
    assert (width, height) == (1080, 594)
    found = []
    for ax in figure.axes:
        box = ax.get_position()
        panel = pixels[round((1 - box.y1) * height):round((1 - box.y0) * height),
                       round(box.x0 * width):round(box.x1 * width)]
        found.append({force for force, (colour, _) in zip(polar.PLOT_FORCES, polar.PLOT_STYLES)
                      if (panel == [int(colour[i:i + 2], 16) for i in (1, 3, 5)]).all(-1).any()})
    return found


def test_diagram_plots_the_modules_attainable_speeds(tmp_path):
    vessel = Vessel(45000, 180, 32, 10, 14, True)
    model = vessel.navcalc()
    figure = polar.polar_figure(model, vessel)
    curves = {line.get_gid(): list(line.get_ydata()) for ax in figure.axes
              for line in ax.get_lines() if line.get_gid()}
    for laden in (True, False):
        model.setup(14, laden)
        for force in (2, 4, 6, 8, 10, 12):
            height = WAVE_HEIGHT_BY_FORCE[force]
            half = [14 + model.compute(h, force, height, h) for h in range(0, 181, 5)]
            assert curves.pop(f"{'laden' if laden else 'in ballast'} {force}") == half + half[::-1]
    assert curves == {}
    save_figure(figure, str(tmp_path / "polar.png"))
    # every curve shows in both panels, the lightest where it leaves the set-speed circle
    assert drawn_forces(tmp_path / "polar.png", figure) == [set(polar.PLOT_FORCES)] * 2


def test_diagram_of_extreme_losses(tmp_path):
    # The smallest hull the tools take makes losses of some thousand knots: still a diagram
    # of both loading states, the curves of the strong winds inside the panels.
    result = run("--displacement", "1e-3", "--plot", "polar.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    vessel = Vessel(1e-3, 120, 20, 7, 12, True)
    figure = polar.polar_figure(vessel.navcalc(), vessel)
    for forces in drawn_forces(tmp_path / "polar.png", figure):
        assert {8, 10, 12} <= forces


def test_example_of_the_library_calls():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "speed_loss.py")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Head wind and seas: -0.66 kn, attainable 11.34 kn\n")
