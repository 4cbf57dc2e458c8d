#!/usr/bin/env bash
# Boots a stock Debian kernel under qemu with scsi_debug posing as the array
# and runs the library against the kernel's real /dev/sgN and /dev/sdX nodes
# (see integration/README.md). Exits non-zero, naming the failed checks,
# when a check fails or the guest does not finish in time.
# Usage: integration/scsi_debug/run.sh BUILD_DIR   (a native build of the project)
# Environment: ZK_CACHE_DIR (package cache), ZK_GUEST_TIMEOUT (seconds, default 240).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common/lib.sh"
ZK_LOG_TAG=scsi_debug

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
start=$SECONDS

if ! build_log=$(cmake --build "$build" --target zk_kernel_checks -j2 2>&1); then
  printf '%s\n' "$build_log" | tail -n 30
  zk_die "cannot build zk_kernel_checks in $build (it needs a native build without sanitizers, ZK_BUILD_KERNEL_CHECKS=ON)"
  exit 1
fi
checks="$build/integration/scsi_debug/zk_kernel_checks"
library="$build/aslDGCclariion/libzkDGCclariion.so"
zkdiscover="$build/zkdiscover/zkdiscover"
[ -x "$checks" ] && [ -r "$library" ] || { zk_die "guest program or library missing in $build"; exit 1; }

work="$build/integration/scsi_debug/guest"
mkdir -p "$work"
zk_kernel_prepare || exit 1
sg3_utils=$(zk_fetch_unpack sg3-utils) || exit 1
sg3_library=$(zk_fetch_library_of sg3-utils libsgutils2 libsgutils2-1.46-2) || exit 1

tree="$work/root"
zk_initramfs_init "$tree" || exit 1
zk_initramfs_add_modules "$tree" sd_mod sg scsi_debug || exit 1
for tool in sg_vpd sg_inq sg_modes; do
  LD_LIBRARY_PATH="$sg3_library/usr/lib/x86_64-linux-gnu" \
    zk_initramfs_add_program "$tree" "$sg3_utils/usr/bin/$tool" || exit 1
done
zk_initramfs_add_program "$tree" "$checks" /bin/zk_kernel_checks || exit 1
expected=(1 2 3 4)
zk_initramfs_add_zkdiscover "$tree" "$zkdiscover" "$library"
case $? in
  0) expected+=(5) ;;
  2) zk_log "zkdiscover is not built in $build: check 5 is skipped" ;;
  *) exit 1 ;;
esac
zk_initramfs_set_init "$tree" "$here/guest-init.sh" || exit 1
zk_initramfs_pack "$tree" "$work/initrd.cpio" || exit 1

zk_log "guest prepared in $((SECONDS - start)) s"
zk_qemu_boot "$ZK_KERNEL_IMAGE" "$work/initrd.cpio" "$work/console.log" "${ZK_GUEST_TIMEOUT:-240}"
boot_rc=$?
zk_log "whole run $((SECONDS - start)) s"

if zk_verdict "$work/console.log" "${expected[@]}" && [ $boot_rc -eq 0 ]; then
  exit 0
fi
[ $boot_rc -eq 0 ] || echo "qemu ended with status $boot_rc$([ $boot_rc -eq 124 ] && echo ' (time limit)')"
echo "--- end of the guest console"
tr -d '\r' < "$work/console.log" | grep -a -v -E '^ZK-(CHECK|INFO)' | tail -n 60
exit 1
