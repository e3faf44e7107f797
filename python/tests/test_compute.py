import threading
import time

import numpy as np
import pytest
import rasterio

import terralume
from conftest import hills, read_tif, run_cli, write_tif

PLACE = dict(pixel_size=30.0, lat=36.2, lon=-98.1)
CLI_PLACE = ["--pixel-size", "30", "--lat", "36.2", "--lon", "-98.1"]
ALL = ("sunhours", "illumination", "index", "beam", "elevation", "shadow")

# Each: the keywords of the module and the command line's arguments.
RUNS = {
    "defaults": ({"from_": "06-01", "to": "06-02", "step": 30, "sun_position": (20, 250)},
                 ["--from", "06-01", "--to", "06-02", "--step", "30", "--sun-position", "20,250"]),
    "others": ({"from": "2024-12-20", "to": "2024-12-21", "step": 20, "shadows": "rays", "slope": "dialogue",
                "curvature": False, "attenuation": 30, "normalization": "raw", "refraction": False, "linke": 4.5,
                "sun_position": (8.5, 135)},
               ["--from", "2024-12-20", "--to", "2024-12-21", "--step", "20", "--shadows", "rays", "--slope",
                "dialogue", "--no-curvature", "--attenuation", "30", "--normalization", "raw", "--no-refraction",
                "--linke", "4.5", "--sun-position", "8.5,135"]),
}


@pytest.fixture(scope="module", params=sorted(RUNS))
def both(request, tmp_path_factory):
    """The module's outputs and the command line's files for one run."""
    kwargs, args = RUNS[request.param]
    z = hills().astype(np.float32)
    z[3:5, 7:9] = np.nan
    folder = tmp_path_factory.mktemp(request.param)
    dem = write_tif(folder / "plain.tif", z)
    run_cli(dem, folder / "out.tif", "--output", ",".join(ALL), *CLI_PLACE, *args)
    mine = terralume.compute(z, outputs=ALL, **PLACE, **kwargs)
    return mine, folder


@pytest.mark.parametrize("kind", ALL)
def test_same_bits_as_the_command_line(both, kind):
    mine, folder = both
    theirs, _ = read_tif(folder / f"out_{kind}.tif")
    assert mine[kind].dtype == theirs.dtype
    assert mine[kind].tobytes() == theirs.tobytes()


def test_simple_sun_same_bits(tmp_path):
    z = hills(20, 24)
    dem = write_tif(tmp_path / "d.tif", z)
    run_cli(dem, tmp_path / "o.tif", "--sun", "simple", "--from", "03-01", "--to", "03-02", "--output",
            "sunhours,index", "--pixel-size", "30", "--lat", "36.2")
    mine = terralume.compute(z, pixel_size=30, lat=36.2, sun="simple", from_="03-01", to="03-02",
                             outputs=("sunhours", "index"))
    for kind in ("sunhours", "index"):
        assert mine[kind].tobytes() == read_tif(tmp_path / f"o_{kind}.tif")[0].tobytes()


SHORT = dict(PLACE, from_="06-10", to="06-10", step=60, outputs=("sunhours", "illumination", "elevation"))


@pytest.fixture(scope="module")
def reference():
    """Whole elevations that every dtype holds, one cell without any."""
    z = np.round(hills() / 4) - 20
    z[0, 0] = np.nan
    return z, terralume.compute(z, **SHORT)


@pytest.mark.parametrize("dtype", ["i1", "u1", "<i2", ">i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", ">f8", "f8"])
def test_every_real_dtype_gives_the_same_bits(reference, dtype):
    z, expected = reference
    whole = np.dtype(dtype).kind in "iu"
    a = np.nan_to_num(z, nan=0).astype(dtype) if whole else z.astype(dtype)
    got = terralume.compute(a, nodata=0 if whole else None, **SHORT)
    for kind in got:
        assert got[kind].tobytes() == expected[kind].tobytes(), kind


