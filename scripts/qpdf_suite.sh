#!/bin/bash
# Runs every .pdf under a folder (qpdf's own test files, from
# `apt-get source qpdf`) through the command line with its defaults (4-up,
# compact output) and sorts the results: clean under `qpdf --check`,
# refused (messages grouped), accepted with warnings (listed), crashed or
# timed out. Usage: scripts/qpdf_suite.sh BUILD_DIR FOLDER [SECONDS]
set -u
build=${1:?build folder}
dir=${2:?folder of test files}
limit=${3:-20}
cli="$build/tools/sheetlay"
[ -x "$cli" ] || cli="$build/sheetlay"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clean=0 refused=0 warned=0 crashed=0 total=0
: >"$work/refused" ; : >"$work/warned"
while IFS= read -r -d '' f; do
    total=$((total + 1))
    out="$work/out.pdf"
    rm -f "$out"
    msg=$(timeout "$limit" "$cli" --no-progress "$f" "$out" 2>&1)
    rc=$?
    if [ $rc -eq 1 ]; then
        refused=$((refused + 1))
        printf '%s\t%s\n' "$(echo "$msg" | sed 's/[0-9][0-9]*/N/g')" "$f" >>"$work/refused"
        continue
    fi
    if [ $rc -ne 0 ]; then
        crashed=$((crashed + 1)); echo "CRASH/TIMEOUT rc=$rc $f"; continue
    fi
    chk=$(timeout 60 qpdf --check "$out" 2>&1); crc=$?
    if [ $crc -eq 0 ]; then clean=$((clean + 1)); else
        warned=$((warned + 1))
        printf '%s\n%s\n' "== $f (rc $crc)" "$(echo "$chk" | grep -v '^checking\|^PDF Version\|^File is not\|^No syntax\|^File is\|^R = \|^P = \|^User pass\|^extract\|^print\|^modify\|^stream encryption\|^string encryption\|^file encryption\|^Supplied\|^Table' | head -5)" >>"$work/warned"
    fi
done < <(find "$dir" -name '*.pdf' -print0 | sort -z)
echo "files: $total  clean: $clean  refused: $refused  warnings: $warned  crashed/timed out: $crashed"
echo "--- refused, grouped"
cut -f1 "$work/refused" | sort | uniq -c | sort -rn
echo "--- refused files"
cat "$work/refused"
echo "--- accepted with warnings"
cat "$work/warned"
