#!/bin/sh
# /init of the failover drill with the real multipath daemon: one LUN
# (/etc/zk/array-MODE.sim, MODE from zk.mode= on the kernel's command line:
# 1 active/passive, 4 ALUA) served by zktcmu through SP A and SP B,
# systemd-udevd running as a plain daemon with the rules of udev, dmsetup
# and multipath-tools, and multipathd building the map by itself from its
# built-in settings for the array (/etc/multipath.conf changes only what a
# test guest needs). At every step each view is shown and compared: the
# library's claims, the unit's VPD 0xC0, the kernel's handler state,
# multipathd's paths and topology, zkdiscover's tree.
#   1 attach: two path groups, SP A's (the owner) active with the higher
#     priority, SP B's enabled, both paths up for the checker
#   2 SP A fails (its device goes offline, as after the transport's
#     fast_io_fail on a lost port): the checker fails it, the map goes to
#     SP B's group, reads go on
#   3 SP A returns: the checker reinstates it, failback moves the LUN back
#   4 the array trespasses the LUN to SP B with both paths up: the
#     checker and prioritizer see it and multipathd follows
#   5 shutdown: maps removed, multipathd and udevd stopped, zktcmu clean
. /lib/zk/guest.sh
. /lib/zk/tcmu.sh
. /lib/zk/drill.sh
zk_guest_setup

MODE=$(sed -n 's/.*zk\.mode=\([0-9]\).*/\1/p' /proc/cmdline)
MODE=${MODE:-1}
CONFIG=/etc/zk/array-$MODE.sim
MPD_LOG=/tmp/multipathd.log
WWID=3$(echo "$LUN_SERIAL" | tr 'A-F' 'a-f')
# What the views say of a path in each mode: the kernel's handler, and
# multipathd's priority of a path by its SP's relation to the LUN. Mode 1,
# the emc prioritizer: VPD 0xC0 byte 4, plus 2 on the default SP. Mode 4:
# the daemon's detect_prio finds target port group support and, the
# kernel's alua handler being attached, takes the sysfs prioritizer (the
# alua prioritizer's scale read from the handler's access_state and
# preferred_path): 50 active/optimized, 10 active/non-optimized, plus 80
# on a preferred group that is not active/optimized (the array marks its
# default SP's group preferred).
if [ "$MODE" = 4 ]; then
  DH=alua PRIO_OWNER_DEFAULT=50 PRIO_OTHER=10 PRIO_OWNER=50 PRIO_DEFAULT=90
  KERNEL_OWNER="alua active/optimized" KERNEL_OTHER="alua active/non-optimized"
  # The alua handler learns every group's state from any path's REPORT
  # TARGET PORT GROUPS.
  KERNEL_B_AFTER="^$KERNEL_OTHER 0$" KERNEL_A_LOST="^$KERNEL_OTHER 1$"
else
  DH=emc PRIO_OWNER_DEFAULT=4 PRIO_OTHER=1 PRIO_OWNER=2 PRIO_DEFAULT=3
  KERNEL_OWNER="emc active/optimized" KERNEL_OTHER="emc standby"
  # The emc handler learns a path's state only through that path: SP B
  # keeps the state of its own trespass after the LUN went back to SP A.
  KERNEL_B_AFTER="^emc active/optimized 0$" KERNEL_A_LOST="^emc active/optimized 1$"
fi

