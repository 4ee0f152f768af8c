# shellcheck shell=bash
# Sourced by scripts/run.sh and scripts/test.sh: installs what a fresh
# Debian or Ubuntu machine lacks to build and test sheetlay.
#
#   sheetlay_install WHO PACKAGE...
#
# says what it installs and installs it with apt-get (through sudo when not
# root), running `apt-get update` once first. Returns non-zero when it may
# not (SHEETLAY_NO_INSTALL=1), cannot (no apt-get, not root and no sudo) or
# the installation failed; the caller then lists what is missing.

sheetlay_apt_updated=0

sheetlay_install() {
  local who="$1"
  shift
  (($#)) || return 0
  [[ "${SHEETLAY_NO_INSTALL:-0}" != 1 ]] || return 1
  command -v apt-get >/dev/null 2>&1 || return 1
  local as_root=()
  if [[ "$(id -u)" != 0 ]]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "$who: not root and sudo is missing: cannot install $*" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  # Wait for a package manager that is already running instead of failing at once.
  local apt=(${as_root[@]+"${as_root[@]}"} env DEBIAN_FRONTEND=noninteractive apt-get -qq
    -o DPkg::Lock::Timeout=600)
  echo "$who: installing $* (${as_root[*]:+${as_root[*]} }apt-get install -y)" >&2
  if [[ $sheetlay_apt_updated == 0 ]]; then
    "${apt[@]}" update >&2 || return 1
    sheetlay_apt_updated=1
  fi
  "${apt[@]}" install -y --no-install-recommends "$@" >/dev/null
}

# Installs optional packages: all at once, else each on its own (one that
# the distribution lacks must not keep the others out). Never fails.
sheetlay_install_optional() {
  local who="$1"
  shift
  (($#)) || return 0
  sheetlay_install "$who" "$@" && return 0
  [[ "${SHEETLAY_NO_INSTALL:-0}" != 1 ]] && command -v apt-get >/dev/null 2>&1 || return 0
  (($# > 1)) || return 0
  local p
  for p in "$@"; do
    sheetlay_install "$who" "$p" || true
  done
}

# Exit with the list of required packages still missing.
sheetlay_missing_exit() {
  local who="$1"
  shift
  echo "$who: missing build requirements: $*" >&2
  if [[ "${SHEETLAY_NO_INSTALL:-0}" == 1 ]]; then
    echo "(SHEETLAY_NO_INSTALL=1: nothing was installed.)" >&2
  fi
  echo "On Debian or Ubuntu install them with:" >&2
  echo "  sudo apt-get install $*" >&2
  exit 1
}