def test_views_and_z_units(reference):
    z, expected = reference
    big = np.full((z.shape[0] * 2, z.shape[1] * 3), 7.0)
    big[::2, ::3] = z
    got = terralume.compute(big[::2, ::3], **SHORT)
    assert all(got[k].tobytes() == expected[k].tobytes() for k in got)
    got = terralume.compute(np.asfortranarray(z), **SHORT)
    assert all(got[k].tobytes() == expected[k].tobytes() for k in got)
    feet = terralume.compute(z * 100, z_unit="cm", **SHORT)["elevation"]
    assert feet.tobytes() == expected["elevation"].tobytes()


@pytest.mark.parametrize("nodata,dtype", [(-32768, np.int16), (0.1, np.float32), (-9999.0, np.float64)])
def test_nodata_value_is_nan(nodata, dtype):
    z = np.round(hills(), 0).astype(dtype)
    holes = np.zeros(z.shape, bool)
    holes[5:9, 10:12] = True
    holes[-1, :] = True
    marked = np.where(holes, dtype(nodata), z)
    nan = np.where(holes, np.nan, z.astype(np.float64))
    a = terralume.compute(marked, nodata=nodata, **SHORT)
    b = terralume.compute(nan, **SHORT)
    assert np.isnan(a["elevation"][holes]).all()
    assert all(a[k].tobytes() == b[k].tobytes() for k in a)
    assert (a["sunhours"][holes] == -9999).all()


BAD = [
    (dict(pixel_size=-1), ValueError, "--pixel-size: the side of a cell must be positive"),
    (dict(lat=91), ValueError, "--lat: a latitude lies between -90 and 90 degrees"),
    (dict(sun="moon"), ValueError, "--sun moon: the sun model is simple or solar"),
    (dict(outputs=("glow",)), ValueError, "--output glow: the outputs are"),
    (dict(outputs=("shadow",)), ValueError, "--output shadow: needs --sun-position"),
    (dict(step=7), ValueError, "--step 7:"),
    (dict(threads=0), ValueError, "--threads: the number of threads must be positive"),
    (dict(sun="simple", lon=5.0), ValueError, "--lon: only the solar sun uses it"),
    (dict(lon=None), ValueError, "dem: no georeference gives its longitude"),
    (dict(from_="02-30"), ValueError, "--from 02-30: February has no day 30"),
    (dict(nodata=float("inf")), ValueError, "--nodata: must be a number"),
    (dict(glow=1), TypeError, "not expected"),
    (dict(band=2), TypeError, "band: an option of the command line's files"),
    (dict(pixel_size="30"), TypeError, "pixel_size: a number is expected"),
    (dict(threads=1.5), TypeError, "threads: a whole number is expected"),
    (dict(step=[1, 2j]), TypeError, "step: a number is expected"),
    (dict(progress=3), TypeError, "progress: a callable"),
]


@pytest.mark.parametrize("change,error,message", BAD, ids=[m for _, _, m in BAD])
def test_refusals_with_the_command_lines_message(change, error, message):
    kwargs = {**PLACE, **change}
    with pytest.raises(error, match=message.replace("(", r"\(")):
        terralume.compute(hills(8, 8), **kwargs)


@pytest.mark.parametrize("dem,error,message", [
    (np.zeros((3, 4, 2)), ValueError, "a 2-D array, not one of 3 dimensions"),
    (np.zeros((0, 4)), ValueError, "holds no cell"),
    (np.zeros((4, 4), complex), TypeError, "real numbers"),
    (np.zeros((4, 4), bool), TypeError, "real numbers"),
    (np.full((4, 4), np.nan), ValueError, "dem: no cell has an elevation"),
    (np.broadcast_to(np.ones(300000, np.float32), (200000, 300000)), MemoryError, "needs [0-9]+ bytes of memory"),
])
def test_refused_arrays(dem, error, message):
    with pytest.raises(error, match=message):
        terralume.compute(dem, **PLACE)


def test_warnings_of_options_without_effect():
    with pytest.warns(RuntimeWarning, match="--normalization only changes the index output"):
        terralume.compute(hills(8, 8), normalization="raw", **SHORT)


