"""The extension modules in wheels, for the checks beside this file."""

import tempfile
import zipfile
from pathlib import Path


def extension_modules(wheels):
    """Each extension module of each wheel, unpacked into a scratch folder for as long as
    the caller looks at it, after the wheel's name is printed; None for a wheel without
    any, after saying so."""
    for wheel in map(Path, wheels):
        print(wheel.name)
        with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(wheel) as archive:
            names = [n for n in archive.namelist() if n.endswith(".so")]
            if not names:
                print("  no extension module")
                yield None
            for name in names:
                yield Path(archive.extract(name, tmp))
