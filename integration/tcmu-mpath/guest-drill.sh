# Guest-side helpers of the failover drills (busybox ash), installed as
# /lib/zk/drill.sh after /lib/zk/tcmu.sh: a step's checks and evidence,
# the commands each unit saw (zktcmu's log), bounded reads, and the
# kernel's, the unit's and zkdiscover's views of a path. The /init script
# sets A_SD A_SG B_SD B_SG (the paths' nodes) and MAPDEV (the map's node).

# Checks of a step: each failed condition is named; step_end reports them.
step_begin() { STEP=$1 PROBLEMS= EVIDENCE=; dmesg -c > /dev/null; }
need() { [ "$1" = ok ] || PROBLEMS="$PROBLEMS $2;"; }
# expect CONDITION TEXT: CONDITION is a shell test run with eval.
expect() { if eval "$1"; then :; else PROBLEMS="$PROBLEMS $2;"; fi; }
evidence() { EVIDENCE="$EVIDENCE $*;"; }
step_end() {
  dmesg -c > /tmp/kmsg.$STEP
  sed "s/^/ZK-INFO $STEP kernel: /" /tmp/kmsg.$STEP | grep -v -e 'Buffer I/O error' -e 'async page read' | tail -n 12
  if [ -z "$PROBLEMS" ]; then
    zk_check "$STEP" PASS "$EVIDENCE"
  else
    zk_check "$STEP" FAIL "$PROBLEMS (seen:$EVIDENCE)"
  fi
}

# Commands the unit behind DEVICE received, counted by CDB prefix
# (hex bytes as zktcmu logs them: "15" MODE SELECT(6), "12 01 c0" ...).
commands() { grep -c -E "^zktcmu: $1: \[[0-9]+\] ($2)" "$HANDLER_LOG"; }
mode_selects() { commands "$1" '15 |55 '; }
# The commands of DEVICE since line N of the log, "opcode/status" each.
log_lines() { wc -l < "$HANDLER_LOG"; }
since() {
  tail -n +"$(($2 + 1))" "$HANDLER_LOG" |
    sed -n "s/^zktcmu: $1: \[[0-9]*\] \([0-9a-f]*\) .*status 0x\([0-9a-f]*\).*/\1\/\2/p" | sort | uniq -c |
    awk '{ printf "%s x%s ", $2, $1 }'
}

# bounded SECONDS CMD...: runs CMD, waiting at most SECONDS for it (a
# command blocked in the kernel cannot be killed: it is left behind, and
# reported); the status is CMD's, 124 when it did not end.
bounded() {
  limit=$(( $1 * 10 )); shift
  "$@" &
  pid=$!
  while kill -0 $pid 2>/dev/null; do
    limit=$((limit - 1))
    if [ $limit -le 0 ]; then
      kill -KILL $pid 2>/dev/null
      zk_info "$STEP: still blocked after the time limit: $*"
      return 124
    fi
    usleep 100000
  done
  wait $pid
}

# read_map N / read_dev NODE N: one direct 4 KiB read at block N, bounded.
read_dev() { bounded 20 dd if="$1" of=/dev/null bs=4096 count=1 skip="$2" iflag=direct 2>/dev/null; }
read_map() { read_dev "$MAPDEV" "$1"; }

# The kernel's attributes of a SCSI device, "dh_state access_state preferred".
kernel_state() {
  d=/sys/block/$1/device
  echo "$(cat $d/dh_state 2>/dev/null) $(cat $d/access_state 2>/dev/null) $(cat $d/preferred_path 2>/dev/null)"
}

# zkdiscover's line for a path (by its sd node), and the whole tree.
discover() { "$ZKDISCOVER" --library "$LIBRARY" "$@" $A_SD $A_SG $B_SD $B_SG; }
tree_line() { grep -E "(\|--|\`--) /dev/$1 " /tmp/tree | sed 's/^[|` -]*//'; }
show_tree() {
  discover --explain > /tmp/tree 2>&1
  sed "s/^/ZK-INFO $STEP tree: /" /tmp/tree | grep -E 'LUN|SP |views'
}

