#!/bin/sh
# /init of the TCMU kernel test. The array's units (/etc/zk/array.sim) are
# served from user space by zktcmu through target_core_user; tcm_loop
# makes them local SCSI devices. Each unit is LUN 0 of a loopback target
# port of its own (spa: the LUN through SP A, its owner; spb: the same LUN
# through SP B; noat; unsup). With one LUN per port, no LUN added later
# leaves a REPORTED LUNS DATA HAS CHANGED unit attention on another: the
# library takes a CHECK CONDITION as a failed command, as a host would.
# Checks (ZK-CHECK lines):
#   1 set-up: TCMU devices, handler, loopback ports, sd and sg nodes
#   2 claim_device on SP A's nodes of the LUN: 0 and its six pairs, owner Y
#   3 the same on SP B's nodes: owner N, port serial ending B
#   4 the unit with auto-trespass off: 1
#   5 the unsupported model: 1
#   6 zkdiscover: one LUN with its active and passive paths, each SCSI
#     device once with both its nodes and its address
#   8 the handler: no malformed entry, stops cleanly
#   9 to 11 a hung SP (guest-hung.sh), with zkdiscover
# and prints zkdiscover --capture and --export for the host's replay (7).
. /lib/zk/guest.sh
. /lib/zk/tcmu.sh
zk_guest_setup

UNITS="spa spb noat unsup"

# --- 1: set-up ---------------------------------------------------------
for module in sd_mod sg target_core_user tcm_loop; do
  zk_modprobe "$module" || setup_failed "modprobe $module"
done
grep -q configfs /proc/mounts || mount -t configfs configfs /sys/kernel/config ||
  setup_failed "configfs cannot be mounted"
zk_info "scsi_mod scan=$(cat /sys/module/scsi_mod/parameters/scan 2>/dev/null)"

bindings=
for unit in $UNITS; do
  make_tcmu "$unit" || setup_failed "TCMU device $unit cannot be enabled"
  bindings="$bindings $unit=/dev/tcmu/$unit"
