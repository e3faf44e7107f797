#!/usr/bin/env bash
# Runs GRASS r.sun (Debian's grass-core) and terralume on the same projected
# DEM, day, Linke factor and albedo, and prints their day's irradiations side
# by side: terralume with the bare slope's sky view (r.sun's model) and with
# the horizons' sky-view factor (its default).
#   compare_rsun.sh TERRALUME DEM.tif EPSG DATE(YYYY-MM-DD) [LINKE] [ALBEDO]
set -euo pipefail
terralume=$(realpath "$1")
dem=$(realpath "$2")
epsg=$3
date=$4
linke=${5:-3}
albedo=${6:-0.2}
here=$(dirname "$(realpath "$0")")
day=$(date -u -d "$date" +%j | sed 's/^0*//')
work=$(mktemp -d /tmp/terralume-rsun.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$dem" dem.tif
# r.sun's day sums every 0.05 h (3 minutes), the slope and aspect from
# r.slope.aspect, shadows on.
cat >grass.sh <<GRASS
set -e
r.in.gdal -o input=dem.tif output=dem --quiet
g.region raster=dem
r.slope.aspect elevation=dem slope=slope aspect=aspect --quiet
r.sun elevation=dem aspect=aspect slope=slope linke_value=$linke albedo_value=$albedo day=$day step=0.05 \
  nprocs=2 beam_rad=beam diff_rad=diff refl_rad=refl glob_rad=glob insol_time=hours --quiet
for m in beam diff refl glob hours slope; do r.out.gdal -c input=\$m output=rsun_\$m.tif type=Float32 --quiet; done
GRASS
grass --tmp-location "EPSG:$epsg" --exec bash grass.sh >/dev/null 2>&1
common=(--from "$date" --to "$date" --step 3 --linke "$linke" --albedo "$albedo"
    --output beam,diffuse,reflected,global,sunhours -q)
"$terralume" dem.tif slope.tif --sky-view slope "${common[@]}"
"$terralume" dem.tif terrain.tif "${common[@]}"
/usr/bin/python3 "$here/compare_rsun.py"
