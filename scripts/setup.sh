#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the 32-bit build need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config g++ g++-multilib
  libfmt-dev liblmdb-dev lmdb-utils
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev nlohmann-json3-dev python3 qemu-user
  python3-dev pybind11-dev python3-pytest clang-format clang-tidy
  abigail-tools help2man dpkg-dev libtcmalloc-minimal4
)
I386_PACKAGES=(
  libfmt-dev:i386 liblmdb-dev:i386 libgtest-dev:i386 libgmock-dev:i386
)

missing=()
for p in "${PACKAGES[@]}" "${I386_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
$SUDO dpkg --add-architecture i386
# A mirror that is mid-sync can fail one index; the packages we need come from the main archive.
$SUDO apt-get update -q || echo "setup: apt-get update reported errors; continuing with the indexes it fetched"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${PACKAGES[@]}" "${I386_PACKAGES[@]}"
