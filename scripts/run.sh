#!/usr/bin/env bash
# Builds sheetlay (library, command-line program, example generator and, when
# GoogleTest is installed, the tests), writes the bundled example document and
# makes its 4-up version with the command-line program:
#
#   scripts/run.sh        ->  build/example.pdf and build/example-4up.pdf
#
# Environment:
#   SHEETLAY_BUILD_DIR    build folder (default: build, beside this script's repository root)
#   SHEETLAY_JOBS         parallel build jobs (default: the number of processors)
#   SHEETLAY_NO_INSTALL   1: install nothing, only list what is missing
#
# Needs a C++ compiler, CMake and Ninja. On Debian or Ubuntu it installs them
# when they are missing (apt-get, through sudo when not root).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SHEETLAY_BUILD_DIR:-$repo/build}"
jobs="${SHEETLAY_JOBS:-$(nproc 2>/dev/null || echo 2)}"

source "$repo/scripts/requirements.sh"

missing_build() {
  missing=()
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
}
missing_build
if ((${#missing[@]})); then
  sheetlay_install scripts/run.sh "${missing[@]}" || true
  missing_build
  ((${#missing[@]} == 0)) || sheetlay_missing_exit scripts/run.sh "${missing[@]}"
fi

# The test suite needs GoogleTest; without it build the product alone.
tests=ON
if [[ ! -f /usr/include/gtest/gtest.h && ! -f /usr/local/include/gtest/gtest.h ]]; then
  tests=OFF
  echo "note: GoogleTest not found, the tests are not built (install libgtest-dev for scripts/test.sh)" >&2
fi

echo "+ cmake -S $repo -B $build -G Ninja -DSHEETLAY_BUILD_TOOLS=ON -DSHEETLAY_BUILD_TESTS=$tests"
cmake -S "$repo" -B "$build" -G Ninja -DSHEETLAY_BUILD_TOOLS=ON "-DSHEETLAY_BUILD_TESTS=$tests" >/dev/null
echo "+ cmake --build $build -j $jobs"
cmake --build "$build" -j "$jobs"

example="$build/example.pdf"
output="$build/example-4up.pdf"
echo "+ $build/tools/make_example $example"
"$build/tools/make_example" "$example"
echo "+ $build/tools/sheetlay -n 4 $example $output"
rm -f "$output"
"$build/tools/sheetlay" -n 4 "$example" "$output"

echo
echo "The example document:  $example"
echo "Its 4-up version:      $output"
