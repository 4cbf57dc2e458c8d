#!/usr/bin/env bash
# Boots a stock Debian kernel under qemu with the array's logical units
# served from user space: zktcmu answers them from the simulator's unit model
# over target_core_user, and tcm_loop makes them SCSI devices of the guest,
# so that claim_device runs through the kernel's whole stack on real sd and
# sg nodes (see integration/README.md). Then replays on the host, with
# zkdiscover --simulate, what zkdiscover --capture saved in the guest.
# Exits non-zero, naming the failed checks, when a check fails or the guest
# does not finish in time.
# Usage: integration/tcmu/run.sh BUILD_DIR   (a native build of the project)
# Environment: ZK_CACHE_DIR (package cache), ZK_GUEST_TIMEOUT (seconds, default 180),
# ZK_TCMU_OLD_ZKDISCOVER (an earlier zkdiscover to time on the hung SP).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common/lib.sh"
ZK_LOG_TAG=tcmu

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
start=$SECONDS

cmake --build "$build" --target zktcmu zk_tcmu_claim -j2 >/dev/null ||
  { zk_die "cannot build zktcmu and zk_tcmu_claim in $build (a native build without sanitizers)"; exit 1; }
handler="$build/tcmu/zktcmu"
claim="$build/integration/tcmu/zk_tcmu_claim"
library="$build/aslDGCclariion/libzkDGCclariion.so"
zkdiscover="$build/zkdiscover/zkdiscover"
[ -x "$handler" ] && [ -x "$claim" ] && [ -r "$library" ] ||
  { zk_die "zktcmu, zk_tcmu_claim or the library missing in $build"; exit 1; }

work="$build/integration/tcmu/guest"
mkdir -p "$work"
zk_kernel_prepare || exit 1

tree="$work/root"
zk_initramfs_init "$tree" || exit 1
zk_initramfs_add_modules "$tree" sd_mod sg target_core_user tcm_loop || exit 1
zk_initramfs_add_program "$tree" "$handler" /bin/zktcmu || exit 1
zk_initramfs_add_program "$tree" "$claim" /bin/zk_tcmu_claim || exit 1
# array.sim, and for the hung SP (guest-hung.sh) eight more LUNs through
# both SPs and one through SP B whose device never times a command out.
{
  cat "$here/array.sim"
  for lun in 0 1 2 3 4 5 6 7 8; do
    for sp in 0 1; do
      case $lun$sp in 8?) name=stuck; [ $sp = 1 ] || continue ;; *) name=h$(echo ab | cut -c$((sp + 1)))$lun ;; esac
      printf '\nunit /dev/tcmu/%s\n  cab_serial "APM00041701234"\n  lun_id hex:60 06 01 60 3A 21 0F 00 6C 4E 8B 10 5A 91 E0 %02X\n  lun %d\n  sp %d\n  owner %d\n  blocks 8192\n' \
        "$name" $lun $((16 + lun)) $sp $((1 - sp))
    done
  done
} > "$work/array.sim"
zk_initramfs_add_file "$tree" "$work/array.sim" /etc/zk/array.sim || exit 1
zk_initramfs_add_file "$tree" "$here/guest-tcmu.sh" /lib/zk/tcmu.sh || exit 1
zk_initramfs_add_file "$tree" "$here/guest-hung.sh" /lib/zk/hung.sh || exit 1
# ZK_TCMU_OLD_ZKDISCOVER: an earlier zkdiscover, timed on the hung SP too.
if [ -n "${ZK_TCMU_OLD_ZKDISCOVER:-}" ]; then
  zk_initramfs_add_program "$tree" "$ZK_TCMU_OLD_ZKDISCOVER" /opt/zk/bin/zkdiscover-old || exit 1
fi
expected=(1 2 3 4 5 8)
zk_initramfs_add_zkdiscover "$tree" "$zkdiscover" "$library"
case $? in
  0) expected+=(6 9 10 11) ;;
  2) zk_log "zkdiscover is not built in $build: checks 6 and 7 are skipped" ;;
  *) exit 1 ;;
