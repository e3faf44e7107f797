"""terralume.compute for a DataArray with rioxarray's georeference.

The pixel size, latitude, longitude and nodata come from the DataArray's
transform, coordinate system and nodata, as the command line takes them from
a GeoTIFF. A DataArray in degrees, or in a projection whose scale at its
centre is not 1, is reprojected as the command line reprojects it (to the
UTM zone of its centre, bilinear): the Dataset is then on that grid, and its
variables' TERRALUME_REPROJECTED attribute says so.
"""
import numpy as np
import xarray as xr

from ._options import arguments, run

__all__ = ["compute", "georeference", "dataset"]


def _plane(da):
    """The 2-D DataArray of a one-band raster."""
    if not isinstance(da, xr.DataArray):
        raise TypeError(f"da: a DataArray is expected, not {type(da).__name__}")
    for dim in list(da.dims):
        if da.ndim > 2 and da.sizes[dim] == 1:
            da = da.squeeze(dim, drop=True)
    if da.ndim != 2:
        raise ValueError(f"da: a DEM is one 2-D band, not of dimensions {dict(da.sizes)}")
    return da


def georeference(da):
    """GDAL's transform, the coordinate system's WKT and the band's nodata of `da`."""
    import rioxarray  # noqa: F401  (the .rio accessor)
    from rioxarray.exceptions import MissingSpatialDimensionError

    nodata = da.rio.nodata
    nodata = None if nodata is None else float(nodata)
    try:
        crs = da.rio.crs
        placed = "GeoTransform" in da.coords.get("spatial_ref", xr.DataArray()).attrs or (
            da.rio.x_dim in da.coords and da.rio.y_dim in da.coords)
        t = da.rio.transform(recalc=False) if placed else None
    except MissingSpatialDimensionError:
        return None, "", nodata
    transform = None if t is None else (t.c, t.a, t.b, t.f, t.d, t.e)
    return transform, (crs.to_wkt() if crs is not None else ""), nodata


def _coords(grid, da, same):
    from rioxarray.rioxarray import affine_to_coords

    if same:
        return {d: da.coords[d] for d in da.dims if d in da.coords}
    t = _affine(grid["transform"])
    if t is None:
        return {}
    # Cell centres, as rioxarray places them.
    c = affine_to_coords(t, grid["columns"], grid["lines"])
    return {"y": c["y"], "x": c["x"]}


def _affine(t):
    from affine import Affine

    return None if t is None else Affine(t[1], t[2], t[0], t[4], t[5], t[3])


def dataset(outputs, reports, settled, da):
    """The Dataset of a computation's outputs over `da`."""
    grid = settled["grid"]
    same = not settled["reprojection"]
    dims = da.dims if same else ("y", "x")
    coords = _coords(grid, da, same)
    variables = {}
    for kind, values in outputs.items():
        rep = dict(reports[kind])
        attrs = {"long_name": rep.pop("description"), "units": rep.pop("unit")}
        nodata = rep.pop("nodata")
        dates = rep.pop("series_dates", None)
        attrs.update(rep)
        if dates is not None:
            # A series: a band per month or day, at its first day; its last in time_end.
            first = np.array([d[0] for d in dates], dtype="datetime64[D]")
            last = np.array([d[1] for d in dates], dtype="datetime64[D]")
            v = xr.DataArray(values, dims=("time",) + tuple(dims), attrs=attrs,
                             coords=dict(coords, time=first, time_end=("time", last)))
        elif values.ndim == 3:
            # The horizons: a band per azimuth, clockwise from north.
            n = values.shape[0]
            v = xr.DataArray(values, dims=("azimuth",) + tuple(dims), attrs=attrs,
                             coords=dict(coords, azimuth=np.arange(n) * (360.0 / n)))
        else:
            v = xr.DataArray(values, dims=dims, coords=coords, attrs=attrs)
        v = v.rio.write_nodata(nodata if values.dtype.kind == "f" else int(nodata), encoded=False)
        variables[kind] = v
    ds = xr.Dataset(variables)
    if grid["crs"]:
        ds = ds.rio.write_crs(grid["crs"])
    if grid["transform"] is not None:
        ds = ds.rio.write_transform(_affine(grid["transform"]))
    ds.attrs["terralume_pixel_size"] = settled["pixel_size"]
    ds.attrs["terralume_lat"] = settled["lat"]
    return ds


def compute(da, *, outputs=("sunhours",), pixel_size=None, lat=None, lon=None, nodata=None, threads=None,
            progress=None, **options):
    """Sunlight on the DEM `da`: a Dataset of one variable per output.

    Options as terralume.compute; pixel_size, lat and lon default to the
    georeference's (the centre's), nodata to the DataArray's.
    """
    da = _plane(da)
    transform, wkt, band_nodata = georeference(da)
    args = []
    for key, value in (("pixel-size", pixel_size), ("lat", lat), ("lon", lon)):
        if value is not None:
            args += arguments((), {key.replace("-", "_"): value})
    args += arguments(outputs, options, nodata, threads)
    name = str(da.name) if da.name is not None else "dem"
    out, reports, settled = run(np.asarray(da.data), args, name=name, transform=transform, crs=wkt,
                                band_nodata=band_nodata, progress=progress)
    return dataset(out, reports, settled, da)
