"""Sunlight over a period on every cell of a terrain, from numpy arrays.

    import terralume
    out = terralume.compute(dem, pixel_size=30, lat=46.5, lon=7.5, outputs=("sunhours", "beam"),
                            **{"from": "06-01", "to": "06-30"})
    out["sunhours"]  # float32, -9999 where a cell has no result

terralume.xarray and terralume.dask take rioxarray DataArrays.
"""
import os as _os

# The OpenMP runtime's threads wait briefly for one another unless told
# otherwise: long spins slow a run on a busy machine.
if "OMP_WAIT_POLICY" not in _os.environ and "GOMP_SPINCOUNT" not in _os.environ:
    _os.environ["GOMP_SPINCOUNT"] = "1000"

from ._options import compute, KINDS  # noqa: E402
from . import _terralume  # noqa: E402

__version__ = _terralume.version()
__all__ = ["compute", "KINDS"]
