#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and uses it the ways a user
# would: a CMake project with find_package(sheetlay), a plain compile with
# pkg-config's flags, and the installed command-line program. Then moves the
# installed tree and checks that it still works from its new place.
#
#   install_test.sh BUILD_DIR WORK_DIR
#
# Environment (set by CTest from the build's configuration):
#   CC, CFLAGS              compiler and flags for the consumers (the build's own, so that a
#                           sanitizer build links its consumers with the sanitizer runtime)
#   SHEETLAY_GENERATOR      CMake generator for the consumer project (default Ninja)
#   SHEETLAY_MAKE_PROGRAM   its build program, when not on PATH
#   SHEETLAY_VERSION        the project version
#   SHEETLAY_REQUIRE_PKG_CONFIG  when set, a missing pkg-config fails instead of skipping
set -euo pipefail

build="$(cd "$1" && pwd)"
work="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cc="${CC:-cc}"
cflags="${CFLAGS:-}"
generator="${SHEETLAY_GENERATOR:-Ninja}"
version="${SHEETLAY_VERSION:?SHEETLAY_VERSION not set}"
major="${version%%.*}"

failures=0
pass() { echo "ok   $*"; }
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"

echo "+ cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log"
  echo "FAIL cmake --install"
  exit 1
}

# Where GNUInstallDirs put things for this build.
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")"
libdir="${libdir:-lib}"

# --- the installed tree ---------------------------------------------------------
for f in include/sheetlay.h "$libdir/libsheetlay.so" "$libdir/libsheetlay.so.$major" \
  "$libdir/libsheetlay.so.$version" "$libdir/cmake/sheetlay/sheetlayConfig.cmake" \
  "$libdir/cmake/sheetlay/sheetlayConfigVersion.cmake" "$libdir/cmake/sheetlay/sheetlayTargets.cmake" \
  "$libdir/pkgconfig/sheetlay.pc"; do
  if [[ -e "$prefix/$f" ]]; then pass "installed $f"; else fail "not installed: $f"; fi
done
if [[ -f "$build/tools/sheetlay" ]]; then
  if [[ -x "$prefix/bin/sheetlay" ]]; then pass "installed bin/sheetlay"; else fail "not installed: bin/sheetlay"; fi
fi
# Nothing of the build tree may leak into the installed package files.
if grep -rqF "$build" "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig"; then
  fail "package files name the build tree $build"
else
  pass "package files do not name the build tree"
fi

# --- find_package -----------------------------------------------------------------
# consumer_cmake NAME ROOT WANTED_VERSION EXPECT(ok|fail)
consumer_cmake() {
  local name="$1" root="$2" want="$3" expect="$4" bdir="$work/cmake-$1"
  local args=(-S "$here/consumer" -B "$bdir" -G "$generator" "-DCMAKE_PREFIX_PATH=$root"
    "-DSHEETLAY_WANT_VERSION=$want" "-DCMAKE_C_COMPILER=$cc" "-DCMAKE_C_FLAGS=$cflags")
  [[ -n "${SHEETLAY_MAKE_PROGRAM:-}" ]] && args+=("-DCMAKE_MAKE_PROGRAM=$SHEETLAY_MAKE_PROGRAM")
  if ! cmake "${args[@]}" >"$bdir.log" 2>&1; then
    if [[ $expect == fail ]]; then
      pass "find_package(sheetlay $want) refused by $root"
    else
      cat "$bdir.log"
      fail "find_package(sheetlay $want) in $root"
    fi
    return
  fi
  if [[ $expect == fail ]]; then
    fail "find_package(sheetlay $want) accepted version $version"
    return
  fi
  if ! cmake --build "$bdir" >>"$bdir.log" 2>&1; then
    cat "$bdir.log"
    fail "building the find_package consumer ($name)"
    return
  fi
  local out
  if out="$("$bdir/consumer" 2>&1)" && [[ "$out" == ok ]]; then
    pass "find_package consumer runs ($name)"
  else
    fail "find_package consumer ($name): $out"
  fi
}

consumer_cmake any "$prefix" "" ok
consumer_cmake same-major "$prefix" "$major.0" ok
consumer_cmake exact "$prefix" "$version" ok
consumer_cmake next-major "$prefix" "$((major + 1))" fail

# --- pkg-config -------------------------------------------------------------------
# consumer_pc NAME ROOT
consumer_pc() {
  local name="$1" root="$2" flags ldir out
  if ! command -v pkg-config >/dev/null 2>&1; then
    if [[ -n "${SHEETLAY_REQUIRE_PKG_CONFIG:-}" ]]; then
      fail "pkg-config not found"
    else
      echo "skip pkg-config consumer ($name): pkg-config not found"
    fi
    return
  fi
  export PKG_CONFIG_PATH="$root/$libdir/pkgconfig"
  if ! flags="$(pkg-config --cflags --libs sheetlay)"; then
    fail "pkg-config --cflags --libs sheetlay ($name)"
    return
  fi
  [[ "$(pkg-config --modversion sheetlay)" == "$version" ]] ||
    fail "pkg-config --modversion: $(pkg-config --modversion sheetlay)"
  ldir="$(pkg-config --variable=libdir sheetlay)"
  # shellcheck disable=SC2086 # the flags are meant to be split
  if ! $cc $cflags "$here/consumer/consumer.c" $flags -o "$work/pc-$name" >"$work/pc-$name.log" 2>&1; then
    cat "$work/pc-$name.log"
    fail "compiling with pkg-config flags ($name): $flags"
    return
  fi
  if out="$(LD_LIBRARY_PATH="$ldir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$work/pc-$name" 2>&1)" &&
    [[ "$out" == ok ]]; then
    pass "pkg-config consumer runs ($name)"
  else
    fail "pkg-config consumer ($name): $out"
  fi
}

consumer_pc installed "$prefix"

# --- the installed program -------------------------------------------------------------
# run_cli NAME ROOT: the program must find its library without LD_LIBRARY_PATH.
run_cli() {
  local name="$1" root="$2" out
  [[ -x "$root/bin/sheetlay" ]] || return 0
  if out="$(env -u LD_LIBRARY_PATH "$root/bin/sheetlay" --version 2>&1)" &&
    [[ "$out" == "sheetlay $version" ]]; then
    pass "installed sheetlay --version ($name)"
  else
    fail "installed sheetlay --version ($name): $out"
  fi
  # A failure goes through the library and comes back with its message.
  out="$(env -u LD_LIBRARY_PATH "$root/bin/sheetlay" "$work/no-such.pdf" "$work/out.pdf" 2>&1)" && true
  if [[ "$out" == "sheetlay: cannot open $work/no-such.pdf" ]]; then
    pass "installed sheetlay reports the library's error ($name)"
  else
    fail "installed sheetlay on a missing file ($name): $out"
  fi
}

run_cli installed "$prefix"

# --- the same tree moved elsewhere ---------------------------------------------------
moved="$work/moved/elsewhere"
mkdir -p "$(dirname "$moved")"
mv "$prefix" "$moved"
consumer_cmake moved "$moved" "" ok
consumer_pc moved "$moved"
run_cli moved "$moved"

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all install checks passed"
