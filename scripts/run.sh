#!/usr/bin/env bash
# Installs what is missing, builds, then runs the agent on port 5555 together with
# its peers on loopback, so it does something real at once:
#   the module simulator      127.0.0.1:8081
#   the cloud simulator       127.0.0.1:8090 (monitoring service and token endpoint)
#   s3rver (object storage)   127.0.0.1:4569, bucket "develop"
# The agent's cloud period is shortened to 2000 ms for this run (a deployment's
# default is 20000 ms), so a recognition reaches the cloud within a few seconds.
# The agent's HOME is .run/home in this checkout (set ORVIX_HOME to use another),
# so a trial leaves the user's own files alone. Ctrl-C stops everything.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# Only what this run starts: the test suites take many minutes to build on a small
# machine, and the API reference's tools are not needed to try the agent.
ORVIX_TARGETS="orvix-agent orvix-module-sim orvix-cloud-sim" ORVIX_NPM_DIRS="tests/peers" ORVIX_TEST_TOOLS=0 \
  "$root/scripts/setup.sh"

build_dir="${BUILD_DIR:-build}"
agent_home="${ORVIX_HOME:-$root/.run/home}"
sim_port="${ORVIX_SIM_PORT:-8081}"
cloud_port="${ORVIX_CLOUD_PORT:-8090}"
s3_port="${ORVIX_S3_PORT:-4569}"
period_ms="${ORVIX_PERIOD_MS:-2000}"
data_dir="$agent_home/.local/share/VELMORA/OrvixAgent"
s3_dir="$root/.run/s3"
mkdir -p "$data_dir" "$agent_home/Documents/VELMORA/OrvixAgent" "$s3_dir"

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    # A peer may end with a non-zero status on SIGTERM; that must not stop the cleanup.
    kill -TERM "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null || true
  done
  return 0
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$root/$build_dir/orvix-module-sim" --host 127.0.0.1 --port "$sim_port" &
pids+=($!)
"$root/$build_dir/orvix-cloud-sim" --host 127.0.0.1 --port "$cloud_port" --client-secret secret &
pids+=($!)
"$root/tests/peers/node_modules/.bin/s3rver" -d "$s3_dir" -a 127.0.0.1 -p "$s3_port" \
  --configure-bucket develop --silent &
pids+=($!)

# Point the agent at its peers. The agent applies this file once at start and deletes it.
cat > "$data_dir/config.json" <<JSON
{
  "device_ip": "127.0.0.1", "device_port": "$sim_port",
  "monitoring_service_address": "http://127.0.0.1", "monitoring_service_port": "$cloud_port",
  "velmora_monitoring_client_secret": "secret",
  "monitoring_request_frequency": $period_ms,
  "file_storage_service_address": "http://127.0.0.1:$s3_port",
  "file_storage_service_bucket": "develop",
  "file_storage_service_login": "S3RVER", "file_storage_service_password": "S3RVER"
}
JSON

cat <<TEXT
Agent:             http://127.0.0.1:5555   (log: $data_dir/logs/, database: $data_dir/service.db)
Module simulator:  http://127.0.0.1:$sim_port
Cloud simulator:   http://127.0.0.1:$cloud_port   (what it received: curl -s localhost:$cloud_port/control/received)
Object storage:    http://127.0.0.1:$s3_port   (files under $s3_dir/develop)
Cloud period:      $period_ms ms (shortened for this run)
Try (README, "A recognition's road" and "A remote task"):
  curl -s localhost:5555/api/get_result
  curl -s -X POST localhost:5555/api/result_feedback -d '{"sid":"<sid>","id":"<an item id>","method_of_selection":"recognition"}'
  curl -s localhost:$cloud_port/control/received
Ctrl-C stops everything.
TEXT

HOME="$agent_home" "$root/$build_dir/orvix-agent" &
pids+=($!)
wait "${pids[-1]}"
