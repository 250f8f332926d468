#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite with CTest.
# Under CI=true the suite also runs once more in a sanitizer build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
trevok_setup
trevok_build "$TREVOK_ROOT/build"
(cd "$TREVOK_ROOT/build" && ctest --output-on-failure --timeout 600 "$@")

if [ "${CI:-}" = "true" ]; then
  echo "Sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer)"
  # Suites that run no code of the sanitizer build (the bundled server's
  # Node suites, the desktop entry and metainfo checks) ran above already.
  TREVOK_NOT_INSTRUMENTED='^(server_core.*|backup_tool|launcher_lifecycle|appstream_metainfo|desktop_entry)$'
  trevok_build "$TREVOK_ROOT/build-asan" -DTREVOK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  (cd "$TREVOK_ROOT/build-asan" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions="$TREVOK_ROOT/scripts/lsan.supp":print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure --timeout 900 -E "$TREVOK_NOT_INSTRUMENTED" "$@")
fi
