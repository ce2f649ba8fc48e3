"""veltrum_numpy.speed_change: NavCalc's numbers to the bit over whole arrays, NumPy's
conventions for casting, out=, where= and invalid elements, Dask and xarray inputs; and
speed_change_from_weather against the scalar functions of veltrum_tools.marine."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import outcome, raised

from veltrum import NavCalc
from veltrum_numpy import speed_change, speed_change_from_weather
from veltrum_tools import marine
from veltrum_tools.hindcast import kernel

HULL, CONDITION = (10000.0, 120.0, 20.0, 7.0), (12.0, True)
up = lambda x: np.nextafter(x, np.inf)  # noqa: E731
INF, NAN = np.inf, np.nan
# Special values and every bound of the tables, each with its next double up.
WIND_BETA = [-INF, -1, -0.0, 0, 30, up(30), 60, up(60), 150, up(150), 180, 181, INF, NAN]
WAVE_BETA = [-INF, -0.0, *(b for x in (30, 60, 90, 120, 150, 180) for b in (x, up(x))), INF, NAN]
WAVE_HEIGHT = [-INF, -1, -0.0, 0, 0.2 / 0.7, up(0.2 / 0.7), np.nextafter(3, 0), 3, up(3), 6,
               up(6), 9, 12, 36, 1e308, INF, NAN]
WIND_SCALE = [-(2**31), -1, *range(13), 13, 2**31 - 1]
SPEEDS = [-INF, -5, -0.0, 0, 1, 12, 30, 1e300, INF, NAN]
RAW_CB = [0.3, 0.55, 0.575, 0.6, 0.625, 0.675, 0.725, 0.775, 0.8, 0.825, 0.85, 1.2]
HULLS = [HULL, (45000, 180, 32, 10), (1, 1, 1, 1), (1, 10000, 1, 1), (1, INF, 1, 1),
         *((raw * 1000, 10, 10, 10) for raw in RAW_CB),
         # rejected: not all greater than zero, or no block coefficient
         (0, 1, 1, 1), (1, -0.0, 1, 1), (-1, 0, 0, 0), (NAN, 1, 1, 1), (INF, 1, 1, 1),
         (1, 1, 1, NAN), (1, 1e-200, 1e-200, 1e-200)]


def reference(vessel, wind_beta, wind_scale, wave_height, wave_beta):
    """NavCalc's estimates, NaN where the vessel or the Beaufort number is rejected."""
    want = np.full(len(wind_beta), NAN)
    ok = (wind_scale >= 0) & (wind_scale <= 12)
    if vessel is not None:
        want[ok] = list(map(vessel.compute, wind_beta[ok].tolist(), wind_scale[ok].tolist(),
                            wave_height[ok].tolist(), wave_beta[ok].tolist()))
    return want


def assert_same(got, want):
    nan = np.isnan(want)
    assert got.dtype == want.dtype and np.array_equal(np.isnan(got), nan)
    bits = f"i{got.dtype.itemsize}"
    assert np.array_equal(got[~nan].view(bits), want[~nan].view(bits))


def test_differential_against_navcalc(capfd):
    rng = np.random.default_rng(15)
    n = 1 << 20
    hulls = HULLS + [tuple(rng.uniform([1e3, 50, 8, 3], [1e5, 300, 50, 15])) for _ in range(20)]
    accepted = [type(raised(NavCalc, *h) if h in HULLS[-7:] else NavCalc(*h)) is NavCalc
                for h in hulls]
    assert accepted.count(False) == 7
    combos = [(h, s, laden) for h, ok in zip(hulls, accepted) for s in SPEEDS
              for laden in (True, False)]
    vessels = [navcalc(*h, s, laden) if ok else None for (h, s, laden), ok in
               zip(combos, np.repeat(accepted, 2 * len(SPEEDS)))]
    # Runs of one vessel, so the vessel is kept across elements and rebuilt between runs.
    combo = np.repeat(rng.integers(len(combos), size=n), rng.integers(1, 64, size=n))[:n]

    def draw(special, low, high, dtype=np.float64):
        random = rng.uniform(low, high, n).astype(dtype)
        return np.where(rng.random(n) < 0.3, rng.choice(np.array(special, dtype), n), random)

    weather = (draw(WIND_BETA, -10, 200), draw(WIND_SCALE, -1, 14, np.int32),
               draw(WAVE_HEIGHT, -1, 15), draw(WAVE_BETA, -10, 200))
    columns = np.array([(*h, s) for h, s, _ in combos])[combo].T
    with np.errstate(invalid="ignore"):
        got = speed_change(*columns, np.array([c[2] for c in combos])[combo], *weather)
    want = np.empty(n)
    order = np.argsort(combo, kind="stable")
    for k, start, count in zip(*np.unique(combo[order], return_index=True, return_counts=True)):
        idx = order[start:start + count]
        want[idx] = reference(vessels[k], *(w[idx] for w in weather))
    assert_same(got, want)
    # One vessel broadcast over all conditions, and the int64 loop.
    with np.errstate(invalid="ignore"):
        got = speed_change(*HULL, *CONDITION, weather[0], weather[1].astype(np.int64), *weather[2:])
    assert_same(got, reference(navcalc(*HULL, *CONDITION), *weather))


