#!/usr/bin/env bash
# The WebAssembly build and the page: scripts/web.sh installs Debian's
# emscripten and the npm packages and builds build/web; Debian's Chromium
# runs the page's tests (tests/web, node's test runner driving it through
# playwright-core); the module's output is compared byte for byte with the
# native command-line program's over the corpus.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"
jobs="$(nproc 2>/dev/null || echo 2)"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
apt_opts=(-qq -o DPkg::Lock::Timeout=600)
# Only what is missing: a Node.js from elsewhere that brings its own npm must not
# meet Debian's npm package.
packages=()
for pair in em++:emscripten chromium:chromium node:nodejs npm:npm qpdf:qpdf cmake:cmake ninja:ninja-build \
  g++:g++; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || packages+=("${pair#*:}")
done
if ((${#packages[@]})); then
  "${as_root[@]}" apt-get "${apt_opts[@]}" update
  "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends "${packages[@]}" >/dev/null
fi

# The native command-line program: the reference for the bytes and the speed. The
# benchmark stage's optimized build has one; otherwise it is built here.
native="$repo/build-ci-bench"
if [[ ! -x "$native/tools/sheetlay" ]]; then
  native="$repo/build-ci-web-native"
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSHEETLAY_BUILD_TESTS=OFF \
    -DSHEETLAY_BUILD_TOOLS=ON >/dev/null
  cmake --build "$native" -j "$jobs" --target sheetlay_cli
fi

bash scripts/web.sh

corpus="${SHEETLAY_CORPUS_DIR:-$(dirname "$repo")/shared/corpus}"
SHEETLAY_CLI="$native/tools/sheetlay"
export SHEETLAY_CLI SHEETLAY_CORPUS_DIR="$corpus"
node --test --test-concurrency=1 tests/web/identity.test.mjs tests/web/page.test.mjs
