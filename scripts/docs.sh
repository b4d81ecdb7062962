#!/usr/bin/env bash
# Lints the local API reference (docs/openapi.yaml) and builds it into one static
# HTML page, build/docs/api.html, that opens without a network.
#   scripts/docs.sh                 (BUILD_DIR=... to write elsewhere)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "node and npm are needed: run scripts/setup.sh first" >&2
  exit 1
fi
"$root/scripts/npm-deps.sh" docs/tools

# No usage reports, no update checks: the page and the tools stay on this machine.
export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true REDOCLY_SUPPRESS_NOTIFICATIONS=true
redocly=(node docs/tools/node_modules/@redocly/cli/bin/cli.js)
out="${BUILD_DIR:-build}/docs/api.html"
mkdir -p "$(dirname "$out")"
"${redocly[@]}" lint docs/openapi.yaml --config docs/redocly.yaml
"${redocly[@]}" build-docs docs/openapi.yaml --config docs/redocly.yaml \
  --inlineBundle --openapi.disableTelemetry=true --title "Orvix Agent local API" -o "$out"
echo "Open $out in a browser."
