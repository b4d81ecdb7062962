#!/usr/bin/env bash
# Installs what is missing, builds, then runs the agent on port 5555 together with
# the module simulator on 127.0.0.1:8081, so it does something real at once.
# The agent's HOME is .run/home in this checkout (set ORVIX_HOME to use another,
# for example your real home), so a trial leaves the user's own files alone.
# Ctrl-C stops both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"

build_dir="${BUILD_DIR:-build}"
agent_home="${ORVIX_HOME:-$root/.run/home}"
sim_port="${ORVIX_SIM_PORT:-8081}"
data_dir="$agent_home/.local/share/VELMORA/OrvixAgent"
mkdir -p "$data_dir" "$agent_home/Documents/VELMORA/OrvixAgent"

"$root/$build_dir/orvix-module-sim" --host 127.0.0.1 --port "$sim_port" &
sim_pid=$!
agent_pid=""
cleanup() {
  [[ -n "$agent_pid" ]] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Point the agent at the simulator. The agent applies this file once at start and deletes it.
cat > "$data_dir/config.json" <<JSON
{"device_ip": "127.0.0.1", "device_port": "$sim_port"}
JSON

cat <<TEXT
Module simulator: http://127.0.0.1:$sim_port   Agent: http://127.0.0.1:5555
Agent files:      $data_dir (log in logs/, database service.db)
Pictures:         $agent_home/Documents/VELMORA/OrvixAgent/images
Try:
  curl -s localhost:5555/api/get_result
  curl -s -X POST localhost:5555/api/result_feedback -d '{"sid":"<sid from above>","id":"<an item id>","method_of_selection":"recognition"}'
  curl -s -X POST localhost:5555/api/agent/get_statistic -d '{"requestType":"DAYS"}'
Ctrl-C stops both.
TEXT

HOME="$agent_home" "$root/$build_dir/orvix-agent" &
agent_pid=$!
wait "$agent_pid"