def navcalc(*args):
    """The vessel of the first six arguments; with all ten, its estimate."""
    vessel = NavCalc(*args[:4])
    vessel.setup(*args[4:6])
    return vessel.compute(*args[6:]) if args[6:] else vessel


def estimate(*args):
    """NavCalc's estimate for the ten arguments, NaN where it refuses them."""
    result = outcome(lambda: navcalc(*args))
    return float(result) if isinstance(result, str) else NAN


def laid_out(values, layout):
    """The values in memory forwards, backwards (negative strides) or every third."""
    values = np.array(values)
    spaced = np.zeros(3 * len(values), values.dtype)[::3]
    spaced[:] = values
    return {"forwards": values, "backwards": values[::-1].copy()[::-1], "spaced": spaced}[layout]


# One vessel input changing while the others broadcast, each value for three elements: a
# hull that comes back, rejected ones between, neighbours whose estimates differ.
CHANGES = [[10000, 20000, 0, 10000, 5000, NAN, 10000], [120, 180, 120, -0.0, INF, 90],
           [20, 32, 20, 0, 15, 20], [7, 10, 7, NAN, 5, 7], [12, 0, -0.0, 12, 30, NAN, 1e308, 5],
           [True, False, True, False, False, True]]


@pytest.mark.parametrize("inputs, output", [("forwards", "spaced"), ("backwards", "forwards"),
                                            ("spaced", "backwards")])
@pytest.mark.parametrize("operand, values", list(enumerate(CHANGES)))
def test_one_vessel_input_changing(operand, values, inputs, output):
    vessel = [*HULL, *CONDITION]
    vessel[operand] = laid_out(np.repeat(values, 3), inputs)
    weather = [laid_out(np.resize(column, 3 * len(values)), inputs)
               for column in zip((0, 4, 2.0, 0), (170, 10, 5.0, 120), (45, 13, 3.0, 45))]
    out = laid_out(np.full(3 * len(values), -99.0), output)
    with np.errstate(invalid="ignore"):
        speed_change(*vessel, *weather, out=out)
    with np.errstate(all="ignore"):  # NavCalc's own flags, seen by frompyfunc
        want = np.frompyfunc(estimate, 10, 1)(*vessel, *weather).astype(np.float64)
    assert_same(out, want)


@pytest.mark.parametrize("hull_shape, weather_shape", [((3, 1), (4,)), ((), (2, 3)), ((5,), ())])
def test_broadcasting_out_and_where(hull_shape, weather_shape):
    length = 120.0 + np.arange(np.prod(hull_shape, dtype=int)).reshape(hull_shape)
    wind_scale = np.arange(np.prod(weather_shape, dtype=int)).reshape(weather_shape) % 13
    args = (10000.0, length, 20.0, 7.0, 12.0, True, 45.0, wind_scale, 2.0, 45.0)
    got = speed_change(*args)
    assert got.dtype == np.float64
    assert np.array_equal(got, np.frompyfunc(navcalc, 10, 1)(*args).astype(np.float64))
    out, where = np.full(got.shape, -99.0), np.indices(got.shape).sum(axis=0) % 2 == 0
    assert speed_change(*args, out=out, where=where) is out
    assert np.array_equal(out, np.where(where, got, -99.0))


