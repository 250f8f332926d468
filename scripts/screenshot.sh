#!/usr/bin/env bash
# Renders the console under a virtual display: the logged-out window, then the
# logged-in one against the bundled server with a few users and projects.
# Writes PNG files into screenshots/ (or the folder given).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trevok_setup
trevok_build "$TREVOK_ROOT/build"
out="${1:-$TREVOK_ROOT/screenshots}"
mkdir -p "$out"
export TREVOK_SCREENSHOT_DIR="$out"
# The tour connects a sync client, which lives with the end-to-end suite.
export TREVOK_E2E_DIR="$TREVOK_ROOT/tests/e2e"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1600x1000x24" "$TREVOK_ROOT/build/bin/screenshot_tour"
ls -1 "$out"
