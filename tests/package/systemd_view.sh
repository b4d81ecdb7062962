#!/usr/bin/env bash
# What systemd makes of the packaged unit, for package_test.sh. Runs ONLY inside a
# private mount namespace (unshare --mount): it lays the unpacked package over /usr/bin
# and the unit folder, and a scratch tmpfs over /var/lib, then asks systemd-analyze.
#   systemd_view.sh UNPACKED_ROOT UNIT_DIR SERVICE_APPDATA
set -euo pipefail
root="$1" unit_dir="$2" appdata="$3"

# Refuse to run where the mounts would be seen by the rest of the machine.
if [[ "$(readlink /proc/self/ns/mnt)" == "$(readlink /proc/1/ns/mnt)" ]]; then
    echo "systemd_view.sh: not in a private mount namespace" >&2
    exit 1
fi
mount -t overlay overlay -o "lowerdir=$root/usr/bin:/usr/bin" /usr/bin
mount -t overlay overlay -o "lowerdir=$root$unit_dir:$unit_dir" "$unit_dir"
mount -t tmpfs tmpfs /var/lib

echo "verify: $(systemd-analyze verify orvix-driver.service 2>&1 | tr '\n' ' ')"
security="$(systemd-analyze security --offline=yes orvix-driver.service 2>&1 || true)"
echo "security: $(sed -n 's/.*Overall exposure level for orvix-driver.service: \([0-9.]*\).*/\1/p' <<<"$security")"

# Whether systemd would start the unit, by the conditions of its drop-in.
mapfile -t conditions < <(grep '^Condition' "$unit_dir/orvix-driver.service.d/orvix-agent-package.conf")
starts() { if systemd-analyze condition "${conditions[@]}" >/dev/null 2>&1; then echo yes; else echo no; fi; }
echo "fresh: $(starts)"
mkdir -p "$appdata"
echo "empty data folder: $(starts)"
echo '{}' >"$appdata/config.json"
echo "config.json: $(starts)"
rm "$appdata/config.json"
touch "$appdata/service.db"
echo "database: $(starts)"
