#!/usr/bin/env bash
# The failover drill with the real multipath daemon: boots the TCMU test's
# kernel under qemu with the array's LUN served by zktcmu through SP A and
# SP B, Debian's systemd-udevd (a plain daemon, no systemd as init) with
# the udev rules of udev, dmsetup and multipath-tools, and multipathd from
# multipath-tools building the map by itself (multipath.conf). Walks
# attach, an SP failure, its return and an array-side trespass, then
# shuts down, comparing every view at each step (see README.md); once in
# failover mode 1 (active/passive) and once in mode 4 (ALUA). Exits
# non-zero, naming the failed steps, when a step fails or a guest does not
# finish in time.
# Usage: integration/tcmu-multipathd/run.sh BUILD_DIR   (a native build)
# Environment: ZK_CACHE_DIR (package cache), ZK_GUEST_TIMEOUT (seconds per
# guest, default 300), ZK_MPATHD_MODES (the failover modes run, default "1 4").
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common/lib.sh"
ZK_LOG_TAG=tcmu-multipathd

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

work="$build/integration/tcmu-multipathd/guest"
mkdir -p "$work"
zk_kernel_prepare || exit 1
# The guest's tools, Debian packages (fetched, cached): sg_vpd; dmsetup
# (udev's dm rules call it); multipathd and multipath (the udev rules call
# it) with their plugins; systemd-udevd (udevadm under another name) and
# scsi_id.
sg3_utils=$(zk_fetch_unpack sg3-utils) || exit 1
sg3_library=$(zk_fetch_library_of sg3-utils libsgutils2 libsgutils2-1.46-2) || exit 1
dmsetup_tree=$(zk_fetch_unpack dmsetup) || exit 1
dm_library=$(zk_fetch_library_of dmsetup libdevmapper libdevmapper1.02.1) || exit 1
multipath_tree=$(zk_fetch_unpack multipath-tools) || exit 1
aio_library=$(zk_fetch_library_of multipath-tools libaio libaio1) || exit 1
urcu_library=$(zk_fetch_library_of multipath-tools liburcu liburcu8) || exit 1
udev_tree=$(zk_fetch_unpack udev) || exit 1
libraries="$multipath_tree/lib"
for t in "$sg3_library" "$dm_library" "$aio_library" "$urcu_library"; do
  libraries="$libraries:$t/lib/x86_64-linux-gnu:$t/usr/lib/x86_64-linux-gnu"
done
export LD_LIBRARY_PATH="$libraries"

tree="$work/root"
zk_initramfs_init "$tree" || exit 1
zk_initramfs_add_modules "$tree" sd_mod sg target_core_user tcm_loop scsi_dh_emc scsi_dh_alua \
  dm_multipath dm_service_time || exit 1
zk_initramfs_add_program "$tree" "$sg3_utils/usr/bin/sg_vpd" || exit 1
zk_initramfs_add_program "$tree" "$dmsetup_tree/sbin/dmsetup" /sbin/dmsetup || exit 1
for tool in multipathd multipath; do
  zk_initramfs_add_program "$tree" "$multipath_tree/sbin/$tool" "/sbin/$tool" || exit 1
done
# The plugins the array's settings name (the emc_clariion checker, the emc
# prioritizer), those detect_prio picks for a unit with target port group
# support (sysfs with a kernel handler attached, else alua) and the
# defaults the daemon loads at start.
for plugin in checkemc_clariion checktur prioemc priosysfs prioalua prioconst; do
  zk_initramfs_add_program "$tree" "$multipath_tree/lib/multipath/lib$plugin.so" "/lib/multipath/lib$plugin.so" || exit 1
done
zk_initramfs_add_program "$tree" "$udev_tree/bin/udevadm" /bin/udevadm || exit 1
mkdir -p "$tree/lib/systemd" && ln -s /bin/udevadm "$tree/lib/systemd/systemd-udevd" || exit 1
zk_initramfs_add_program "$tree" "$udev_tree/lib/udev/scsi_id" /lib/udev/scsi_id || exit 1
# The rules for block devices, persistent storage, device-mapper and
# multipath; udev's others concern hardware the guest does not have.
for rules in "$udev_tree"/lib/udev/rules.d/{50-udev-default,60-block,60-persistent-storage}.rules \
             "$dmsetup_tree"/lib/udev/rules.d/*.rules "$multipath_tree"/lib/udev/rules.d/*.rules; do
  zk_initramfs_add_file "$tree" "$rules" "/lib/udev/rules.d/${rules##*/}" || exit 1
done
zk_initramfs_add_file "$tree" "$here/multipath.conf" /etc/multipath.conf || exit 1
zk_initramfs_add_program "$tree" "$handler" /bin/zktcmu || exit 1
zk_initramfs_add_program "$tree" "$claim" /bin/zk_tcmu_claim || exit 1
zk_initramfs_add_file "$tree" "$here/../tcmu-mpath/array.sim" /etc/zk/array-1.sim || exit 1
zk_initramfs_add_file "$tree" "$here/array-alua.sim" /etc/zk/array-4.sim || exit 1
zk_initramfs_add_file "$tree" "$here/../tcmu/guest-tcmu.sh" /lib/zk/tcmu.sh || exit 1
zk_initramfs_add_file "$tree" "$here/../tcmu-mpath/guest-drill.sh" /lib/zk/drill.sh || exit 1
zk_initramfs_add_zkdiscover "$tree" "$zkdiscover" "$library" || exit 1
zk_initramfs_set_init "$tree" "$here/guest-init.sh" || exit 1
zk_initramfs_pack "$tree" "$work/initrd.cpio" || exit 1
zk_log "guest prepared in $((SECONDS - start)) s"

failed=()
for mode in ${ZK_MPATHD_MODES:-1 4}; do
  console="$work/console-mode$mode.log"
  zk_qemu_boot "$ZK_KERNEL_IMAGE" "$work/initrd.cpio" "$console" "${ZK_GUEST_TIMEOUT:-300}" \
    scsi_mod.scan=sync zk.mode=$mode
  boot_rc=$?
  ZK_LOG_TAG="tcmu-multipathd-mode$mode"
  if zk_verdict "$console" 1 2 3 4 5 && [ $boot_rc -eq 0 ]; then
    ZK_LOG_TAG=tcmu-multipathd
    continue
  fi
  ZK_LOG_TAG=tcmu-multipathd
  failed+=("mode $mode")
  [ $boot_rc -eq 0 ] || echo "qemu ended with status $boot_rc$([ $boot_rc -eq 124 ] && echo ' (time limit)')"
  echo "--- end of the guest console (mode $mode)"
  tr -d '\r' < "$console" | grep -a -v -E '^ZK-(CHECK|INFO)' | tail -n 60
done
echo "tcmu-multipathd: whole run $((SECONDS - start)) s"
[ ${#failed[@]} -eq 0 ] || { echo "tcmu-multipathd: failed: ${failed[*]}"; exit 1; }
