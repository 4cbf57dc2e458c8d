#!/bin/sh
# /init of the scsi_debug kernel test: loads scsi_debug in three
# configurations and runs the checks of zk_kernel_checks (1 to 4) and of
# zkdiscover (5) on the real /dev/sgN and /dev/sdX nodes.
. /lib/zk/guest.sh
zk_guest_setup

UNPRIVILEGED=1000
ZKDISCOVER=/opt/zk/bin/zkdiscover
LIBRARY=/opt/zk/lib/libzkDGCclariion.so

# load_devices VENDOR HOSTS TARGETS LUNS: loads scsi_debug with the vendor
# identification padded to eight characters and waits for every node.
load_devices() {
  count=$(($2 * $3 * $4))
  if ! zk_modprobe scsi_debug "inq_vendor=$(printf '%-8s' "$1")" "inq_product=$(printf '%-16s' ZK_LUN)" \
       add_host="$2" num_tgts="$3" max_luns="$4" dev_size_mb=4; then
    return 1
  fi
  waited=0
  while :; do
    sg=$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)
    sd=$(ls -d /sys/block/sd* 2>/dev/null | wc -l)
    nodes=$(ls /dev/sg* /dev/sd* 2>/dev/null | wc -l)
    [ "$sg" = "$count" ] && [ "$sd" = "$count" ] && [ "$nodes" = $((2 * count)) ] && break
    waited=$((waited + 1))
    if [ $waited -gt 200 ]; then
      zk_info "scsi_debug: $sg sg and $sd sd devices of $count after 20 s"
      return 1
    fi
    usleep 100000
  done
  # Readable by the disk group, as on a distribution; the last sg node is
  # left to root alone.
  NODES=$(ls /dev/sg* /dev/sd* | sort)
  chgrp 6 $NODES
  chmod 640 $NODES
  DENIED=$(ls /dev/sg* | sort | tail -n 1)
  chmod 600 "$DENIED"
  zk_info "scsi_debug vendor '$1': $(echo $NODES)"
}

unload_devices() { zk_rmmod scsi_debug; }

# check_zkdiscover CLAIM REASON: zkdiscover --explain on this configuration's
# nodes shows each as failed (CLAIM -1) or not claimed (1) with the reason.
check_zkdiscover() {
  if [ ! -x "$ZKDISCOVER" ]; then
    zk_info "check 5: zkdiscover was not built"
    return
  fi
  out=/tmp/zkdiscover.out
  "$ZKDISCOVER" --library "$LIBRARY" --explain $NODES > "$out" 2>&1
  status=$?
  problems=
  for node in $NODES; do
    grep -q "$node" "$out" || problems="$problems $node missing;"
  done
  reasons=$(grep -c -F "$2" "$out")
  [ "$reasons" -ge "$(echo $NODES | wc -w)" ] || problems="$problems $reasons lines with '$2';"
  if [ "$1" = -1 ]; then
    grep -qi 'fail' "$out" || problems="$problems no failed claims shown;"
  else
    grep -qi 'not claimed' "$out" || problems="$problems no unclaimed devices shown;"
  fi
  if grep -qi 'PORT_SERIAL_NO\|LUN_SERIAL_NO' "$out"; then
    problems="$problems a device shown as claimed;"
  fi
  if [ -z "$problems" ]; then
    zk_check 5 PASS "zkdiscover --explain (exit $status): $(echo $NODES | wc -w) nodes, reason '$2'"
  else
    zk_check 5 FAIL "zkdiscover --explain (exit $status):$problems"
  fi
  sed 's/^/ZK-INFO zkdiscover: /' "$out" | head -n 60
}

# run_configuration VENDOR CLAIM REASON HOSTS TARGETS LUNS
run_configuration() {
  if ! load_devices "$1" "$4" "$5" "$6"; then
    zk_check 1 FAIL "scsi_debug with vendor '$1' did not come up"
    return
  fi
  zk_kernel_checks --vendor "$1" --claim "$2" --user $UNPRIVILEGED --denied "$DENIED" $NODES ||
    ZK_GUEST_FAILED=1
  check_zkdiscover "$2" "$3"
  unload_devices
}

zk_modprobe sd_mod
zk_modprobe sg
run_configuration DGC -1 "can't get SP Report Mode Page" 2 1 2
run_configuration DGCX 1 "not claiming" 1 1 2
run_configuration ACME 1 "not claiming" 1 1 1
zk_guest_finish
