#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite under ctest; then runs
# the whole suite once more in a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer, where the fuzz targets also run for a few seconds each.
#   scripts/test.sh                    both passes (what CI runs)
#   ORVIX_SANITIZER_PASS=0 scripts/test.sh   the plain pass only
#   scripts/test.sh -R Cloud           ctest arguments go to both passes
#   ORVIX_SANITIZE=thread BUILD_DIR=build-tsan scripts/test.sh   one pass in that build (scripts/tsan.sh)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

run_pass() {  # build folder, then ctest arguments
  local dir="$1"
  shift
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@")
}

"$root/scripts/setup.sh"
build_dir="${BUILD_DIR:-build}"
if [[ "${ORVIX_SANITIZE:-}" == thread ]]; then
  # The Debian libraries are not instrumented, so their atomic reference counts are
  # invisible to ThreadSanitizer: a socket the HTTP library's accepting thread frees
  # after a worker used it looks like a race. Accesses the libraries make through
  # the sanitizer's interceptors (free among them) are therefore not checked;
  # everything the agent's own code does still is.
  export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 ignore_noninstrumented_modules=1 ${TSAN_OPTIONS:-}"
fi
if [[ -n "${ORVIX_SANITIZE:-}" ]]; then
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
fi
run_pass "$build_dir" "$@"

if [[ -z "${ORVIX_SANITIZE:-}" && "${ORVIX_SANITIZER_PASS:-1}" != 0 ]]; then
  echo "== The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, with the fuzz targets =="
  BUILD_DIR=build-asan CXX=clang++ CC=clang ORVIX_SANITIZE=address ORVIX_FUZZ=ON "$root/scripts/setup.sh"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 run_pass build-asan "$@"
fi
