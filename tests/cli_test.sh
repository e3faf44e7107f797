#!/usr/bin/env bash
# The terralume executable driven as an operator would drive it: answers on
# standard input, the base folder from TERRALUME_IMAGES, the exit status.
# Usage: cli_test.sh TERRALUME_BINARY TEST_DATA_FOLDER
set -u
bin=$1
data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A recorded run through a pipe: exit 0, files identical.
golden=$data/golden/grid-2x2
mkdir -p "$work/g"
cp -r "$golden/input/." "$work/g/"
TERRALUME_IMAGES=$work/g timeout 60 "$bin" < "$golden/answers.txt" > "$work/g.out"
status=$?
[ "$status" -eq 0 ] || fail "golden run exited with $status"
diff -r "$golden/expected/files" "$work/g" > /dev/null || fail "golden run files differ"
sed "s#$work/g/#@BASE@/#g; 10,11d" "$work/g.out" > "$work/g.cmp"
sed '10,11d' "$golden/expected/transcript.txt" | cmp -s - "$work/g.cmp" || fail "golden run transcript differs"

# The base folder defaults to ./images.
mkdir -p "$work/cwd/images"
cp -r "$golden/input/." "$work/cwd/images/"
(cd "$work/cwd" && env -u TERRALUME_IMAGES timeout 60 "$bin" < "$golden/answers.txt" > /dev/null)
[ $? -eq 0 ] && [ -f "$work/cwd/images/tiny/g22_irra.raw" ] || fail "run in ./images failed"

# A missing raw file: one key, exit 1, nothing created; no hang without input.
mkdir -p "$work/m/site"
printf 'site\ndem1\n0\n' | TERRALUME_IMAGES=$work/m timeout 10 "$bin" > "$work/m.out"
status=$?
[ "$status" -eq 1 ] || fail "missing raw file exited with $status"
grep -q "No File  $work/m/site/dem1_m2.raw" "$work/m.out" || fail "missing raw file message"
[ -z "$(ls -A "$work/m/site")" ] || fail "missing raw file created files"
TERRALUME_IMAGES=$work/m timeout 10 "$bin" < /dev/null > /dev/null
[ $? -eq 1 ] || fail "empty input did not exit with 1"

# Input ending halfway: exit 1 with the question named.
head -n 6 "$golden/answers.txt" | TERRALUME_IMAGES=$work/g timeout 10 "$bin" > "$work/h.out"
[ $? -eq 1 ] || fail "truncated input did not exit with 1"
grep -q 'The input ended while waiting for the answer to "Latitud"' "$work/h.out" || fail "truncated input message"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all command-line checks passed"
