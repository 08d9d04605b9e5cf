#!/usr/bin/env bash
# Installs the shared libraries, headers and packages of a built preset (default: "default")
# into a temporary prefix, then builds the example consumer against the installed package only
# - once through find_package(VornTunnelTcamMgr), once through pkg-config - and runs both, each
# in a shared-memory namespace of its own that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
work=$(mktemp -d /tmp/vorn-install-check.XXXXXX)
ns="install-check-$$"
cleanup() {
  rm -rf "$work"
  rm -f /dev/shm/vorn-tcam."$ns"-cmake.* /dev/shm/vorn-tcam."$ns"-pc.*
}
trap cleanup EXIT

cmake --build --preset "$preset" --target vorn_platform_shared vorn_tcammgr_shared
cmake --install "build/$preset" --prefix "$work/prefix" >/dev/null
echo "install-check: installed into $work/prefix"

# The CMake package.
cmake -S examples/bring-up -B "$work/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build"
"$work/cmake-build/tcam-bring-up" "$ns-cmake"

# The pkg-config file.
pcdir=$(dirname "$(find "$work/prefix" -name vorn-tunnel-tcammgr.pc)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs vorn-tunnel-tcammgr)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir vorn-tunnel-tcammgr)
# shellcheck disable=SC2086
g++ -std=c++20 examples/bring-up/main.cpp -o "$work/tcam-bring-up-pc" $flags -Wl,-rpath,"$libdir"
"$work/tcam-bring-up-pc" "$ns-pc"

leftovers=$(ls /dev/shm | grep -F "vorn-tcam.$ns" || true)
if [ -n "$leftovers" ]; then
  echo "install-check: shared memory left behind:"; echo "$leftovers"; exit 1
fi
echo "install-check: ok"
