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
echo "install check: find_package and pkg-config consumers passed"
