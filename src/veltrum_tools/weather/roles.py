"""Which variable of the inputs plays each part in the weather: by CF `standard_name` first,
then by the names of the common products, or as `--var ROLE=NAME` says.

The roles, by the names the tools give them:

    u10, v10   the 10 m wind towards east and north (components)
    ws, wdir   the 10 m wind speed and the direction it comes from, taken where a file
               has no components
    swh        significant height of combined wind waves and swell
    mwd        mean direction the waves come from; a file without it gives its primary
               (peak) wave direction instead, and the run says so

A wind field counts only at 10 m: a height axis is cut at 10 m, and a GRIB field on any
level but 10 m above ground or the surface (where ECMWF keeps its 10 m wind and WAVEWATCH
III the wind that drove its waves) is not taken.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import UsageError

if TYPE_CHECKING:
    import xarray as xr

ROLES = ("u10", "v10", "ws", "wdir", "swh", "mwd")
# What each role measures, for its units.
KINDS = {"u10": "speed", "v10": "speed", "ws": "speed", "wdir": "direction",
         "swh": "height", "mwd": "direction"}
STANDARD_NAMES = {
    "u10": ("eastward_wind",), "v10": ("northward_wind",), "ws": ("wind_speed",),
    "wdir": ("wind_from_direction",), "swh": ("sea_surface_wave_significant_height",),
    "mwd": ("sea_surface_wave_from_direction",),
}
# The products' names: ERA5's short names (CDS NetCDF, and cfgrib's for ERA5 GRIB), the
# long names of analysis-ready ERA5 zarr stores, Copernicus Marine's, GFS and GFS-Wave
# (WAVEWATCH III) as cfgrib names them, and GFS as NCEP's THREDDS server writes NetCDF.
PRODUCT_NAMES = {
    "u10": ("u10", "10m_u_component_of_wind", "u", "u-component_of_wind_height_above_ground",
            "UGRD_10maboveground", "uwnd"),
    "v10": ("v10", "10m_v_component_of_wind", "v", "v-component_of_wind_height_above_ground",
            "VGRD_10maboveground", "vwnd"),
    "ws": ("ws", "si10", "10m_wind_speed", "wind_speed", "WIND_surface"),
    "wdir": ("wdir", "wdir10", "10m_wind_direction", "wind_direction", "WDIR_surface"),
    "swh": ("swh", "VHM0", "significant_height_of_combined_wind_waves_and_swell",
            "HTSGW_surface", "hs"),
    "mwd": ("mwd", "VMDR", "mean_wave_direction", "MWD", "dir"),
}
# Where a file has no mean wave direction: its primary (peak) wave direction, by CF name
# (Copernicus Marine's VPED) or by GFS-Wave's name.
PEAK_DIRECTION_NAMES = ("dirpw", "VPED", "DIRPW_surface")
PEAK_DIRECTION_STANDARD = "sea_surface_wave_from_direction_at_variance_spectral_density_maximum"
# Heights of a vertical axis, recognised by name, and the GRIB levels a 10 m wind may sit on.
HEIGHT_AXES = ("height", "heightAboveGround", "height_above_ground", "height_above_ground1",
               "height_above_ground2", "level", "z")
WIND_LEVEL = 10.0


def grib_names() -> tuple[str, ...]:
    """cfgrib's names of every field a GRIB file may hold for a role."""
    return tuple(dict.fromkeys(name for names in (*PRODUCT_NAMES.values(), PEAK_DIRECTION_NAMES)
                               for name in names if "_" not in name or name == "si10"))


@dataclass(frozen=True)
class Pick:
    """The variable a source gives for a role, how it was recognised, and how good a match
    it is (lower is better)."""

    name: str
    how: str
    rank: int
    order: int = 0  # among the product's names: the earlier, the likelier


