#!/usr/bin/env bash
# Fuzz smoke runs: builds the libFuzzer targets with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer on) and runs each one for a bounded time,
# seeded from generated files and from the real-world corpus. A crash, a
# sanitizer report, a timeout or running out of memory fails the step; the
# offending input is printed (base64) so that it can be turned into a test.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"
build="${SHEETLAY_FUZZ_BUILD_DIR:-$repo/build-ci-fuzz}"
seconds="${SHEETLAY_FUZZ_SECONDS:-20}"
jobs="$(nproc 2>/dev/null || echo 2)"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
"${as_root[@]}" apt-get -qq -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
  clang libclang-rt-14-dev >/dev/null
clang++ --version | head -n 1

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSHEETLAY_FUZZ=ON -DSHEETLAY_BUILD_TESTS=OFF -DSHEETLAY_BUILD_TOOLS=OFF
cmake --build "$build" -j "$jobs" --target fuzz_inflate fuzz_deflate fuzz_filters fuzz_security fuzz_nup fuzz_options fuzz_object \
  fuzz_decimal fuzz_content fuzz_tokens fuzz_repair fuzz_fontprog fuzz_make_seeds

# Seeds: generated files, plus the corpus (../shared/corpus beside the clone).
rm -rf "$build/seeds" "$build/work" "$build/artifacts" "$build"/fuzz_*.rc
targets=(fuzz_inflate fuzz_deflate fuzz_filters fuzz_security fuzz_nup fuzz_options fuzz_object fuzz_decimal
  fuzz_content fuzz_tokens fuzz_repair fuzz_fontprog)
for target in "${targets[@]}"; do
  mkdir -p "$build/seeds/${target#fuzz_}" "$build/work/${target#fuzz_}"
done
mkdir -p "$build/artifacts"
"$build/fuzz/fuzz_make_seeds" "$build/seeds/inflate" "$build/seeds/nup" "$build/seeds/deflate" \
  "$build/seeds/filters" "$build/seeds/fontprog"
