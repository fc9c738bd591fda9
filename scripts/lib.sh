# Shared by the scripts: installing what a fresh Debian machine lacks, and
# building.  Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# ensure_packages PKG...: installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "need root to install ${missing[*]}" >&2
    return 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

build_packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev python3-jsonschema)
# The emulated-path lab: namespaces, tc, offload switches, nft rules, its own C tools,
# setpriv for the unprivileged run.
lab_packages=(python3 iproute2 ethtool nftables gcc util-linux procps)
# The Debian package and its test: cpack's dependency list (dpkg-shlibdeps,
# file), lintian, the manual pages' render check (groff), setcap/getcap.
package_packages=(dpkg-dev file lintian groff-base libcap2-bin)
# kovrin-plot's pictures.
plot_packages=(python3-matplotlib)

# configure_and_build DIR [CMAKE ARGS...] -- [TARGETS...]
configure_and_build() {
  local dir=$1; shift
  local args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  [ "${1:-}" = -- ] && shift
  targets=("$@")
  cmake -S "$repo" -B "$dir" "${args[@]}" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  if [ ${#targets[@]} -eq 0 ]; then
    cmake --build "$dir" -j "$jobs"
  else
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  fi
}
