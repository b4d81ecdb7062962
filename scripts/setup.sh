#!/usr/bin/env bash
# Installs everything the agent and its tests need on Debian 12, then configures
# and builds into build/. Safe to run again: each step is skipped when done.
#   scripts/setup.sh            release-like build in build/
#   BUILD_DIR=build-asan ORVIX_SANITIZE=address scripts/setup.sh
#   CXX=clang++ ORVIX_FUZZ=ON ...   with the libFuzzer targets (clang only; CXX counts
#                                   when the build folder is configured the first time)
#   ORVIX_TARGETS="orvix-agent ..."  build only these targets (scripts/run.sh does)
#   ORVIX_NPM_DIRS="tests/peers"     install only these folders' npm packages
#   ORVIX_TEST_TOOLS=0               without the package test's and the sanitizers' tools
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

packages=(build-essential cmake pkg-config
  libpoco-dev libboost1.81-dev libboost-json1.81-dev libboost-stacktrace1.81-dev
  libspdlog-dev libfmt-dev libgtest-dev libssl-dev libarchive-dev
  zip unzip curl sqlite3 openssl ca-certificates nodejs npm)
if [[ "${ORVIX_TEST_TOOLS:-1}" != 0 ]]; then
  packages+=(dpkg-dev lintian init-system-helpers systemd  # the Debian package and its test
    chromium                                              # the status page's browser test
    clang libclang-rt-14-dev)                             # the sanitizer pass and the fuzz targets
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js may come from elsewhere than Debian (a preinstalled one): accept any node and npm on PATH.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do [[ "$p" == nodejs || "$p" == npm ]] || filtered+=("$p"); done
  missing=("${filtered[@]}")
fi
if ((${#missing[@]})); then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# From the npm registry: the test peers (S3-compatible storage, an independent request
# signer) and the API reference's tools (lint, HTML page, conformance checks).
read -r -a npm_dirs <<<"${ORVIX_NPM_DIRS:-tests/peers docs/tools}"
"$root/scripts/npm-deps.sh" "${npm_dirs[@]}"

build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DORVIX_SANITIZE="${ORVIX_SANITIZE:-}" -DORVIX_FUZZ="${ORVIX_FUZZ:-OFF}" >/dev/null
read -r -a targets <<<"${ORVIX_TARGETS:-}"
cmake --build "$build_dir" -j"$(nproc)" ${targets[@]+--target "${targets[@]}"}
