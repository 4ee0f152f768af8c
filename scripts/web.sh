#!/usr/bin/env bash
# Builds the WebAssembly module and the page that n-ups PDF files inside the
# browser:
#
#   scripts/web.sh                 ->  build/web/ (sheetlay.js + sheetlay.wasm, the
#                                      JavaScript wrapper sheetlay-api.js, index.html)
#   scripts/web.sh --serve [PORT]  builds, then serves build/web on http://127.0.0.1:PORT/
#                                  (default 8080) until interrupted
#
# Environment:
#   SHEETLAY_WEB_DIR      output folder (default: build/web beside this script's repository root)
#   SHEETLAY_JOBS         parallel compile jobs (default: the number of processors)
#   SHEETLAY_NO_INSTALL   1: install nothing, only list what is missing
#
# Needs Debian's emscripten (3.1.6), CMake, Ninja, Node.js and npm; the page's
# viewer (pdfjs-dist) and the browser tests' driver (playwright-core) come
# from npm into tests/web/node_modules. On Debian or Ubuntu whatever is
# missing is installed (apt-get, through sudo when not root; npm ci).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${SHEETLAY_WEB_DIR:-$repo/build/web}"
objs="$repo/build/web-objects"
jobs="${SHEETLAY_JOBS:-$(nproc 2>/dev/null || echo 2)}"

serve=0
port=8080
while (($#)); do
  case "$1" in
    --serve)
      serve=1
      if [[ "${2:-}" =~ ^[0-9]+$ ]]; then
        port="$2"
        shift
      fi
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "scripts/web.sh: unknown argument $1 (try --help)" >&2
      exit 2
      ;;
  esac
  shift
done

source "$repo/scripts/requirements.sh"

missing_web() {
  missing=()
  command -v em++ >/dev/null 2>&1 || missing+=(emscripten)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
  command -v node >/dev/null 2>&1 || missing+=(nodejs)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
}
missing_web
if ((${#missing[@]})); then
  sheetlay_install scripts/web.sh "${missing[@]}" || true
  missing_web
  ((${#missing[@]} == 0)) || sheetlay_missing_exit scripts/web.sh "${missing[@]}"
fi

# The npm packages: the page's PDF viewer and the tests' browser driver.
npm_dir="$repo/tests/web"
if [[ ! -f "$npm_dir/node_modules/pdfjs-dist/build/pdf.min.mjs" ||
  ! -d "$npm_dir/node_modules/playwright-core" ||
  "$npm_dir/package-lock.json" -nt "$npm_dir/node_modules/.package-lock.json" ]]; then
  if [[ "${SHEETLAY_NO_INSTALL:-0}" == 1 ]]; then
    echo "scripts/web.sh: missing npm packages (pdfjs-dist, playwright-core) in tests/web" >&2
    echo "(SHEETLAY_NO_INSTALL=1: nothing was installed.) Install them with:" >&2
    echo "  (cd tests/web && npm ci)" >&2
    exit 1
  fi
  echo "scripts/web.sh: installing the npm packages of tests/web (npm ci)" >&2
  (cd "$npm_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi

# emscripten's optimizer finds its JavaScript parser among Debian's Node.js modules.
export NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}"
# Keep emscripten's cache inside the build folder when the system one is not writable.
if [[ -z "${EM_CACHE:-}" && ! -w /usr/share/emscripten/cache ]]; then
  export EM_CACHE="$repo/build/emscripten-cache"
fi

# --- the library's objects, compiled by emcc ----------------------------------
# The library uses C++ exceptions inside (never across the C boundary):
# WebAssembly's own exception handling keeps them cheap.
eh=-fwasm-exceptions
echo "+ emcmake cmake -S $repo -B $objs"
emcmake cmake -S "$repo" -B "$objs" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DSHEETLAY_BUILD_TESTS=OFF -DSHEETLAY_BUILD_TOOLS=OFF \
  "-DCMAKE_C_FLAGS=$eh" "-DCMAKE_CXX_FLAGS=$eh" >/dev/null
echo "+ cmake --build $objs --target sheetlay_objs -j $jobs"
cmake --build "$objs" --target sheetlay_objs -j "$jobs"

mapfile -t objects < <(find "$objs/CMakeFiles/sheetlay_objs.dir" -name '*.o' | sort)
((${#objects[@]})) || { echo "scripts/web.sh: no objects were built" >&2; exit 1; }

# The exports: the options interface, and the several-inputs call once the
# library has it.
exports=(_sheetlay_nup_mem _sheetlay_free _sheetlay_version _sheetlay_options_init _sheetlay_web_fields
  _malloc _free)
for f in sheetlay_options_init_sized sheetlay_nup_inputs_mem; do
  if grep -rqsE --include='*.cpp' "^SHEETLAY_API .*\b$f\(" "$repo/src"; then
    exports+=("_$f")
  fi
done
export_list="$(printf "'%s'," "${exports[@]}")"
export_list="[${export_list%,}]"

# The wrapper's table of the options structure's offsets in this build.
emcc -O2 -I"$repo/include" -c "$repo/web/fields.c" -o "$objs/fields.o"

mkdir -p "$out"
echo "+ em++ -> $out/sheetlay.js, sheetlay.wasm"
em++ -O3 $eh "${objects[@]}" "$objs/fields.o" -o "$out/sheetlay.js" \
  -sMODULARIZE=1 -sEXPORT_ES6=1 -sEXPORT_NAME=createSheetlay \
  -sENVIRONMENT=web,worker,node -sALLOW_MEMORY_GROWTH=1 -sINITIAL_MEMORY=33554432 \
  -sFILESYSTEM=0 -sNODEJS_CATCH_EXIT=0 -sNODEJS_CATCH_REJECTION=0 \
  "-sEXPORTED_FUNCTIONS=$export_list" \
  "-sEXPORTED_RUNTIME_METHODS=['UTF8ToString','stringToUTF8','lengthBytesUTF8']"

wasm_size="$(stat -c %s "$out/sheetlay.wasm")"
echo "sheetlay.wasm: $wasm_size bytes"
if ((wasm_size >= 1048576)); then
  echo "scripts/web.sh: sheetlay.wasm is not under 1 MB" >&2
  exit 1
fi

# --- the page --------------------------------------------------------------------
cp "$repo"/web/index.html "$repo"/web/app.js "$repo"/web/worker.js "$repo"/web/style.css \
  "$repo"/web/sheetlay-api.js "$out/"
cp "$npm_dir/node_modules/pdfjs-dist/build/pdf.min.mjs" \
  "$npm_dir/node_modules/pdfjs-dist/build/pdf.worker.min.mjs" "$out/"
cp "$npm_dir/node_modules/pdfjs-dist/LICENSE" "$out/pdfjs-LICENSE.txt"
# sheetlay.js and the wrapper are ES modules; Node reads .js files as such
# only with this beside them.
printf '{ "type": "module" }\n' >"$out/package.json"

echo
echo "The page:      $out/index.html"
echo "The module:    $out/sheetlay.js + sheetlay.wasm (wrapper: sheetlay-api.js)"

if ((serve)); then
  echo
  exec node "$repo/web/serve.js" "$out" "$port"
fi
