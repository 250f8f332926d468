#!/usr/bin/env bash
# The project's CI check, runnable on any Debian or Ubuntu machine as root:
#
# 1. builds and tests the commit under test in a fresh, minimal Debian 12
#    root with README's test command (CI=true, so the sanitizer run too);
# 2. installs the Debian package made from that build into a second fresh
#    root (no build tools, no npm) and starts the installed console there as
#    two ordinary users with empty homes (scripts/ci-install-check.sh).
#
# The minimal root made by debootstrap is kept in a cache folder and reused
# while it exists; each run works on copies of it, so every run starts fresh.
#
#   TREVOK_CI_CACHE   cache folder (default /var/cache/trevok-ci)
#   TREVOK_CI_MIRROR  Debian mirror (default: the one apt on this machine uses)
#   TREVOK_CI_KEEP=1  keep the run's roots afterwards, for a look inside
#   TREVOK_CI_DEB     a package made before: only install and start it
#   TREVOK_CI_CCACHE  compiler cache folder (default <cache>/ccache; "off":
#                     none). It only spares compiling what was compiled
#                     before: a header or library missing from the package
#                     list still fails the build.
set -euo pipefail

SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SUITE=bookworm
CACHE="${TREVOK_CI_CACHE:-/var/cache/trevok-ci}"
BASE="$CACHE/root-$SUITE"
RUN="$CACHE/run-$$"
BUILD_ROOT="$RUN/build-root"
INSTALL_ROOT="$RUN/install-root"
CHECKOUT=/work/trevokserver

say() { printf '\n=== %s: %s\n' "$(date -u +%H:%M:%S)" "$*"; }
die() { printf 'ci-fresh-root: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "run me as root (debootstrap, chroot and mounts need it)"
# The commit under test when this is a git checkout; otherwise (an exported
# tree) the files as they are, without build folders or npm packages.
COMMIT=""
if command -v git >/dev/null 2>&1 && git -C "$SRC" rev-parse --verify HEAD >/dev/null 2>&1; then
  COMMIT="$(git -C "$SRC" rev-parse HEAD)"
fi

# The first Debian mirror that apt on this machine uses (deb822 or one-line
# sources), and its security mirror when it has one.
host_mirror() {
  local kind="$1" uris
  uris="$( (grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | sed 's/^URIs:[[:space:]]*//' | tr ' ' '\n'
    grep -hsE '^deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      sed -E 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//' | awk '{print $1}') | grep -E '^https?://' || true)"
  if [ "$kind" = security ]; then
    grep -m1 -- '-security' <<<"$uris" || true
  else
    grep -v -- '-security' <<<"$uris" | grep -m1 -E '/debian/?$' || true
  fi
}
MIRROR="${TREVOK_CI_MIRROR:-$(host_mirror main)}"
MIRROR="${MIRROR:-http://deb.debian.org/debian}"
SECURITY_MIRROR="$(host_mirror security)"

# A machine whose package lists were never fetched (a fresh container)
# finds nothing to install without an update first.
apt_host_install() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "$@" 2>/dev/null && return 0
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "$@"
}

# ---------------------------------------------------------------- base root
make_base_root() {
  [ -x "$BASE/usr/bin/apt-get" ] && return 0
  command -v debootstrap >/dev/null || apt_host_install debootstrap
  say "debootstrap --variant=minbase $SUITE from $MIRROR into $BASE"
  rm -rf "$BASE.partial"
  mkdir -p "$CACHE"
  debootstrap --variant=minbase "$SUITE" "$BASE.partial" "$MIRROR"
  # Only a finished root is ever reused.
  mv "$BASE.partial" "$BASE"
}

# ------------------------------------------------------------- a run's root
MOUNTED=()
NETNS=""

