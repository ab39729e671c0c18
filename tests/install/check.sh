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
echo "install check: find_package and pkg-config consumers and the installed tool passed"
