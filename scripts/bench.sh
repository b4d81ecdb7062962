#!/usr/bin/env bash
# Measures the built agent on this machine, everything on 127.0.0.1, and prints one
# table: forwarding through the agent against the module simulator called directly,
# the recognition calls, memory, start-up time, and the cloud queue's drain rate.
#   scripts/bench.sh          BUILD_DIR (build), BENCH_SECONDS per wrk run (5),
#                             DRAIN_SECONDS per drain window (45 at the default period),
#                             BACKLOG recognitions with pictures drained at the default period (10000);
#                             BENCH_ONLY=backlog measures that alone
#                             BENCH_ONLY=slowpeers: get_device_info through the agent for
#                             SLOW_PEERS_SECONDS (60) while SLOW_PEERS (1000) connections are held
#                             open that send nothing, trickle, or never read (tools/slow-peers;
#                             the normal client is tools/slow-peers/probe.js)
# The agent binds port 5555 and the runs want the machine to themselves; on a shared
# machine hold both locks: flock /tmp/orvix-build.lock flock /tmp/orvix-port5555.lock scripts/bench.sh
# Not a test: it prints numbers and compares them with the targets, and exits 0 unless
# something could not run at all.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/${BUILD_DIR:-build}"
seconds="${BENCH_SECONDS:-5}"
drain_seconds="${DRAIN_SECONDS:-45}"
short_period_ms=100

for program in orvix-agent orvix-module-sim; do
    [[ -x "$build/$program" ]] || { echo "bench: $build/$program is not built (scripts/setup.sh)" >&2; exit 1; }
done
if ! command -v wrk >/dev/null; then
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends wrk >/dev/null ||
        { "${sudo_cmd[@]}" apt-get update >/dev/null &&
            DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends wrk >/dev/null; }
fi
if curl -s -o /dev/null --max-time 2 http://127.0.0.1:5555/; then
    echo "bench: port 5555 is taken; stop the other agent first" >&2
    exit 1
fi

work="$(mktemp -d)"
sim_pid="" agent_pid="" cloud_pid="" s3_pid="" peers_pid=""
stop() {  # stop PID: SIGTERM and wait; a peer that ends by the signal is no failure
    if [[ -n "$1" ]] && kill -TERM "$1" 2>/dev/null; then
        wait "$1" 2>/dev/null || true
    fi
    return 0
}
cleanup() {
    stop "$peers_pid"
    stop "$agent_pid"
    stop "$cloud_pid"
    stop "$sim_pid"
    stop "$s3_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a simulator on a port of the kernel's choosing; sets listen_port.
start_sim() {  # start_sim LOG PROGRAM ARGS...
    local log="$1"
    shift
    "$@" --host 127.0.0.1 --port 0 >"$log" 2>&1 &
    started_pid=$!
    listen_port=""
    for _ in $(seq 100); do
        listen_port="$(sed -n 's|.*listening on https\{0,1\}://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$log" | head -n1)"
        [[ -n "$listen_port" ]] && return 0
        sleep 0.1
    done
    echo "bench: $1 did not start: $(cat "$log")" >&2
    exit 1
}

home="$work/home"
appdata="$home/.local/share/VELMORA/OrvixAgent"
mkdir -p "$appdata"
start_agent() {  # start_agent CONFIG_JSON; sets agent_pid and startup_ms
    echo "$1" >"$appdata/config.json"
    local t0 t1
    t0=$(date +%s%N)
    HOME="$home" "$build/orvix-agent" >"$work/agent.out" 2>&1 &
    agent_pid=$!
    until curl -s -o /dev/null --max-time 1 http://127.0.0.1:5555/api/agent/check_connect; do
        kill -0 "$agent_pid" 2>/dev/null || { echo "bench: the agent died: $(cat "$work/agent.out")" >&2; exit 1; }
        sleep 0.005
    done
    t1=$(date +%s%N)
    startup_ms=$(((t1 - t0) / 1000000))
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
anon_kib() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }  # the part no other process shares
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# --- wrk runs -------------------------------------------------------------------------------
# Every run also counts answers whose envelope is not {"code":0...}: a forwarder that
# answers "Camera lost" fast would otherwise look good.
cat >"$work/check.lua" <<'LUA'
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) bad = 0 end
function response(status, headers, body)
    if status ~= 200 or not body or not body:find('"code":0', 1, true) then bad = bad + 1 end
end
function done(summary, latency, requests)
    local total = 0
    for _, thread in ipairs(threads) do total = total + thread:get("bad") end
    io.write(string.format("Bad answers: %d\n", total))
