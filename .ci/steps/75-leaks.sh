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
# Unoptimized enough for valgrind's exact reports (-O1 -g). The units are compiled $jobs at a
# time (one g++ call for all of them would use one core), then linked.
jobs="$(nproc 2>/dev/null || echo 2)"
mkdir -p "$build/obj"
{ find src -name '*.cpp' | sort; echo tests/support/pdfgen.cpp; echo fuzz/leak_driver.cpp; } |
  while IFS= read -r src; do printf '%s\0%s\0' "$src" "$build/obj/$(tr / _ <<<"${src%.cpp}").o"; done |
  xargs -0 -n 2 -P "$jobs" sh -c 'g++ -std=c++20 -O1 -g -Iinclude -Isrc -Itests -Ifuzz -c "$0" -o "$1"'
g++ "$build"/obj/*.o -o "$build/leak_driver"
corpus="${SHEETLAY_CORPUS_DIR:-$(dirname "$repo")/shared/corpus}"
files=()
if [[ -d "$corpus" ]]; then
  # Largest first, so that the processes below get about equal shares.
  while IFS= read -r f; do files+=("$f"); done < <(find "$corpus" -maxdepth 1 -name '*.pdf' -printf '%s %p\n' |
    sort -k1,1nr -k2 | cut -d' ' -f2-)
fi
# The work is split over $jobs valgrind processes that run at once: each takes its share of
# the hostile cases (--hostile=K/N: every N-th case; the set takes about twice as long as the
# whole corpus) and of the corpus files, dealt out largest first. Each process drives its
# inputs through every layout and the failure paths, and valgrind checks each process at its
# exit, so every input is covered as in one long run, on all cores.
groups=()
for ((g = 0; g < jobs; g++)); do groups+=("--hostile=$g/$jobs"); done
g=0
for f in "${files[@]}"; do
  groups[$g]+=$'\n'"$f"
  g=$(((g + 1) % jobs))
done
valgrind_group() { # group number; its inputs are the lines of groups[number]
  local n="$1" rc=0 args=()
  mapfile -t args <<<"${groups[$n]}"
  mkdir -p "$build/tmp/$n"
  valgrind -q --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 \
    "$build/leak_driver" "$build/tmp/$n" "${args[@]}" >"$build/valgrind-$n.log" 2>&1 || rc=$?
  echo "$rc" >"$build/valgrind-$n.rc"
}
echo "+ valgrind leak_driver: the hostile cases and ${#files[@]} corpus files, in $jobs processes"
for n in "${!groups[@]}"; do
  valgrind_group "$n" &
done
wait
failed=0
for n in "${!groups[@]}"; do
  rc="$(cat "$build/valgrind-$n.rc" 2>/dev/null || echo missing)"
  echo "process $n: $(grep '^leak_driver:' "$build/valgrind-$n.log" || echo 'no summary')"
  if [[ $rc != 0 ]]; then
    failed=1
    echo "!! valgrind leak_driver failed (exit $rc) on:" ${groups[$n]}
    cat "$build/valgrind-$n.log"
  fi
done
((failed == 0))
rm -rf "$build"
