#!/usr/bin/env bash
# Checks scripts/run.sh and what it runs, without building or installing anything:
#   tests/scripts/run_script_test.sh SOURCE_DIR
# The scripts run from a copy of the checkout's scripts/ with cmake, npm and
# dpkg-query replaced by stand-ins that record what they were asked: run.sh builds
# only the agent and the simulators, and an npm install that fails leaves the peers
# already installed in place (npm ci itself removes node_modules first).
set -euo pipefail

source_dir="$(cd "${1:?usage: run_script_test.sh SOURCE_DIR}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@"; then
        echo "ok   - $what"
        passed=$((passed + 1))
    else
        echo "FAIL - $what"
        failed=$((failed + 1))
    fi
}

root="$work/checkout"
mkdir -p "$root/scripts" "$root/tests/peers/node_modules/.bin" "$root/docs/tools" "$work/bin"
cp "$source_dir"/scripts/{setup.sh,npm-deps.sh,run.sh} "$root/scripts/"
echo '{"name":"peers"}' >"$root/tests/peers/package.json"
echo '{"lockfileVersion":3}' >"$root/tests/peers/package-lock.json"
echo '{"name":"tools"}' >"$root/docs/tools/package.json"
echo '{"lockfileVersion":3}' >"$root/docs/tools/package-lock.json"
touch -d '2000-01-01' "$root/tests/peers/node_modules"  # older than its lock: reinstalled
cat >"$root/tests/peers/node_modules/.bin/s3rver" <<'SH'
#!/bin/sh
exit 0
SH
chmod +x "$root/tests/peers/node_modules/.bin/s3rver"

# Every package counts as installed.
cat >"$work/bin/dpkg-query" <<SH
#!/bin/sh
echo "\$3" >>"$work/dpkg.log"
printf 'install ok installed'
SH
# npm ci as it behaves when the registry cannot be reached: node_modules goes first.
cat >"$work/bin/npm" <<SH
#!/bin/sh
echo "npm \$* in \$PWD" >>"$work/npm.log"
rm -rf node_modules
exit 1
SH
# cmake records its arguments; a build leaves programs that end at once.
cat >"$work/bin/cmake" <<SH
#!/bin/sh
echo "\$*" >>"$work/cmake.log"
if [ "\$1" = "--build" ]; then
    for program in orvix-agent orvix-module-sim orvix-cloud-sim; do
        printf '#!/bin/sh\nexit 0\n' >"\$2/\$program"
        chmod +x "\$2/\$program"
    done
fi
SH
chmod +x "$work/bin"/*
mkdir -p "$root/build"

status=0
(cd "$root" && PATH="$work/bin:$PATH" ORVIX_HOME="$work/home" timeout 60 bash scripts/run.sh) \
    >"$work/run.log" 2>&1 || status=$?
sed 's/^/     run.sh: /' "$work/run.log"

check "run.sh ends with status 0 when its programs do ($status)" test "$status" -eq 0
builds="$(grep -- '--build' "$work/cmake.log" || true)"
check "run.sh builds only the agent and the simulators ($builds)" \
    grep -qx -- "--build build -j[0-9]* --target orvix-agent orvix-module-sim orvix-cloud-sim" "$work/cmake.log"
check "run.sh installs no npm packages but the test peers" \
    bash -c "! grep -q docs/tools '$work/npm.log'"
check "run.sh asks for the build's packages, not the sanitizers' or the package test's" \
    bash -c "grep -qx libpoco-dev '$work/dpkg.log' && ! grep -qx -e clang -e lintian '$work/dpkg.log'"
check "a failed npm install leaves the installed peer in place" \
    test -x "$root/tests/peers/node_modules/.bin/s3rver"
check "the failed install is said" grep -q "npm install in tests/peers failed" "$work/run.log"

echo "run_script_test: $passed passed, $failed failed"
exit $((failed > 0))
