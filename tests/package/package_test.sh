#!/usr/bin/env bash
# Checks the Debian packages of a built tree without changing this machine:
#   tests/package/package_test.sh BUILD_DIR
# Packs them with the build's own CPack configuration (what the `package` target runs)
# into a temporary folder, runs lintian, unpacks them with dpkg-deb -x, checks the
# systemd unit with systemd's own tools in a private mount namespace, runs the maintainer
# scripts against the unpacked tree (DPKG_ROOT), and runs the unpacked agent against the
# unpacked module simulator. Starts an agent on port 5555: run it holding the port lock.
set -euo pipefail

build="$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)"
work="$(mktemp -d)"
sim_pid=""
agent_pid=""
cleanup() {
    for pid in $sim_pid $agent_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
    return 0
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...: runs the command, counts and prints the outcome
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
finish() {
    echo "package_test: $passed passed, $failed failed"
    exit $((failed > 0))
}

# --- Packing ---------------------------------------------------------------------------
if ! (cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    check "cpack packs the build" false
    finish
fi
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
arch="$(dpkg --print-architecture)"
agent_deb="$work/out/orvix-agent_${version}_${arch}.deb"
tools_deb="$work/out/orvix-agent-tools_${version}_${arch}.deb"
check "packages are named <package>_<version>_<architecture>.deb ($version, $arch)" \
    test -f "$agent_deb" -a -f "$tools_deb"
[[ -f "$agent_deb" && -f "$tools_deb" ]] || finish

# --- lintian: no errors, and no warnings but the ones the README explains -----------------
# The simulators document themselves with --help and have no manual pages.
allowed_warning='^W: orvix-agent-tools: no-manual-page \[usr/bin/orvix-[a-z-]+\]$'
lintian --fail-on none "$agent_deb" "$tools_deb" >"$work/lintian.log" 2>&1 || true
sed 's/^/     lintian: /' "$work/lintian.log"
check "lintian reports no error" test -z "$(grep '^E: ' "$work/lintian.log" || true)"
check "lintian warns about nothing unexplained" \
    test -z "$(grep '^W: ' "$work/lintian.log" | grep -Ev "$allowed_warning" || true)"

# --- Contents and dependencies ------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$agent_deb" "$root"
dpkg-deb -x "$tools_deb" "$root"
dpkg-deb -e "$agent_deb" "$work/control"
unit_dir=/lib/systemd/system
unit="$root$unit_dir/orvix-driver.service"
dropin="$root$unit_dir/orvix-driver.service.d/orvix-agent-package.conf"
for file in usr/bin/orvix-agent usr/bin/orvix-module-sim "${unit#"$root"/}" "${dropin#"$root"/}" \
    usr/share/doc/orvix-agent/copyright usr/share/doc/orvix-agent/changelog.gz \
    usr/share/man/man8/orvix-agent.8.gz usr/share/doc/orvix-agent-tools/copyright \
    usr/share/doc/orvix-agent-tools/changelog.gz; do
    check "ships /$file" test -s "$root/$file"
done
for tool in "$build"/orvix-*-sim; do
    check "the tools package ships the simulator $(basename "$tool")" test -x "$root/usr/bin/$(basename "$tool")"
done
check "the agent package holds no simulator" test -z "$(dpkg-deb -c "$agent_deb" | grep -- '-sim$' || true)"
check "the unit is the one the build made, which the unit tests hold to --install-service" \
    cmp "$build/packaging/orvix-driver.service" "$unit"
check "the unit starts the packaged agent" grep -qx 'ExecStart=/usr/bin/orvix-agent' "$unit"
check "orvix-agent.service is an alias of the unit" \
    test "$(readlink "$root$unit_dir/orvix-agent.service" 2>/dev/null)" = orvix-driver.service
check "the service runs as a user of its own, not root" grep -qx 'User=orvix-agent' "$dropin"

# Every library the agent links directly comes from a package that Depends names
# (itself or through a name it provides).
depends="$(dpkg-deb -f "$agent_deb" Depends)"
echo "     Depends: $depends"
check "every library of the unpacked agent resolves" \
    test -z "$(ldd "$root/usr/bin/orvix-agent" | grep 'not found' || true)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
unlisted=""
for lib in $(readelf -d "$root/usr/bin/orvix-agent" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    owner="$(dpkg -S "*/$multiarch/$lib" 2>/dev/null | head -n1 | cut -d: -f1)"
    named=""
    for name in $owner $(dpkg-query -W -f='${Provides}' "$owner" 2>/dev/null | tr -d ','); do
        [[ ", $depends," == *", $name "* || ", $depends," == *", $name,"* ]] && named=yes
    done
    [[ -n "$named" ]] || unlisted+=" $lib(${owner:-no package})"
done
check "Depends names the package of every library the agent links${unlisted:+; missing:$unlisted}" \
    test -z "$unlisted"

# --- systemd's view of the unit, in a private mount namespace ----------------------------
# The unpacked files are laid over /usr/bin and the unit folder, and a scratch /var/lib
# over the real one, for systemd-analyze's eyes only: this machine's folders stay as they are.
service_home="$(sed -n 's|^Environment=HOME=||p' "$dropin")"
appdata="$service_home/.local/share/VELMORA/OrvixAgent"
check "the drop-in gives the service a HOME" test -n "$service_home"
namespace=(unshare --mount --propagation private)
[[ $(id -u) -eq 0 ]] || namespace=(unshare --map-root-user --mount --propagation private)
if "${namespace[@]}" bash "$(dirname "$0")/systemd_view.sh" "$root" "$unit_dir" "$appdata" \
    >"$work/systemd.log" 2>&1; then
    sed 's/^/     systemd: /' "$work/systemd.log"
    check "systemd-analyze verify finds nothing to say about the unit and its drop-in" \
        grep -qx 'verify: ' "$work/systemd.log"
    check "the service does not start on a fresh installation" grep -qx 'fresh: no' "$work/systemd.log"
    check "... nor with an empty data folder" grep -qx 'empty data folder: no' "$work/systemd.log"
    check "... but once config.json is in place" grep -qx 'config.json: yes' "$work/systemd.log"
    check "... and once the agent has its database" grep -qx 'database: yes' "$work/systemd.log"
    # systemd-analyze security --offline=yes on the unit with its drop-in: 10 is
    # "UNSAFE", a sandboxed gateway scores 3.0 or lower.
    score="$(sed -n 's/^security: //p' "$work/systemd.log")"
    check "systemd-analyze security scores the unit 3.0 or lower (${score:-no score})" \
        awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 3.0) }'
else
    cat "$work/systemd.log"
    check "a private mount namespace for systemd-analyze" false
fi

# --- Maintainer scripts, against the unpacked tree --------------------------------------
# dpkg --root sets DPKG_ROOT; the scripts and deb-systemd-helper then act inside it.
maintainer() {
    DPKG_ROOT="$root" DPKG_MAINTSCRIPT_PACKAGE=orvix-agent DPKG_MAINTSCRIPT_NAME="$1" \
        sh "$work/control/$1" "${@:2}" >>"$work/scripts.log" 2>&1
}
wants="$root/etc/systemd/system/multi-user.target.wants/orvix-driver.service"
maintainer postinst configure
check "postinst enables the unit for multi-user.target" \
    test "$(readlink "$wants" 2>/dev/null)" = "$unit_dir/orvix-driver.service"
check "postinst makes the agent's data folder" test -d "$root$appdata"
check "postinst keeps the service's HOME to root alone" test "$(stat -c %a "$root$service_home")" = 700
touch "$root$appdata/service.db"
maintainer postinst configure "$version"
check "an upgrade keeps the data and the link" test -f "$root$appdata/service.db" -a -L "$wants"
maintainer prerm remove
maintainer postrm remove
check "a removal keeps the data" test -f "$root$appdata/service.db"
check "a removal masks the unit, so a leftover link starts nothing" \
    test "$(readlink "$root/etc/systemd/system/orvix-driver.service" 2>/dev/null)" = /dev/null
maintainer postrm purge
check "a purge removes the enable link and the mask" test ! -e "$wants" -a ! -L "$wants" \
    -a ! -L "$root/etc/systemd/system/orvix-driver.service"
check "a purge removes the service's HOME" test ! -e "$root$service_home"
check "a purge leaves no state of deb-systemd-helper" \
    test -z "$(ls -A "$root/var/lib/systemd/deb-systemd-helper-enabled" 2>/dev/null || true)"
check "the maintainer scripts print nothing" test ! -s "$work/scripts.log"
if [[ -s "$work/scripts.log" ]]; then sed 's/^/     scripts: /' "$work/scripts.log"; fi

# --- The unpacked programs ----------------------------------------------------------------
agent="$root/usr/bin/orvix-agent"
shown="$("$agent" --version)"
echo "     --version: $shown"
# The agent writes 1.0.9 as 1.0.0009: the same numbers.
same_version() {
    local IFS=. i
    local -a a b
    read -ra a <<<"$1"
    read -ra b <<<"$2"
    ((${#a[@]} == ${#b[@]})) || return 1
    for i in "${!a[@]}"; do
        [[ "${a[$i]}" =~ ^[0-9]+$ && "${b[$i]}" =~ ^[0-9]+$ ]] || return 1
        ((10#${a[$i]} == 10#${b[$i]})) || return 1
    done
}
shown_version="$(awk '{print $2}' <<<"$shown")"
check "--version names the package's version ($shown_version, $version)" \
    same_version "$shown_version" "$version"

if curl -s -o /dev/null --max-time 2 http://127.0.0.1:5555/; then
    check "port 5555 is free before the agent starts" false
    finish
fi
serial="PKGTEST$$"
"$root/usr/bin/orvix-module-sim" --host 127.0.0.1 --port 0 --job-seconds 0 --sn "$serial" \
    >"$work/sim.log" 2>&1 &
sim_pid=$!
sim_port=""
for _ in $(seq 100); do
    sim_port="$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/sim.log")"
    [[ -n "$sim_port" ]] && break
    sleep 0.1
done
check "the unpacked module simulator listens" test -n "$sim_port"

agent_data="$work/home/.local/share/VELMORA/OrvixAgent"
mkdir -p "$agent_data"
echo "{\"device_ip\":\"127.0.0.1\",\"device_port\":\"$sim_port\"}" >"$agent_data/config.json"
# A system service's environment: the drop-in's HOME, PATH, nothing else.
env -i HOME="$work/home" PATH=/usr/bin:/bin "$agent" >"$work/agent.log" 2>&1 &
agent_pid=$!
answer=""
for _ in $(seq 200); do
    answer="$(curl -s --max-time 2 http://127.0.0.1:5555/api/get_device_info || true)"
    [[ -n "$answer" ]] && break
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.1
done
echo "     get_device_info: $answer"
check "the unpacked agent answers on 5555 with the simulator's device info" \
    test -n "$(grep '"code":0' <<<"$answer" | grep "\"$serial\"" || true)"
check "it applied config.json and keeps its database under HOME" \
    test ! -e "$agent_data/config.json" -a -s "$agent_data/service.db"
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
check "it stops with status 0 on SIGTERM" test "$status" -eq 0

finish
