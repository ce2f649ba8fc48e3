"""veltrum_tools.marine: the folding rule and the WMO scale at its bounds."""

import math

import numpy as np
import pytest

from veltrum_tools.marine import beaufort_force, beaufort_forces, fold_angle, relative_angle


@pytest.mark.parametrize("angle, folded", [
    (0, 0), (180, 180), (-170, 170), (190, 170), (350, 10), (-360, 0), (540, 180), (725, 5),
    (-0.0, 0),
])
def test_fold_angle(angle, folded):
    assert fold_angle(float(angle)) == folded
    assert fold_angle(np.array([float(angle)]))[0] == folded
    assert relative_angle(100.0, 100.0 + angle) == folded
    assert math.isnan(fold_angle(math.nan))


@pytest.mark.parametrize("speed, knots, force", [
    (0.0, False, 0), (0.29, False, 0), (0.3, False, 1), (10.79, False, 5), (10.8, False, 6),
    (13.8, False, 6), (13.9, False, 7), (32.6, False, 11), (32.7, False, 12), (60.0, False, 12),
    (0.99, True, 0), (1.0, True, 1), (21.9, True, 5), (22.0, True, 6), (63.9, True, 11),
    (64.0, True, 12), (-1.0, False, -1), (math.nan, True, -1),
])
def test_beaufort_force_by_the_wmo_scale(speed, knots, force):
    if force < 0:
        with pytest.raises(ValueError, match="a wind speed is a number of at least 0"):
            beaufort_force(speed, knots=knots)
    else:
        assert beaufort_force(speed, knots=knots) == force
    assert beaufort_forces(np.array([speed]), knots=knots).tolist() == [force]


@pytest.mark.parametrize("heading", [0.0, 45.0, 180.0, 359.9999, 5e-324])
@pytest.mark.parametrize("beyond", [[], [-400.0, 725.0]])  # the general path
def test_arrays_fold_as_floats_to_the_bit(heading, beyond):
    coming_from = np.concatenate([
        np.random.default_rng(7).uniform(0.0, 360.0, 10_000), beyond,
        [0.0, -0.0, 360.0, np.nextafter(360.0, 0.0), heading, heading + 1e-13, heading - 1e-13]])
    folded = relative_angle(np.array([heading]), coming_from)
    one_by_one = [relative_angle(heading, float(c)) for c in coming_from]
    assert np.array_equal(folded.view(np.int64), np.array(one_by_one).view(np.int64))