end
LUA

declare -A RPS P50 P99 BAD
# Converts wrk's 215.00us / 1.23ms / 1.05s to milliseconds.
to_ms() { awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /[0-9]s$/) n *= 1000; printf "%.3f", n }'; }
run() {  # run NAME CONNECTIONS URL [wrk options...]; WRK_SCRIPT replaces check.lua
    local name="$1" connections="$2" url="$3"
    shift 3
    local threads=$((connections < 2 ? 1 : 2))
    local out="$work/wrk-${name//[^a-z0-9]/_}-$connections.txt"
    wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency -s "${WRK_SCRIPT:-$work/check.lua}" "$@" "$url" \
        >"$out" 2>&1
    local key="$name/$connections"
    RPS[$key]="$(awk '/^Requests\/sec:/ {printf "%.0f", $2}' "$out")"
    P50[$key]="$(to_ms "$(awk '$1 == "50%" {print $2}' "$out")")"
    P99[$key]="$(to_ms "$(awk '$1 == "99%" {print $2}' "$out")")"
    local bad socket
    bad="$(awk '/^Bad answers:/ {print $3}' "$out")"
    socket="$(awk '/Socket errors:/ {gsub(",", ""); print $4 + $6 + $8 + $10}' "$out")"
    BAD[$key]=$((${bad:-0} + ${socket:-0}))
    printf '  %-34s %3s conn  %8s req/s  p50 %7s ms  p99 %7s ms  bad %s\n' "$name" "$connections" \
        "${RPS[$key]}" "${P50[$key]}" "${P99[$key]}" "${BAD[$key]}" >&2
}
feedback_script() {  # feedback_script FILE SID ID: a POST of one result feedback, checked like the rest
    {
        echo 'wrk.method = "POST"'
        echo 'wrk.headers["Content-Type"] = "application/json"'
        echo "wrk.body = '{\"sid\":\"$2\",\"id\":\"$3\",\"method_of_selection\":\"recognition\"}'"
        cat "$work/check.lua"
    } >"$1"
}
field() {  # field NAME JSON: the first string value of NAME
    grep -o "\"$1\" *: *\"[^\"]*\"" <<<"$2" | head -n1 | sed 's/.*: *"\(.*\)"/\1/'
}

echo "bench: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
    "$(awk '/^MemTotal:/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM; wrk runs of ${seconds} s" >&2

start_sim "$work/sim.log" "$build/orvix-module-sim" --job-seconds 0
sim_pid=$started_pid
sim_port=$listen_port
module="http://127.0.0.1:$sim_port"
agent="http://127.0.0.1:5555"

start_agent "{\"device_ip\":\"127.0.0.1\",\"device_port\":\"$sim_port\"}"
first_startup_ms=$startup_ms

# --- A normal client among a thousand slow ones -----------------------------------------
if [[ "${BENCH_ONLY:-}" == slowpeers ]]; then
    peers="${SLOW_PEERS:-1000}"
    node "$root/tools/slow-peers/slow_peers.js" 5555 "$peers" 2>"$work/peers.log" &
    peers_pid=$!
    sleep 5
    seconds="${SLOW_PEERS_SECONDS:-60}"
    # Timed by a client of its own: one request after another on one keep-alive
    # connection, each from sending to the last byte of the answer.
    result="$(node "$root/tools/slow-peers/probe.js" "$agent/api/get_device_info" "$seconds")"
    value() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$result"; }
    held="$(tail -n 1 "$work/peers.log")"
    echo
    echo "| slow peers held open | requests | p50 | p99 | max | bad | target |"
    echo "|---|---|---|---|---|---|---|"
    echo "| $peers (${held:-?}) | $(value requests) in ${seconds} s | $(value p50_ms) ms | $(value p99_ms) ms |" \
        "$(value max_ms) ms | $(value bad) |" \
        "p99 < 50 ms: $(awk -v p="$(value p99_ms)" 'BEGIN { print (p < 50 ? "met" : "missed") }');" \
        "max < 1000 ms: $(awk -v p="$(value max_ms)" 'BEGIN { print (p < 1000 ? "met" : "missed") }') |"
    exit 0
fi

if [[ "${BENCH_ONLY:-}" != backlog ]]; then
sleep 2
idle_rss=$(rss_kib "$agent_pid")
idle_anon=$(anon_kib "$agent_pid")

for c in 1 32; do
    run "direct, keep-alive" "$c" "$module/api/get_device_info"
    run "direct, connection per request" "$c" "$module/api/get_device_info" -H 'Connection: close'
    run "through the agent" "$c" "$agent/api/get_device_info"