esac
zk_initramfs_set_init "$tree" "$here/guest-init.sh" || exit 1
zk_initramfs_pack "$tree" "$work/initrd.cpio" || exit 1

zk_log "guest prepared in $((SECONDS - start)) s"
# scan=sync: linking a LUN scans it at once, so the nodes exist when ln returns.
zk_qemu_boot "$ZK_KERNEL_IMAGE" "$work/initrd.cpio" "$work/console.log" "${ZK_GUEST_TIMEOUT:-180}" \
  scsi_mod.scan=sync
boot_rc=$?
zk_log "whole run $((SECONDS - start)) s"

verdict_ok=1
zk_verdict "$work/console.log" "${expected[@]}" || verdict_ok=0

# 7: the capture made in the guest, replayed here with the simulator, gives
# the same claims as the real devices gave there.
replay_ok=1
if [ -x "$zkdiscover" ]; then
  console() { tr -d '\r' < "$work/console.log" | sed -n "s/^$1 \{0,1\}//p"; }
  # The pairs of each device on one line, in device order: the two reports
  # may list the devices in different orders.
  by_device() { awk 'BEGIN { RS = ""; FS = "\n"; OFS = " " } { $1 = $1; print }' | sort; }
  console ZK-CAPTURE > "$work/capture.sim"
  # The address, nodes and the kernel's, unit's and multipath views come from the
  # guest's devices, which a replay has not: the claims are compared
  # without them.
  console ZK-EXPORT | grep -v -E '^(SCSI_ADDRESS|DEVICE_NODES|KERNEL_STATE|DEFAULT_SP|VIEWS_DISAGREE|DM_[A-Z_]+)=' > "$work/guest.export"
  if [ ! -s "$work/capture.sim" ] || [ "$(grep -c '^DEVICE=' "$work/guest.export")" != 2 ]; then
    echo "ZK-CHECK 7 FAIL the guest printed no capture, or not the 2 claimed devices' pairs"
    replay_ok=0
  elif ! "$zkdiscover" --library "$library" --export --simulate="$work/capture.sim" \
         > "$work/host.replay" 2> "$work/host.err"; then
    echo "ZK-CHECK 7 FAIL zkdiscover --simulate of the capture: $(head -c 300 "$work/host.err")"
    replay_ok=0
  elif ! grep -v -E '^(SCSI_ADDRESS|DEVICE_NODES|KERNEL_STATE|DEFAULT_SP|VIEWS_DISAGREE|DM_[A-Z_]+)=' \
           "$work/host.replay" > "$work/host.export" ||
       ! diff -u <(by_device < "$work/guest.export") <(by_device < "$work/host.export") \
         > "$work/export.diff"; then
    echo "ZK-CHECK 7 FAIL the replay differs from the guest's claims:"
    cat "$work/export.diff"
    replay_ok=0
  else
    # The devices not claimed stay so: the summaries agree too.
    guest_summary=$(console 'ZK-INFO tree:' | grep '^Summary:')
    host_summary=$("$zkdiscover" --library "$library" --simulate="$work/capture.sim" 2>/dev/null | grep '^Summary:')
    if [ -z "$guest_summary" ] || [ "$guest_summary" != "$host_summary" ]; then
      echo "ZK-CHECK 7 FAIL guest [$guest_summary], replay [$host_summary]"
      replay_ok=0
    else
      echo "ZK-CHECK 7 PASS the replay gives the same pairs for the $(grep -c '^DEVICE=' "$work/host.export") claimed devices, and $host_summary"
    fi
  fi
fi

if [ $verdict_ok = 1 ] && [ $replay_ok = 1 ] && [ $boot_rc -eq 0 ]; then
  echo "tcmu: whole run $((SECONDS - start)) s"
  exit 0
fi
[ $replay_ok = 1 ] || echo "failed checks: 7"
[ $boot_rc -eq 0 ] || echo "qemu ended with status $boot_rc$([ $boot_rc -eq 124 ] && echo ' (time limit)')"
echo "--- end of the guest console"
tr -d '\r' < "$work/console.log" | grep -a -v -E '^ZK-(CHECK|INFO|EXPORT|CAPTURE)' | tail -n 60
exit 1
