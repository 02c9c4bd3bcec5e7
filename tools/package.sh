#!/usr/bin/env bash
# Builds the Debian package into build-package/ and prints its path.
#   tools/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure-packages.sh dpkg-dev
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DQUELLOR_TESTS=OFF >/dev/null
cmake --build build-package --target quellor quellor-install-files >/dev/null
(cd build-package && cpack -G DEB >/dev/null 2>&1)
ls "$PWD"/build-package/quellor_*_amd64.deb