done
for c in 1 32; do
    run "get_result direct, conn/request" "$c" "$module/api/get_result" -H 'Connection: close'
    run "get_result through the agent" "$c" "$agent/api/get_result"
done

direct_result="$(curl -s "$module/api/get_result")"
feedback_script "$work/direct-feedback.lua" "$(field sid "$direct_result")" "$(field id "$direct_result")"
agent_result="$(curl -s "$agent/api/get_result")"
feedback_script "$work/agent-feedback.lua" "$(field sid "$agent_result")" "$(field id "$agent_result")"
for c in 1 32; do
    WRK_SCRIPT="$work/direct-feedback.lua" run "result_feedback direct, conn/req" "$c" \
        "$module/api/result_feedback" -H 'Connection: close'
    WRK_SCRIPT="$work/agent-feedback.lua" run "result_feedback through the agent" "$c" "$agent/api/result_feedback"
done
loaded_rss=$(rss_kib "$agent_pid")
loaded_anon=$(anon_kib "$agent_pid")
fi

# --- Drain of the recognition queue to the cloud simulator ------------------------------
queued() { sqlite3 "$appdata/service.db" 'SELECT count(*) FROM recognition_queue' 2>/dev/null || echo 0; }
received() {  # how many recognitions the cloud simulator recorded
    curl -s "http://127.0.0.1:$cloud_port/control/received" |
        node -e 'let s = ""; process.stdin.on("data", d => s += d).on("end", () =>
            console.log(JSON.parse(s).recognitions.length))' 2>/dev/null || echo "?"
}
drain=()
if [[ "${BENCH_ONLY:-}" == backlog ]]; then
    drain=("skipped (BENCH_ONLY=backlog)" "skipped (BENCH_ONLY=backlog)")
elif [[ ! -x "$build/orvix-cloud-sim" ]]; then
    drain=("n/a (cloud simulator not built)" "n/a (cloud simulator not built)")
else
    stop "$agent_pid"
    agent_pid=""
    start_sim "$work/cloud.log" "$build/orvix-cloud-sim"
    cloud_pid=$started_pid
    cloud_port=$listen_port
    for period in 20000 "$short_period_ms"; do
        window=$drain_seconds
        [[ $period == "$short_period_ms" ]] && window=$((drain_seconds < 15 ? drain_seconds : 15))
        curl -s -X POST "http://127.0.0.1:$cloud_port/control/reset" >/dev/null
        before=$(queued)
        # Pictures stay local: there is no object storage in this bench. Device 42 is the
        # simulator's registered device.
        start_agent "{\"device_ip\":\"127.0.0.1\",\"device_port\":\"$sim_port\",
            \"monitoring_service_address\":\"http://127.0.0.1\",\"monitoring_service_port\":\"$cloud_port\",
            \"velmora_monitoring_client_secret\":\"secret\",\"velmora_monitoring_device_id\":\"42\",
            \"monitoring_getting_tasks\":false,\"recognition_image_sending_enable\":false,
            \"monitoring_request_frequency\":$period}"
        sleep "$window"
        stop "$agent_pid"
        agent_pid=""
        after=$(queued)
        tokens="$(curl -s "http://127.0.0.1:$cloud_port/control/received" | { grep -o '"grant_type"' || true; } | wc -l)"
        if ((tokens == 0)); then
            drain=("n/a (the agent's cloud client did not call the simulator)" "n/a (as above)")
            break
        fi
        drain+=("$(awk -v n=$((before - after)) -v s="$window" -v r="$(received)" -v q="$before" \
            'BEGIN { printf "%d of %d queued sent in %d s: %.2f/s (simulator received %s)", n, q, s, n / s, r }')")
    done
fi

