#!/usr/bin/env bash
# A tile killed while it computes leaves nothing the merge takes; the plan
# run again redoes that tile alone, and the merge equals the same run made in
# one process.
#   tiles_resume_test.sh TERRALUME SOURCE_FOLDER
set -euo pipefail
terralume=$(realpath "$1")
source_folder=$(realpath "$2")
work=$(mktemp -d /tmp/terralume-resume.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

gdalwarp -q -t_srs EPSG:32616 -tr 90 90 -r bilinear "$source_folder/examples/jacksboro.tif" dem.tif
# A period long enough that a tile computes for some seconds: it is killed
# once it has spent a second of processor time, well inside its computation.
options=(--from 05-01 --to 07-31 --step 5 --output sunhours,beam --halo 2000 --tile 182)
"$terralume" tiles plan dem.tif tiled.tif "${options[@]}" plan.json -q
tiles=$(grep -c '"core"' plan.json)
[ "$tiles" = 4 ] || fail "the plan has $tiles tiles, not 4"

"$terralume" tiles run plan.json --index 0 -q
first=$(stat -c %Y.%N tiled.tif.tiles/tile_000000_sunhours.tif)

# Tile 1 killed while it computes.
"$terralume" tiles run plan.json --index 1 -q &
victim=$!
# Processor time (user + system, in clock ticks) the tile has spent so far.
spent() { awk '{ print ($3 == "Z" ? "gone" : $14 + $15) }' "/proc/$victim/stat" 2>/dev/null || echo gone; }
ticks=$(getconf CLK_TCK)
while :; do
    used=$(spent)
    [ "$used" = gone ] && fail "tile 1 ended before it had computed for a second: the test's period is too short"
    [ "$used" -ge "$ticks" ] && break
    sleep 0.05
done
kill -9 "$victim"
status=0
wait "$victim" || status=$?
[ "$status" = 137 ] || fail "tile 1 ended with status $status, not killed"
for f in tiled.tif.tiles/tile_000001_*; do
    [ -e "$f" ] && fail "$f: left by the killed tile"
done
message=$("$terralume" tiles merge plan.json 2>&1) && fail "the merge took the killed tile: $message"
case "$message" in
*"tile 1 is missing"*) ;;
*) fail "the merge's refusal: $message" ;;
esac
[ -e tiled_sunhours.tif ] && fail "the refused merge wrote tiled_sunhours.tif"

# The plan again, every index: only the missing ones are computed.
for k in $(seq 0 $((tiles - 1))); do
    out=$("$terralume" tiles run plan.json --index "$k")
    if [ "$k" = 0 ]; then
        case "$out" in *"done already"*) ;; *) fail "tile 0 was computed again: $out" ;; esac
    fi
done
[ "$(stat -c %Y.%N tiled.tif.tiles/tile_000000_sunhours.tif)" = "$first" ] || fail "tile 0 was rewritten"
"$terralume" tiles merge plan.json -q

# The same plan in one process.
"$terralume" dem.tif once.tif "${options[@]}" -q
for kind in sunhours beam; do
    gdal_translate -q -of ENVI "tiled_$kind.tif" "tiled_$kind.img"
    gdal_translate -q -of ENVI "once_$kind.tif" "once_$kind.img"
    cmp "tiled_$kind.img" "once_$kind.img" || fail "$kind: the resumed run differs from the run in one process"
done
echo "ok: a killed tile resumed, the result unchanged"
