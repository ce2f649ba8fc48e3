"""Opening weather: every input on its own (formats), its axes normalised (layouts), each
role's variable found (roles) and put into the tools' units (units), the files of each role
combined by their coordinates, and wind and waves of two grids put on one (regrid).

Each input is opened once, lazily and without reading its data; a run then asks for the
combined dataset in the chunks of hours it works in, and each chunk reads only its own part
of each input.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from veltrum_tools.errors import UsageError
import veltrum_tools.weather.layouts as layouts
import veltrum_tools.weather.regrid as regrid
import veltrum_tools.weather.roles as roles
import veltrum_tools.weather.units as units
from veltrum_tools.weather.formats import first_line, open_sources
from veltrum_tools.weather.inputs import describe, expand, is_zarr

if TYPE_CHECKING:
    import numpy as np
    import xarray as xr

# The fields, in ERA5's single-level names: 10 m wind towards east and north (m/s),
# significant height of combined wind waves and swell (m), mean wave direction (degrees,
# coming from).
VARIABLES = ("u10", "v10", "swh", "mwd")
GRIDS = ("waves", "wind")
# What fields that are no real numbers hold, by NumPy's kind.
KINDS = {"c": "complex numbers", "U": "text", "S": "text", "O": "objects", "b": "truth values",
         "M": "dates", "m": "durations"}


class Weather:
    """The inputs, each open; `dataset` normalises and combines them. `lines` name the
    variable and file taken for each role, `notes` what was done to them; `wind_only` is
    True for weather without waves (opened with `wind_only` allowed)."""

    def __init__(self, paths: Sequence[str], option: str = "--input", *,
                 variables: Mapping[str, str] | None = None, member: int | None = None,
                 grid: str = "waves", wind_only: bool = False) -> None:
        self.paths = list(paths)
        self.option = option
        self.label = describe(paths)
        self.member = member
        self.grid = grid
        overrides = dict(variables or {})
        self.sources = [(path, label, dataset) for path in self.paths
                        for label, dataset in open_sources(path, names=list(overrides.values()))]
        chosen, self.notes = roles.picks([(label, dataset) for _, label, dataset
                                          in self.sources], overrides)
        self.roles = self.wanted(chosen, wind_only)
        self.wind_only = "swh" not in self.roles
        self.lines = [roles.describe_pick(role, found[0][1],
                                          [self.sources[index][1] for index, _ in found])
                      for role, found in self.roles.items()]
        self.refuse_unreal()
        self.stored = {role: stored_dtype(self.sources[found[0][0]][2][found[0][1].name])
                       for role, found in self.roles.items()}
        self.note = ""
        self.whole: xr.Dataset | None = None
        self.whole = self.dataset()  # every refusal before any work, and kept

    def wanted(self, chosen: dict[str, list[tuple[int, roles.Pick]]],
               wind_only: bool) -> dict[str, list[tuple[int, roles.Pick]]]:
        """The roles this run takes: the wind's components, else its speed and direction;
        the waves unless there are none and wind alone is allowed."""
        speed = chosen["ws"] or chosen["wdir"]
        wind = ("ws", "wdir") if speed and not (chosen["u10"] or chosen["v10"]) else ("u10", "v10")
        waves = () if wind_only and not (chosen["swh"] or chosen["mwd"]) else ("swh", "mwd")
        missing = [role for role in (*wind, *waves) if not chosen[role]]
        if missing:
            raise UsageError(f"{self.label} lacks {', '.join(missing)} (ERA5 names u10, v10, "
                             "swh, mwd; --var ROLE=NAME names others)")
        return {role: chosen[role] for role in (*wind, *waves)}

    def refuse_unreal(self) -> None:
        """Complex numbers, text, dates: refused before any work."""
        for found in self.roles.values():
            for index, pick in found:
                _, label, source = self.sources[index]
                kind = source[pick.name].dtype
                if kind.kind not in "fiu":
                    raise UsageError(f"{label}: {pick.name} holds "
                                     f"{KINDS.get(kind.kind, 'values')} ({kind}), not real "
                                     "numbers")

    @property
    def out_dtypes(self) -> list[np.dtype[Any]]:
        """The types the fields were stored in, in VARIABLES' order (the wind's speed for
        both components): what the hindcast's output type follows."""
        wind = self.stored.get("u10", self.stored.get("ws"))
        assert wind is not None
        return [wind, self.stored.get("v10", wind), self.stored.get("swh", wind),
                self.stored.get("mwd", wind)]

    def dataset(self, hours: int | None = None) -> xr.Dataset:
        """The weather as one dataset of the four fields (u10 and v10 alone for wind-only
        weather), lazily: in chunks of `hours` time steps and whole grids, or in the
        inputs' own chunks when None (made once: opening and normalising every input
        again costs tens of milliseconds a file)."""
        if hours is None and self.whole is not None:
            return self.whole
        used = {index for found in self.roles.values() for index, _ in found}
        sources = {index: layouts.normalised(chunked(dataset, path, hours), label, self.member)
                   for index, (path, label, dataset) in enumerate(self.sources)
                   if index in used}
        fields = {role: self.field(role, found, sources) for role, found in self.roles.items()}
        if "ws" in fields:
            fields["u10"], fields["v10"] = units.components(fields.pop("ws"),
                                                            fields.pop("wdir"))
        wind = self.merged(fields, ("u10", "v10"))
        if self.wind_only:
            weather = wind
        else:
            weather, self.note = regrid.combined(wind, self.merged(fields, ("swh", "mwd")),
                                                 self.grid)
        if hours is not None:
            weather = weather.chunk({"time": hours, "latitude": -1, "longitude": -1})
        return weather

    def field(self, role: str, found: list[tuple[int, roles.Pick]],
              sources: dict[int, xr.Dataset]) -> xr.DataArray:
        """A role's field from every input that gives it, combined by coordinates."""
        import xarray as xr

        parts: list[xr.Dataset] = []
        for index, pick in found:
            label = self.sources[index][1]
            field = layouts.on_grid(sources[index][pick.name], pick.name, label)
            field = units.in_tools_units(field, roles.KINDS[role], pick.name, label)
            if parts:
                field = layouts.same_latitude_order(field, parts[0][role])
            parts.append(field.rename(role).to_dataset())
        try:
            combined = xr.combine_by_coords(parts, join="exact", data_vars="minimal",
                                            coords="minimal", compat="override",
                                            combine_attrs="drop_conflicts")
        except ValueError as error:
            reason = first_line(error)
            if "join='exact'" in reason or "monotonic" in reason:
                reason = self.which_grid_differs([index for index, _ in found]) or reason
                raise UsageError(f"{self.option}: the grids of the inputs disagree: "
                                 f"{reason}") from None
            raise UsageError(f"cannot read {self.label}: {reason}") from None
        assert isinstance(combined, xr.Dataset)
        return combined[role]

    def merged(self, fields: dict[str, xr.DataArray], names: Sequence[str]) -> xr.Dataset:
        import xarray as xr

        try:
            return xr.merge([fields[name].rename(name) for name in names], join="exact",
                            combine_attrs="drop")
        except ValueError:
            raise UsageError(f"{self.label}: {' and '.join(names)} are not on the same "
                             "grid") from None

    def which_grid_differs(self, indices: Sequence[int]) -> str | None:
        """Which input's grid differs from the first's, and along which axis."""
        import numpy as np

        first_path, first_label, first = self.sources[indices[0]]
        first = layouts.normalised(first, first_label, self.member)
        for index in indices[1:]:
            _, label, source = self.sources[index]
            source = layouts.normalised(source, label, self.member)
            for name in ("latitude", "longitude"):
                if not np.array_equal(np.sort(first[name].values), np.sort(source[name].values)):
                    return f"the {name} of {label} differs from {first_label}'s"
        return None


