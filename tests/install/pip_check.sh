#!/usr/bin/env bash
# The Python way, offline: a virtual environment on Debian's python3 with
# its system packages, `pip install --no-build-isolation --no-index .` from
# the source tree, then the calibration example. Nothing is fetched.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation \
    --no-index "$root"
(cd "$work" && "$work/venv/bin/python" "$root/examples/python/calibrate.py" \
    --plot "$work/residuals.png" >"$work/calibrate.txt")
grep -q "^Verdict: " "$work/calibrate.txt"
"$work/venv/bin/python" -c 'import collinear; print("pip check: collinear from", collinear.__file__)'
