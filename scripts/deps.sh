#!/usr/bin/env bash
# Installs the Debian packages a make target needs, only those missing.
# Usage: scripts/deps.sh test|bench|demo|fuzz
set -euo pipefail

test_pkgs=(cmake make g++ clang libclang-rt-14-dev clang-format clang-tidy
           python3 pkg-config python3-dev python3-numpy pybind11-dev python3-pytest python3-pip python3-venv python3-setuptools
           libcli11-dev nlohmann-json3-dev libproj-dev proj-data
           libstb-dev libtiff-dev
           libgtest-dev googletest libexpat1-dev)
test_pkgs+=(python3-dask python3-distributed)  # the Dask batch example, its test
bench_pkgs=(libbenchmark-dev libeigen3-dev libopencv-dev)

case "${1:-test}" in
  test) want=("${test_pkgs[@]}") ;;
  bench) want=("${test_pkgs[@]}" "${bench_pkgs[@]}") ;;
  demo) want=("${test_pkgs[@]}") ;;
  fuzz) want=("${test_pkgs[@]}") ;;
  *) echo "deps.sh: unknown set '$1'" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
