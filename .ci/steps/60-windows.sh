#!/usr/bin/env bash
# Windows: cross-compiles sheetlay.dll, sheetlay.exe and the Windows API tests with Debian's
# mingw-w64 toolchain (cmake/mingw-w64-x86_64.cmake), checks that the DLL exports exactly the six
# functions of the public header and needs no DLL beyond Windows' own, runs the API tests and the
# command-line tests under Wine, and checks what `cmake --install` puts in a Windows tree.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"
jobs="$(nproc 2>/dev/null || echo 2)"
build="${SHEETLAY_MINGW_BUILD_DIR:-$repo/build-ci-mingw}"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
apt_opts=(-qq -o DPkg::Lock::Timeout=600)
if ! "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 googletest \
  cmake ninja-build python3 qpdf poppler-utils >/dev/null; then
  "${as_root[@]}" apt-get "${apt_opts[@]}" update
  "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends \
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 googletest \
    cmake ninja-build python3 qpdf poppler-utils >/dev/null
fi
x86_64-w64-mingw32-g++-posix --version | head -n 1

# --- build -------------------------------------------------------------------
cmake -S tests/win -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" -j "$jobs"

echo "sheetlay.dll exports:"
x86_64-w64-mingw32-objdump -p "$build/sheetlay/sheetlay.dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p'

# --- Wine --------------------------------------------------------------------------
# A fresh prefix, no display, no prompts to install Mono or Gecko.
tmp="$(mktemp -d)"
export WINEPREFIX="$tmp/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver_bin="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"
cleanup() {
  "$wineserver_bin" -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
wine_bin="$(command -v wine || echo /usr/lib/wine/wine64)"
# One server with its services for the whole step, started detached from this script's output:
# every program then starts in a fraction of a second (instead of about two), and no Wine process
# keeps CTest's output pipes open.
mkdir -p "$WINEPREFIX"
"$wineserver_bin" -p </dev/null >/dev/null 2>&1
"$wine_bin" wineboot --init </dev/null >/dev/null 2>&1 || true

ctest --test-dir "$build" --output-on-failure

# --- the installed Windows tree ---------------------------------------------------
prefix="$tmp/install"
cmake --install "$build" --prefix "$prefix" >/dev/null
missing=0
for f in bin/sheetlay.dll bin/sheetlay.exe include/sheetlay.h lib/libsheetlay.dll.a \
  lib/cmake/sheetlay/sheetlayConfig.cmake lib/cmake/sheetlay/sheetlayConfigVersion.cmake \
  lib/cmake/sheetlay/sheetlayTargets.cmake lib/pkgconfig/sheetlay.pc; do
  if [[ ! -f "$prefix/$f" ]]; then
    echo "not installed: $f" >&2
    missing=1
  fi
done
((missing == 0))
out="$("$wine_bin" "$prefix/bin/sheetlay.exe" --version </dev/null | tr -d '\r')"
[[ "$out" == "sheetlay $(sed -n 's/^project(sheetlay VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]] || {
  echo "installed sheetlay.exe --version printed: $out" >&2
  exit 1
}
echo "Windows build, exports, Wine tests and installed tree: ok"
