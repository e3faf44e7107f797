import os
import subprocess

import numpy as np
import pytest
import rasterio
from rasterio.transform import from_origin

TERRALUME = os.environ.get("TL_TERRALUME", "terralume")
SOURCE = os.environ.get("TL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def hills(lines=36, columns=44, seed=1):
    """A small relief with slopes facing every way, ridges and a pit."""
    y, x = np.mgrid[0:lines, 0:columns].astype(np.float64)
    z = 300 + 40 * np.sin(x / 5.0) * np.cos(y / 7.0) + 2.5 * x - 1.5 * y
    z += np.random.default_rng(seed).normal(0, 0.7, z.shape)
    return np.round(z, 2)


def write_tif(path, z, *, crs=None, transform=None, nodata=None):
    kw = dict(driver="GTiff", height=z.shape[0], width=z.shape[1], count=1, dtype=z.dtype)
    if crs is not None:
        kw.update(crs=crs, transform=transform)
    if nodata is not None:
        kw["nodata"] = nodata
    with rasterio.open(path, "w", **kw) as d:
        d.write(z, 1)
    return path


def read_tif(path):
    with rasterio.open(path) as d:
        return d.read(1), d.tags(1) | d.tags()


def run_cli(dem, output, *args):
    """The command line's outputs {kind: array} for `args`."""
    r = subprocess.run([TERRALUME, str(dem), str(output), "-q", *args], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r


@pytest.fixture(scope="session")
def utm_tif(tmp_path_factory):
    """The hills, georeferenced in UTM zone 14 north, 30 m cells."""
    path = tmp_path_factory.mktemp("dem") / "hills.tif"
    return write_tif(path, hills().astype(np.float32), crs="EPSG:32614",
                     transform=from_origin(620000, 4010000, 30, 30), nodata=-9999)
