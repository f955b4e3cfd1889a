#!/usr/bin/env bash
# Runs the engine's tests and the replay of the broken inputs (label fuzz) under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the tests of the threaded parts (the listing workers, the
# transfers between plug-ins, the host transport's network thread) under ThreadSanitizer; the
# window's tests under both, and the loadable module's under AddressSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
jobs="$(nproc)"

cmake --preset asan -DZYLFS_BUILD_MODULE=OFF
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j "$jobs" -L 'core|share|transfer|fuzz'

# The window and the loadable module (with Qt, which is not instrumented) in a folder of their own.
cmake --preset asan -B build-asan-ui -DZYLFS_BUILD_MODULE=ON -DZYLFS_BUILD_HOST=OFF
cmake --build build-asan-ui -j "$jobs" --target zylfs_ui_tests zylfs_module_tests zylfs_header_host
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan-ui -j "$jobs" -L 'ui|module'

cmake --preset tsan -DZYLFS_BUILD_MODULE=OFF
cmake --build --preset tsan -j "$jobs" --target zylfs_share_tests zylfs_transfer_tests zylfs_host_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan -j "$jobs" -L 'share|transfer|host'

# The window's tests under ThreadSanitizer: the log hands lines to the window from the listing
# workers. Qt itself is not instrumented; tests/ui/tsan-qt.supp says what that hides.
cmake --preset tsan -B build-tsan-ui -DZYLFS_BUILD_MODULE=ON -DZYLFS_BUILD_HOST=OFF
cmake --build build-tsan-ui -j "$jobs" --target zylfs_ui_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/ui/tsan-qt.supp" \
  ctest --test-dir build-tsan-ui -j "$jobs" -L ui
