import numpy as np
import pytest
import rioxarray  # noqa: F401
import xarray as xr
from rasterio.transform import from_origin

import terralume.dask
import terralume.xarray
from conftest import hills

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    """A local cluster of two worker processes, as any Dask cluster runs the chunks."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c:
        with distributed.Client(c) as client:
            yield client


def utm(z):
    lines, columns = z.shape
    da = xr.DataArray(z, dims=("y", "x"), name="hills",
                      coords={"y": 4010000 - 30 * (np.arange(lines) + 0.5),
                              "x": 620000 + 30 * (np.arange(columns) + 0.5)})
    return da.rio.write_crs("EPSG:32614").rio.write_transform(from_origin(620000, 4010000, 30, 30))


RUNS = {
    # A winter's simple sun: a halo smaller than the raster, no sun from the north.
    "simple": dict(sun="simple", from_="12-01", to="12-02", outputs=("sunhours", "illumination")),
    "solar": dict(from_="2025-12-01", to="2025-12-01", step=30, height=310.0, outputs=("sunhours", "beam")),
}


@pytest.mark.parametrize("run", sorted(RUNS))
@pytest.mark.parametrize("chunks", [(40, 50), (64, 33)])
def test_chunks_on_a_cluster_give_the_whole_bits(client, run, chunks):
    z = 300 + (hills(120, 150) - 300) / 4  # a relief whose halo is smaller than the raster
    z[60:63, 70:74] = np.nan  # the centre: the sun's height given
    kw = dict(RUNS[run], shadows="exact")
    whole = terralume.xarray.compute(utm(z), **kw)
    ds = terralume.dask.compute(utm(z).chunk(chunks), **kw)
    assert ds["sunhours"].data.chunks == utm(z).chunk(chunks).data.chunks
    got = client.compute(ds).result()
    for kind in kw["outputs"]:
        assert got[kind].dtype == whole[kind].dtype
        assert got[kind].values.tobytes() == whole[kind].values.tobytes(), kind
    assert got.rio.crs == whole.rio.crs and got.rio.transform() == whole.rio.transform()
    assert ds["sunhours"].attrs["TERRALUME_PERIOD"] == whole["sunhours"].attrs["TERRALUME_PERIOD"]
    # Exact shadows anchored to the whole raster's grid: the halo is enough.
    assert ds.attrs["terralume_windows_to_the_borders"] == "none"
    if run == "simple":
        assert 0 < ds.attrs["terralume_halo"] < 120


def test_rays_windows_run_to_the_sun_side_borders():
    z = 300 + (hills(120, 150) - 300) / 4
    kw = dict(RUNS["simple"], shadows="rays")
    whole = terralume.xarray.compute(utm(z), **kw)["sunhours"].values
    ds = terralume.dask.compute(utm(z).chunk((40, 50)), **kw)
    assert ds.attrs["terralume_windows_to_the_borders"] == "south east west"
    assert ds["sunhours"].compute().values.tobytes() == whole.tobytes()
    # Halo-only windows: the rays start at each window's borders, close but not the same.
    got = terralume.dask.compute(utm(z).chunk((40, 50)), bitwise=False, **kw)["sunhours"].compute().values
    differ = np.count_nonzero(got != whole)
    assert differ < 0.01 * z.size


@pytest.mark.parametrize("da,kw,message", [
    (utm(hills(20, 20)).rio.write_crs("EPSG:4326"), {}, r"hills: is in degrees: .*da.rio.reproject\('EPSG:32"),
    (utm(hills(20, 20)), dict(halo=-1), "halo: 'auto' or a number of cells"),
    (utm(np.full((20, 20), np.nan)), {}, "hills: its centre cell has no elevation"),
    (utm(hills(20, 20)), dict(step=7), "--step 7"),
    (utm(hills(20, 20)), dict(outputs=("sunhours", "index")), "index: the index is stretched"),
    (utm(hills(20, 20)), dict(outputs=("sunhours",), series="month"), "series: chunks give one band"),
    (utm(hills(20, 20)), dict(outputs=("svf",)), "svf: its horizons reach .* give horizon_distance=METRES"),
    (utm(hills(20, 20)), dict(outputs=("global",)), "global: its horizons reach"),
])
def test_refusals(da, kw, message):
    with pytest.raises(ValueError, match=message):
        terralume.dask.compute(da.chunk(10), **kw)


@pytest.mark.parametrize("chunks", [(40, 50), (33, 64)])
def test_horizons_out_to_a_distance_by_chunks_give_the_whole_bits(client, chunks):
    z = 300 + (hills(120, 150) - 300) / 4
    z[60:63, 70:74] = np.nan
    kw = dict(sun="simple", from_="12-01", to="12-02", outputs=("horizon", "svf"), horizon_distance=1800,
              horizon_directions=12)
    whole = terralume.xarray.compute(utm(z), **kw)
    ds = terralume.dask.compute(utm(z).chunk(chunks), **kw)
    got = client.compute(ds).result()
    for kind in kw["outputs"]:
        assert got[kind].shape == whole[kind].shape, kind
        assert got[kind].values.tobytes() == whole[kind].values.tobytes(), kind
    # The halo holds the distance, beyond the shadows' 43 cells: 60 cells of
    # 30 m and the margin.
    assert ds.attrs["terralume_halo"] == 68