# mp ARGS...: a multipathd client command, bounded.
mp() { bounded 15 multipathd "$@" 2>&1; }
# path_state SD: multipathd's "dm-state checker-state priority device-state
# checker".
path_state() { mp show paths raw format "%d %t %T %p %o %c" | awk -v d="$1" '$1 == d { print $2, $3, $4, $5, $6 }'; }
# prios_are A B: multipathd's priorities of the paths are A and B.
prios_are() { [ "$(path_state $A | cut -d' ' -f3)/$(path_state $B | cut -d' ' -f3)" = "$1/$2" ]; }
# groups: the map's path groups in order, "sdX:PRIO:STATUS" each.
groups() {
  mp show maps topology | awk '
    /policy=/ { p = s = "?"
      if (match($0, /prio=[-0-9]+/)) p = substr($0, RSTART + 5, RLENGTH - 5)
      if (match($0, /status=[a-z]+/)) s = substr($0, RSTART + 7, RLENGTH - 7) }
    /[0-9]+:[0-9]+:[0-9]+:[0-9]+ sd[a-z]+ / { for (i = 1; i <= NF; i++) if ($i ~ /^sd[a-z]+$/) printf "%s:%s:%s ", $i, p, s }'
}
# settled: the map's groups carry their paths' current priorities (the
# daemon reloads the map a moment after its prioritizer's checks).
settled() {
  g=" $(groups)"
  for sd in $A $B; do
    echo "$g" | grep -q " $sd:$(path_state $sd | cut -d' ' -f3):" || return 1
  done
}
# claim_owner NODE: the library's LUN_OWNER for the node, or its result.
claim_owner() {
  out=$("$CLAIM" "$1" 2>&1)
  case "$out" in result=0*) echo "$out" | sed -n 's/^LUN_OWNER=//p' ;; *) echo "$out" | head -n 1 ;; esac
}
# lun_state NODE: VPD 0xC0's LUN state as sg_vpd decodes it.
lun_state() { upr "$1" | sed -n 's/^ *LUN State: *//p'; }
# wait_until SECONDS CONDITION: polls the shell test CONDITION twice a second.
wait_until() {
  n=$(( $1 * 2 ))
  while ! eval "$2"; do n=$((n - 1)); [ $n -gt 0 ] || return 1; usleep 500000; done
}
# mpd_log_since N: multipathd's log lines past line N about the paths, the
# map and its groups (the checker's "healthy" lines counted, not shown).
mpd_lines() { wc -l < "$MPD_LOG"; }
mpd_log_since() {
  tail -n +"$(($1 + 1))" "$MPD_LOG" | grep -i -E 'fail|reinstat|switch|offline|prio|path (up|down)|checker|orphan|remov' |
    grep -v -i -e 'is healthy' -e '(setting:' -e 'uevents:' -e 'add map (uevent)' | tail -n 14 |
    sed "s/^/ZK-INFO $STEP multipathd: /"
}

