#!/usr/bin/env bash
# Installs the locked npm packages of each folder given (npm ci), when its
# node_modules is missing or older than its package-lock.json.
#   scripts/npm-deps.sh tests/peers docs/tools
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for dir in "$@"; do
  folder="$root/$dir"
  [[ -f "$folder/package.json" ]] || continue
  if [[ ! -d "$folder/node_modules" ]] || [[ "$folder/package-lock.json" -nt "$folder/node_modules" ]]; then
    (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error)
    touch "$folder/node_modules"
  fi
done