@pytest.mark.parametrize("index, refused", [(7, np.array([4.0])), (5, np.array([1]))])
def test_casting(index, refused):  # wind_scale, laden
    narrow = (np.float32(10000), *HULL[1:], np.int16(12), np.bool_(1), 0, np.int8(4), 2, 0)
    assert speed_change(*narrow) == speed_change(*HULL, *CONDITION, 0.0, 4, 2.0, 0.0) == -0.66
    with pytest.raises(TypeError, match="could not be safely coerced"):
        speed_change(*narrow[:index], refused, *narrow[index + 1:])


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                                   np.int64])
def test_wind_scale_arrays_of_every_integer_type(dtype):
    # Each number read at its own width, its range checked before any narrowing.
    info = np.iinfo(dtype)
    scales = np.array([s for s in (4, -1, 12, 13, 0, 2**32 + 4, info.min, info.max)
                       if info.min <= s <= info.max], dtype)
    args = (*HULL, *CONDITION, 45.0, scales, 3.0, 45.0)
    with np.errstate(all="ignore"):
        assert_same(speed_change(*args), np.frompyfunc(estimate, 10, 1)(*args).astype(float))


@pytest.mark.parametrize("args", [
    (0, 1, 1, 1, *CONDITION, 0, 4, 2.0, 0), (NAN, 1, 1, 1, *CONDITION, 0, 4, 2.0, 0),
    (*HULL, *CONDITION, 0, 13, 2.0, 0), (*HULL, *CONDITION, 0, 2**32 + 4, 2.0, 0)])
@pytest.mark.parametrize("errstate", ["ignore", "warn", "raise"])
def test_rejected_elements_follow_errstate(args, errstate, capfd):
    # NaN, infinite and overflowing inputs are no error, whatever the model raises inside.
    valid = [np.array(column) for column in zip((*HULL, NAN, True, INF, 4, NAN, -0.0),
                                                (*HULL, 1e308, True, 0, 4, 2.0, 0))]
    with np.errstate(all="raise"):
        assert_same(speed_change(*valid), np.array([NAN, -INF]))
    # The rejected element first, then enough valid ones that the loop is called for
    # several blocks (a float32 operand is cast in blocks): its flag outlives the blocks.
    elements = [np.array([a, *np.resize(b, 1 << 14)]) for a, b in zip(args, valid)]
    elements[-1] = elements[-1].astype(np.float32)
    with np.errstate(invalid=errstate):
        if errstate == "raise":
            pytest.raises(FloatingPointError, speed_change, *elements)
        elif errstate == "warn":
            with pytest.warns(RuntimeWarning, match="invalid value encountered in speed_change"):
                assert np.isnan(speed_change(*elements)[0])
        else:
            assert np.isnan(speed_change(*args))
    assert capfd.readouterr() == ("", "")


def test_dask_and_xarray_inputs():
    import dask.array as da
    import xarray as xr

    rng = np.random.default_rng(3)
    weather = (rng.uniform(0, 180, 1000), rng.integers(0, 13, 1000), rng.uniform(0, 12, 1000),
               rng.uniform(0, 180, 1000))
    want = speed_change(*HULL, *CONDITION, *weather)
    lazy = speed_change(*HULL, *CONDITION, *(da.from_array(w, chunks=300) for w in weather))
    assert isinstance(lazy, da.Array) and np.array_equal(lazy.compute(), want)
    labelled = speed_change(*HULL, *CONDITION, *(xr.DataArray(w, dims="t") for w in weather))
    assert isinstance(labelled, xr.DataArray) and labelled.dims == ("t",)
    assert np.array_equal(labelled.values, want)


def test_veltrum_imports_without_numpy():
    script = """if True:
        import sys
        sys.modules["numpy"] = None
        from veltrum import NavCalc
        print(NavCalc(10000, 120, 20, 7).compute(0, 4, 2.0, 0))
        try:
            import veltrum_numpy
        except ImportError as error:
            print(type(error).__name__, error)
    """
    run = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", script],
                         capture_output=True, text=True, check=True)
    assert run.stdout == "-0.63\nModuleNotFoundError import of numpy halted; None in sys.modules\n"


# Estimates per field type in the differential test of speed_change_from_weather (CI's tools
# stage runs it with 5 million).
KERNEL_ESTIMATES = int(os.environ.get("VELTRUM_KERNEL_ESTIMATES", "60000"))
# More than the 16 estimated together: first 16 courses of one turn, around 0/360 and the sector
# bounds, whose angles off the bow need no floating remainder; then some that do.
HEADINGS = [0.0, -0.0, 5e-324, 359.9999, 30.0, up(30.0), 60.0, 90.0, 120.0, 150.0, 180.0,
            np.nextafter(180.0, 0), 210.0, 330.0, 12.3, 270.0, 720.0, -45.5, 361.0, 1e6]
WAVES_FROM = [-0.0, 0.0, 360.0, 180.0, 30.0, 60.0, 90.0, 120.0, 150.0, 210.0, 240.0, 330.0,
              -360.0, 720.0, 1e6, -1e-30, 359.9999, 0.1, 179.9]
