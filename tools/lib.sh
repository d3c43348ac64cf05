# Shared steps of tools/run and tools/test; sourced, not run.

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the packages listed in tools/packages (plus any given) that are missing.
install_missing_packages() {
  local wanted missing=()
  wanted=$(grep -v '^#' "$top/tools/packages"; printf '%s\n' "$@")
  for pkg in $wanted; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local line="apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. As root, run: apt-get update && $line" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && $line
}

# configure_and_build BUILD_DIR CMAKE_ARGS... -- TARGETS...
configure_and_build() {
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift
  targets=("$@")
  # A compiler cache, where installed, shares objects between build trees.
  if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$top")}
    # Sanitizer builds carry debug information; without this the build
    # folder's own path would keep another clone's objects from being reused.
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  fi
  cmake -S "$top" -B "$dir" "${args[@]}"
  if [ ${#targets[@]} -eq 0 ]; then
    cmake --build "$dir" -j "$(nproc)"
  else
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
  fi
}
