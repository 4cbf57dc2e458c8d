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

# check_zkdiscover CLAIM REASON: zkdiscover shows every SCSI device once,
# with both its nodes and its address, as failed (CLAIM -1) or not claimed
# (1); with --explain each device's trace holds REASON and its result line.
# Without DEVICE arguments it finds the same devices through their sg nodes.
check_zkdiscover() {
  if [ ! -x "$ZKDISCOVER" ]; then
    zk_info "check 5: zkdiscover was not built"
    return
  fi
  sg_count=$(ls /dev/sg* | wc -l)
  problems=
  out=/tmp/zkdiscover.out
  "$ZKDISCOVER" --library "$LIBRARY" --explain $NODES > "$out" 2>&1
  status=$?
  [ $status = 0 ] || problems="$problems exit $status;"
  devices=0
  for dir in /sys/bus/scsi/devices/*:*:*:*; do
    address=${dir##*/} sd=$(ls "$dir/block") sg=$(ls "$dir/scsi_generic")
    devices=$((devices + 1))
    # Named first on the command line (sorted: sd before sg), offered.
    lines=$(grep -c -E -- "-- /dev/$sd /dev/$sg \\[$address\\]( |:|\$)" "$out")
    [ "$lines" = 1 ] || problems="$problems $address ($sd, $sg) on $lines lines;"
    grep -q -E -- "/dev/$sg(  | :)" "$out" && problems="$problems $sg shown as a device of its own;"
    grep -q -F -- "/dev/$sd : retval $1" "$out" || problems="$problems no result line for $sd;"
  done
  [ $((devices * 2)) = "$(echo $NODES | wc -w)" ] || problems="$problems $devices devices for nodes $NODES;"
  grep -q -E "^Summary: 0 paths claimed.*, $(summary "$1" "$devices"), 0 not examined" "$out" ||
    problems="$problems summary '$(grep '^Summary' "$out")';"
  reasons=$(grep -c -F -- "> $2" "$out")
  [ "$reasons" = "$devices" ] || problems="$problems $reasons of $devices traces hold '$2';"
  { head -n 10 "$out"; grep '^Summary' "$out"; } | sed 's/^/ZK-INFO zkdiscover: /'

  "$ZKDISCOVER" --library "$LIBRARY" > "$out" 2>&1
  status=$?
  [ $status = 0 ] || problems="$problems exit $status without devices named;"
  grep -q -E "^Summary: 0 paths claimed.*, $(summary "$1" "$sg_count"), 0 not examined" "$out" ||
    problems="$problems summary without devices named '$(grep '^Summary' "$out")';"
  found=$(grep -c -E -- "-- /dev/sg[0-9]+ /dev/sd[a-z]+ \\[[0-9]+:[0-9]+:[0-9]+:[0-9]+\\]" "$out")
  [ "$found" = "$sg_count" ] || problems="$problems $found of $sg_count found devices shown with both nodes;"

  if [ -z "$problems" ]; then
    zk_check 5 PASS "zkdiscover --explain: $devices devices (each once, with its sd and sg nodes and address) $([ "$1" = -1 ] && echo failed || echo 'not claimed'), each with '$2' and its result line; $sg_count found by itself"
  else
    zk_check 5 FAIL "zkdiscover:$problems"
    sed 's/^/ZK-INFO zkdiscover: /' "$out" | head -n 40
  fi
}

# summary CLAIM N: the counts zkdiscover's summary line gives N devices.
summary() {
  if [ "$1" = -1 ]; then echo "0 not claimed, $2 failed"; else echo "$2 not claimed, 0 failed"; fi
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
run_configuration DGC -1 "V10 claim_device: can't get SP Report Mode Page" 2 1 2
run_configuration DGCX 1 "not claiming:" 1 1 2
run_configuration ACME 1 "not claiming:" 1 1 1
zk_guest_finish
