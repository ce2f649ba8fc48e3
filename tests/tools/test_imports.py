"""The tool package's floors: each module imports only from the floors below its own (lazy
imports inside functions included), none is over about 400 lines, each imports on its own,
and the workers' kernel needs neither argparse nor distributed."""

import ast
import pathlib
import subprocess
import sys

import pytest

import veltrum_tools

PACKAGE = pathlib.Path(veltrum_tools.__file__).parent
# Floors, bottom up. A module may import the package's modules of lower floors only.
FLOORS = [
    ["veltrum_tools", "veltrum_tools.errors", "veltrum_tools.runtime"],
    ["veltrum_tools.marine", "veltrum_tools.outputs"],
    ["veltrum_tools.vessel"],
    ["veltrum_tools.weather.inputs", "veltrum_tools.weather.roles", "veltrum_tools.weather.units",
     "veltrum_tools.weather.regrid", "veltrum_tools.route", "veltrum_tools.hindcast",
     "veltrum_tools.hindcast.plan", "veltrum_tools.hindcast.storm"],
    ["veltrum_tools.weather.formats", "veltrum_tools.weather.layouts",
     "veltrum_tools.hindcast.kernel"],
    ["veltrum_tools.weather.reader", "veltrum_tools.hindcast.store",
     "veltrum_tools.hindcast.report"],
    ["veltrum_tools.weather.sampler", "veltrum_tools.weather.options"],
    ["veltrum_tools.weather"],
    ["veltrum_tools.hindcast.tasks"],
    ["veltrum_tools.hindcast.cluster", "veltrum_tools.hindcast.threads"],
    ["veltrum_tools.command"],
    ["veltrum_tools.voyage", "veltrum_tools.polar", "veltrum_tools.hindcast.command"],
    ["veltrum_tools.cli"],
]
FLOOR = {module: floor for floor, modules in enumerate(FLOORS) for module in modules}
COMMANDS = FLOOR["veltrum_tools.command"]


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {module_name(path): path for path in sorted(PACKAGE.rglob("*.py"))}


def imports(path):
    """Every module an import statement of the file names, anywhere in it."""
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module
            yield from (f"{node.module}.{alias.name}" for alias in node.names)


def test_every_module_has_a_floor():
    assert sorted(MODULES) == sorted(FLOOR)


@pytest.mark.parametrize("module", sorted(MODULES))
def test_imports_go_down_only(module):
    path = MODULES[module]
    named = set(imports(path))
    upward = [name for name in named if name in FLOOR and name != module
              and FLOOR[name] >= FLOOR[module]]
    assert upward == [], f"{module} imports from its own floor or above"
    if FLOOR[module] < COMMANDS:
        assert "argparse" not in named or module == "veltrum_tools.vessel"
    if module == "veltrum_tools.hindcast.kernel":
        assert not {"argparse", "distributed"} & {name.split(".")[0] for name in named}
    assert "veltrum_tools.cli" not in named
    assert len(path.read_text().splitlines()) <= 400


def test_each_module_imports_on_its_own():
    # in a fresh interpreter each, so that no module is imported first by another
    script = "import importlib, sys; importlib.import_module(sys.argv[1])"
    for module in MODULES:
        result = subprocess.run([sys.executable, "-c", script, module], capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, f"{module}: {result.stderr}"
