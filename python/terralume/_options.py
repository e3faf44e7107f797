"""terralume.compute: the command line's options as keyword arguments."""
import numbers
import os
import warnings

import numpy as np

from . import _terralume

KINDS = tuple(_terralume.kinds)

# Options of the command line that concern files, not arrays.
_FILE_OPTIONS = {"band", "keep_grid", "format", "of", "co", "quiet", "output", "help", "version"}
# Flags on by default: True asks for nothing, False for --no-NAME.
_ON_BY_DEFAULT = {"refraction"}


def _number(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: a number is expected, not {type(value).__name__}")
    if isinstance(value, numbers.Integral):
        return str(int(value))
    # Hexadecimal: the command line's parser reads back the very same double.
    return float(value).hex()


def _argument(key, value):
    """The command line's argument for keyword `key`, or None."""
    name = key[:-1] if key.endswith("_") else key  # from_
    if name in _FILE_OPTIONS:
        raise TypeError(f"{key}: an option of the command line's files, not of an array")
    option = "--" + name.replace("_", "-")
    if value is None:
        return None
    # A raster's file name (albedo=, clear_sky_index=) as a path.
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, (tuple, list)):
        value = [os.fspath(v) if isinstance(v, os.PathLike) else v for v in value]
    if isinstance(value, (bool, np.bool_)):
        if value:
            return None if name in _ON_BY_DEFAULT else option
        return "--no-" + name.replace("_", "-")
    if isinstance(value, str):
        return f"{option}={value}"
    if isinstance(value, numbers.Real):
        return f"{option}={_number(key, value)}"
    if isinstance(value, (tuple, list)):
        # Files (clear_sky_index=("kb.tif", "kd.tif")), or numbers.
        if value and all(isinstance(v, str) for v in value):
            return f"{option}=" + ",".join(value)
        return f"{option}=" + ",".join(_number(key, v) for v in value)
    raise TypeError(f"{key}: {type(value).__name__} is not an option's value")


def _progress(progress):
    """The callback(done, total) of a call, or None."""
    if progress is False:
        return None
    if progress is not None and progress is not True:
        if not callable(progress):
            raise TypeError("progress: a callable(done, total), True, False or None is expected")
        return progress
    try:
        from tqdm import tqdm
    except ImportError:
        if progress is True:
            raise
        return None
    bar = None

    def show(done, total):
        nonlocal bar
        if bar is None:
            # Shown only on runs longer than a couple of seconds.
            bar = tqdm(total=total, unit="position", delay=2, leave=False)
        bar.update(done - bar.n)
        if done == total:
            bar.close()

    return show


def _array(dem):
    a = np.asarray(dem)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"dem: the samples must be real numbers, not {a.dtype}")
    if a.dtype.kind == "f" and a.dtype.itemsize == 2:
        a = a.astype(np.float32)  # exactly
    elif a.dtype.kind == "f" and a.dtype.itemsize > 8:
        a = a.astype(np.float64)
    # GDAL reads samples at least a byte apart along a line.
    if a.ndim == 2 and a.size and (min(a.strides) < 0 or a.strides[1] == 0):
        a = np.ascontiguousarray(a)
    return a


def arguments(outputs, options, nodata=None, threads=None):
    """The command line's arguments for these keywords."""
    if isinstance(outputs, str):
        outputs = (outputs,)
    outputs = tuple(outputs)
    for k in outputs:
        if not isinstance(k, str):
            raise TypeError(f"outputs: kinds are names, such as 'sunhours', not {type(k).__name__}")
    args = ["--output=" + ",".join(outputs)] if outputs else []
    if nodata is not None:
        args.append("--nodata=" + _number("nodata", nodata))
    if threads is not None:
        if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral):
            raise TypeError(f"threads: a whole number is expected, not {type(threads).__name__}")
        args.append(f"--threads={int(threads)}")
    for key, value in options.items():
        a = _argument(key, value)
        if a is not None:
            args.append(a)
    return args


def run(dem, args, *, name="dem", transform=None, crs=None, band_nodata=None, progress=None, origin=None):
    """Everything of one computation: outputs, their reports, the settings.
    origin: (line, column, lines, columns) of a window of a larger raster."""
    a = _array(dem)
    outputs, reports, notes, settled = _terralume.compute(
        a, args, name, transform, crs or "", band_nodata, _progress(progress), origin)
    for note in notes:
        warnings.warn(note, RuntimeWarning, stacklevel=3)
    return outputs, reports, settled


def compute(dem, *, pixel_size, lat, lon=None, outputs=("sunhours",), nodata=None, threads=None, progress=None,
            **options):
    """Sunlight over a period on every cell of `dem`, as the command line computes it.

    dem: a 2-D array of real numbers, elevations in metres (or z_unit=), line 0
    north; NaN, infinities and `nodata` mark cells without elevation.
    pixel_size: side of a cell [m]; lat, lon: the place [degree] (lon, with the
    real sun, also sets the time zone unless utc_offset= gives it).
    outputs: kinds among KINDS. options: the command line's options in snake
    case (sun, from_ or "from", to, step, utc_offset, height, pressure,
    temperature, refraction, linke, shadows, slope, curvature, attenuation,
    normalization, sun_position, z_unit, horizon_directions, sky_view, albedo,
    clear_sky_index, units, series), with its defaults and checks: albedo a
    number or a raster's file name, clear_sky_index pairs of numbers or the
    two rasters' names, series "month" or "day".
    threads: how many to compute with (default all cores). progress: a
    callable(done, total), False for none, None for tqdm when installed.

    Returns {kind: array}: float32 (-9999 where a cell has no result), uint8
    for index and shadow (255), float64 for elevation (NaN); the horizons, and
    with series= sunhours, beam, diffuse, reflected and global, are bands x
    lines x columns. Raises
    ValueError or TypeError for bad arguments, MemoryError for a DEM the
    memory cannot hold, before anything large is allocated.
    """
    args = [f"--pixel-size={_number('pixel_size', pixel_size)}", f"--lat={_number('lat', lat)}"]
    if lon is not None:
        args.append(f"--lon={_number('lon', lon)}")
    args += arguments(outputs, options, nodata, threads)
    return run(dem, args, progress=progress)[0]