SPEED_BOUNDS = (*marine.BEAUFORT_LOWER_BOUNDS_MS, marine.FORCE_13_LOWER_BOUND_MS,
                marine.MAX_WIND_SPEED_MS)
# Wave heights at and around the bounds of possible waves.
HEIGHT_BOUNDS = (0.0, marine.MAX_WAVE_HEIGHT_M)


def weather(rng, dtype, shape):
    """u10, v10, swh and mwd: random weather; in some cell-hours winds at and around every
    Beaufort bound and the highest possible speed along an axis (the other component ±0) or
    across (u 60, v 80), waves at and around their bounds, special wave directions, huge and
    non-finite values (signalling NaNs among them)."""
    kind = np.dtype(dtype).type
    near = [np.nextafter(kind(b), kind(side)) for b in SPEED_BOUNDS for side in (0, b, 999)]
    speed, angle = rng.uniform(0, 40, shape), rng.uniform(0, 2 * np.pi, shape)
    fields = [(speed * np.sin(angle)).astype(dtype), (speed * np.cos(angle)).astype(dtype),
              rng.uniform(0, 15, shape).astype(dtype), rng.uniform(0, 360, shape).astype(dtype)]
    for axis in (0, 1):
        pick = rng.random(shape) < 0.1
        fields[axis][pick] = rng.choice(np.array([0.0, -0.0], dtype), pick.sum())
        fields[1 - axis][pick] = rng.choice(np.array(near), pick.sum()) * rng.choice([-1, 1])
    pick = rng.random(shape) < 0.01
    for field, side in zip(fields[:2], (60, 80)):
        field[pick] = [np.nextafter(kind(side), kind(side + step)) for step in
                       rng.choice([-1, 0, 1], pick.sum())]
    pick = rng.random(shape) < 0.05
    fields[2][pick] = rng.choice(np.array([np.nextafter(kind(b), kind(side)) for b in
                                           HEIGHT_BOUNDS for side in (-1, b, 99)]), pick.sum())
    pick = rng.random(shape) < 0.2
    fields[3][pick] = rng.choice(np.array(WAVES_FROM, dtype), pick.sum())
    size = np.dtype(dtype).itemsize
    signalling = np.array({4: 0x7FA00000, 8: 0x7FF4 << 48}[size], f"u{size}").view(dtype)
    odd = np.array([np.nan, np.inf, -np.inf, np.finfo(dtype).max, -0.0, 0.0], dtype)
    for field in fields:
        pick = rng.random(shape) < 0.02
        field[pick] = rng.choice(odd, pick.sum())
        field[rng.random(shape) < 0.005] = signalling  # NumPy copies the bits, quiet or not
    return fields


def weather_reference(vessels, headings, u10, v10, swh, mwd, out=None):
    """Change (cell, hour, heading, stored as `out`) and summaries per cell by marine's
    functions, the math module and NavCalc.compute on Python floats; fields (cell, hour),
    vessels and headings per cell (a rejected vessel None)."""
    change = np.full((*u10.shape, len(headings[0])), np.nan)
    finite = np.isfinite(u10) & np.isfinite(v10) & np.isfinite(swh) & np.isfinite(mwd)
    valid, capped = np.zeros(u10.shape, bool), np.zeros(u10.shape, bool)
    rows = zip(vessels, headings, finite.tolist(), *(f.tolist() for f in (u10, v10, swh, mwd)))
    for cell, (vessel, courses, *row) in enumerate(rows):
        for hour, (ok, u, v, height, waves_from) in enumerate(zip(*row)):
            speed = math.sqrt(u * u + v * v) if ok else NAN
            if not marine.physically_possible(speed, height):
                continue
            valid[cell, hour] = True
            wind_from = math.degrees(math.atan2(u, v)) + 180.0
            capped[cell, hour] = speed >= marine.FORCE_13_LOWER_BOUND_MS
            if vessel is not None:
                force = marine.beaufort_force(speed)
                change[cell, hour] = [vessel.compute(
                    marine.relative_angle(h, wind_from), force, height,
                    marine.relative_angle(h, waves_from)) for h in courses]
    change = change.astype(out or u10.dtype)
    flat = change.reshape(len(change), -1).astype(np.float64)
    estimate = ~np.isnan(flat)
    summaries = np.empty((len(flat), kernel.SUMMARIES))  # in the hindcast's order
    summaries[:, kernel.ESTIMATES] = estimate.sum(1)
    summaries[:, kernel.LOSSES] = (flat < kernel.LOSS_THRESHOLD_KN).sum(1)
    # in order, from +0.0
    summaries[:, kernel.TOTAL] = np.cumsum(np.where(estimate, flat, 0.0), axis=1)[:, -1] + 0.0
    summaries[:, kernel.SKIPPED] = (~finite).sum(1)
    summaries[:, kernel.CAPPED] = capped.sum(1)
    summaries[:, kernel.IMPOSSIBLE] = (finite & ~valid).sum(1)
    summaries[:, kernel.WORST] = np.min(flat, axis=1, initial=np.inf, where=estimate)
    return change, summaries