def rank_of(role: str, name: str, variable: xr.DataArray) -> tuple[int, str] | None:
    """How well a variable fits a role, or None."""
    standard = str(variable.attrs.get("standard_name", ""))
    known = name in PRODUCT_NAMES[role]
    if standard in STANDARD_NAMES[role]:
        return (1 if known else 2), f"standard_name {standard}"
    if known:
        return 3, "product name"
    if role == "mwd" and (standard == PEAK_DIRECTION_STANDARD or name in PEAK_DIRECTION_NAMES):
        return 5, "no mean wave direction: the primary (peak) wave direction"
    return None


def at_wind_level(variable: xr.DataArray) -> bool:
    """A wind field at 10 m: no vertical axis, a height axis holding 10 m, a scalar height
    of 10 m, or a GRIB field on the surface."""
    level_type = variable.attrs.get("GRIB_typeOfLevel")
    if level_type is not None and level_type not in ("heightAboveGround", "surface"):
        return False
    for name in HEIGHT_AXES:
        if name in variable.coords and name != "surface":
            heights = variable.coords[name].values.reshape(-1)
            if not (heights == WIND_LEVEL).any():
                return False
    return True


def picks(sources: Sequence[tuple[str, xr.Dataset]],
          overrides: Mapping[str, str]) -> tuple[dict[str, list[tuple[int, Pick]]], list[str]]:
    """For each role, the sources that give it (by index) and the variable each gives;
    and the notes a run prints about them. UsageError for an override that names nothing
    and for two variables of a source that fit a role equally well."""
    for role, name in overrides.items():
        if not any(name in dataset.data_vars for _, dataset in sources):
            raise UsageError(f"--var {role}={name}: no variable {name} in the inputs")
    chosen: dict[str, list[tuple[int, Pick]]] = {role: [] for role in ROLES}
    notes: list[str] = []
    for index, (label, dataset) in enumerate(sources):
        for role in ROLES:
            pick = best(role, label, dataset, overrides.get(role))
            if pick is not None:
                chosen[role].append((index, pick))
                if pick.rank == 5:
                    notes.append(f"{label} has no mean wave direction: its primary wave "
                                 f"direction {pick.name} is taken for mwd")
    return chosen, notes


def best(role: str, label: str, dataset: xr.Dataset, override: str | None) -> Pick | None:
    if override is not None:
        return Pick(override, "--var", 0) if override in dataset.data_vars else None
    found: list[Pick] = []
    for name, variable in dataset.data_vars.items():
        fit = rank_of(role, str(name), variable)
        if fit is not None and (KINDS[role] == "height" or role == "mwd"
                                or at_wind_level(variable)):
            names = PRODUCT_NAMES[role]
            found.append(Pick(str(name), fit[1], fit[0],
                              names.index(str(name)) if name in names else len(names)))
    if not found:
        return None
    top = min((pick.rank, pick.order) for pick in found)
    tied = [pick.name for pick in found if (pick.rank, pick.order) == top]
    if len(tied) > 1:
        raise UsageError(f"{label}: several variables could be {role} ({', '.join(tied)}): "
                         f"choose one with --var {role}=NAME")
    return next(pick for pick in found if (pick.rank, pick.order) == top)


def parse_overrides(texts: Sequence[str] | None) -> dict[str, str]:
    """--var ROLE=NAME, repeatable, as a mapping of role to variable name."""
    overrides: dict[str, str] = {}
    for text in texts or ():
        role, _, name = text.partition("=")
        role, name = role.strip(), name.strip()
        if role not in ROLES or not name:
            raise UsageError(f"--var wants ROLE=NAME with ROLE one of {', '.join(ROLES)}, "
                             f"not {text!r}")
        if role in overrides and overrides[role] != name:
            raise UsageError(f"--var names two variables for {role}")
        overrides[role] = name
    return overrides


def describe_pick(role: str, pick: Pick, labels: Sequence[str]) -> str:
    """A header line: the role, the variable and its files."""
    files = labels[0] if len(labels) == 1 else f"{labels[0]} and {len(labels) - 1} more"
    return f"{role}: {pick.name} ({pick.how}) in {files}"

