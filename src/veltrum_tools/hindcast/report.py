"""What the hindcast shows its user: the run's header, the plan, the summary of the chunks
and the map of the mean attainable speed."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from veltrum_tools import marine
from veltrum_tools.errors import UsageError
from veltrum_tools.hindcast.kernel import (CAPPED, ESTIMATES, IMPOSSIBLE, LOSSES, SKIPPED,
                                           TOTAL, WORST)
from veltrum_tools.hindcast.plan import Plan, duration, seconds, size
from veltrum_tools.outputs import save_figure
from veltrum_tools.vessel import Vessel

if TYPE_CHECKING:
    import xarray as xr
    from numpy.typing import NDArray

    FloatArray = NDArray[np.float64]


def plural(count: int, word: str, suffix: str = "s") -> str:
    return word + (suffix if count > 1 else "")


def show_header(source: str, vessel: Vessel, headings: Sequence[float], engine: str) -> None:
    print(f"Weather: {source}")
    print(f"Vessel: {vessel}; {plural(len(headings), 'heading')} "
          + ", ".join(f"{h:g}°" for h in headings) + f"; engine: {engine}")


def show_plan(plan: Plan, engine: str, output: str | None, here: bool = False) -> None:
    """The plan's sizes and its estimated time, on the workers of a cluster or the threads
    of this process (`here`), which take turns with the calls engine."""
    cell_hours = plan.estimates // plan.headings
    time = seconds(cell_hours, plan.headings, engine) / (
        1 if here and engine == "calls" else plan.workers)
    print(f"Input: {plan.steps} steps on {' × '.join(map(str, plan.grid))} cells, 4 fields, "
          f"{size(plan.in_bytes)}")
    print(f"Output: {plan.estimates} estimates ({plan.headings} "
          f"{plural(plan.headings, 'heading')}), {plan.out_dtype.name}, "
          f"{size(plan.out_bytes)}" + (f" to {output}" if output else ""))
    print(f"Chunks: {plan.chunks} of {plan.hours} {plural(plan.hours, 'step')} "
          f"({size(plan.chunk_bytes)} of output each), in {plan.batches} "
          f"{plural(plan.batches, 'batch', 'es')}")
    unit = "thread" if here else "worker"
    print(f"Estimated time: {duration(time)} on {plan.workers} "
          f"{plural(plan.workers, unit)} at {plan.estimates / time / plan.workers / 1e6:.0f} "
          "million estimates per second each", flush=True)


def summary(parts: FloatArray, layout: xr.DataArray, headings: int) -> None:
    """Prints the counts and the worst cells from the chunks' summaries, on the grid of
    `layout` (a field of the input)."""
    estimates, losses = int(parts[ESTIMATES].sum()), int(parts[LOSSES].sum())
    print(f"Estimates: {estimates} ({layout.size} cell-hours × {headings} "
          f"{plural(headings, 'heading')})")
    print(f"Skipped cell-hours (missing or non-finite data): {int(parts[SKIPPED].sum())}")
    print(f"Skipped cell-hours (physically impossible: waves below 0 or above "
          f"{marine.MAX_WAVE_HEIGHT_M:g} m, wind above {marine.MAX_WIND_SPEED_MS:g} m/s): "
          f"{int(parts[IMPOSSIBLE].sum())}")
    print(f"Cell-hours with wind of force 13 or more, taken as force 12: "
          f"{int(parts[CAPPED].sum())}")
    if estimates == 0:
        print("No valid cell: nothing to summarise.")
        return
    print(f"Share of cell-hours with a loss above 1 kn: {losses / estimates:.1%}")
    dims = layout.dims[1:]
    if not dims:
        return
    count = parts[ESTIMATES].reshape(-1)
    where = np.flatnonzero(count > 0)
    share = parts[LOSSES].reshape(-1)[where] / count[where]
    mean = parts[TOTAL].reshape(-1)[where] / count[where]
    worst = parts[WORST].reshape(-1)[where]
    axes = np.unravel_index(where, parts.shape[1:])
    order = np.lexsort((mean, -share))
    print("Worst cells:")
    print("  " + "".join(f"{dim:>11}" for dim in dims)
          + f"{'loss > 1 kn':>13}{'mean kn':>9}{'worst kn':>10}")
    for index in order[:5]:
        print("  " + "".join(f"{float(layout[dim].values[axis[index]]):>11.2f}"
                             for dim, axis in zip(dims, axes))
              + f"{share[index]:>13.1%}{mean[index]:>+9.2f}{worst[index]:>+10.2f}")


def draw_map(parts: FloatArray, layout: xr.DataArray, vessel: Vessel, headings: int,
             source: str, path: str) -> None:
    """The mean attainable speed per cell, from the chunks' summaries."""
    import matplotlib
    import xarray as xr

    matplotlib.use("Agg")
    from matplotlib import pyplot

    dims = layout.dims[1:]
    if len(dims) != 2:
        raise UsageError("--plot needs a grid of two dimensions besides time")
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = parts[TOTAL] / parts[ESTIMATES]
    speed = xr.DataArray(vessel.speed_kts + mean, dims=dims,
                         coords={dim: layout[dim] for dim in dims})
    figure, axes = pyplot.subplots(figsize=(8, 5.5))
    mesh = speed.plot.pcolormesh(ax=axes, cmap="viridis", add_colorbar=False)
    figure.colorbar(mesh, ax=axes, label="knots")
    axes.set_title(f"Mean attainable speed (set {vessel.speed_kts:g} kn, {vessel.loading}), "
                   f"{headings} heading(s)\n{source}", fontsize=10)
    save_figure(figure, path)
    print(f"Map of the mean attainable speed written to {path}")
