"""Results as a user sees them, against the plain-Python model of benchmarks/pure_navcalc.py,
written independently: every row of the speed-reduction table, the soft limit on gains, and
block coefficients near a tie; and the same bits on every machine."""

import hashlib
import importlib.util
import itertools
import pathlib
import random
import struct

import numpy as np
import pytest

from veltrum import NavCalc
from veltrum_numpy import speed_change

_PATH = pathlib.Path(__file__).parents[2] / "benchmarks" / "pure_navcalc.py"
_SPEC = importlib.util.spec_from_file_location("pure_navcalc", _PATH)
pure = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(pure)


def results(make, hull, conditions):
    """Head wind of each force and low following seas, at each speed and loading state."""
    vessel = make(*hull)
    return [(vessel.setup(speed, laden), vessel.compute(0, force, 0.5, 170))[1]
            for speed, laden in conditions for force in range(13)]


# A 100 m hull of each block coefficient, laden and in ballast, at Froude numbers from the
# lower limit (and a negative speed, whose gains pass +2 kn) through 0.066, 0.197 and 0.328
# to the upper limit: each coefficient a, b and c of every row moves some result.
@pytest.mark.parametrize("cb", [0.55, 0.60, 0.65, 0.70, 0.75, 0.80, 0.85])
def test_each_row_of_the_table(cb):
    hull = (cb * 9000, 100, 15, 6)
    conditions = list(itertools.product((-10, 4, 12, 20, 30), (True, False)))
    assert results(NavCalc, hull, conditions) == results(pure.NavCalc, hull, conditions)


# A raw coefficient within a few 1e-10 of a midpoint is a tie (to the multiple of 0.10);
# 1e-8 off, it is the nearer value.
@pytest.mark.parametrize("raw", [m + d for m in (0.575, 0.625, 0.675, 0.725, 0.775, 0.825)
                                 for d in (-1e-8, -4e-10, 0.0, 4e-10, 1e-8)])
def test_block_coefficients_near_a_tie(raw):
    conditions = list(itertools.product((1.0, 2.0), (True, False)))
    assert results(NavCalc, (raw, 1, 1, 1), conditions) == results(
        pure.NavCalc, (raw, 1, 1, 1), conditions)


def test_soft_limit_on_gains():
    vessel = NavCalc(500, 1, 1, 1)  # 0.85 at the lowest Froude number: af 2.1025
    vessel.setup(-10, True)  # a gain of 42.6 kn before the limit
    assert vessel.compute(0, 6, 0.5, 170) == 6.06


def test_the_same_bits_on_every_machine():
    """96,000 estimates over hulls, speeds and conditions drawn far across the model's range,
    hashed bit for bit: the digest was taken on x86-64, so a platform whose arithmetic
    rounds otherwise (a fused multiply-add, another pow) shows here."""
    rng = random.Random(20261209)  # Mersenne Twister: the same draws everywhere
    digest = hashlib.sha256()
    for _ in range(400):
        vessel = NavCalc(rng.uniform(50, 4e5), rng.uniform(5, 400), rng.uniform(1, 70),
                         rng.uniform(0.5, 25))
        for _ in range(4):
            vessel.setup(rng.uniform(-5, 35), rng.random() < 0.5)
            for _ in range(60):
                digest.update(struct.pack("<d", vessel.compute(
                    rng.uniform(-400, 400), rng.randrange(13), rng.uniform(0, 16),
                    rng.uniform(-400, 400))))
    assert digest.hexdigest() == (
        "1b16a6dd14034c540463dc2bc363551e3cf4bec3d6cae3fd114259f414dd121e")


# NaN bit patterns: quiet and signalling, of both signs, with small and large payloads.
NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000001,
            0x7FF4000000000000, 0x7FF7FFFFFFFFFFFF, 0xFFF8DEADBEEF0001, 0xFFFFFFFFFFFFFFFF]


def estimate_bits(args):  # NavCalc's estimate for the ten inputs as bits, None if refused
    try:
        vessel = NavCalc(*args[:4])
    except BaseException:  # noqa: BLE001  (PanicException)
        return None
    return struct.pack("<d", (vessel.setup(*args[4:6]), vessel.compute(*args[6:]))[1])


# Each float input of NavCalc and of the ufunc a NaN of each pattern in turn: the bits of a
# number of the same meaning (particulars refused as a zero one, a 0.2 m height, wind from
# astern, head seas); a speed's NaN comes back quiet, its sign and payload kept. The digest
# was taken on x86-64. aarch64's fmaxnm, where a limit is a comparison, made such a height 9 m.
def test_nan_inputs_give_the_same_bits_on_every_machine():
    rows, want = [], []
    for at, bits, (laden, *weather) in itertools.product((0, 1, 2, 3, 4, 6, 8, 9), NAN_BITS, [
            (True, 0, 4, 2.0, 0), (False, 90, 6, 2.9, 100), (True, 170, 12, 7.0, 170)]):
        row = [10000.0, 120.0, 20.0, 7.0, 12.0, laden, *weather]
        row[at] = {6: 181.0, 9: 200.0}.get(at, 0.0)
        want.append(struct.pack("<Q", bits | 1 << 51) if at == 4 else estimate_bits(row))
        rows.append(row[:at] + [struct.unpack("<d", struct.pack("<Q", bits))[0]] + row[at + 1:])
    assert [estimate_bits(row) for row in rows] == want
    with np.errstate(invalid="ignore"):
        ufunc = speed_change(*map(np.array, zip(*rows)))
    assert [None if w is None and np.isnan(u) else u.tobytes() for w, u in zip(want, ufunc)] == want
    assert hashlib.sha256(b"".join(w or b"refused" for w in want)).hexdigest() == (
        "6df69ce3ef9732ace4317ac95e190a27a49f4bd31632ab9445f10222f1a0ac56")
