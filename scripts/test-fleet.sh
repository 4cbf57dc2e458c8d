#!/usr/bin/env bash
# The fleet stage: builds the Debian packages, installs them with apt-get,
# and proves the monitoring chain against the real servers: the installed
# zkdiscover writes the metrics of two hosts (two simulations of one array)
# into a textfile folder each, two of Debian's node exporters serve them,
# Debian's Prometheus scrapes both every second with the installed alert
# rules, and a lost path, a trespass, a LUN off its default SP, hosts whose
# kernels use different SPs for one LUN, and a LUN gone each raise their
# alert. Every server listens on 127.0.0.1 only and is stopped here; the
# packages are purged and checked gone at the end.
# Usage: scripts/test-fleet.sh WORK_DIR
# FLEET_VIEW_ALERTS=off leaves out the kernel views of the simulations and
# the alerts that need them (ZkdiscoverLunNotOnDefaultSP,
# ZkdiscoverHostsDisagreeOnSP).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mkdir -p "$1" && cd "$1" && pwd)
start=$SECONDS
packages=(zkdiscover libzkdgcclariion-dev libzkdgcclariion)
pids=()
installed=false

say() { echo "fleet: $*"; }
fail() { echo "fleet: FAILED: $*" >&2; exit 1; }
view_alerts=${FLEET_VIEW_ALERTS:-on}
case $view_alerts in on|off) ;; *) fail "FLEET_VIEW_ALERTS is on or off, not '$view_alerts'" ;; esac

cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if $installed; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

