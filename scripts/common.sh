# Shared by run.sh and test.sh: install what is missing, then build.
# Sourced, not run. Every step is skipped when its work is already done.
set -euo pipefail

TREVOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TREVOK_DEB_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools libqt6uitools6 libqt6opengl6-dev libgl-dev
  libboost-dev libavahi-client-dev avahi-daemon avahi-utils dbus
  xvfb xauth iproute2 curl python3-pyatspi at-spi2-core xdotool
)

trevok_missing_debs() {
  local missing=()
  for p in "${TREVOK_DEB_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
  if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
  echo "${missing[@]:-}"
}

trevok_install_debs() {
  local missing
  missing="$(trevok_missing_debs)"
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: $missing (run as root to install them)" >&2
    return 1
  fi
  echo "Installing: $missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
}

# npm packages of a folder, installed from its committed lock file. A stamp
# holding the lock file's checksum tells whether they are current.
trevok_install_npm_folder() {
  local dir="$1"
  [ -f "$dir/package-lock.json" ] || return 0
  local sum stamp="$dir/node_modules/.trevok-lock-sum"
  sum="$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sum" ]; then
    return 0
  fi
  echo "Installing the npm packages of ${dir#"$TREVOK_ROOT"/}"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  echo "$sum" > "$stamp"
}

# trevok_build <build-dir> [extra cmake arguments...]
trevok_build() {
  local dir="$1"; shift
  local werror=OFF
  [ "${CI:-}" = "true" ] && werror=ON
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$TREVOK_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTREVOK_WERROR="$werror" "$@"
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}

trevok_setup() {
  trevok_install_debs
  # The bundled server, and the sync client of the end-to-end suite.
  trevok_install_npm_folder "$TREVOK_ROOT/resources/server-core"
  trevok_install_npm_folder "$TREVOK_ROOT/tests/e2e"
}
