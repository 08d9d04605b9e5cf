#!/usr/bin/env bash
# Installs the shared libraries, headers and packages of a built preset (default: "default")
# into a temporary prefix, then checks what a consumer gets from it alone:
# - the agent runs (--version) and the Python module imports from the prefix;
# - every installed header compiles on its own with nothing but the pkg-config flags, and none
#   includes lmdb.h;
# - the example consumer builds against the installed package - once through
#   find_package(VornTunnelTcamMgr), once as `g++ main.cpp $(pkg-config --cflags --libs ...)`
#   with no other flag - and runs, each in a shared-memory namespace of its own that is removed
#   afterwards.
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

cmake --build --preset "$preset"
cmake --install "build/$preset" --prefix "$work/prefix" >/dev/null
echo "install-check: installed into $work/prefix"

# The agent and the Python module.
"$work/prefix/bin/tcam-agent" --version
if [ -n "$(find "$work/prefix" -name 'vorn_tcam*.so')" ]; then
  PYTHONPATH="$work/prefix/lib/python3/dist-packages" /usr/bin/python3 -c \
    'import vorn_tcam; print("install-check: vorn_tcam from", vorn_tcam.__file__)'
fi

pcdir=$(dirname "$(find "$work/prefix" -name vorn-tunnel-tcammgr.pc)")
export PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
cflags=$(pkg-config --cflags vorn-tunnel-tcammgr)
include="$work/prefix/include"

# The installed headers: one include root, no storage library, each one self-contained.
stray=$(find "$include" -mindepth 1 -maxdepth 1 ! -name vorn)
if [ -n "$stray" ]; then
  echo "install-check: installed outside include/vorn:"; echo "$stray"; exit 1
fi
if grep -rlE '#[[:space:]]*include[[:space:]]*[<"]lmdb\.h[>"]' "$include"; then
  echo "install-check: the installed headers above include lmdb.h"; exit 1
fi
headers=$(cd "$include" && find vorn -name '*.h' | sort)
echo "install-check: compiling each of $(echo "$headers" | wc -l) installed headers on its own"
export cflags
# shellcheck disable=SC2016
echo "$headers" | xargs -P 2 -I{} sh -c \
  'printf "#include <%s>\n" "$1" | g++ $cflags -fsyntax-only -x c++ - || { echo "install-check: $1 does not compile on its own"; exit 255; }' \
  sh {}

# The CMake package.
cmake -S examples/bring-up -B "$work/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build"
"$work/cmake-build/tcam-bring-up" "$ns-cmake"

# The pkg-config file, with no flag of our own: the run finds the libraries via LD_LIBRARY_PATH.
# shellcheck disable=SC2046
g++ examples/bring-up/main.cpp -o "$work/tcam-bring-up-pc" $(pkg-config --cflags --libs vorn-tunnel-tcammgr)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir vorn-tunnel-tcammgr)" "$work/tcam-bring-up-pc" "$ns-pc"

leftovers=$(ls /dev/shm | grep -F "vorn-tcam.$ns" || true)
if [ -n "$leftovers" ]; then
  echo "install-check: shared memory left behind:"; echo "$leftovers"; exit 1
fi
echo "install-check: ok"
