#!/usr/bin/env bash
# The failover drill: boots the TCMU test's kernel under qemu with the
# array's LUN served by zktcmu through SP A and SP B, the kernel's device
# handler for the array (scsi_dh_emc) and dm-multipath on top, and walks
# through attach, reads, a host-driven failover, an array-side trespass
# back and refusals (see README.md). Exits non-zero, naming the failed
# steps, when a step fails or the guest does not finish in time.
# Usage: integration/tcmu-mpath/run.sh BUILD_DIR   (a native build)
# Environment: ZK_CACHE_DIR (package cache), ZK_GUEST_TIMEOUT (seconds, default 150),
# ZK_MPATH_DESCRIPTION (the units' description, default array.sim; array-long.sim
# has the kernel trespass with the long form).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common/lib.sh"
ZK_LOG_TAG=tcmu-mpath

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
start=$SECONDS

cmake --build "$build" --target zktcmu zk_tcmu_claim zkdiscover -j2 >/dev/null ||
  { zk_die "cannot build zktcmu, zk_tcmu_claim and zkdiscover in $build"; exit 1; }
handler="$build/tcmu/zktcmu"
claim="$build/integration/tcmu/zk_tcmu_claim"
library="$build/aslDGCclariion/libzkDGCclariion.so"
zkdiscover="$build/zkdiscover/zkdiscover"
[ -x "$handler" ] && [ -x "$claim" ] && [ -r "$library" ] && [ -x "$zkdiscover" ] ||
  { zk_die "zktcmu, zk_tcmu_claim, zkdiscover or the library missing in $build"; exit 1; }

work="$build/integration/tcmu-mpath/guest"
mkdir -p "$work"
zk_kernel_prepare || exit 1
# The guest's tools: sg_vpd and sg_raw, dmsetup; Debian packages, fetched.
sg3_utils=$(zk_fetch_unpack sg3-utils) || exit 1
sg3_library=$(zk_fetch_library_of sg3-utils libsgutils2 libsgutils2-1.46-2) || exit 1
dmsetup_tree=$(zk_fetch_unpack dmsetup) || exit 1
dm_library=$(zk_fetch_library_of dmsetup libdevmapper libdevmapper1.02.1) || exit 1

tree="$work/root"
zk_initramfs_init "$tree" || exit 1
zk_initramfs_add_modules "$tree" sd_mod sg target_core_user tcm_loop scsi_dh_emc dm_multipath dm_round_robin || exit 1
for tool in sg_vpd sg_raw; do
  LD_LIBRARY_PATH="$sg3_library/usr/lib/x86_64-linux-gnu" \
    zk_initramfs_add_program "$tree" "$sg3_utils/usr/bin/$tool" || exit 1
done
LD_LIBRARY_PATH="$dm_library/lib/x86_64-linux-gnu:$dm_library/usr/lib/x86_64-linux-gnu" \
  zk_initramfs_add_program "$tree" "$dmsetup_tree/sbin/dmsetup" /bin/dmsetup || exit 1
zk_initramfs_add_program "$tree" "$handler" /bin/zktcmu || exit 1
zk_initramfs_add_program "$tree" "$claim" /bin/zk_tcmu_claim || exit 1
zk_initramfs_add_file "$tree" "${ZK_MPATH_DESCRIPTION:-$here/array.sim}" /etc/zk/array.sim || exit 1
zk_initramfs_add_file "$tree" "$here/../tcmu/guest-tcmu.sh" /lib/zk/tcmu.sh || exit 1
zk_initramfs_add_file "$tree" "$here/guest-drill.sh" /lib/zk/drill.sh || exit 1
zk_initramfs_add_zkdiscover "$tree" "$zkdiscover" "$library" || exit 1
zk_initramfs_set_init "$tree" "$here/guest-init.sh" || exit 1
zk_initramfs_pack "$tree" "$work/initrd.cpio" || exit 1

zk_log "guest prepared in $((SECONDS - start)) s"
zk_qemu_boot "$ZK_KERNEL_IMAGE" "$work/initrd.cpio" "$work/console.log" "${ZK_GUEST_TIMEOUT:-150}" \
  scsi_mod.scan=sync
boot_rc=$?

verdict_ok=1
zk_verdict "$work/console.log" 1 2 3 4 5 6 || verdict_ok=0
if [ $verdict_ok = 1 ] && [ $boot_rc -eq 0 ]; then
  echo "tcmu-mpath: whole run $((SECONDS - start)) s"
  exit 0
fi
[ $boot_rc -eq 0 ] || echo "qemu ended with status $boot_rc$([ $boot_rc -eq 124 ] && echo ' (time limit)')"
echo "--- end of the guest console"
tr -d '\r' < "$work/console.log" | grep -a -v -E '^ZK-(CHECK|INFO)' | tail -n 60
exit 1