# views: every view of both paths, on the console and in variables:
# GA GB (groups), PA PB (multipathd's paths), KA KB (kernel), UA UB (VPD
# 0xC0), CA CB (claims), LA LB (zkdiscover's lines).
views() {
  # A reload leaves every group "enabled" until I/O picks one: read first.
  read_map 0 || need no "the read before the views failed"
  G=$(groups) PA=$(path_state $A) PB=$(path_state $B)
  GA=$(echo "$G" | tr ' ' '\n' | sed -n "s/^$A://p") GB=$(echo "$G" | tr ' ' '\n' | sed -n "s/^$B://p")
  KA=$(kernel_state $A) KB=$(kernel_state $B)
  UA=$(lun_state $A_SG) UB=$(lun_state $B_SG)
  CA=$(claim_owner $A_SG) CB=$(claim_owner $B_SG)
  show_tree
  LA=$(tree_line $A) LB=$(tree_line $B)
  LM=$(sed -n 's/.*LUN .*  failover mode \([0-9]\).*/\1/p' /tmp/tree)
  zk_info "$STEP zkdiscover: the LUN in failover mode ${LM:-unknown}"
  expect '[ "$LM" = "$MODE" ]' "zkdiscover does not show the LUN in failover mode $MODE"
  mp show maps topology | sed "s/^/ZK-INFO $STEP topology: /"
  for p in A B; do
    eval "zk_info \"$STEP SP $p: claim owner=\$C$p | VPD 0xC0 [\$U$p] | kernel [\$K$p] | multipathd path [\$P$p] group [\$G$p] | zkdiscover [\$L$p]\""
  done
}
# zkdiscover's tree line of a path ends with its dm view ("  dm mpatha
# group 1 active, path active"), shown beside multipathd's path and group
# states above; the line checks below allow it.
DM_SUFFIX='\(  dm .*\)\{0,1\}'
# expect_path SP CLAIM VPD KERNEL PATH GROUP: the views of SP A or B (each
# a pattern for grep -E, empty: not checked).
expect_path() {
  for pair in "C:$2" "U:$3" "K:$4" "P:$5" "G:$6"; do
    v=${pair%%:*} want=${pair#?:}
    [ -n "$want" ] || continue
    eval "got=\$$v$1"
    echo "$got" | grep -q -E "$want" || PROBLEMS="$PROBLEMS SP $1 $v [$got] is not [$want];"
  done
}
# expect_back_on_a: zkdiscover once the host has moved the LUN back to SP A:
# SP A the owner; in mode 1 the kernel's handler has not looked at SP B
# since it trespassed there, so SP B's stale active/optimized is a
# disagreement, explained.
expect_back_on_a() {
  expect 'echo "$LA" | grep -q "SP A  port ${CAB}A  owner  kernel $KERNEL_OWNER preferred$DM_SUFFIX\$"' "zkdiscover's SP A line"
  if [ "$MODE" = 1 ]; then
    expect 'echo "$LB" | grep -q "SP B  port ${CAB}B  kernel emc active/optimized  DISAGREE$DM_SUFFIX\$"' "zkdiscover does not mark SP B's stale state"
    expect 'grep -q "views disagree: library LUN_OWNER=N, VPD 0xC0 LUN state 1 (not owned by this SP), kernel access_state active/optimized" /tmp/tree' "no explanation of the disagreement"
  else
    expect_b_not_owner
  fi
  expect '! grep -q trespassed /tmp/tree' "zkdiscover still marks the LUN trespassed"
}
# expect_b_not_owner: zkdiscover's SP B line while SP A owns the LUN and
# the kernel knows it. In mode 4 SP B's active/non-optimized agrees with
# the unit (an ALUA array's other SP forwards I/O): no mark.
expect_b_not_owner() {
  expect 'echo "$LB" | grep -q "SP B  port ${CAB}B  kernel $KERNEL_OTHER$DM_SUFFIX\$"' "zkdiscover's SP B line"
  expect '! grep -q DISAGREE /tmp/tree' "zkdiscover marks a disagreement"
}
OWNED="LUN bound and owned by this SP" NOT_OWNED="LUN bound, but not owned by this SP"
owns() { lun_state "$1" | grep -q "^$OWNED"; }
# Trespasses a unit received from the host: MODE SELECT (page 0x22) or SET
# TARGET PORT GROUPS.
host_trespasses() { commands "$1" '15 |55 |a4 0a '; }
BY_MODE_SELECT="MODE SELECT page 0x22 (host)"
# moved_by UNIT FROM TO MARK: what moved the LUN from SP FROM to SP TO
# through UNIT since line MARK of zktcmu's log; nothing when nothing did.
moved_by() {
  op=$(tail -n +"$(($4 + 1))" "$HANDLER_LOG" | sed -n "s/^zktcmu: $1: trespass by opcode 0x\([0-9a-f]*\): SP $2 -> SP $3\$/\1/p" | tail -n 1)
  case "$op" in
    15|55) echo "$BY_MODE_SELECT" ;;
    a4) echo "SET TARGET PORT GROUPS (host)" ;;
    ?*) echo "the array, implicitly after sustained I/O (opcode 0x$op)" ;;
  esac
}
# read_until CONDITION N PAUSE: reads through the map (READS counts them),
# PAUSE microseconds apart, until CONDITION holds; at most N reads.
read_until() {
  READS=0
  while ! eval "$1"; do
    [ $READS -lt $2 ] || return 1
    read_map $((100 + READS)) || need no "read $READS through the map failed"
    READS=$((READS + 1))
    [ "$3" = 0 ] || usleep "$3"
  done
}

# --- set-up ------------------------------------------------------------
STEP=setup
mkdir -p /run /etc/multipath && mount -t tmpfs tmpfs /run || setup_failed "no /run"
# The device handlers before the paths appear (they attach at scan), and
# dm-service-time: multipathd's default path selector (without it the
# daemon leaves the map alone).
for module in sd_mod sg target_core_user tcm_loop scsi_dh_emc scsi_dh_alua dm_multipath dm_service_time; do
  zk_modprobe "$module" || setup_failed "modprobe $module"
done
/lib/systemd/systemd-udevd 2> /tmp/udevd.log &
UDEVD=$!
zk_wait_for /run/udev/control 20 || setup_failed "systemd-udevd did not start: $(tail -n 5 /tmp/udevd.log)"
bounded 30 udevadm trigger --action=add
bounded 30 udevadm settle --timeout=25 || zk_info "udev did not settle after the coldplug"
start_array
bounded 40 udevadm settle --timeout=35 || setup_failed "udev did not settle after the paths appeared"
zk_info "mode $MODE; SP A: $A_SD $A_SG; SP B: $B_SD $B_SG"
for node in $A_SD $B_SD; do
  udevadm info --query=property --name=$node | grep -E '^(ID_SERIAL|ID_WWN|DM_MULTIPATH_DEVICE_PATH|ID_FS_TYPE)=' |
    tr '\n' ' ' | sed "s|^|ZK-INFO setup: udev $node: |"; echo
