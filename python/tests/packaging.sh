#!/usr/bin/env bash
# pip install . and python3 -m build --no-isolation on a copy of the source,
# the extension taken from the build folder BUILD; each result imported and
# run. Usage: packaging.sh PYTHON SOURCE BUILD
set -euo pipefail
python=$1
source=$2
build=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
tar -C "$source" --exclude='./build*' --exclude=./.git --exclude='./dist' -cf - . | tar -C "$work/src" -xf -
export TERRALUME_BUILD_DIR=$build PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
export PYTHONDONTWRITEBYTECODE=1

check() { # FOLDER: terralume from FOLDER computes
  (cd "$work" && PYTHONPATH=$1 "$python" -c '
import sys, numpy as np, terralume
assert terralume.__file__.startswith(sys.argv[1]), terralume.__file__
z = np.add.outer(np.arange(6.0), np.arange(7.0))
h = terralume.compute(z, pixel_size=10, lat=45, lon=7, outputs=("sunhours",), progress=False, to="01-02")["sunhours"]
assert h.shape == (6, 7) and h.dtype == np.float32 and h.max() > 0
' "$1")
}

"$python" -m pip install -q --no-build-isolation --no-deps --target "$work/pip" "$work/src"
check "$work/pip"

(cd "$work/src" && "$python" -m build --no-isolation --wheel --outdir "$work/dist" . > "$work/build.log" 2>&1) ||
  { cat "$work/build.log"; exit 1; }
wheel=$(ls "$work"/dist/terralume-*.whl)
listing=$("$python" -m zipfile -l "$wheel")
grep -q 'terralume/_terralume.*\.so' <<< "$listing" || { echo "FAIL: $wheel holds no extension"; exit 1; }
"$python" -m pip install -q --no-deps --target "$work/wheel" "$wheel"
check "$work/wheel"
echo "pip install and the wheel: both compute"
