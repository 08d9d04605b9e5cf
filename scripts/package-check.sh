#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh), unpacks them into a temporary root with
# dpkg-deb -x, and uses them from there as an adopter would: the example is built against the
# unpacked development package (pkg-config and CMake) and run, the unpacked agent runs a small
# desired state and cleans up, its man page is there, and the Python module imports. Each run
# uses a shared-memory namespace of its own, removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/vorn-package-check.XXXXXX)
ns="package-check-$$"
cleanup() {
  rm -rf "$work"
  rm -f /dev/shm/vorn-tcam."$ns"-*.* /dev/shm/vorn-tcam."$ns".*
}
trap cleanup EXIT

scripts/package.sh
root="$work/root"
for deb in build/release/packages/*.deb; do dpkg-deb -x "$deb" "$root"; done
echo "package-check: unpacked into $root"
for f in usr/bin/tcam-agent usr/share/man/man1/tcam-agent.1.gz usr/lib/pkgconfig/vorn-tunnel-tcammgr.pc \
         usr/lib/cmake/VornTunnelTcamMgr/VornTunnelTcamMgrConfig.cmake usr/lib/libvorn-tcammgr.so \
         usr/include/vorn/tcammgr/interface/TcamInterface.h; do
  [ -e "$root/$f" ] || { echo "package-check: $f is in no package"; exit 1; }
done
zcat "$root/usr/share/man/man1/tcam-agent.1.gz" | grep -q '^\.SH' || { echo "package-check: empty man page"; exit 1; }

# The example against the unpacked development package.
export LD_LIBRARY_PATH="$root/usr/lib"
# shellcheck disable=SC2046
g++ examples/bring-up/main.cpp -o "$work/tcam-bring-up-pc" \
  $(PKG_CONFIG_PATH="$root/usr/lib/pkgconfig" pkg-config --cflags --libs vorn-tunnel-tcammgr)
"$work/tcam-bring-up-pc" "$ns-pc"
cmake -S examples/bring-up -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/tcam-bring-up" "$ns-cmake"

# The unpacked agent and Python module.
"$root/usr/bin/tcam-agent" --version
"$root/usr/bin/tcam-agent" run --generate 20 --units 0 --namespace "$ns" >/dev/null
PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
  "import sys, vorn_tcam; v = vorn_tcam.open(sys.argv[1]); n = sum(1 for _ in v.entries('Tcam', 0)); v.close(); \
print('package-check: vorn_tcam reads', n, 'entries'); sys.exit(n != 20)" "$ns"
"$root/usr/bin/tcam-agent" clean --namespace "$ns" >/dev/null

leftovers=$(ls /dev/shm | grep -F "vorn-tcam.$ns" || true)
if [ -n "$leftovers" ]; then
  echo "package-check: shared memory left behind:"; echo "$leftovers"; exit 1
fi
echo "package-check: ok"