done
zk_info "uio devices: $(for u in /sys/class/uio/uio*; do printf '%s=%s ' "${u##*/}" "$(cat "$u/name")"; done)"

/bin/zktcmu --verbose --config "$CONFIG" --ready "$READY" $bindings 2> "$HANDLER_LOG" &
HANDLER=$!
wait_for_handler $HANDLER

n=0
for unit in $UNITS; do
  n=$((n + 1))
  export_unit $n "$unit" || setup_failed "$unit cannot be exported through $(port_wwn $n)"
done
SPA=$(nodes 1) || setup_failed "no sd and sg nodes for spa"
SPB=$(nodes 2) || setup_failed "no sd and sg nodes for spb"
NOAT=$(nodes 3) || setup_failed "no sd and sg nodes for noat"
UNSUP=$(nodes 4) || setup_failed "no sd and sg nodes for unsup"
prefix() { for n in $*; do printf '/dev/%s ' "$n"; done; }
SPA=$(prefix $SPA) SPB=$(prefix $SPB) NOAT=$(prefix $NOAT) UNSUP=$(prefix $UNSUP)
for node in $SPA $SPB $NOAT $UNSUP; do
  zk_wait_for "$node" 10 || setup_failed "$node did not appear"
done
zk_check 1 PASS "spa: $SPA; spb: $SPB; noat: $NOAT; unsup: $UNSUP"

# --- 2 to 5: claims ----------------------------------------------------
# expect_claim ID NODE EXPECTED: the claim's output must be EXPECTED.
expect_claim() {
  got=$("$CLAIM" "$2" 2>&1)
  if [ "$got" = "$3" ]; then
    zk_check "$1" PASS "$2: $(echo $got)"
  else
    zk_check "$1" FAIL "$2: got [$(echo $got)] expected [$(echo $3)]"
  fi
}


for node in $SPA; do expect_claim 2 "$node" "$(claimed Y A)"; done
for node in $SPB; do expect_claim 3 "$node" "$(claimed N B)"; done
for node in $NOAT; do expect_claim 4 "$node" "result=1"; done
for node in $UNSUP; do expect_claim 5 "$node" "result=1"; done

# --- 6: zkdiscover's tree, and what the host replays (7) -----------------
if [ -x "$ZKDISCOVER" ]; then
  ALL="$SPA $SPB $NOAT $UNSUP"
  tree=/tmp/zkdiscover.tree
  "$ZKDISCOVER" --library "$LIBRARY" $ALL > "$tree" 2>&1
  status=$?
  sed 's/^/ZK-INFO tree: /' "$tree"
  problems=
  [ $status = 0 ] || problems="$problems exit $status;"
  # Each unit is one SCSI device: one line with its sd node (named first),
  # its sg node and its address.
  grep -q -x "Array $CAB: 1 LUN, 2 paths" "$tree" || problems="$problems no array line;"
  # The unit reports failover mode 1 (the model's default) in VPD 0xC0.
  [ "$(grep -c "LUN $LUN_SERIAL  rev 0219  SCSI 4  failover mode 1 (PNR)\$" "$tree")" = 1 ] || problems="$problems not one LUN line;"
  unit_line() { printf '%s\n' "(\\|--|\`--) $1 $2 \\[[0-9]+:0:1:0\\]"; }
  # No device handler is loaded here: the kernel column reads detached;
  # no multipath map holds the paths.
  grep -q -E "$(unit_line $SPA)  SP A  port ${CAB}A  owner  kernel detached  dm none\$" "$tree" || problems="$problems $SPA not one active path;"
  grep -q -E "$(unit_line $SPB)  SP B  port ${CAB}B  kernel detached  dm none\$" "$tree" || problems="$problems $SPB not one passive path;"
  for unit in "$NOAT" "$UNSUP"; do
    grep -q -E "$(unit_line $unit)  DGC" "$tree" || problems="$problems $unit not one device;"
  done
  grep -q -x "Summary: 2 paths claimed (1 array, 1 LUN), 2 not claimed, 0 failed, 0 not examined" "$tree" ||
    problems="$problems summary;"
  if [ -z "$problems" ]; then
    zk_check 6 PASS "one LUN, active path $SPA, passive path $SPB, each SCSI device once"
  else
    zk_check 6 FAIL "$problems"
  fi

  rm -rf /tmp/capture
  "$ZKDISCOVER" --library "$LIBRARY" --export --capture /tmp/capture $ALL > /tmp/export 2> /tmp/export.err
  zk_info "zkdiscover --capture: exit $?: $(cat /tmp/export.err)"
  sed 's/^/ZK-EXPORT /' /tmp/export
  [ -r /tmp/capture/capture.sim ] && sed 's/^/ZK-CAPTURE /' /tmp/capture/capture.sim
else
  zk_info "zkdiscover was not built: checks 6 and 7 are skipped"
fi

# --- 9 to 11: a hung SP (guest-hung.sh) -----------------------------------
[ -x "$ZKDISCOVER" ] && . /lib/zk/hung.sh

# --- 8: the handler ------------------------------------------------------
kill -TERM $HANDLER
wait $HANDLER
status=$?
# What reached user space: "opcode/status xcount" per unit.
for unit in $UNITS; do
  zk_info "handler: $unit: $(sed -n "s/^zktcmu: $unit: \[[0-9]*\] \([0-9a-f]*\) .*status 0x\([0-9a-f]*\)\$/\1\/\2/p" "$HANDLER_LOG" |
    sort | uniq -c | awk '{ printf "%s x%s  ", $2, $1 }')"
done
grep -v '\] ' "$HANDLER_LOG" | sed 's/^/ZK-INFO handler: /'
if [ $status != 0 ]; then
  zk_check 8 FAIL "zktcmu ended with status $status"
elif grep -q -e malformed -e 'unusable' "$HANDLER_LOG"; then
  zk_check 8 FAIL "zktcmu saw entries it could not use"
else
  zk_check 8 PASS "zktcmu answered every command and stopped cleanly"
fi
zk_guest_finish