# --- A backlog with pictures, at the default period ----------------------------------------
# BACKLOG recognitions (10000), each with its picture, queued while the till was offline;
# timed from the agent's start to the last one leaving the queue, against the cloud
# simulator and s3rver. BACKLOG=0 skips it.
backlog="${BACKLOG:-10000}"
backlog_result="skipped (BACKLOG=0)"
s3rver_bin="$root/tests/peers/node_modules/.bin/s3rver"
if ((backlog > 0)) && [[ -x "$build/orvix-cloud-sim" && -x "$s3rver_bin" ]]; then
    [[ -n "$agent_pid" ]] && { stop "$agent_pid"; agent_pid=""; }
    [[ -n "$cloud_pid" ]] || { start_sim "$work/cloud.log" "$build/orvix-cloud-sim"; cloud_pid=$started_pid;
        cloud_port=$listen_port; }
    curl -s -X POST "http://127.0.0.1:$cloud_port/control/reset" >/dev/null
    s3_port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => {
        console.log(s.address().port); s.close(); })')
    mkdir -p "$work/s3" "$work/images"
    "$s3rver_bin" -d "$work/s3" -a 127.0.0.1 -p "$s3_port" --configure-bucket develop >"$work/s3rver.log" 2>&1 &
    s3_pid=$!
    until curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$s3_port/"; do sleep 0.1; done
    # The rows as result_feedback stores them, with one candidate each, and the pictures.
    sqlite3 "$appdata/service.db" "
        WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $backlog)
        INSERT INTO recognition_queue (created_at, updated_at, sid, method_of_selection, position_relevance,
            product_code, product_category, product_name, product_weight, response_time_ms, product_code_text)
        SELECT CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 'backlog-' || i, 'recognition', 'top1', 4006381333931,
            'Fruit', 'Apple', 0.25, 120, '4006381333931' FROM n;
        INSERT INTO recognition_values (product_code, product_category, product_name, product_rate, rid, top,
            created_at, updated_at)
        SELECT '4006381333931', 'Fruit', 'Apple', 0.9, id, 1, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP
        FROM recognition_queue WHERE sid LIKE 'backlog-%';"
    picture="$root/tools/module-sim/sample.jpg"
    seq "$backlog" | sed "s|.*|$work/images/backlog-&.jpg|" >"$work/pictures.list"
    xargs -a "$work/pictures.list" sh -c 'tee "$@" <"$0" >/dev/null' "$picture"
    t0=$(date +%s%N)
    start_agent "{\"device_ip\":\"127.0.0.1\",\"device_port\":\"$sim_port\",
        \"monitoring_service_address\":\"http://127.0.0.1\",\"monitoring_service_port\":\"$cloud_port\",
        \"velmora_monitoring_client_secret\":\"secret\",\"velmora_monitoring_device_id\":\"42\",
        \"monitoring_getting_tasks\":true,\"recognition_image_sending_enable\":true,
        \"product_prediction_data_folder_path\":\"$work/images\",
        \"file_storage_service_address\":\"http://127.0.0.1:$s3_port\",
        \"file_storage_service_login\":\"S3RVER\",\"file_storage_service_password\":\"S3RVER\",
        \"monitoring_request_frequency\":20000}"
    limit=$(($(date +%s) + 900))
    while (($(queued) > 0 && $(date +%s) < limit)); do sleep 1; done
    t1=$(date +%s%N)
    left=$(queued)
    stop "$agent_pid"
    agent_pid=""
    stop "$s3_pid"
    s3_pid=""
    # The simulator keeps the last 5000 it received; each of those must carry its picture's URL.
    with_url="$(curl -s "http://127.0.0.1:$cloud_port/control/received" |
        node -e 'let s = ""; process.stdin.on("data", d => s += d).on("end", () => console.log(
            JSON.parse(s).recognitions.filter(r => r.body.recognition_image_url).length))' 2>/dev/null || echo "?")"
    stored="$(find "$work/s3" -name 'backlog-*.jpg._S3rver_object' | wc -l)"
    backlog_result="$(awk -v n=$((backlog - left)) -v q="$backlog" -v ms=$(((t1 - t0) / 1000000)) -v r="$(received)" \
        -v u="$with_url" -v p="$stored" 'BEGIN { printf "%d of %d sent in %.1f s (%.1f/s); %d pictures in storage; " \
        "of the last %s the simulator kept, %s with their picture URL", n, q, ms / 1000, n * 1000 / ms, p, r, u }')"
    backlog_seconds=$(((t1 - t0) / 1000000000))
fi

if [[ "${BENCH_ONLY:-}" == backlog ]]; then
    echo
    echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
        "$(awk '/^MemTotal:/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM; $(uname -r)"
    echo "| backlog of $backlog recognitions with pictures, default period (20000 ms) | $backlog_result |"
    [[ -n "${backlog_seconds:-}" ]] && echo "| drains in ≤ 300 s | ${backlog_seconds} s |" \
        "$(awk -v v="$backlog_seconds" 'BEGIN { print (v <= 300) ? "met" : "MISSED" }') |"
    exit 0
fi

# --- The table ----------------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
diff_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.3f", a - b }'; }
verdict() { awk -v v="$1" -v limit="$2" -v op="$3" 'BEGIN {
    ok = (op == "le") ? (v <= limit) : (v >= limit); print ok ? "met" : "MISSED" }'; }

