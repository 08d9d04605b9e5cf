#!/usr/bin/env bash
# Builds the Debian packages from the release preset into build/release/packages:
# libvorn-tcammgr1, libvorn-tcammgr-dev, tcam-agent (with its man page) and python3-vorn-tcam
# (cmake/VornCPack.cmake). Needs help2man, dpkg-dev, python3-dev and pybind11-dev
# (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release -DVORN_BUILD_BENCH=OFF >/dev/null
# Only what the packages hold; the tests are the other presets' business.
cmake --build --preset release --target vorn_platform_shared vorn_tcammgr_shared vorn_public_headers \
  tcam-agent vorn_agent_manpage vorn_tcam
rm -rf build/release/packages
(cd build/release && cpack -G DEB -B packages >/dev/null)
ls build/release/packages/*.deb
