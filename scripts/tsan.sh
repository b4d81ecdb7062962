#!/usr/bin/env bash
# The whole suite under ThreadSanitizer, in its own build folder (build-tsan).
# Extra arguments go to ctest, e.g. scripts/tsan.sh -R 'Cloud|Monitoring'.
# Suppressions (tests/tsan.supp) name third-party code only.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ORVIX_SANITIZE=thread BUILD_DIR="${BUILD_DIR:-build-tsan}" exec "$root/scripts/test.sh" "$@"
