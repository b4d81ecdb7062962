#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite under ctest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"
build_dir="${BUILD_DIR:-build}"
if [[ "${ORVIX_SANITIZE:-}" == thread ]]; then
  export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp ${TSAN_OPTIONS:-}"
fi
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@"
