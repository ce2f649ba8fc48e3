"""Smoke test of an installed copy of veltrum: run from outside the source tree.

Usage: smoke.py VERSION
"""

import importlib.metadata
import importlib.util
import pathlib
import sys
import sysconfig

import veltrum

module_file = pathlib.Path(veltrum.__file__).resolve()
site_packages = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert module_file.parent == site_packages, f"imported {module_file}, not from {site_packages}"
for stubs in ("veltrum-stubs", "veltrum_numpy-stubs"):
    assert (site_packages / stubs / "__init__.pyi").is_file(), f"{stubs} not installed"

expected_version = sys.argv[1]
assert importlib.metadata.version("veltrum") == expected_version, importlib.metadata.version("veltrum")

assert veltrum.__all__ == ["NavCalc"]
vessel = veltrum.NavCalc(10000, 120, 20, 7)
assert vessel.setup(12, True) is None
assert vessel.compute(0, 4, 2.0, 0) == -0.66
assert vessel.compute(170, 7, 3.0, 170) == -1.61

try:
    vessel.compute(0, 13, 2.0, 0)
except Exception:
    raise AssertionError("a model failure was caught as an Exception") from None
except BaseException as error:
    assert type(error).__name__ == "PanicException", type(error)
    assert error.args == ("蒲福风级必须在 0~12",), error.args
assert vessel.compute(45, 4, 2.0, 45) == -0.56

# veltrum_numpy beside it: without NumPy its import fails on NumPy alone; with
# NumPy it gives NavCalc's numbers.
try:
    import numpy
    from veltrum_numpy import speed_change
except ModuleNotFoundError as error:
    assert error.name == "numpy" and importlib.util.find_spec("numpy") is None, error
    with_numpy = "without NumPy"
else:
    assert pathlib.Path(sys.modules["veltrum_numpy"].__file__).resolve().parent == site_packages
    with numpy.errstate(invalid="ignore"):
        changes = speed_change(10000, 120, 20, 7, 12, True, [0, 170, 0], [4, 7, 13], 3.0,
                               [0, 170, 0])
    assert str(changes.tolist()) == "[-1.15, -1.61, nan]", changes
    with_numpy = f"with NumPy {numpy.__version__}"

print(f"smoke test passed: veltrum {expected_version} from {module_file}, {with_numpy}")
