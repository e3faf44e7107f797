import numpy as np
import pytest
import rioxarray
import xarray as xr

import terralume
import terralume.xarray
from conftest import SOURCE, read_tif, run_cli

JACKSBORO = f"{SOURCE}/examples/jacksboro.tif"
JUNE = dict(from_="06-01", to="06-30", step=60)
JUNE_CLI = ["--from", "06-01", "--to", "06-30", "--step", "60"]


@pytest.mark.parametrize("masked", [False, True])
def test_georeferenced_dataarray_same_bits_as_the_command_line(utm_tif, tmp_path, masked):
    run_cli(utm_tif, tmp_path / "o.tif", "--output", "sunhours,beam", *JUNE_CLI)
    da = rioxarray.open_rasterio(utm_tif, masked=masked)
    ds = terralume.xarray.compute(da, outputs=("sunhours", "beam"), **JUNE)
    for kind in ("sunhours", "beam"):
        theirs, tags = read_tif(tmp_path / f"o_{kind}.tif")
        assert ds[kind].values.tobytes() == theirs.tobytes()
        # The run's report, the same as the file's but for the DEM's name.
        for key, value in tags.items():
            if key.startswith("TERRALUME_") and key != "TERRALUME_DEM":
                assert ds[kind].attrs[key] == value, key
    assert ds.rio.crs == da.rio.crs
    assert ds.rio.transform() == da.rio.transform()
    np.testing.assert_array_equal(ds.x, da.x)
    assert ds["sunhours"].attrs["units"] == "h" and ds["beam"].attrs["units"] == "Wh/m2"
    assert ds["sunhours"].rio.nodata == -9999


def test_geographic_dataarray_is_reprojected_as_the_command_line_does(tmp_path):
    run_cli(JACKSBORO, tmp_path / "o.tif", "--output", "sunhours,index", *JUNE_CLI)
    with pytest.warns(RuntimeWarning, match=r"dem is in degrees: reprojected to UTM zone 16N \(EPSG:32616\)"):
        ds = terralume.xarray.compute(rioxarray.open_rasterio(JACKSBORO), outputs=("sunhours", "index"), **JUNE)
    for kind in ("sunhours", "index"):
        theirs, tags = read_tif(tmp_path / f"o_{kind}.tif")
        assert ds[kind].values.tobytes() == theirs.tobytes()
        assert ds[kind].attrs["TERRALUME_REPROJECTED"] == tags["TERRALUME_REPROJECTED"]
    with rioxarray.open_rasterio(tmp_path / "o_sunhours.tif") as written:
        assert ds.rio.crs == written.rio.crs
        assert ds.rio.transform() == written.rio.transform()
        np.testing.assert_array_equal(ds.y, written.y)


@pytest.mark.parametrize("da,error,message", [
    (np.zeros((4, 4)), TypeError, "a DataArray is expected"),
    (xr.DataArray(np.zeros((2, 4, 4))), ValueError, "one 2-D band"),
    (xr.DataArray(np.ones((4, 4)), name="bare"), ValueError, "bare: no georeference gives the size of its cells"),
])
def test_refused_dataarrays(da, error, message):
    with pytest.raises(error, match=message):
        terralume.xarray.compute(da)


def test_the_dataarrays_nodata_and_an_explicit_one(utm_tif):
    da = rioxarray.open_rasterio(utm_tif).squeeze("band", drop=True)
    holes = da.copy(data=da.values.copy())
    holes.values[4:7, 9:12] = 7.0
    nan = da.copy(data=np.where(holes.values == 7.0, np.nan, holes.values))
    want = terralume.xarray.compute(nan, **JUNE)["sunhours"].values
    marked = terralume.xarray.compute(holes.rio.write_nodata(7.0), **JUNE)["sunhours"].values
    given = terralume.xarray.compute(holes, nodata=7.0, **JUNE)["sunhours"].values
    assert marked.tobytes() == want.tobytes() == given.tobytes()
    assert (want[4:7, 9:12] == -9999).all()


def test_a_series_takes_a_time_dimension(utm_tif):
    da = rioxarray.open_rasterio(utm_tif)
    ds = terralume.xarray.compute(da, outputs=("sunhours", "svf"), series="month", from_="2026-01-20",
                                  to="2026-03-05", step=60, horizon_directions=4)
    hours = ds["sunhours"]
    assert hours.dims == ("time", "y", "x")
    np.testing.assert_array_equal(hours.time, np.array(["2026-01-20", "2026-02-01", "2026-03-01"], "datetime64[D]"))
    np.testing.assert_array_equal(hours.time_end, np.array(["2026-01-31", "2026-02-28", "2026-03-05"],
                                                           "datetime64[D]"))
    assert hours.attrs["TERRALUME_SERIES"] == "month: 3 bands"
    assert hours.attrs["long_name"] == "hours of direct sun"
    assert ds["svf"].dims == ("y", "x")
