#!/usr/bin/env bash
# Builds sheetlay and runs every test.
#
#   scripts/test.sh [extra CMake arguments...]
#
# Environment:
#   SHEETLAY_BUILD_DIR    build folder (default: build, beside this script's repository root)
#   SHEETLAY_CMAKE_FLAGS  more CMake arguments, split at white space
#   SHEETLAY_CORPUS_DIR   folder of real PDF files (default: ../shared/corpus beside the repository,
#                         when it exists)
#   SHEETLAY_JOBS         parallel build jobs (default: the number of processors)
#   SHEETLAY_TEST_JOBS    tests run at once (default: SHEETLAY_JOBS)
#   SHEETLAY_NO_INSTALL   1: install nothing, only list what is missing
#   SHEETLAY_TEST_EXCLUDE a regular expression of tests to leave out (ctest -E)
#
# Needs a C++ compiler, CMake, Ninja and GoogleTest; uses zlib, qpdf, poppler-utils and pikepdf when
# present (the tests that need them are reported as skipped otherwise). On Debian or Ubuntu it installs
# whatever of these is missing (apt-get, through sudo when not root).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SHEETLAY_BUILD_DIR:-$repo/build}"
jobs="${SHEETLAY_JOBS:-$(nproc 2>/dev/null || echo 2)}"

# --- what a fresh machine may lack -------------------------------------------
source "$repo/scripts/requirements.sh"

missing_build() {
  missing=()
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || missing+=(g++)
  local have_gtest=0 d
  for d in /usr/include /usr/local/include /opt/homebrew/include ${CPATH:+${CPATH//:/ }}; do
    [[ -f "$d/gtest/gtest.h" ]] && have_gtest=1
  done
  [[ $have_gtest == 1 ]] || missing+=(libgtest-dev)
}
missing_build
if ((${#missing[@]})); then
  sheetlay_install scripts/test.sh "${missing[@]}" || true
  missing_build
  ((${#missing[@]} == 0)) || sheetlay_missing_exit scripts/test.sh "${missing[@]}"
fi

# The independent judges some tests use.
missing_optional() {
  optional=()
  [[ -f /usr/include/zlib.h || -f /usr/local/include/zlib.h ]] || optional+=(zlib1g-dev)
  command -v qpdf >/dev/null 2>&1 || optional+=(qpdf)
  command -v pdftoppm >/dev/null 2>&1 || optional+=(poppler-utils)
  command -v mutool >/dev/null 2>&1 || optional+=(mupdf-tools)
  # The distribution's package serves the system's Python, which may not be the first in PATH.
  python3 -c 'import pikepdf' >/dev/null 2>&1 || /usr/bin/python3 -c 'import pikepdf' >/dev/null 2>&1 ||
    optional+=(python3-pikepdf)
}
missing_optional
if ((${#optional[@]})); then
  sheetlay_install_optional scripts/test.sh "${optional[@]}"
  missing_optional
  if ((${#optional[@]})); then
    echo "note: some tests will be skipped; for all of them install: ${optional[*]}" >&2
  fi
fi

# --- configure, build, test --------------------------------------------------
args=(-S "$repo" -B "$build" -G Ninja -DSHEETLAY_BUILD_TESTS=ON)
corpus="${SHEETLAY_CORPUS_DIR:-$(dirname "$repo")/shared/corpus}"
if [[ -d "$corpus" ]]; then
  args+=("-DSHEETLAY_CORPUS_DIR=$(cd "$corpus" && pwd)")
fi
if [[ -n "${SHEETLAY_CMAKE_FLAGS:-}" ]]; then
  read -r -a extra <<<"$SHEETLAY_CMAKE_FLAGS"
  args+=("${extra[@]}")
fi
args+=("$@")

echo "+ cmake ${args[*]}"
cmake "${args[@]}"
echo "+ cmake --build $build -j $jobs"
cmake --build "$build" -j "$jobs"
ctest_args=(--test-dir "$build" --output-on-failure -j "${SHEETLAY_TEST_JOBS:-$jobs}")
[[ -z "${SHEETLAY_TEST_EXCLUDE:-}" ]] || ctest_args+=(-E "$SHEETLAY_TEST_EXCLUDE")
echo "+ ctest ${ctest_args[*]}"
ctest "${ctest_args[@]}"