# A copy of the base root with what any machine on this network has: name
# resolution, a standard hosts file, the host's CA bundle (so that registries
# behind an inspecting proxy answer, npm included), apt sources with updates
# and security, and no service started by package scripts.
prepare_root() {
  local r="$1"
  cp -a "$BASE" "$r"
  cp -L /etc/resolv.conf "$r/etc/resolv.conf"
  cat > "$r/etc/hosts" <<'EOF'
127.0.0.1	localhost
::1	localhost ip6-localhost ip6-loopback
ff02::1	ip6-allnodes
ff02::2	ip6-allrouters
EOF
  mkdir -p "$r/etc/ssl/certs"
  cp -L /etc/ssl/certs/ca-certificates.crt "$r/etc/ssl/certs/host-ca-bundle.crt"
  # Also where tools look by default; the ca-certificates package, should it
  # come in, rebuilds this one, the host bundle above stays.
  cp -L /etc/ssl/certs/ca-certificates.crt "$r/etc/ssl/certs/ca-certificates.crt"
  printf 'cafile=/etc/ssl/certs/host-ca-bundle.crt\n' > "$r/etc/npmrc"
  mkdir -p "$r/usr/etc"
  printf 'cafile=/etc/ssl/certs/host-ca-bundle.crt\n' > "$r/usr/etc/npmrc"
  {
    echo "deb $MIRROR $SUITE main"
    echo "deb $MIRROR $SUITE-updates main"
    [ -n "$SECURITY_MIRROR" ] && echo "deb $SECURITY_MIRROR $SUITE-security main"
  } > "$r/etc/apt/sources.list"
  printf '#!/bin/sh\nexit 101\n' > "$r/usr/sbin/policy-rc.d"
  chmod 755 "$r/usr/sbin/policy-rc.d"
  # Downloaded packages are kept between runs (hard links, no copies), so
  # that only installing them is done anew; each root has its own archive
  # folder, since apt locks it.
  mkdir -p "$CACHE/apt-archives"
  find "$CACHE/apt-archives" -maxdepth 1 -name '*.deb' \
    -exec cp -l -n -t "$r/var/cache/apt/archives/" {} + 2>/dev/null || true
  rm -f "$r/etc/apt/apt.conf.d/docker-clean"
}

mount_root() {
  local r="$1"
  # The root a mount point of its own: `ip netns exec` makes "/" a slave
  # mount in its private namespace, which fails on a plain directory.
  mount --bind "$r" "$r"; mount --make-private "$r"; MOUNTED+=("$r")
  mount -t proc proc "$r/proc"; MOUNTED+=("$r/proc")
  mount --rbind /sys "$r/sys"; mount --make-rslave "$r/sys"; MOUNTED+=("$r/sys")
  mount --rbind /dev "$r/dev"; mount --make-rslave "$r/dev"; MOUNTED+=("$r/dev")
  # A /run of its own: the root's D-Bus, avahi-daemon and network namespace
  # names live there, apart from the host's.
  mount -t tmpfs -o mode=755 tmpfs "$r/run"; MOUNTED+=("$r/run")
}

keep_downloads() {
  find "$1/var/cache/apt/archives" -maxdepth 1 -name '*.deb' \
    -exec cp -l -n -t "$CACHE/apt-archives/" {} + 2>/dev/null || true
}