def stored_dtype(variable: xr.DataArray) -> np.dtype[Any]:
    """The type a field was stored in, as a type of floating point: single precision for
    packed (scale_factor, add_offset) and integer fields and for any of 32 bits or less."""
    import numpy as np

    stored = np.dtype(variable.encoding.get("dtype", variable.dtype))
    packed = "scale_factor" in variable.encoding or "add_offset" in variable.encoding
    if packed or not np.issubdtype(stored, np.floating) or stored.itemsize <= 4:
        return np.dtype(np.float32)
    return np.dtype(np.float64)


def chunked(source: xr.Dataset, path: str, hours: int | None) -> xr.Dataset:
    """An input as dask arrays: in chunks of `hours` along its time axis, or in its own
    chunks (those its format stores, else whole axes) for a zarr store or when None."""
    if hours is None or is_zarr(path):
        return source.chunk(stored_chunks(source))
    axis = next((name for name in ("valid_time", "step", "time") if name in source.dims), None)
    return source.chunk({axis: hours} if axis is not None else {})


def stored_chunks(source: xr.Dataset) -> dict[str, int]:
    """An input's own chunks, by dimension: those its format stores, else whole axes."""
    chunks: dict[str, int] = {}
    for variable in source.data_vars.values():
        chunks.update(variable.encoding.get("preferred_chunks") or {})
    return {str(dim): chunks.get(str(dim), size) for dim, size in source.sizes.items()}


def open_weather(paths: str | Sequence[str], option: str = "--input", **options: Any) -> Weather:
    """The weather of the files and zarr stores that `option` names (glob patterns too),
    each opened once; UsageError, in one line, for anything unusable. `options`: variables
    (role to name), member, grid ("waves" or "wind"), wind_only."""
    found = expand([paths] if isinstance(paths, str) else paths, option)
    return Weather(found, option, **options)

