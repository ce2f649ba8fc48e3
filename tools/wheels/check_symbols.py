"""Checks that the extension modules in wheels need nothing newer than glibc 2.17.

For every module in each wheel, each undefined dynamic symbol must be
- versioned GLIBC_x.y with x.y at most 2.17, or
- unversioned and weak, or an interpreter symbol (Py..., _Py...), which the
  interpreter that loads the module provides.
Anything else fails: an unversioned C library symbol (auditwheel does not see
those; the dynamic linker binds them to whatever the running glibc has, or
fails to load the module where it has none) or a version from libstdc++ or
libgcc_s, which the wheels must not need.

Usage: check_symbols.py WHEEL...
"""

import re
import subprocess
import sys

from modules import extension_modules

OLDEST = (2, 17)
# Num: Value Size Type Bind Vis Ndx Name [(version index)]
SYMBOL = re.compile(r"^\s*\d+:\s+\S+\s+\d+\s+\S+\s+(\S+)\s+\S+\s+UND\s+(\S+)(?:\s+\(\d+\))?$")


def undefined(module):
    """(binding, name, version or None) of each undefined dynamic symbol."""
    out = subprocess.run(["readelf", "--dyn-syms", "--wide", str(module)], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        if match := SYMBOL.match(line):
            binding, full = match.groups()
            name, _, version = full.partition("@")
            yield binding, name, version.lstrip("@") or None


def problems(module):
    needed = set()
    for binding, name, version in undefined(module):
        if version is None:
            if binding != "WEAK" and not name.startswith(("Py", "_Py")):
                yield f"{name} is unversioned"
        elif match := re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version):
            needed.add(tuple(map(int, match.groups())))
            if tuple(map(int, match.groups())) > OLDEST:
                yield f"{name}@{version} is newer than glibc {OLDEST[0]}.{OLDEST[1]}"
        else:
            yield f"{name}@{version} is not the C library's"
    newest = max(needed, default=None)
    print(f"  {module.name}: glibc symbols up to "
          f"{'.'.join(map(str, newest)) if newest else 'none'}")


def main(wheels):
    failed = False
    for module in extension_modules(wheels):
        if module is None:
            failed = True
            continue
        for problem in problems(module):
            print(f"  {module.name}: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]) if len(sys.argv) > 1 else __doc__)
