"""terralume.compute over a chunked (Dask) DataArray, chunk by chunk.

Every chunk is computed with a halo: the cells around it within which the
relief can cast a shadow on it, by the rule of the run layer's shadow reach
(the relief of the whole raster, the lowest sun of the period, the Earth's
curvature), and with the horizons' outputs (horizon, svf, diffuse,
reflected, global) their horizon_distance. Each chunk is computed as a piece of the whole: with the whole
raster's pixel size, latitude, and the sun of its centre (longitude, height,
time zone). The result is lazy: a Dataset of Dask arrays, computed on any
scheduler, a distributed cluster included.
"""
import math

import numpy as np
import xarray as xr

from . import _terralume
from ._options import KINDS, arguments, run
from .xarray import _plane, dataset, georeference

__all__ = ["compute", "halo_of"]

_TYPES = {"index": np.uint8, "shadow": np.uint8, "elevation": np.float64}
# The outputs that take the horizons.
_HORIZONS = ("horizon", "svf", "diffuse", "reflected", "global")


def _metres(samples, args, band_nodata):
    """The metres of some samples, as the computation takes them (NaN: none)."""
    a = np.asarray(samples, dtype=np.float64).reshape(1, -1)
    unit = [x for x in args if x.startswith(("--z-unit=", "--nodata="))]
    try:
        out, _, _ = run(a, ["--pixel-size=1", "--lat=0", "--output=elevation", *unit], band_nodata=band_nodata,
                        progress=False)
    except ValueError as e:
        if str(e).endswith("no cell has an elevation"):
            return np.full(a.shape[1], np.nan)
        raise
    return out["elevation"][0]


def _whole(da, name, pixel_size, lat, lon):
    """The pixel size, latitude and longitude of the whole raster."""
    transform, wkt, _ = georeference(da)
    if transform is None or not wkt:
        return pixel_size, lat, lon
    t = transform
    p = _terralume.placement(da.shape[0], da.shape[1], transform, wkt)
    if t[2] != 0 or t[4] != 0 or not t[1] > 0 or not t[5] < 0:
        raise ValueError(f"{name}: the grid is rotated or not north up; make it north up first "
                         f"(rio.reproject) or compute it whole with terralume.xarray.compute")
    if p["geographic"] or p["scaled"]:
        why = "is in degrees" if p["geographic"] else "is in a projection whose scale at its centre is not 1"
        raise ValueError(f"{name}: {why}: chunks are not reprojected; reproject it first, as the command line "
                         f"would, to the zone of its centre: da.rio.reproject('EPSG:{p.get('epsg', 32601)}'), "
                         f"or compute it whole with terralume.xarray.compute")
    if not p["square"]:
        raise ValueError(f"{name}: its cells are not square; make them square first (rio.reproject with a resolution)")
    return (pixel_size if pixel_size is not None else p["pixel_size"],
            lat if lat is not None else p.get("lat"), lon if lon is not None else p.get("lon"))


def halo_of(x, args, band_nodata, pixel_size, curvature):
    """The halo [cells] of the chunks of `x` for the run of `args`, and the
    sides of the grid the sun shines from (sun_extent)."""
    import dask
    import dask.array

    finite = dask.array.isfinite(x)
    if band_nodata is not None and not math.isnan(band_nodata):
        finite &= x != band_nodata
    low, high = dask.compute(dask.array.where(finite, x, np.inf).min(), dask.array.where(finite, x, -np.inf).max())
    sun = _terralume.sun_extent(args)
    if not np.isfinite(low):
        return 0, sun
    metres = _metres([low, high], args, band_nodata)
    relief = abs(float(metres[1] - metres[0]))
    reach = _terralume.shadow_reach(relief, sun["lowest"], curvature)
    whole = max(x.shape)
    if not math.isfinite(reach):
        return whole, sun
    # The margin of the command line's tile plan: the slope's neighbours, the
    # cells interpolated past the reach and the exact method's own steps.
    return min(whole, math.ceil(reach / pixel_size) + 8), sun


def _piece(window, args, band_nodata, core, kinds, origin):
    """The outputs of one chunk: its window computed, its core kept."""
    out, _, _ = run(window, args, band_nodata=band_nodata, progress=False, origin=origin)
    (i0, i1), (j0, j1) = core
    return tuple(out[k][..., i0:i1, j0:j1] for k in kinds)