# zkdiscover --metrics - for the step, its views' series shown; metric
# FAMILY LABEL... prints the value of the first series of FAMILY whose
# labels hold every LABEL (sp="A", state="bound", ...).
take_metrics() {
  discover --metrics - > /tmp/metrics.$STEP 2>/dev/null
  grep -E '^zkdiscover_(lun_owner|lun_default_owner|lun_operation_in_progress|path_kernel_state|path_kernel_preferred|path_unit_state|path_views_agree)\{' /tmp/metrics.$STEP |
    grep -v ' 0$' | sed -e 's/array="[^"]*",lun="[^"]*",\{0,1\}//' -e 's/,device="[^"]*",address="[^"]*"//' -e "s/^/ZK-INFO $STEP metrics: /"
}
metric() {
  m_lines=$(grep "^$1{" /tmp/metrics.$STEP); shift
  for m_label; do m_lines=$(echo "$m_lines" | grep -F "$m_label"); done
  echo "$m_lines" | awk 'NR == 1 { print $NF }'
}
# views_of SP: "KERNEL-STATE/UNIT-STATE/AGREE" of SP's path, as the metrics say.
state_of() { grep "^$1{.*sp=\"$2\".*} 1\$" /tmp/metrics.$STEP | sed 's/.*state="\([^"]*\)".*/\1/' | head -n 1; }
views_of() {
  echo "$(state_of zkdiscover_path_kernel_state $1)/$(state_of zkdiscover_path_unit_state $1)/$(metric zkdiscover_path_views_agree "sp=\"$1\"")"
}
# The LUN's owner and default owner: "OWNER-SP DEFAULT-SP" ("?" when none is 1).
owners() {
  o=$(grep '^zkdiscover_lun_owner{.*} 1$' /tmp/metrics.$STEP | sed 's/.*sp="\(.\)".*/\1/')
  d=$(grep '^zkdiscover_lun_default_owner{.*} 1$' /tmp/metrics.$STEP | sed 's/.*sp="\(.\)".*/\1/')
  echo "${o:-?} ${d:-?}"
}
check_views() {  # OWNERS VIEWS-OF-A VIEWS-OF-B (a * ends a pattern)
  take_metrics
  mo=$(owners) ma=$(views_of A) mb=$(views_of B)
  evidence "metrics: owner/default $mo, SP A $ma, SP B $mb"
  case $mo in $1) ;; *) PROBLEMS="$PROBLEMS metrics: owner and default SP [$mo], not [$1];" ;; esac
  case $ma in $2) ;; *) PROBLEMS="$PROBLEMS metrics: SP A's views [$ma], not [$2];" ;; esac
  case $mb in $3) ;; *) PROBLEMS="$PROBLEMS metrics: SP B's views [$mb], not [$3];" ;; esac
}

upr() { sg_vpd -p upr "$1" 2>&1; }
wait_log() {
  n=0
  while ! grep -q "$1" "$HANDLER_LOG"; do
    n=$((n + 1)); [ $n -le 50 ] || return 1; usleep 100000
  done
}

CONTROL=/tmp/zktcmu.control

# start_array: zktcmu serving spa and spb (with the control FIFO), each
# exported behind its own loopback port; sets HANDLER (its process),
# A_SD A_SG B_SD B_SG and A B (the sd names); the kernel's messages of the
# attach are kept in /tmp/kmsg.attach. The device handlers must be loaded
# before: they attach while the kernel scans the paths.
start_array() {
  grep -q configfs /proc/mounts || mount -t configfs configfs /sys/kernel/config ||
    setup_failed "configfs cannot be mounted"
  for unit in spa spb; do
    make_tcmu "$unit" || setup_failed "TCMU device $unit cannot be enabled"
  done
  mkfifo "$CONTROL" || setup_failed "mkfifo $CONTROL"
  /bin/zktcmu --verbose --control "$CONTROL" --config "$CONFIG" --ready "$READY" \
    spa=/dev/tcmu/spa spb=/dev/tcmu/spb 2> "$HANDLER_LOG" &
  HANDLER=$!
  wait_for_handler $HANDLER
  dmesg -c > /dev/null
  export_unit 1 spa || setup_failed "spa cannot be exported"
  export_unit 2 spb || setup_failed "spb cannot be exported"
  dmesg -c > /tmp/kmsg.attach
  set -- $(nodes 1); A_SD=$1 A_SG=$2
  set -- $(nodes 2); B_SD=$1 B_SG=$2
  [ -n "$A_SG" ] && [ -n "$B_SG" ] || setup_failed "no sd and sg nodes"
  A_SD=/dev/$A_SD A_SG=/dev/$A_SG B_SD=/dev/$B_SD B_SG=/dev/$B_SG
  for node in $A_SD $A_SG $B_SD $B_SG; do zk_wait_for "$node" 10 || setup_failed "$node did not appear"; done
  A=${A_SD#/dev/} B=${B_SD#/dev/}
}
