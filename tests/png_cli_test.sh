#!/usr/bin/env bash
# terralume-png driven from the command line, and the README's runs: the
# example's one-month answers from examples/, then its result as a PNG; the
# GeoTIFF example's sun hours, whose PNG is the README's picture.
# Usage: png_cli_test.sh TERRALUME_BINARY TERRALUME_PNG_BINARY SOURCE_FOLDER
set -u
bin=$(realpath "$1")
png=$(realpath "$2")
src=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Width and height from a PNG's header, as "WxH".
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3*256+$4 "x" $7*256+$8}'; }
is_png() { [ "$(od -An -tx1 -N8 "$1" | tr -d ' ')" = "89504e470d0a1a0a" ]; }

# Help and wrong arguments.
"$png" --help > "$work/help.out" 2>&1
[ $? -eq 0 ] || fail "--help did not exit with 0"
head -n 1 "$work/help.out" | grep -qx 'Usage: terralume-png RESULT_irra.raw \[OUT.png\]' || fail "--help usage line"
grep -q 'greyscale PNG' "$work/help.out" || fail "--help does not say what it does"
for args in "" "a.raw b.png c.png" "-x a.raw" "a.txt" "a_irra.raw -"; do
  # shellcheck disable=SC2086
  "$png" $args > "$work/bad.out" 2> "$work/bad.err"
  [ $? -eq 2 ] || fail "arguments '$args' did not exit with 2"
  grep -q '^Usage: terralume-png' "$work/bad.err" || fail "arguments '$args' printed no usage"
  [ -s "$work/bad.out" ] && fail "arguments '$args' wrote to standard output"
done

# The example, run as the README runs it: from examples/, base folder ./images.
cp -r "$src/examples" "$work/ex"
(cd "$work/ex" && env -u TERRALUME_IMAGES timeout 120 "$bin" < jacksboro-june.txt > run.out)
[ $? -eq 0 ] || fail "the one-month example run failed: $(tail -n 3 "$work/ex/run.out")"
out=$work/ex/images/jacksboro
grep -q 'Number of days : 30 from 152 to 181' "$out/june_irra.txt" || fail "the June example is not the month of June"
(cd "$work/ex" && "$png" images/jacksboro/june_irra.raw > png.out 2> png.err)
[ $? -eq 0 ] || fail "terralume-png on the example failed: $(cat "$work/ex/png.err")"
grep -qx "terralume-png: wrote $out/june_irra.png (403 columns x 344 lines)" "$work/ex/png.out" ||
  fail "terralume-png did not name the absolute path: $(cat "$work/ex/png.out")"
is_png "$out/june_irra.png" || fail "the example's PNG has no PNG signature"
[ "$(png_size "$out/june_irra.png")" = "403x344" ] || fail "the example's PNG is $(png_size "$out/june_irra.png")"
"$png" "$out/june_irra.raw" "$work/named.png" > /dev/null
[ $? -eq 0 ] && cmp -s "$work/named.png" "$out/june_irra.png" || fail "an output name given differs"

# The README's first run: the GeoTIFF example, its sun hours, their PNG. A
# year of the real sun with exact shadows: 50 s of processor time, some
# minutes in the sanitizers' build; the limit only guards against a hang.
(cd "$work/ex" && timeout 1200 "$bin" jacksboro.tif jacksboro-sunhours.tif > cli.out 2> cli.err)
[ $? -eq 0 ] || fail "the GeoTIFF example failed: $(cat "$work/ex/cli.err")"
[ "$(cat "$work/ex/cli.out")" = "wrote jacksboro-sunhours.tif (375 x 395, sunhours)" ] ||
  fail "the GeoTIFF example wrote: $(cat "$work/ex/cli.out")"
grep -qx 'terralume: jacksboro.tif is in degrees: reprojected to UTM zone 16N (EPSG:32616), 375 x 395 cells of 82.622 m' \
  "$work/ex/cli.err" || fail "the GeoTIFF example's note: $(cat "$work/ex/cli.err")"
(cd "$work/ex" && "$png" jacksboro-sunhours.tif > png.out)
[ $? -eq 0 ] && [ "$(png_size "$work/ex/jacksboro-sunhours.png")" = "375x395" ] || fail "the sun hours' PNG"
cmp -s "$work/ex/jacksboro-sunhours.png" "$src/docs/jacksboro-sunhours.png" ||
  fail "the first run's PNG is not the README's picture docs/jacksboro-sunhours.png (made again, it must be committed)"

# Failures: exit 1, a message naming the file, no PNG.
cp "$out/june_irra.raw" "$work/lone_irra.raw"
"$png" "$work/lone_irra.raw" 2> "$work/lone.err"
[ $? -eq 1 ] || fail "a missing descriptor did not exit with 1"
grep -q "no descriptor $work/lone_irra.txt" "$work/lone.err" || fail "missing descriptor message"
[ -e "$work/lone_irra.png" ] && fail "a missing descriptor left a PNG"
printf '344\n403\n2\n0\n255\n90\n' > "$work/lone_irra.txt"
"$png" "$work/lone_irra.raw" 2> "$work/lone.err"
[ $? -eq 1 ] && grep -q '2 bytes per sample' "$work/lone.err" || fail "a 2-byte descriptor was not refused"
"$png" "$out/june_irra.raw" "$work/no/such/folder.png" 2> "$work/nodir.err"
[ $? -eq 1 ] && grep -q "cannot create $work/no/such/folder.png" "$work/nodir.err" || fail "unwritable output"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all terralume-png checks passed"