echo
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
    "$(awk '/^MemTotal:/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM; $(uname -r);" \
    "wrk runs of ${seconds} s, wrk on the same cores"
echo
echo "| request | conns | req/s | p50 ms | p99 ms | bad | vs direct, conn/request: req/s, p50, p99 |"
echo "|---|---:|---:|---:|---:|---:|---|"
row() {  # row LABEL NAME CONNECTIONS [BASELINE_NAME]
    local key="$2/$3" compare="-"
    if [[ -n "${4:-}" ]]; then
        local base="$4/$3"
        compare="×$(ratio "${RPS[$key]}" "${RPS[$base]}"), $(diff_ms "${P50[$key]}" "${P50[$base]}") ms,"
        compare+=" ×$(ratio "${P99[$key]}" "${P99[$base]}")"
    fi
    echo "| $1 | $3 | ${RPS[$key]} | ${P50[$key]} | ${P99[$key]} | ${BAD[$key]} | $compare |"
}
for c in 1 32; do
    row "get_device_info, module sim direct, keep-alive" "direct, keep-alive" "$c"
    row "get_device_info, module sim direct, connection per request" "direct, connection per request" "$c"
    row "get_device_info through the agent" "through the agent" "$c" "direct, connection per request"
done
for c in 1 32; do
    row "get_result, module sim direct, connection per request" "get_result direct, conn/request" "$c"
    row "get_result through the agent (commits a prediction)" "get_result through the agent" "$c" \
        "get_result direct, conn/request"
done
for c in 1 32; do
    row "result_feedback, module sim direct, connection per request" "result_feedback direct, conn/req" "$c"
    row "result_feedback through the agent (stores, counts, saves the picture)" \
        "result_feedback through the agent" "$c" "result_feedback direct, conn/req"
done

echo
echo "| measure | value |"
echo "|---|---|"
echo "| agent start to first answer (fresh database) | $first_startup_ms ms |"
echo "| agent RSS (VmRSS), idle after start | $(mib "$idle_rss") MiB, of which $(mib "$idle_anon") MiB anonymous |"
echo "| agent RSS (VmRSS) after the load | $(mib "$loaded_rss") MiB, of which $(mib "$loaded_anon") MiB anonymous |"
echo "| recognition queue drain, default period (20000 ms) | ${drain[0]} |"
echo "| recognition queue drain, period $short_period_ms ms | ${drain[1]} |"
echo "| backlog of $backlog recognitions with pictures, default period (20000 ms), to object storage and the cloud | $backlog_result |"

fwd1="through the agent/1" dir1="direct, connection per request/1"
fwd32="through the agent/32" dir32="direct, connection per request/32"
added_p50="$(diff_ms "${P50[$fwd1]}" "${P50[$dir1]}")"
added_p50_keepalive="$(diff_ms "${P50[$fwd1]}" "${P50[direct, keep-alive/1]}")"
throughput="$(ratio "${RPS[$fwd32]}" "${RPS[$dir32]}")"
tail_ratio="$(ratio "${P99[$fwd32]}" "${P99[$dir32]}")"
result_added="$(diff_ms "${P50[get_result through the agent/1]}" "${P50[get_result direct, conn/request/1]}")"
idle_mib="$(mib "$idle_rss")"
echo
echo "| target | measured | |"
echo "|---|---|---|"
echo "| forwarding adds ≤ 0.3 ms at p50, 1 connection (vs direct with a connection per request) |" \
    "$added_p50 ms (vs keep-alive: $added_p50_keepalive ms) | $(verdict "$added_p50" 0.3 le) |"
echo "| forwarded throughput ≥ 0.6 × direct (connection per request), 32 connections |" \
    "×$throughput | $(verdict "$throughput" 0.6 ge) |"
echo "| forwarded p99 ≤ 3 × direct p99 (connection per request), 32 connections |" \
    "×$tail_ratio | $(verdict "$tail_ratio" 3 le) |"
echo "| get_result adds ≤ 0.6 ms at p50, 1 connection (vs direct with a connection per request) |" \
    "$result_added ms | $(verdict "$result_added" 0.6 le) |"
echo "| idle RSS ≤ 15 MiB | $idle_mib MiB | $(verdict "$idle_mib" 15 le) |"
if [[ -n "${backlog_seconds:-}" ]]; then
    echo "| a backlog of $backlog recognitions with pictures drains in ≤ 300 s at the default period |" \
        "${backlog_seconds} s | $(verdict "$backlog_seconds" 300 le) |"
fi