# Processes left inside a root (the server outlives the console by design,
# the suite's avahi-daemon and D-Bus): ended by pid, found by their root.
end_processes_in() {
  local r="$1" pid root pids=()
  r="$(readlink -f "$r")"
  for pid in /proc/[0-9]*; do
    root="$(readlink "$pid/root" 2>/dev/null || true)"
    [ "$root" = "$r" ] && pids+=("${pid#/proc/}")
  done
  [ ${#pids[@]} -eq 0 ] && return 0
  kill -TERM "${pids[@]}" 2>/dev/null || true
  sleep 2
  kill -KILL "${pids[@]}" 2>/dev/null || true
}

cleanup() {
  local rc=$? m i
  set +e
  for r in "$BUILD_ROOT" "$INSTALL_ROOT"; do
    [ -d "$r" ] && end_processes_in "$r" && keep_downloads "$r"
  done
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    m="${MOUNTED[$i]}"
    umount -R "$m" 2>/dev/null || umount -lR "$m" 2>/dev/null
  done
  [ -n "$NETNS" ] && ip netns del "$NETNS" 2>/dev/null
  if [ "${TREVOK_CI_KEEP:-}" = 1 ]; then
    echo "ci-fresh-root: roots kept in $RUN"
  elif [ -d "$RUN" ]; then
    # Only after every mount is gone: never delete through a mount.
    if grep -q " $RUN/" /proc/self/mounts; then
      echo "ci-fresh-root: $RUN still has mounts; left in place" >&2
    else
      rm -rf "$RUN"
    fi
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_root() {
  local r="$1"; shift
  chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

START=$(date +%s)
make_base_root
mkdir -p "$RUN"

if [ -n "${TREVOK_CI_DEB:-}" ]; then
  DEB="$(readlink -f "$TREVOK_CI_DEB")"
  [ -f "$DEB" ] || die "no package at $TREVOK_CI_DEB"
else
# ------------------------------------------------------- 1. build and test
say "build root for ${COMMIT:-the tree in $SRC}"
prepare_root "$BUILD_ROOT"
mount_root "$BUILD_ROOT"
mkdir -p "$BUILD_ROOT$(dirname "$CHECKOUT")"
if [ -n "$COMMIT" ]; then
  git clone -q --no-hardlinks "$SRC" "$BUILD_ROOT$CHECKOUT"
  git -C "$BUILD_ROOT$CHECKOUT" checkout -q --detach "$COMMIT"
else
  mkdir -p "$BUILD_ROOT$CHECKOUT"
  tar -C "$SRC" --exclude='./build*' --exclude=node_modules --exclude=./screenshots -cf - . |
    tar -C "$BUILD_ROOT$CHECKOUT" -xf -
fi

# The CouchDB 3 release that the suites of a real CouchDB 3 start lives in
# shared/ beside the checkout (laid beside every clone CI makes); inside the
# root it is where those suites look, beside the checkout, read-only as
# they find it everywhere.
# TREVOK_SHARED names it elsewhere; a clone made away from it finds the
# workplace's copy.
SHARED="${TREVOK_SHARED:-$(dirname "$SRC")/shared}"
[ -d "$SHARED/couchdb-3.5.0" ] || [ -n "${TREVOK_SHARED:-}" ] || SHARED=/work/shared
if [ -d "$SHARED" ]; then
  mkdir -p "$BUILD_ROOT$(dirname "$CHECKOUT")/shared"
  mount --bind "$SHARED" "$BUILD_ROOT$(dirname "$CHECKOUT")/shared"
  MOUNTED+=("$BUILD_ROOT$(dirname "$CHECKOUT")/shared")
  mount -o remount,bind,ro "$BUILD_ROOT$(dirname "$CHECKOUT")/shared"
fi

CCACHE_ENV=()
CCACHE_HOST_DIR="${TREVOK_CI_CCACHE:-$CACHE/ccache}"
if [ "$CCACHE_HOST_DIR" != off ]; then
  say "compiler cache $CCACHE_HOST_DIR"
  in_root "$BUILD_ROOT" bash -c "export DEBIAN_FRONTEND=noninteractive &&
    apt-get update -qq && apt-get install -y -qq --no-install-recommends ccache >/dev/null"
  mkdir -p "$CCACHE_HOST_DIR" "$BUILD_ROOT/var/cache/ccache"
  mount --bind "$CCACHE_HOST_DIR" "$BUILD_ROOT/var/cache/ccache"
  MOUNTED+=("$BUILD_ROOT/var/cache/ccache")
  # CMake takes its compiler launchers from these variables.
  CCACHE_ENV=(CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR="$(dirname "$CHECKOUT")"
    CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache)
fi

say "README's test command, CI=true (with the sanitizer run)"
LOG="$RUN/test.log"
set +e
in_root "$BUILD_ROOT" "${CCACHE_ENV[@]}" CI=true bash -c "cd $CHECKOUT && scripts/test.sh" 2>&1 | tee "$LOG"
TEST_RC=${PIPESTATUS[0]}
set -e
TEST_END=$(date +%s)
say "suite summary"
grep -E 'tests passed|tests failed|^The following tests|^[[:space:]]+[0-9]+ - |Total Test time|Sanitizer build' "$LOG" || true
echo "build and test: $(( (TEST_END - START) / 60 )) min $(( (TEST_END - START) % 60 )) s, exit status $TEST_RC"
[ "$TEST_RC" -eq 0 ] || die "the test command failed"

# ------------------------------------------------------------ 2. package
say "cpack -G DEB"
in_root "$BUILD_ROOT" bash -c "cd $CHECKOUT/build && cpack -G DEB"
DEB="$(ls "$BUILD_ROOT$CHECKOUT"/build/trevokserver_*_amd64.deb 2>/dev/null | head -1)"
[ -f "$DEB" ] || die "cpack made no trevokserver_<version>_amd64.deb"
echo "package: $(basename "$DEB")"
end_processes_in "$BUILD_ROOT"
fi

# ----------------------------------------------------- 3. install and start
say "install root"
prepare_root "$INSTALL_ROOT"
mount_root "$INSTALL_ROOT"
cp "$DEB" "$INSTALL_ROOT/tmp/"
cp "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/ci-install-check.sh" "$INSTALL_ROOT/tmp/"
in_root "$INSTALL_ROOT" bash -c "export DEBIAN_FRONTEND=noninteractive &&
  apt-get update -qq && apt-get install -y -qq /tmp/$(basename "$DEB")"
for tool in cmake g++ npm; do
  if in_root "$INSTALL_ROOT" sh -c "command -v $tool" >/dev/null; then
    die "the install root has $tool: the package must not need it"
  fi
done

# The installed console's server binds 127.0.0.1:5984: in a network
# namespace of its own it meets no other server on this machine.
NETNS="trevok-ci-$$"
command -v ip >/dev/null || apt_host_install iproute2
ip netns add "$NETNS"
ip netns exec "$NETNS" ip link set lo up
say "installed console, two people on one installation"
ip netns exec "$NETNS" chroot "$INSTALL_ROOT" /usr/bin/env -i LANG=C.UTF-8 \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin bash /tmp/ci-install-check.sh
END=$(date +%s)
say "green: build, suite, package and installation in $(( (END - START) / 60 )) min $(( (END - START) % 60 )) s"
