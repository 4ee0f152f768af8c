#!/usr/bin/env bash
# Leak checks.
#   1. LeakSanitizer: the ASan build of the tests (stage 3 of .ci/run) finds
#      leaks only when LeakSanitizer works on this machine (it does not under
#      some ptrace restrictions). A program that leaks on purpose must be
#      caught with the options stage 3 uses.
#   2. valgrind: a driver calls the public interface over the corpus and the
#      damaged and hostile files of the robustness tests (2-up, framed 4-up,
#      A4 9-up, and a bad n that fails after loading); valgrind must report
#      no leak and no memory error, on success and failure paths alike.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"
build="$repo/build-ci-leaks"
rm -rf "$build"
mkdir -p "$build/tmp"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
"${as_root[@]}" apt-get -qq -o DPkg::Lock::Timeout=600 install -y --no-install-recommends valgrind >/dev/null
valgrind --version

# --- 1. LeakSanitizer is live --------------------------------------------------
cat >"$build/leak.cpp" <<'CPP'
#include <cstdlib>
void *volatile sink;
int main() { sink = std::malloc(40); sink = nullptr; return 0; }
CPP
g++ -fsanitize=address,undefined -fno-omit-frame-pointer -O1 "$build/leak.cpp" -o "$build/leak"
set +e
out="$(ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" "$build/leak" 2>&1)"
rc=$?
set -e
if [[ $rc == 0 || "$out" != *"LeakSanitizer: detected memory leaks"* ]]; then
  echo "LeakSanitizer does not report leaks here (exit $rc); the ASan test run cannot find leaks" >&2
  echo "$out" >&2
  exit 1
fi
echo "LeakSanitizer: live (a planted leak was reported)"

# --- 2. valgrind over the corpus and the hostile files ----------------------------
g++ -std=c++20 -O1 -g -Iinclude -Isrc -Itests -Ifuzz $(find src -name '*.cpp' | sort) tests/support/pdfgen.cpp \
  fuzz/leak_driver.cpp -o "$build/leak_driver"
corpus="${SHEETLAY_CORPUS_DIR:-$(dirname "$repo")/shared/corpus}"
files=()
if [[ -d "$corpus" ]]; then
  shopt -s nullglob
  files=("$corpus"/*.pdf)
  shopt -u nullglob
fi
echo "+ valgrind leak_driver --hostile (${#files[@]} corpus files)"
valgrind -q --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 \
  "$build/leak_driver" "$build/tmp" --hostile "${files[@]}"
rm -rf "$build"
