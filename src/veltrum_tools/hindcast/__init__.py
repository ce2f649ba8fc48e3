"""Speed change of one ship over gridded weather: every cell, hour and heading, on Dask.

The weather is read by `veltrum_tools.weather` (docs/weather.md): the 10 m wind, the
significant wave height and the mean wave direction, from NetCDF, GRIB, zarr or CDS zip
downloads, found by CF standard name or product name, in their own units, wind and waves
of two grids put on one; several files, or a glob of them, are opened as one dataset.
Without --input a synthetic storm is made up.

    veltrum-hindcast --output hindcast.nc --plot mean_speed.png
    veltrum-hindcast --input 'era5/2024-*.nc' --headings 8 --output out.zarr
    veltrum-hindcast --scheduler tcp://10.0.0.5:8786 --input era5.zarr --output /shared/out.zarr

The work is split into chunks of whole time steps. Before any work the plan says the
sizes of the input and the output, the chunking and the time it should take. A `.zarr`
output is written by the workers, chunk by chunk, and never passes through the client,
which only adds up the summaries per cell that each chunk returns; an interrupted run is
finished with --resume. A NetCDF output is written by the client, so it must fit in its
memory. Each worker process builds its ship once and reuses it for every chunk it gets;
every worker needs `veltrum` installed, which brings this package, of the client's version.
Needs the `grid` extra: pip install 'veltrum[grid]'.

Its modules, from the workers up: `kernel` (what runs on the workers), `plan` (the
chunking, a pure function of sizes), `storm` (the synthetic input), `store` (the zarr
store, the NetCDF file, the resume check), `report` (what the user reads), `cluster`
(Dask) and `command` (the command line, parsed once into a request).
"""
