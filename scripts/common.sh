# Shared by run.sh and test.sh: install what is missing, then build.
# Sourced, not run. Every step is skipped when its work is already done.
set -euo pipefail

TREVOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Everything configure, build, the suite and a run need on a minimal Debian
# 12 (debootstrap --variant=minbase); Node.js and npm come from Debian when
# none is installed (below). scripts/ci-fresh-root.sh checks that this list
# is complete.
TREVOK_DEB_PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools libqt6uitools6 libqt6opengl6-dev libgl-dev
  libboost-dev libavahi-client-dev libssl-dev
  # the suite: DNS-SD in a network namespace, the desktop entry and AppStream
  # metainfo checks, TLS for npm, the sync traffic as seen on the wire
  avahi-daemon avahi-utils dbus iproute2 curl ca-certificates appstream desktop-file-utils
  tcpdump
  # a display for run.sh and the screenshots; the accessibility bus for
  # assistive-technology clients (AT-SPI from Python, a session D-Bus)
  xvfb xauth at-spi2-core python3-pyatspi dbus-x11
  # key presses and clicks at screen positions for the acceptance suite
  xdotool
  # the desktop suite's stand-ins of the status area and notification service
  python3-gi gir1.2-glib-2.0
  # the CouchDB 3 release that the suites of a real CouchDB 3 start (ICU's
  # collation; its other libraries come with every Debian 12)
  libicu72
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
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $missing
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

# Under CI, as root, the suite runs in a network namespace of its own (its
# interfaces reach nothing outside): its server on 127.0.0.1:5984 then never meets
# another one on the same machine, and nothing it announces leaves it. The
# namespace is made on the first ctest call and removed when the script ends.
TREVOK_TEST_NETNS=""
ctest() {
  if [ "${CI:-}" != "true" ] || [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null 2>&1; then
    command ctest "$@"
    return
  fi
  if [ -z "$TREVOK_TEST_NETNS" ]; then
    TREVOK_TEST_NETNS="trevok-suite-$$"
    ip netns add "$TREVOK_TEST_NETNS"
    trap 'ip netns del "$TREVOK_TEST_NETNS" 2>/dev/null || true' EXIT
    ip netns exec "$TREVOK_TEST_NETNS" ip link set lo up
    # An Ethernet-like interface, as any machine has: the machine identifier
    # is read from one. It carries IPv4 only: with nothing but an IPv6
    # link-local address on it, some resolvers answer "localhost" with a
    # mapped IPv6 address only, which the server (on 127.0.0.1) never hears.
    ip netns exec "$TREVOK_TEST_NETNS" ip link add trevok0 type veth peer name trevok1
    for end in trevok0 trevok1; do
      ip netns exec "$TREVOK_TEST_NETNS" sysctl -qw "net.ipv6.conf.$end.disable_ipv6=1" || true
      ip netns exec "$TREVOK_TEST_NETNS" ip link set "$end" up
    done
    ip netns exec "$TREVOK_TEST_NETNS" ip addr add 192.0.2.10/24 dev trevok0
  fi
  ip netns exec "$TREVOK_TEST_NETNS" ctest "$@"
}

trevok_setup() {
  trevok_install_debs
  # The bundled server, and the sync client of the end-to-end suite.
  trevok_install_npm_folder "$TREVOK_ROOT/resources/server-core"
  trevok_install_npm_folder "$TREVOK_ROOT/tests/e2e"
}
