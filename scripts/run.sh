#!/usr/bin/env bash
# Installs what is missing, builds, and starts the console (which launches the
# bundled server). Without a display it runs under a virtual one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trevok_setup
trevok_build "$TREVOK_ROOT/build"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1600x1000x24" "$TREVOK_ROOT/build/bin/TrevokServer" "$@"
fi
exec "$TREVOK_ROOT/build/bin/TrevokServer" "$@"