# Polls a command (every 0.2 s) for at most $1 seconds.
wait_for() {
  local limit=$1; shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The installed program, with a private /tmp: the library's trace log
# (/tmp/.ZEVIRO00.log) is never touched.
zkdiscover() {
  "$root/scripts/private-tmp.sh" /usr/bin/zkdiscover "$@"
}

# The simulated array as one host sees it: LUN 0 owned by SP A and LUN 1 by
# SP $1 (0 = A, 1 = B), SP A the default SP of both, two paths through each
# SP, path number $2 left out (-1: none), LUN 1 left out when $3 is 1. With
# the views, the kernel's active path to LUN 0 goes through SP $4 (default
# A), to LUN 1 through its owner; its preferred paths through SP A.
describe() {
  local lun sp path n owner active
  for lun in 0 1; do
    [ "$lun" -lt "${3:-2}" ] || continue
    for sp in 0 1; do
      for path in 0 1; do
        n=$((lun * 4 + sp * 2 + path))
        [ "$n" -ne "$2" ] || continue
        owner=0
        if [ "$lun" -eq 0 ]; then [ "$sp" -eq 0 ] && owner=1; else [ "$sp" -eq "$1" ] && owner=1; fi
        printf 'unit /dev/sim/fleet/p%d\n  cab_serial "APMFLEET00001"\n' "$n"
        printf '  lun_id hex:60 06 01 60 3a 51 28 00 4%d c4 9e 57 21 d8 e0 11\n' "$lun"
        printf '  vlu %d\n  lu %d\n  sp %d\n  model 4700\n  lun %d\n  auto_trespass on\n  owner %d\n' \
               "$lun" "$lun" "$sp" "$lun" "$owner"
        printf '  default_sp A\n'
        [ "$view_alerts" = on ] || continue
        active=$owner
        [ "$lun" -ne 0 ] || active=$((sp == ${4:-0}))
        printf '  kernel emc %s%s\n' "$( ((active)) && echo active/optimized || echo standby)" \
               "$( ((sp == 0)) && echo ' preferred')"
      done
    done
  done
}

# ---- Build the packages from a copy of the sources (the .debs land beside it).
rm -rf "$work" && mkdir -p "$work/src"
(cd "$root" && { git ls-files -co --exclude-standard 2>/dev/null || find . -path ./build -prune -o -type f -print; } |
   grep -v '^\(\./\)\?build/' | tar -cf - -T -) | tar -xf - -C "$work/src"
say "building the packages"
(cd "$work/src" && DEB_BUILD_OPTIONS="noddebs parallel=$(nproc)" dpkg-buildpackage -us -uc -b \
   >"$work/build.log" 2>&1) || { tail -40 "$work/build.log"; fail "dpkg-buildpackage"; }
grep -q "31 exports match debian/exports.map" "$work/build.log" || fail "the export check did not run"
say "packages built in $((SECONDS - start)) s"
lintian --fail-on error "$work"/*.changes >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt"; fail "lintian reports errors"; }
grep -v '^running with root' "$work/lintian.txt" || true

# ---- Install them.
chmod 755 "$work" && chmod 644 "$work"/*.deb
debs=()
for p in "${packages[@]}"; do debs+=("$work/${p}_"*.deb); done
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install"; }
installed=true
for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u >"$work/files.txt"
systemd-analyze verify /lib/systemd/system/zkdiscover-metrics.service \
  /lib/systemd/system/zkdiscover-metrics.timer || fail "systemd-analyze verify"
rules=/usr/share/zkdiscover/zkdiscover-alerts.yml
promtool check rules "$rules" >/dev/null || fail "promtool check rules"
promtool test rules "$work/src/monitoring/tests/zkdiscover-alerts-test.yml" >/dev/null ||
  fail "promtool test rules"
# The -dev package serves a host built with pkg-config and one built with
# find_package.
consumer=$work/src/tests/foundation/consumer
# shellcheck disable=SC2046
cc -o "$work/consumer_pc" "$consumer/consumer.c" $(pkg-config --cflags --libs zkDGCclariion) ||
  fail "pkg-config host does not build"
cmake -S "$consumer" -B "$work/consumer-build" >/dev/null && cmake --build "$work/consumer-build" >/dev/null ||
  fail "find_package host does not build"
for host in "$work/consumer_pc" "$work/consumer-build/consumer"; do
  [ "$(cd / && "$host" | head -1)" = "VID=DGC" ] || fail "$host does not run against the package"
done
say "installed; units, rules, rule tests and the -dev package's hosts accepted"


# ---- Metrics from the installed program, a textfile folder per host.
hosts=(1 2)
for h in "${hosts[@]}"; do mkdir -p "$work/textfile$h"; done
prom=$work/textfile1/zkdiscover.prom
# scan HOST DESCRIBE-ARGUMENT...: the host's scan of the array so described,
# into its folder.
scan() {
  local h=$1; shift
  describe "$@" >"$work/host$h.sim"
  zkdiscover --simulate="$work/host$h.sim" --metrics "$work/textfile$h/zkdiscover.prom" >/dev/null ||
    fail "zkdiscover --metrics on host $h (describe $*)"
}
scan 1 0 -1
scan 2 0 -1
promtool check metrics <"$prom" || fail "promtool check metrics"
grep -qx 'zkdiscover_devices{outcome="claimed"} 8' "$prom" || fail "8 claimed paths expected"
# A scan that cannot run still writes its file.
zkdiscover --simulate="$work/missing.sim" --metrics "$work/failed.prom" 2>/dev/null && fail "missing description accepted"
grep -qx 'zkdiscover_scan_success 0' "$work/failed.prom" || fail "no failed-scan metrics"
lun_of() { sed -n "s/^zkdiscover_path_info{array=\"[^\"]*\",lun=\"\([^\"]*\)\",sp=\"[AB]\",device=\"\/dev\/sim\/fleet\/$1\".*/\1/p" "$prom"; }
lun0=$(lun_of p0) lun1=$(lun_of p4)
[ -n "$lun0" ] && [ -n "$lun1" ] || fail "no LUN labels in the metrics"

# ---- Debian's node exporter, textfile collector only, one per host.
declare -A exporter_port
for h in "${hosts[@]}"; do
  exporter_port[$h]=$(free_port)
  prometheus-node-exporter --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile$h" --web.listen-address="127.0.0.1:${exporter_port[$h]}" \
    >"$work/exporter$h.log" 2>&1 &
  pids+=($!)
done
scrape() { curl -fsS --max-time 2 "http://127.0.0.1:${exporter_port[$1]}/metrics" >"$work/scrape$1.txt" 2>/dev/null; }
for h in "${hosts[@]}"; do
  wait_for 20 scrape "$h" || { cat "$work/exporter$h.log"; fail "the node exporter of host $h does not answer"; }
  grep -qx 'node_textfile_scrape_error 0' "$work/scrape$h.txt" || fail "textfile scrape error on host $h"
  grep -qx 'zkdiscover_scan_success 1' "$work/scrape$h.txt" || fail "zkdiscover metrics not served on host $h"
done
grep -q "^zkdiscover_lun_paths{array=\"APMFLEET00001\",lun=\"$lun0\",sp=\"A\"} 2$" "$work/scrape1.txt" ||
  fail "LUN paths not served"
host1=127.0.0.1:${exporter_port[1]} host2=127.0.0.1:${exporter_port[2]}
say "node exporters serve the metrics of host 1 ($host1) and host 2 ($host2)"

# ---- Debian's Prometheus with the installed rules, their for: durations
# shortened so that the alerts fire within seconds.
prometheus_port=$(free_port)
sed -E 's/^([[:space:]]*)for: .*/\1for: 1s/' "$rules" >"$work/rules.yml"
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ["$work/rules.yml"]
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["$host1", "$host2"]
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prometheus-data" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)
api="http://127.0.0.1:$prometheus_port"
ready() { curl -fsS --max-time 2 "$api/-/ready" >/dev/null 2>&1; }
wait_for 30 ready || { tail -20 "$work/prometheus.log"; fail "prometheus does not start"; }
scraped() {  # 2 LUNs x 2 SPs from each host
  curl -fsS --max-time 2 "$api/api/v1/query" --data-urlencode 'query=count(zkdiscover_lun_paths)' 2>/dev/null |
    grep -q '"value":\[[0-9.]*,"8"\]'
}
wait_for 30 scraped || fail "prometheus does not scrape the metrics of both hosts"
# Two scrapes of the full array at least, so that the past holds 2 paths.
sleep 2

firing() {  # ALERTNAME LUN SP INSTANCE ("" for a label the alert has not)
  curl -fsS --max-time 2 "$api/api/v1/alerts" 2>/dev/null | python3 -c '
import json, sys
alerts = json.load(sys.stdin)["data"]["alerts"]
name, lun, sp, instance = sys.argv[1:]
sys.exit(0 if any(a["state"] == "firing" and a["labels"].get("alertname") == name and
                  a["labels"].get("lun") == lun and a["labels"].get("sp", "") == sp and
                  a["labels"].get("instance", "") == instance
                  for a in alerts) else 1)' "$@"
}
# raised WHAT ALERTNAME LUN SP INSTANCE: firing within 60 s of the scans
# that cause it; says after how long.
raised() {
  local what=$1 t=$SECONDS; shift
  wait_for 60 firing "$@" || fail "no $1 for LUN $2 ($what)"
  say "$1 for LUN $2 ($what) after $((SECONDS - t)) s"
}
firing ZkdiscoverPathLost "$lun0" A "$host1" && fail "ZkdiscoverPathLost before any path was lost"

scan 1 0 0
raised "host 1, SP A" ZkdiscoverPathLost "$lun0" A "$host1"
firing ZkdiscoverLunTrespassed "$lun1" B "$host1" && fail "ZkdiscoverLunTrespassed before any trespass"
if [ "$view_alerts" = on ]; then
  firing ZkdiscoverLunNotOnDefaultSP "$lun1" B "" && fail "ZkdiscoverLunNotOnDefaultSP before any trespass"
fi

# The array moves LUN 1 to SP B; both hosts' kernels follow.
scan 1 1 0
scan 2 1 -1
raised "host 1, now SP B" ZkdiscoverLunTrespassed "$lun1" B "$host1"
if [ "$view_alerts" = on ]; then
  raised "on SP B, its default A" ZkdiscoverLunNotOnDefaultSP "$lun1" B ""
  firing ZkdiscoverHostsDisagreeOnSP "$lun0" "" "" && fail "ZkdiscoverHostsDisagreeOnSP while the hosts agree"
  # Host 2's kernel sends LUN 0's I/O through SP B, host 1's through SP A.
  scan 2 1 -1 2 1
  raised "host 1 through SP A, host 2 through SP B" ZkdiscoverHostsDisagreeOnSP "$lun0" "" ""
  firing ZkdiscoverHostsDisagreeOnSP "$lun1" "" "" && fail "ZkdiscoverHostsDisagreeOnSP for LUN $lun1, which the hosts agree on"
fi
firing ZkdiscoverLunLost "$lun1" "" "$host1" && fail "ZkdiscoverLunLost before any LUN was lost"

# LUN 1 leaves host 1's storage group: all its series go.
scan 1 1 0 1
raised "host 1" ZkdiscoverLunLost "$lun1" "" "$host1"
firing ZkdiscoverLunLost "$lun1" "" "$host2" && fail "ZkdiscoverLunLost on host 2, which still sees LUN $lun1"
curl -fsS --max-time 2 "$api/api/v1/alerts" >"$work/alerts.json"

# ---- Stop the servers, remove the packages, and check nothing is left.
for pid in "${pids[@]}"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
pids=()
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log"; fail "apt-get purge"; }
installed=false
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qv '^not-installed$' ||
    fail "$p is still known to dpkg"
done
left=()
while read -r f; do
  [ -d "$f" ] && continue   # folders (and links to them) shared with other packages stay
  [ -e "$f" ] || [ -L "$f" ] && left+=("$f")
done <"$work/files.txt"
left+=($(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled -name 'zkdiscover*' 2>/dev/null))
left+=($(find /usr/lib/*/ /usr/share -maxdepth 1 -name 'zkdiscover*' 2>/dev/null))
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
say "purged; nothing left"
say "stage time $((SECONDS - start)) s"