cp fuzz/seeds/security/* "$build/seeds/security/"
# Object texts with each kind of damage the repair mends.
cp fuzz/seeds/repair/* "$build/seeds/repair/"
# Small encrypted files (RC4, AES-128 with object streams, AES-256), user
# password "user", which fuzz_nup tries.
cp fuzz/seeds/nup/* "$build/seeds/nup/"
corpus="${SHEETLAY_CORPUS_DIR:-$(dirname "$repo")/shared/corpus}"
if [[ -d "$corpus" ]]; then
  find "$corpus" -maxdepth 1 -name '*.pdf' -exec cp {} "$build/seeds/nup/" \;
fi
# The options target starts from the same documents.
cp "$build/seeds/nup/"* "$build/seeds/options/"
# Annotation dictionaries for the value parser and the appearance builder:
# the annotation, then the /AcroForm dictionary, then objects 1, 2, ...
n=0
while IFS= read -r line; do
  n=$((n + 1))
  printf '%s' "$line" >"$build/seeds/object/seed$n"
done <<'SEEDS'
<< /Subtype /Widget /FT /Tx /Rect [0 0 100 20] /DA (/Helv 0 Tf 0 g) /V (Hello) /Q 2 >> << /DR << /Font << /Helv 1 0 R >> >> >> << /BaseFont /Helvetica /Widths [500 600] /FirstChar 65 >>
<< /Subtype /Widget /FT /Tx /Ff 16777216 /MaxLen 5 /Rect [0 0 100 20] /V (12345) /MK << /R 90 /BG [1] /BC [0 0 1] >> >>
<< /Subtype /Widget /FT /Tx /Ff 4096 /Rect [0 0 60 100] /V <FEFF0041004200430020004400450046> /Parent 1 0 R >> null << /DA (/F1 9 Tf 1 0 0 rg) /Parent 1 0 R >>
<< /Subtype /Widget /FT /Btn /Rect [0 0 20 20] /AS /Yes /AP << /N << /Yes 1 0 R >> >> /MK << /CA (8) >> >> null << /Length 0 >>
<< /Subtype /Widget /FT /Ch /Ff 131072 /Rect [0 0 100 20] /Opt [[(a) (Apple)] (b)] /V (a) >>
<< /Subtype /Widget /FT /Ch /Rect [0 0 100 60] /Opt [(a) (b) (c)] /V [(b)] /I [0] /TI 1 >>
<< /Subtype /Highlight /Rect [0 0 100 20] /QuadPoints [0 20 100 20 0 0 100 0] /C [1 1 0] /CA 0.5 >>
<< /Subtype /Squiggly /Rect [0 0 100 20] /QuadPoints [0 20 100 20 0 0 100 0] >>
<< /Subtype /Ink /Rect [0 0 100 100] /InkList [[0 0 50 50 100 0] [3 3]] /BS << /W 2 /S /D /D [3 1] >> >>
<< /Subtype /Circle /Rect [0 0 100 50] /IC [0 0 0 1] /C [1 0 0] >>
<< /Subtype /Polygon /Rect [0 0 100 100] /Vertices [0 0 100 0 50 100] /Border [0 0 2] >>
<< /Subtype /FreeText /Rect [0 0 200 50] /DA (/Helv 12 Tf 0 0 1 rg) /Contents (Some text\r\nand more) /Q 1 /C [0.9] >>
<< /Subtype /Text /Rect [0 0 20 20] /C [1 0 0] >>
<< /Subtype /Line /Rect [0 0 100 100] /L [0 0 100 100] >>
[1 2 0 R (a\)b\\c\101) <41 42> /N#20x 3.5 -.2 true false null << /K [[[]]] >>]
SEEDS
# Reals around rounding points for the decimal conversions.
n=0
for seed in 595.2756 0.03125 9007199254740993 12345.67895 0.000000000000000000000000001 .5 5.; do
  n=$((n + 1))
  printf '%s' "$seed" >"$build/seeds/decimal/seed$n"
done
# Content streams for the interpreter: every operator family once.
n=0
while IFS= read -r line; do
  n=$((n + 1))
  printf '%s' "$line" >"$build/seeds/content/seed$n"
done <<'SEEDS'
q 2 0 0 2 10 10 cm 0 0 m 10 10 l 20 0 30 10 40 0 c 5 5 v 6 6 y h 1 w 2 J 0 j 4 M S 0 0 10 10 re W n f* B b* Q
BT /F1 12 Tf 14 TL 1 Tc 2 Tw 90 Tz 3 Ts 0 Tr 10 10 Td (ab c) Tj T* [(a) -200 (b)] TJ (x) ' 1 2 (y) " 0 -14 TD 1 0 0 1 5 5 Tm ET
BT /F3 10 Tf <00010005> Tj /F4 10 Tf (abab) Tj /F2 9 Tf 7 Tr (z) Tj ET /Fm2 Do /Fm1 Do /Sh sh
1 g 0 0 1 1 re f 1 1 1 rg 0 0 0 0 k /CS0 cs 0 scn BI /W 2 /H 2 /CS /G /BPC 8 ID abcd EI 0.5 G 1 1 1 RG 0 0 0 0 K
SEEDS
# The tokeniser reads the same streams.
cp "$build/seeds/content/"* "$build/seeds/tokens/"
for target in "${targets[@]}"; do
  echo "seeds: ${target#fuzz_} $(ls "$build/seeds/${target#fuzz_}" | wc -l)"
done

export TMPDIR="$build/work"
# Each libFuzzer run uses one core, so the targets run $jobs (the number of processors) at a
# time, each for its own full ${seconds}s; the reports follow in the targets' order. Every
# run writes its output file under its own process id, so runs at once do not collide.
fuzz_one() { # target: runs it, leaves its exit status in $build/<target>.rc
  local target="$1" name="${1#fuzz_}" rc=0
  "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$build/work/$name" "$build/seeds/$name" >"$build/$target.log" 2>&1 || rc=$?
  echo "$rc" >"$build/$target.rc"
}
running=0
for target in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  echo "+ $target for ${seconds}s"
  fuzz_one "$target" &
  running=$((running + 1))
done
wait
failed=0
for target in "${targets[@]}"; do
  log="$build/$target.log"
  rc="$(cat "$build/$target.rc" 2>/dev/null || echo missing)"
  echo "= $target"
  grep -E '^(Done|stat::)' "$log" || true
  shopt -s nullglob
  found=("$build/artifacts/$target-"*)
  shopt -u nullglob
  if [[ $rc != 0 || ${#found[@]} != 0 ]]; then
    failed=1
    echo "!! $target failed (exit $rc); the end of its log:"
    tail -n 80 "$log"
    for f in "${found[@]}"; do
      echo "!! input $(basename "$f") ($(wc -c <"$f") bytes), base64:"
      base64 "$f"
    done
  fi
done
rm -rf "$build/work"
exit $failed
