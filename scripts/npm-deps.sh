#!/usr/bin/env bash
# Installs the locked npm packages of each folder given (npm ci), when its
# node_modules is missing or older than its package-lock.json.
#   scripts/npm-deps.sh tests/peers docs/tools
# npm ci removes node_modules before it installs, so it runs in a staging folder
# and the result replaces node_modules only when it succeeded: without the
# registry, the peers already installed stay usable. A folder that has none and
# cannot get them is an error.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for dir in "$@"; do
  folder="$root/$dir"
  [[ -f "$folder/package.json" ]] || continue
  if [[ ! -d "$folder/node_modules" ]] || [[ "$folder/package-lock.json" -nt "$folder/node_modules" ]]; then
    staging="$(mktemp -d "$folder/.npm-staging.XXXXXX")"
    cp "$folder/package.json" "$folder/package-lock.json" "$staging/"
    if (cd "$staging" && npm ci --no-audit --no-fund --loglevel=error); then
      rm -rf "$folder/node_modules.previous"
      [[ -d "$folder/node_modules" ]] && mv "$folder/node_modules" "$folder/node_modules.previous"
      mv "$staging/node_modules" "$folder/node_modules"
      rm -rf "$folder/node_modules.previous"
      touch "$folder/node_modules"
    elif [[ -d "$folder/node_modules" ]]; then
      echo "npm-deps: npm install in $dir failed; keeping the packages installed before" >&2
    else
      rm -rf "$staging"
      echo "npm-deps: npm install in $dir failed" >&2
      exit 1
    fi
    rm -rf "$staging"
  fi
done
