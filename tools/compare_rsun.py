"""Prints terralume's day irradiations beside r.sun's, from the files that
compare_rsun.sh leaves in the current folder: the mean over the cells both
give (two cells in from the border), its relative difference, the share of
cells differing by more than 5 %, and the difference over level cells (slope
under 2 degrees)."""
import numpy as np
import rasterio


def read(path):
    with rasterio.open(path) as d:
        return d.read(1, masked=True).astype(np.float64)


slope = read("rsun_slope.tif").filled(90)
pairs = [("beam", "beam"), ("diffuse", "diff"), ("reflected", "refl"), ("global", "glob"), ("sunhours", "hours")]
print("| sky view | output | terralume | r.sun | difference | cells beyond 5 % | level cells |")
print("|---|---|---|---|---|---|---|")
for ours in ("slope", "terrain"):
    for kind, theirs in pairs:
        a, b = read(f"{ours}_{kind}.tif"), read(f"rsun_{theirs}.tif")
        both = ~(np.ma.getmaskarray(a) | np.ma.getmaskarray(b))
        both[:2, :] = both[-2:, :] = both[:, :2] = both[:, -2:] = False
        level = both & (slope < 2)
        x, y = a.data[both], b.data[both]
        with np.errstate(divide="ignore", invalid="ignore"):
            beyond = np.mean(np.abs(x - y) > 0.05 * np.abs(y))
        print(f"| {ours} | {kind} | {x.mean():.1f} | {y.mean():.1f} | {100 * (x.mean() / y.mean() - 1):+.2f} % "
              f"| {100 * beyond:.1f} % | {100 * (a.data[level].mean() / b.data[level].mean() - 1):+.2f} % |")
