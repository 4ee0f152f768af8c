#!/usr/bin/env bash
# Installation as a distribution lays it out: configured for /usr (libraries in the multiarch
# folder, e.g. lib/x86_64-linux-gnu), installed into a temporary prefix, then used by a CMake
# consumer (find_package), a pkg-config consumer and the installed command-line program, before
# and after the tree is moved. (The test suite runs the same checks for the default layout, but
# skips the pkg-config part where pkg-config is missing; here it is installed and required.)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"
jobs="$(nproc 2>/dev/null || echo 2)"
build="${SHEETLAY_INSTALL_BUILD_DIR:-}"
if [[ -z "$build" ]]; then
  # The benchmark stage of .ci/run builds the same Release library and program configured for
  # /usr; that build serves here when it is there (configuring it below with the same values
  # changes nothing and builds nothing). Otherwise the step builds its own.
  build="$repo/build-ci-install"
  bench="$repo/build-ci-bench/CMakeCache.txt"
  if [[ -f "$bench" ]] && grep -qx 'CMAKE_INSTALL_PREFIX:PATH=/usr' "$bench" &&
    grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$bench" && grep -qx 'SHEETLAY_BUILD_TOOLS:BOOL=ON' "$bench"; then
    build="$repo/build-ci-bench"
  fi
fi
echo "build: $build"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
apt_opts=(-qq -o DPkg::Lock::Timeout=600)
if ! "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends \
  cmake ninja-build g++ pkg-config >/dev/null; then
  "${as_root[@]}" apt-get "${apt_opts[@]}" update
  "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends \
    cmake ninja-build g++ pkg-config >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DSHEETLAY_BUILD_TESTS=OFF -DSHEETLAY_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j "$jobs"
grep '^CMAKE_INSTALL_LIBDIR:' "$build/CMakeCache.txt"

version="$(sed -n 's/^project(sheetlay VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
CC="$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" \
  SHEETLAY_VERSION="$version" SHEETLAY_REQUIRE_PKG_CONFIG=1 \
  bash tests/install/install_test.sh "$build" "$build/install-test"
