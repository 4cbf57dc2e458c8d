# Guest-side helpers for the integration tests' /init scripts (busybox ash).
# Installed as /lib/zk/guest.sh by zk_initramfs_init; source it first:
#   . /lib/zk/guest.sh
# Verdict lines on the console, read back by zk_verdict on the host:
#   ZK-CHECK <id> PASS|FAIL <text>   one per check (a check may report
#                                    several lines; any FAIL fails it)
#   ZK-INFO <text>                   context, copied to the host's output
#   ZK-DONE                          the guest finished its checks

export PATH=/bin:/sbin
export LD_LIBRARY_PATH=/lib/x86_64-linux-gnu

# Mounts proc, sys, devtmpfs and a tmpfs on /tmp, sends output to the
# console and keeps kernel messages to warnings and worse.
zk_guest_setup() {
  mount -t proc proc /proc
  mount -t sysfs sysfs /sys
  mount -t devtmpfs devtmpfs /dev
  mount -t tmpfs tmpfs /tmp
  exec </dev/console >/dev/console 2>&1
  echo 4 > /proc/sys/kernel/printk
  ZK_GUEST_FAILED=0
}

zk_info() { echo "ZK-INFO $*"; }

# zk_check ID PASS|FAIL TEXT...
zk_check() {
  zk_check_id=$1 zk_check_state=$2
  shift 2
  [ "$zk_check_state" = PASS ] || ZK_GUEST_FAILED=1
  echo "ZK-CHECK $zk_check_id $zk_check_state $*"
}

# zk_modprobe MODULE [PARAM=VALUE...]: loads a module and its dependencies
# from the initramfs. A value may hold blanks: each parameter is one word.
zk_modprobe() {
  zk_mod=$1
  shift
  if ! modprobe "$zk_mod" "$@"; then
    zk_info "modprobe $zk_mod failed"
    return 1
  fi
}

# zk_rmmod MODULE: unloads a module (not its dependencies).
zk_rmmod() { rmmod "$1" || { zk_info "rmmod $1 failed"; return 1; }; }

# zk_wait_for PATH [SECONDS]: waits until PATH exists (default 20 s).
zk_wait_for() {
  zk_wait_left=$(( ${2:-20} * 10 ))
  while [ ! -e "$1" ]; do
    [ "$zk_wait_left" -gt 0 ] || return 1
    zk_wait_left=$((zk_wait_left - 1))
    usleep 100000
  done
}

# zk_guest_finish: prints ZK-DONE (and the kernel's last messages when a
# check failed) and powers the machine off; qemu then exits.
zk_guest_finish() {
  if [ "${ZK_GUEST_FAILED:-0}" != 0 ]; then
    echo "--- last kernel messages"
    dmesg | tail -n 40
  fi
  echo ZK-DONE
  sync
  poweroff -f
  # Not reached; should power-off fail, the kernel panics and qemu exits.
  exit 1
}