def test_two_threads_compute_at_once_and_the_gil_is_free():
    z = hills(120, 150)
    kw = dict(PLACE, from_="06-01", to="06-03", step=10)
    alone = [terralume.compute(z, threads=t, **kw)["sunhours"] for t in (1, 2)]
    got, ticks = {}, []

    def work(t):
        got[t] = terralume.compute(z, threads=t, **kw)["sunhours"]

    workers = [threading.Thread(target=work, args=(t,)) for t in (1, 2)]
    for w in workers:
        w.start()
    while any(w.is_alive() for w in workers):
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    for w in workers:
        w.join()
    assert got[1].tobytes() == alone[0].tobytes() == got[2].tobytes() == alone[1].tobytes()
    # This thread ran all along: no long hold of the interpreter.
    assert len(ticks) > 20 and max(np.diff(ticks)) < 0.2


def test_progress_callback_sees_every_position_and_can_stop():
    seen = []
    terralume.compute(hills(8, 8), progress=lambda d, t: seen.append((d, t)), **SHORT)
    assert seen and seen[-1][0] == seen[-1][1] > 0

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        terralume.compute(hills(8, 8), progress=stop, **SHORT)


def test_a_series_is_the_command_lines_bands(tmp_path):
    z = hills(20, 24)
    dem = write_tif(tmp_path / "d.tif", z)
    period = ["--from", "2026-06-01", "--to", "2026-06-03", "--step", "60", "--horizon-directions", "8"]
    run_cli(dem, tmp_path / "o.tif", "--output", "sunhours,global,svf", "--series", "day", *period, *CLI_PLACE)
    mine = terralume.compute(z, outputs=("sunhours", "global", "svf"), series="day", from_="2026-06-01",
                             to="2026-06-03", step=60, horizon_directions=8, **PLACE)
    for kind in ("sunhours", "global"):
        assert mine[kind].shape == (3, 20, 24)
        with rasterio.open(tmp_path / f"o_{kind}.tif") as d:
            assert mine[kind].tobytes() == d.read().tobytes()
    assert mine["svf"].tobytes() == read_tif(tmp_path / "o_svf.tif")[0].tobytes()
    # A series of one band is still bands x lines x columns.
    one = terralume.compute(z, outputs="sunhours", series="month", from_="2026-06-01", to="2026-06-03", step=60,
                            **PLACE)
    assert one["sunhours"].shape == (1, 20, 24)


def test_rasters_of_the_sky_by_name(tmp_path):
    z = hills(20, 24)
    kb = write_tif(tmp_path / "kb.tif", np.full((20, 24), 0.7))
    kd = write_tif(tmp_path / "kd.tif", np.full((20, 24), 1.2))
    albedo = write_tif(tmp_path / "a.tif", np.full((20, 24), 0.4))
    common = dict(outputs=("global",), from_="2026-06-01", to="2026-06-01", step=60, horizon_directions=8, **PLACE)
    files = terralume.compute(z, clear_sky_index=(kb, str(kd)), albedo=albedo, **common)
    values = terralume.compute(z, clear_sky_index=(0.7, 1.2), albedo=0.4, **common)
    assert files["global"].tobytes() == values["global"].tobytes()


def test_horizons_are_every_band_of_the_command_line(tmp_path):
    z = hills(20, 24)
    dem = write_tif(tmp_path / "d.tif", z)
    run_cli(dem, tmp_path / "o.tif", "--output", "horizon,svf", "--horizon-directions", "8", *CLI_PLACE)
    mine = terralume.compute(z, outputs=("horizon", "svf"), horizon_directions=8, **PLACE)
    assert mine["horizon"].shape == (8, 20, 24) and mine["horizon"].dtype == np.float32
    with rasterio.open(tmp_path / "o_horizon.tif") as d:
        assert mine["horizon"].tobytes() == d.read().tobytes()
    assert mine["svf"].tobytes() == read_tif(tmp_path / "o_svf.tif")[0].tobytes()