@pytest.mark.parametrize("headings", [HEADINGS, [30.0]], ids=["20 headings", "1 heading"])
@pytest.mark.parametrize("dtype, out", [("f4", "f4"), ("f8", "f8"), ("f8", "f4")])
def test_from_weather_differential(dtype, out, headings):
    # The hindcast's layout: fields (t, y, x) with t moved last, the change (t, y, x, h).
    rng = np.random.default_rng(KERNEL_ESTIMATES + np.dtype(dtype).itemsize + len(headings))
    hours, h = 24, len(headings)
    columns = -(-KERNEL_ESTIMATES // (hours * 3 * h))
    fields = [np.moveaxis(f, 0, -1) for f in weather(rng, dtype, (hours, 3, columns))]
    change = np.empty((hours, 3, columns, h), out)
    summaries = np.empty((3, columns, kernel.SUMMARIES))
    with np.errstate(all="raise"):  # the arithmetic's own flags never show
        speed_change_from_weather(*HULL, *CONDITION, headings, *fields,
                                  out=(np.moveaxis(change, 0, -2), summaries),
                                  signature=(None,) * 11 + (out, "f8"))
    want = weather_reference([navcalc(*HULL, *CONDITION)] * 3 * columns,
                             [headings] * 3 * columns, *(f.reshape(-1, hours) for f in fields),
                             out=out)
    assert_same(np.moveaxis(change, 0, -2).reshape(-1, hours, h), want[0])
    assert_same(summaries.reshape(-1, kernel.SUMMARIES), want[1])


# One hull rejected, a speed whose m/s overflow (infinite changes), a NaN speed (NaN changes,
# which are no estimates).
VESSELS = [(*HULL, 12.0, True), (*HULL, 1e308, False), (0, 1, 1, 1, 12.0, True),
           (45000, 180, 32, 10, 5.0, False), (*HULL, NAN, True)]


@pytest.mark.parametrize("count", [1, 5])
@pytest.mark.parametrize("vessels", [VESSELS, [(*HULL, *CONDITION)]],
                         ids=["a vessel per cell", "one vessel"])
def test_from_weather_headings_per_cell(vessels, count):
    # Fields read backwards, outputs written across.
    rng, cells = np.random.default_rng(8), 10
    headings = rng.choice(HEADINGS, (cells, count))
    fields = [f[:, ::-1] for f in weather(rng, np.float64, (cells, 50))]
    args = (*np.array(vessels).T[:5], np.array([v[5] for v in vessels]), headings, *fields)
    if len(vessels) > 1:
        args = [np.resize(arg, cells) for arg in args[:6]] + list(args[6:])
        with np.errstate(invalid="raise"):
            pytest.raises(FloatingPointError, speed_change_from_weather, *args)
    got = np.empty((count, 50, cells)).T, np.empty((kernel.SUMMARIES, cells)).T
    with np.errstate(invalid="ignore"):
        speed_change_from_weather(*args, out=got)
    want = weather_reference([navcalc(*v) if v[0] else None for v in (vessels * cells)[:cells]],
                             headings.tolist(), *fields)
    for got_part, want_part in zip(got, want):
        assert_same(got_part, want_part)


@pytest.mark.parametrize("types, want", [(("f4",) * 4, "f4"), (("f8",) * 4, "f8"),
                                         (("f4", "f4", "f8", "f4"), "f8"), (("f2",) * 4, "f4")])
def test_from_weather_loops(types, want):
    fields = [np.array([[3.0, 40.0]], t) for t in types]  # one cell, two hours
    got = speed_change_from_weather(*HULL, *CONDITION, [0.0, 90.0], *fields)
    want = weather_reference([navcalc(*HULL, *CONDITION)], [[0.0, 90.0]],
                             *(f.astype(want) for f in fields))
    for got_part, want_part in zip(got, want):
        assert_same(got_part, want_part)