def compute(da, *, outputs=("sunhours",), halo="auto", bitwise=True, pixel_size=None, lat=None, lon=None, height=None,
            nodata=None, threads=None, **options):
    """Sunlight on the chunked DEM `da`, lazily: a Dataset of Dask arrays.

    Options as terralume.xarray.compute. halo: "auto" (the shadow reach of
    the relief under the period's lowest sun), or a number of cells. The
    horizons' outputs (horizon, svf, diffuse, reflected, global) need
    horizon_distance=METRES, terrain beyond it unseen, and the halo then
    covers that distance too. The sun
    is the whole raster's: the height of its centre cell, unless height=
    gives it. threads: per chunk (the default, all cores, in every task).

    bitwise: the whole raster's bits. With exact shadows a window of the
    chunk and its halo gives them: its rays stand on the whole raster's
    grid. The rays of shadows="rays" start at the grid's borders on the
    sun's side, so their windows run to the raster's borders on every side
    the sun shines from during the period, and take the halo on the others;
    over a long period that can be the whole raster for every chunk.
    bitwise=False: windows of the chunk and its halo only, also with the
    rays, which then start at the window's borders: a few cells along shadow
    edges differ from the whole's.
    """
    import dask
    import dask.array

    da = _plane(da)
    name = str(da.name) if da.name is not None else "dem"
    x = da.data if isinstance(da.data, dask.array.Array) else dask.array.from_array(da.data)
    transform, wkt, band_nodata = georeference(da)
    given_lon = lon
    pixel_size, lat, lon = _whole(da, name, pixel_size, lat, lon)
    kinds = (outputs,) if isinstance(outputs, str) else tuple(outputs)
    distance = options.get("horizon_distance")
    for k in kinds:
        if k in _HORIZONS and not distance:
            raise ValueError(f"{k}: its horizons reach the raster's borders, which no chunk holds; give "
                             "horizon_distance=METRES to compute it by chunks (the halo then covers that distance)")
    if options.get("series") is not None:
        raise ValueError("series: chunks give one band, the whole period; take terralume.xarray.compute for a series")
    if "index" in kinds:
        raise ValueError("index: the index is stretched over the whole raster's range, which no chunk knows; "
                         "compute illumination by chunks instead")
    common = arguments(kinds, options, nodata, threads)
    solar = options.get("sun", "solar") == "solar"
    if solar and height is None and any(k not in ("shadow", "elevation") for k in kinds):
        centre = x[x.shape[0] // 2, x.shape[1] // 2].compute()
        height = float(_metres([centre], common, band_nodata)[0])
        if math.isnan(height):
            raise ValueError(f"{name}: its centre cell has no elevation, whose height the sun takes: "
                             "give height=METRES")
    place = {"pixel_size": pixel_size, "lat": lat, "lon": lon if solar else given_lon, "height": height}
    args = arguments((), {k: v for k, v in place.items() if v is not None}) + common
    # The whole's report, and every refusal, before any chunk is computed.
    known = [v for v in (band_nodata, nodata) if v is not None and not math.isnan(v)]
    probe = np.full((3, 3), 1 + sum(abs(v) for v in known))  # an elevation, not nodata
    _, reports, settled = run(probe, args, name=name, band_nodata=band_nodata, progress=False)

    auto, sun = halo_of(x, args, band_nodata, settled["pixel_size"], options.get("curvature", True) is not False)
    if halo == "auto":
        h = auto
    elif isinstance(halo, (int, np.integer)) and not isinstance(halo, bool) and halo >= 0:
        h = int(halo)
    else:
        raise ValueError(f"halo: 'auto' or a number of cells, not {halo!r}")
    if any(k in _HORIZONS for k in kinds):
        # The horizons look as far as their distance; the margin as above.
        h = max(h, min(max(x.shape), math.ceil(float(distance) / settled["pixel_size"]) + 8))
    shadows = any(k not in ("elevation",) for k in kinds)
    # The exact shadows stand on the whole raster's grid (each window says
    # where it lies), so the halo is enough; the rays start at the window's
    # borders, so their windows run to the raster's borders on the sun's sides.
    exact = options.get("shadows", "exact") == "exact"
    edge = {side: bool(bitwise and shadows and not exact and sun[side]) for side in ("north", "south", "east", "west")}

    lines, columns = x.shape
    bands = int(options.get("horizon_directions", 36))
    starts = [np.cumsum((0,) + c) for c in x.chunks]
    blocks = {k: [] for k in kinds}
    for a, b in zip(starts[0][:-1], starts[0][1:]):
        rows = {k: [] for k in kinds}
        for c, d in zip(starts[1][:-1], starts[1][1:]):
            i0 = 0 if edge["north"] else max(0, a - h)
            i1 = lines if edge["south"] else min(lines, b + h)
            j0 = 0 if edge["west"] else max(0, c - h)
            j1 = columns if edge["east"] else min(columns, d + h)
            core = ((a - i0, b - i0), (c - j0, d - j0))
            piece = dask.delayed(_piece, pure=True)(x[i0:i1, j0:j1], args, band_nodata, core, kinds,
                                                            (int(i0), int(j0), lines, columns))
            for n, k in enumerate(kinds):
                shape = (bands, b - a, d - c) if k == "horizon" else (b - a, d - c)
                rows[k].append(dask.array.from_delayed(piece[n], shape, dtype=_TYPES.get(k, np.float32)))
        for k in kinds:
            blocks[k].append(rows[k])
    arrays = {k: dask.array.block(blocks[k]) for k in kinds}
    settled = dict(settled, reprojection="", grid={"lines": lines, "columns": columns, "transform": transform,
                                                   "crs": wkt or None})
    for k in kinds:
        reports[k].pop("TERRALUME_CELLS_WITHOUT_ELEVATION", None)
    ds = dataset(arrays, reports, settled, da)
    ds.attrs["terralume_halo"] = h
    ds.attrs["terralume_windows_to_the_borders"] = " ".join(side for side in edge if edge[side]) or "none"
    return ds

