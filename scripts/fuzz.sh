#!/usr/bin/env bash
# Runs every fuzz target (tests/fuzz/fuzz_*.cpp) for a while and prints what each did.
#   scripts/fuzz.sh            600 s each, two at a time
#   scripts/fuzz.sh 60         60 s each
#   FUZZ_JOBS=1 scripts/fuzz.sh
#   scripts/fuzz.sh 600 fuzz_evom fuzz_local_api    only these targets
# The targets are built in build-asan (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), the build the test command's sanitizer pass uses.
# An input still running after 60 s counts as a hang (the local API's slowest
# answer waits on two module exchanges of 6 s each).
# New inputs are kept in build-asan/fuzz/<target>/corpus, findings in
# build-asan/fuzz/<target>/crash-*. Exits non-zero when a target found something.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-600}"
shift || true
jobs="${FUZZ_JOBS:-2}"
build=build-asan

BUILD_DIR="$build" CXX=clang++ CC=clang ORVIX_SANITIZE=address ORVIX_FUZZ=ON "$root/scripts/setup.sh"

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

run_one() {
  local target="$1" seconds="$2" build="$3"
  local work="$build/fuzz/$target"
  mkdir -p "$work/corpus"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "tests/fuzz/corpus/$target" \
    >"$work/run.log" 2>&1 || true
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$build"

status=0
printf '%-24s %8s %12s %9s %6s %7s %s\n' target seconds runs runs/s cov corpus findings
for target in "${targets[@]}"; do
  work="$build/fuzz/$target"
  log="$work/run.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took="$seconds"
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  corpus=$(find "$work/corpus" -type f | wc -l)
  findings=$(find "$work" -maxdepth 1 -type f ! -name run.log | wc -l)
  ((findings == 0)) || status=1
  grep -q '^stat::number_of_executed_units' "$log" || status=1  # it did not finish its run
  rate=$(( ${runs:-0} / (seconds > 0 ? seconds : 1) ))
  printf '%-24s %8s %12s %9s %6s %7s %s\n' "$target" "$took" "${runs:-?}" "$rate" "${cov:-?}" "$corpus" "$findings"
done
((status == 0)) || echo "A target found something or did not finish: see $build/fuzz/<target>/run.log" >&2
exit "$status"
