#!/usr/bin/env bash
# Installs the library from build tree $1 into a temporary prefix and builds
# a small consumer against it twice: with find_package and with pkg-config.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

libdir=$(dirname "$(find "$work/prefix" -name 'collinear.pc' | head -n 1)")/..
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ "$here/consumer.cpp" -o "$work/consumer-pc" \
    $(pkg-config --cflags --libs collinear) -Wl,-rpath,"$libdir"
"$work/consumer-pc"
# The installed tool runs on the shipped examples from any folder.
examples=$(cd "$here/../../examples" && pwd)
(cd "$work" && "$work/prefix/bin/collinear" helmert \
    "$examples/helmert2d-ghilani/target.txt" \
    "$examples/helmert2d-ghilani/source.txt" --json >"$work/helmert.json")
grep -q '"command": "helmert"' "$work/helmert.json"
"$work/prefix/bin/collinear" --version >/dev/null
# The installed Python package, when the tree built it, imports from the
# prefix's site folder with Debian's python3 and finds its library there.
site=$(find "$work/prefix" -path '*/collinear/__init__.py' -printf '%h\n' 2>/dev/null | head -n 1)
if [ -n "$site" ]; then
  (cd "$work" && PYTHONPATH="$(dirname "$site")" /usr/bin/python3 -c '
import collinear, numpy as np
assert collinear.__file__.startswith("'"$work"'"), collinear.__file__
pts = np.array([[0, 0, 0], [10, 0, 0], [0, 10, 0], [10, 10, 2], [5, 5, 1.0]])
cam = collinear.camera(1000, (320, 240), (640, 480), (5, 5, 40), np.diag([1.0, 1, 1]))
px, front = collinear.project(cam, pts)
r = collinear.resect(pts, px, 1000, (320, 240))
assert front.all() and r.converged and abs(r.centre[2] - 40) < 1e-6, r
')
fi
echo "install check: find_package and pkg-config consumers, the installed tool${site:+ and the Python package} passed"