done
multipathd -d -s -v3 > "$MPD_LOG" 2>&1 &
MPD=$!
wait_until 40 '[ "$(mp show maps raw format "%n")" = "$WWID" ]' ||
  setup_failed "multipathd built no map $WWID: $(mp show maps; tail -n 20 $MPD_LOG)"
MAPDEV=
for d in /sys/block/dm-*; do [ "$(cat $d/dm/name 2>/dev/null)" = "$WWID" ] && MAPDEV=/dev/${d##*/}; done
zk_wait_for "$MAPDEV" 10 || setup_failed "no node for the map"
bounded 30 udevadm settle --timeout=25

# --- 1: attach -----------------------------------------------------------
step_begin 1
grep -i -e "$DH" -e scsi_dh /tmp/kmsg.attach | sed 's/^/ZK-INFO 1 kernel: /'
# The checker needs a check or two of both paths after the map is built.
wait_until 20 '[ "$(path_state $A | cut -d" " -f1,2)" = "active ready" ] && [ "$(path_state $B | cut -d" " -f1,2)" = "active ready" ]'
# In mode 4 the kernel sends SET TARGET PORT GROUPS to whichever group dm
# activates first: when the map is built before the priorities are read,
# that can be SP B's, and failback then brings the LUN back. Wait for that.
wait_until 20 'settled && owns $A_SG'
read_map 1 || need no "a read through the map failed"
views
grep -E "create|: (path_checker|prio|hardware_handler|detect_prio|path_grouping_policy|failback|no_path_retry|features|selector) = |prio = " "$MPD_LOG" |
  sed 's/^/ZK-INFO 1 multipathd: /'
for node in $A_SD $B_SD; do
  udevadm info --query=property --name=$node | grep -E '^(DM_MULTIPATH_DEVICE_PATH|ID_FS_TYPE)=' |
    tr '\n' ' ' | sed "s|^|ZK-INFO 1 udev $node after the map: |"; echo
done
expect_path A "^Y$" "^$OWNED" "^$KERNEL_OWNER 1$" "^active ready $PRIO_OWNER_DEFAULT running emc_clariion$" "^$PRIO_OWNER_DEFAULT:active$"
expect_path B "^N$" "^$NOT_OWNED" "^$KERNEL_OTHER 0$" "^active ready $PRIO_OTHER running emc_clariion$" "^$PRIO_OTHER:enabled$"
expect '[ "$(echo $G | wc -w)" = 2 ]' "not two path groups [$G]"
expect 'mp show maps topology | grep -q "hwhandler=.1 $DH."' "the map's hardware handler is not $DH"
expect 'echo "$LA" | grep -q "SP A  port ${CAB}A  owner  kernel $KERNEL_OWNER preferred$DM_SUFFIX\$"' "zkdiscover's SP A line"
expect_b_not_owner
expect '! grep -q trespassed /tmp/tree' "zkdiscover marks the LUN trespassed"
# The checker's own traffic: VPD 0xC0 through both paths, a 4 KiB READ(10)
# (28 ... 00 08 00) through the owning one only.
evidence "4 KiB READs at LBA 0: spa $(commands spa '28 00 00 00 00 00 00 00 08 00'), spb $(commands spb '28 00 00 00 00 00 00 00 08 00')"
evidence "groups [$G]; A [$PA] [$KA]; B [$PB] [$KB]"
evidence "VPD 0xC0 reads: spa $(commands spa '12 01 c0'), spb $(commands spb '12 01 c0'); trespasses: spa $(host_trespasses spa), spb $(host_trespasses spb)"
if [ "$MODE" = 1 ]; then
  expect '[ "$(host_trespasses spa)" = 0 ] && [ "$(host_trespasses spb)" = 0 ]' "a trespass at attach"
elif [ "$(host_trespasses spb)" != 0 ]; then
  zk_info "1 SP B's group was activated before the priorities were read: $(host_trespasses spb) SET TARGET PORT GROUPS to SP B, $(host_trespasses spa) back to SP A"
fi
step_end

# --- 2: SP A fails -----------------------------------------------------------
step_begin 2
mark=$(log_lines) mpd=$(mpd_lines) ht_b=$(host_trespasses spb) t0=$(date +%s)
# What a lost SP looks like to the host once the transport gives up on the
# port (fast_io_fail): the path's device stays, refusing all I/O.
echo offline > /sys/block/$A/device/state
wait_until 20 'path_state $A | grep -q "^failed faulty"' || need no "the checker did not fail SP A's path in 20 s"
evidence "checker failed SP A after $(( $(date +%s) - t0 )) s"
# Reads through the map until the LUN has moved to SP B (by the host, or
# by the array after sustained I/O through SP B).
read_until 'owns $B_SG' 100 0 || need no "the LUN did not move to SP B"
how=$(moved_by spb A B $mark)
# SP B's priority follows the LUN at its next check.
wait_until 15 'path_state $B | grep -q "^active ready $PRIO_OWNER "' || need no "SP B's priority did not become $PRIO_OWNER"
views
mpd_log_since $mpd
zk_info "2 the LUN moved to SP B by ${how:-nothing}, after $READS reads through the map"
evidence "moved by ${how:-nothing}; spb saw: $(since spb $mark); host trespasses on SP B: $(( $(host_trespasses spb) - ht_b ))"
[ "$MODE" = 4 ] || expect '[ "$how" = "$BY_MODE_SELECT" ] && [ $(( $(host_trespasses spb) - ht_b )) = 1 ]' "not one MODE SELECT page 0x22 on SP B"
expect 'tail -n +$((mark + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spb: \[[0-9]+\] 28 .*status 0x00"' "no READ reached SP B"
expect_path B "^Y$" "^$OWNED" "^$KERNEL_OWNER 0$" "^active ready $PRIO_OWNER running" ":active$"
# Nothing reaches an offline device: no claim, no VPD 0xC0.
# The checker does not run on an offline path: its priority is the last
# one seen, and in mode 4 (equal to SP B's) group_by_prio puts both paths
# in one group.
expect_path A "No such device" "^$" "$KERNEL_A_LOST" "^failed faulty [-0-9]+ offline" ""
expect 'echo "$LA" | grep -q "No such device or address"' "zkdiscover does not show SP A unreachable"
evidence "groups [$G]; A [$PA] [$KA]; B [$PB] [$KB] claim $CB"
expect 'echo "$LB" | grep -q "SP B  port ${CAB}B  owner"' "zkdiscover does not show SP B as owner"
expect 'grep -q "trespassed (default SP A)" /tmp/tree' "zkdiscover does not mark the LUN trespassed"
step_end

# --- 3: SP A returns -----------------------------------------------------------
step_begin 3
mark=$(log_lines) mpd=$(mpd_lines) ht_a=$(host_trespasses spa) t0=$(date +%s)
echo running > /sys/block/$A/device/state
wait_until 20 'path_state $A | grep -q "^active ready"' || need no "the checker did not reinstate SP A's path in 20 s"
evidence "checker reinstated SP A after $(( $(date +%s) - t0 )) s"
# Failback switches groups; the LUN follows on the next I/O.
read_until 'owns $A_SG' 100 200000 || need no "the LUN did not move back to SP A"
how=$(moved_by spa B A $mark)
mark2=$(log_lines)
for n in 31 32; do read_map $n || need no "a read failed after failback"; done
wait_until 15 'prios_are $PRIO_OWNER_DEFAULT $PRIO_OTHER' || need no "the priorities did not return to $PRIO_OWNER_DEFAULT/$PRIO_OTHER"
views
mpd_log_since $mpd
zk_info "3 the LUN moved back to SP A by ${how:-nothing}, after $READS reads through the map"
evidence "failback after $(( $(date +%s) - t0 )) s by ${how:-nothing}; spa saw: $(since spa $mark); host trespasses on SP A: $(( $(host_trespasses spa) - ht_a ))"
[ "$MODE" = 4 ] || expect '[ "$how" = "$BY_MODE_SELECT" ] && [ $(( $(host_trespasses spa) - ht_a )) = 1 ]' "not one MODE SELECT page 0x22 on SP A"
expect 'tail -n +$((mark2 + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spa: \[[0-9]+\] 28 .*status 0x00"' "reads do not reach SP A again"
expect_path A "^Y$" "^$OWNED" "^$KERNEL_OWNER 1$" "^active ready $PRIO_OWNER_DEFAULT running" "^$PRIO_OWNER_DEFAULT:active$"
expect_path B "^N$" "^$NOT_OWNED" "$KERNEL_B_AFTER" "^active ready $PRIO_OTHER running" "^$PRIO_OTHER:enabled$"
evidence "groups [$G]; A [$PA] [$KA]; B [$PB] [$KB]"
expect_back_on_a
step_end

# --- 4: the array trespasses the LUN to SP B -----------------------------------
step_begin 4
mark=$(log_lines) mpd=$(mpd_lines) ht_b=$(host_trespasses spb) t0=$(date +%s)
echo "trespass spa B" > "$CONTROL"
wait_log "control: trespass spa: SP A -> SP B" || need no "zktcmu did not take the trespass"
# Mode 1: the prioritizer sees it at the next checks, SP A's priority
# changes. Mode 4: the sysfs prioritizer follows the kernel's alua handler,
# which learns of a move it did not make only when it asks the groups
# again (the model raises no unit attention for it).
if [ "$MODE" = 1 ]; then
  wait_until 20 'path_state $A | grep -q "^[a-z]* [a-z]* $PRIO_DEFAULT "' ||
    need no "multipathd's priority of SP A did not become $PRIO_DEFAULT in 20 s"
fi
evidence "priorities $(( $(date +%s) - t0 )) s after the trespass: A [$(path_state $A)] B [$(path_state $B)]"
# Reads meet the LUN where the array put it; multipathd follows.
read_until 'owns $A_SG' 100 200000
how=$(moved_by spa B A $mark)
for n in 71 72; do read_map $n || need no "a read failed after multipathd followed"; done
wait_until 15 '(prios_are $PRIO_OWNER_DEFAULT $PRIO_OTHER || prios_are $PRIO_DEFAULT $PRIO_OWNER) && settled'
views
mpd_log_since $mpd
evidence "spa saw: $(since spa $mark); spb saw: $(since spb $mark)"
if [ -n "$how" ]; then
  zk_info "4 the LUN back on its default SP A by $how, $(( $(date +%s) - t0 )) s and $READS reads after the array's trespass"
  expect_path A "^Y$" "^$OWNED" "^$KERNEL_OWNER 1$" "^active ready $PRIO_OWNER_DEFAULT running" "^$PRIO_OWNER_DEFAULT:active$"
  expect_path B "^N$" "^$NOT_OWNED" "$KERNEL_B_AFTER" "^active ready $PRIO_OTHER running" "^$PRIO_OTHER:enabled$"
  expect_back_on_a
else
  zk_info "4 multipathd followed: a group switch to SP B without a trespass"
  expect_path B "^Y$" "^$OWNED" "" "" ":active$"
fi
expect '[ $(host_trespasses spb) = $ht_b ]' "a trespass was sent to SP B, which already owned the LUN"
evidence "groups [$G]; A [$PA] [$KA]; B [$PB] [$KB]"
step_end

# --- 5: shutdown -------------------------------------------------------------
step_begin 5
mp del maps > /tmp/del.out
wait_until 10 '! ls /sys/block | grep -q "^dm-"' || need no "the map is still there: $(cat /tmp/del.out)"
evidence "del maps: $(cat /tmp/del.out | tr '\n' ' ')"
mp shutdown > /dev/null
wait_until 15 '! kill -0 $MPD 2>/dev/null' || need no "multipathd did not stop"
bounded 15 udevadm control --exit || need no "udevd did not stop"
wait_until 5 '! kill -0 $UDEVD 2>/dev/null' || need no "udevd still runs"
grep -i -E 'error|fail' "$MPD_LOG" | grep -v -i -e 'checker failed path' -e 'fail_path' | tail -n 5 | sed 's/^/ZK-INFO 5 multipathd: /'
tail -n 3 "$MPD_LOG" | sed 's/^/ZK-INFO 5 multipathd: /'
kill -TERM $HANDLER
wait $HANDLER
status=$?
for unit in spa spb; do zk_info "5 handler: $unit: $(since $unit 0)"; done
grep -v '\] ' "$HANDLER_LOG" | sed 's/^/ZK-INFO 5 handler: /'
expect '[ $status = 0 ]' "zktcmu ended with status $status"
expect '! grep -q -e malformed -e unusable "$HANDLER_LOG"' "zktcmu saw entries it could not use"
evidence "map removed, multipathd and udevd stopped, zktcmu status $status"
step_end
zk_guest_finish
