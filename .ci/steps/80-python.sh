#!/usr/bin/env bash
# The Python package: builds the Linux wheel (no network: --no-isolation uses Debian's
# setuptools and wheel), installs that wheel with pip into a fresh virtual environment of
# Debian's interpreter and runs the Python tests with pytest against the installation from a
# folder outside the clone; builds the Windows wheel (cross-built with mingw-w64); checks both
# wheels' names and listings. The Linux library is built once: the wheel pip installs is the
# one whose listing is checked (a pip install from the source folder would only build the
# same wheel again).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$repo"

export DEBIAN_FRONTEND=noninteractive
as_root=()
[[ "$(id -u)" == 0 ]] || as_root=(sudo)
apt_opts=(-qq -o DPkg::Lock::Timeout=600)
packages=(python3 python3-venv python3-pip python3-pytest python3-setuptools python3-wheel
  python3-build cmake ninja-build g++ binutils poppler-utils
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64)
if ! "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends "${packages[@]}" >/dev/null; then
  "${as_root[@]}" apt-get "${apt_opts[@]}" update
  "${as_root[@]}" apt-get "${apt_opts[@]}" install -y --no-install-recommends "${packages[@]}" >/dev/null
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
version="$(sed -n 's/^project(sheetlay VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
export SHEETLAY_JOBS="${SHEETLAY_JOBS:-$(nproc 2>/dev/null || echo 2)}"
unset SHEETLAY_LIBRARY PYTHONPATH

# --- the Linux wheel, pip-installed into a fresh environment, tests from outside the clone ---
/usr/bin/python3 -m build --wheel --no-isolation --outdir "$tmp/dist" "$repo" >"$tmp/build.log" 2>&1 ||
  { cat "$tmp/build.log"; exit 1; }
linux_wheel="$tmp/dist/sheetlay-$version-py3-none-linux_x86_64.whl"
[[ -f "$linux_wheel" ]] || { ls -l "$tmp/dist" >&2; echo "missing wheel: $linux_wheel" >&2; exit 1; }
/usr/bin/python3 -m venv --system-site-packages "$tmp/venv"
# --no-index: the wheel needs nothing from a package index (it has no dependencies).
"$tmp/venv/bin/python" -m pip install --no-index "$linux_wheel"
mkdir "$tmp/tests"
cp python/tests/*.py "$tmp/tests/"
(
  cd "$tmp/tests"
  SHEETLAY_TEST_INSTALLED=1 "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider .
)

# --- the Windows wheel, then both wheels' listings ---------------------------------------
SHEETLAY_WHEEL_TARGET=win_amd64 \
  /usr/bin/python3 -m build --wheel --no-isolation --outdir "$tmp/dist" "$repo" >"$tmp/build-win.log" 2>&1 ||
  { cat "$tmp/build-win.log"; exit 1; }
ls -l "$tmp/dist"

check_wheel() { # wheel file, then the files it must hold beside the Python ones
  local wheel="$1"
  shift
  [[ -f "$wheel" ]] || { echo "missing wheel: $wheel" >&2; exit 1; }
  /usr/bin/python3 - "$wheel" "$@" <<'PY'
import glob, os, sys, zipfile
wheel, binaries = sys.argv[1], sys.argv[2:]
names = set(zipfile.ZipFile(wheel).namelist())
python = {"sheetlay/" + os.path.basename(p) for p in glob.glob("python/sheetlay/*.py")}
python |= {"sheetlay/_version.py", "sheetlay/py.typed"}
want = python | {"sheetlay/" + b for b in binaries}
missing = want - names
package = {n for n in names if n.startswith("sheetlay/")}
extra = package - want
meta = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
print(wheel.rsplit("/", 1)[-1] + ":\n  " + "\n  ".join(sorted(names)))
if missing or extra or len(meta) != 1:
    sys.exit("wrong listing: missing %s, unexpected %s" % (sorted(missing), sorted(extra)))
entry = zipfile.ZipFile(wheel).read(meta[0]).decode()
if "sheetlay = sheetlay.__main__:main" not in entry:
    sys.exit("no sheetlay command in " + meta[0])
PY
}
check_wheel "$tmp/dist/sheetlay-$version-py3-none-linux_x86_64.whl" libsheetlay.so.0 sheetlay
check_wheel "$tmp/dist/sheetlay-$version-py3-none-win_amd64.whl" sheetlay.dll sheetlay.exe

# The Windows binaries need no DLL beyond Windows' own.
mkdir "$tmp/win"
(cd "$tmp/win" && /usr/bin/python3 -m zipfile -e "$tmp/dist/sheetlay-$version-py3-none-win_amd64.whl" .)
for f in sheetlay.dll sheetlay.exe; do
  dlls="$(x86_64-w64-mingw32-objdump -p "$tmp/win/sheetlay/$f" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)"
  echo "$f imports: $(echo $dlls)"
  if grep -Eq 'libstdc|libgcc|libwinpthread' <<<"$dlls"; then
    echo "$f needs a runtime DLL beside it" >&2
    exit 1
  fi
done
echo "Python package, tests and wheels: ok"
