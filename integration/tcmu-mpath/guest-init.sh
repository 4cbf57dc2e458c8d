#!/bin/sh
# /init of the failover drill: one LUN (/etc/zk/array.sim) served by zktcmu
# through SP A and SP B, the kernel's device handler for the array
# (scsi_dh_emc) attached to both paths, a dm-multipath map over them with
# one path group per SP. Every step checks what the unit saw (zktcmu's
# command log), the kernel's messages and sysfs, and zkdiscover.
#   1 attach: SP A active/optimized preferred, SP B standby; zkdiscover,
#     the kernel and sg_vpd -p upr agree
#   2 reads through the map succeed, a read of SP B's node fails, claims
#     on every node unchanged
#   3 host-driven failover (switch to SP B's group): one MODE SELECT page
#     0x22 on SP B, reads through SP B, zkdiscover and --compare show the
#     trespass, SP A's stale kernel state a disagreement
#   4 array-side trespass back to SP A: SP B answers 02/04/03, the kernel
#     fails over with no MODE SELECT, --compare shows the trespass back
#   5 refusals: activation while an operation is in progress, a malformed
#     trespass page from sg_raw, activating the owning path
#   6 the handler stops cleanly, no malformed entry
# At steps 1, 3, 4 and 5 zkdiscover --metrics - says the same of the views:
# the LUN's default and current owner, each path's kernel and unit state and
# whether they agree.
. /lib/zk/guest.sh
. /lib/zk/tcmu.sh
. /lib/zk/drill.sh
zk_guest_setup

MAP=zkmp

# --- set-up ------------------------------------------------------------
# The handler must be loaded before the LUNs appear: it attaches at scan.
for module in sd_mod sg target_core_user tcm_loop scsi_dh_emc dm_multipath dm_round_robin; do
  zk_modprobe "$module" || setup_failed "modprobe $module"
done
start_array
zk_info "SP A: $A_SD $A_SG; SP B: $B_SD $B_SG"

# --- 1: attach -----------------------------------------------------------
step_begin 1
grep -i -e emc -e 'scsi_dh' /tmp/kmsg.attach | sed 's/^/ZK-INFO 1 kernel: /'
ka=$(kernel_state $A) kb=$(kernel_state $B)
evidence "sysfs $A: $ka; $B: $kb"
expect '[ "$ka" = "emc active/optimized 1" ]' "SP A's kernel state is [$ka]"
expect '[ "$kb" = "emc standby 0" ]' "SP B's kernel state is [$kb]"
expect 'grep -q -i "emc" /tmp/kmsg.attach' "no message of the emc handler at attach"
expect '[ "$(commands spa "12 01 c0")" -ge 1 ] && [ "$(commands spb "12 01 c0")" -ge 1 ]' "the handler read no VPD 0xC0"
evidence "VPD 0xC0 reads: spa $(commands spa '12 01 c0'), spb $(commands spb '12 01 c0')"
show_tree
la=$(tree_line $A) lb=$(tree_line $B)
evidence "zkdiscover: [$la] [$lb]"
expect 'echo "$la" | grep -q "SP A  port ${CAB}A  owner  kernel emc active/optimized preferred\$"' "zkdiscover's SP A line"
expect 'echo "$lb" | grep -q "SP B  port ${CAB}B  kernel emc standby\$"' "zkdiscover's SP B line"
expect '! grep -q -e DISAGREE -e trespassed /tmp/tree' "zkdiscover marks a disagreement or trespass"
ua=$(upr $A_SG) ub=$(upr $B_SG)
expect 'echo "$ua" | grep -q "LUN bound and owned by this SP" && echo "$ua" | grep -q "Default Owner: SP A"' "sg_vpd -p upr on SP A: $ua"
expect 'echo "$ub" | grep -q "LUN bound, but not owned by this SP" && echo "$ub" | grep -q "connects to: SP B"' "sg_vpd -p upr on SP B: $ub"
evidence "sg_vpd upr: SP A $(echo "$ua" | grep 'LUN State'), SP B $(echo "$ub" | grep 'LUN State')"
discover --json > /tmp/step1.json 2>/dev/null
expect '[ -s /tmp/step1.json ]' "no --json"
check_views "A A" "active/optimized/owned/1" "standby/bound/1"
expect '[ "$(metric zkdiscover_path_kernel_preferred sp=\"A\")" = 1 ] && [ "$(metric zkdiscover_path_kernel_preferred sp=\"B\")" = 0 ]' "metrics: SP A not the only preferred path"
expect '[ "$(metric zkdiscover_lun_operation_in_progress)" = 0 ]' "metrics: an operation in progress"
step_end

# --- 2: reads --------------------------------------------------------------
step_begin 2
sectors=$(cat /sys/block/$A/size)
table="0 $sectors multipath 0 1 emc 2 1 round-robin 0 1 1 $(cat /sys/block/$A/dev) 1 round-robin 0 1 1 $(cat /sys/block/$B/dev) 1"
zk_info "2 table: $table"
dmsetup create "$MAP" --table "$table" || setup_failed "dmsetup create: $table"
MAPDEV=
for d in /sys/block/dm-*; do [ "$(cat $d/dm/name 2>/dev/null)" = "$MAP" ] && MAPDEV=/dev/${d##*/}; done
zk_wait_for "$MAPDEV" 10 || setup_failed "no node for the map"
mark=$(log_lines); ms_a=$(mode_selects spa); ms_b=$(mode_selects spb)
ok=ok
for n in 1 2 3 4; do read_map $n || ok=no; done
need $ok "reads through the map failed"
if read_dev $B_SD 9; then need no "a read of SP B's node $B_SD succeeded"; fi
evidence "4 map reads ok; $B_SD read refused"
evidence "spa saw: $(since spa $mark); spb saw: $(since spb $mark)"
expect '[ "$(mode_selects spb)" = "$ms_b" ]' "a MODE SELECT reached SP B"
evidence "MODE SELECTs during the first activation: SP A $(( $(mode_selects spa) - ms_a )), SP B 0"
evidence "dmsetup status: $(dmsetup status $MAP)"
for node in $A_SD $A_SG; do expect '[ "$("$CLAIM" $node 2>&1)" = "$(claimed Y A)" ]' "claim on $node"; done
for node in $B_SD $B_SG; do expect '[ "$("$CLAIM" $node 2>&1)" = "$(claimed N B)" ]' "claim on $node"; done
evidence "claims on the 4 nodes unchanged (SP A owner Y, SP B N)"
step_end

# --- 3: host-driven failover -----------------------------------------------
step_begin 3
mark=$(log_lines); ms_a=$(mode_selects spa); ms_b=$(mode_selects spb)
dmsetup message "$MAP" 0 switch_group 2
ok=ok
for n in 11 12 13; do read_map $n || ok=no; done
need $ok "reads through the map failed after switching to SP B's group"
evidence "spb saw: $(since spb $mark)"
evidence "MODE SELECTs: SP B $(( $(mode_selects spb) - ms_b )), SP A $(( $(mode_selects spa) - ms_a ))"
expect '[ $(( $(mode_selects spb) - ms_b )) = 1 ]' "not exactly one MODE SELECT on SP B"
expect '[ $(mode_selects spa) = $ms_a ]' "a MODE SELECT on SP A"
expect 'tail -n +$((mark + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spb: \[[0-9]+\] (15|55) .*status 0x00, out .*22 0[29] "' "the MODE SELECT does not carry page 0x22"
grep -E "^zktcmu: spb: \[[0-9]+\] (15|55) " "$HANDLER_LOG" | tail -n 1 | sed 's/^/ZK-INFO 3 unit: /'
expect 'grep -q "spb: trespass by opcode 0x[15]5: SP A -> SP B" "$HANDLER_LOG"' "the unit logged no trespass to SP B"
expect 'tail -n +$((mark + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spb: \[[0-9]+\] 28 .*status 0x00"' "no READ reached SP B"
ka=$(kernel_state $A) kb=$(kernel_state $B)
evidence "sysfs $A: $ka; $B: $kb"
expect '[ "$kb" = "emc active/optimized 0" ]' "SP B's kernel state is [$kb]"
dmesg > /tmp/kmsg.3.now
expect 'grep -q -i "emc" /tmp/kmsg.3.now' "no message of the emc handler"
show_tree
la=$(tree_line $A) lb=$(tree_line $B)
evidence "zkdiscover: [$la] [$lb]"
expect 'echo "$lb" | grep -q "SP B  port ${CAB}B  owner  kernel emc active/optimized"' "zkdiscover does not show SP B as owner"
expect 'echo "$la" | grep -q "DISAGREE" || ! echo "$ka" | grep -q active' "SP A's stale kernel state not marked"
grep '> views disagree' /tmp/tree | sed 's/^/ZK-INFO 3 explain: /'
grep -q 'trespassed (default SP A)' /tmp/tree || PROBLEMS="$PROBLEMS LUN not marked trespassed;"
discover --compare /tmp/step1.json > /tmp/compare.3 2>&1
rc=$?
sed 's/^/ZK-INFO 3 compare: /' /tmp/compare.3
expect '[ $rc = 10 ] && [ "$(grep -c "^Trespass:" /tmp/compare.3)" = 1 ] && grep "owner now" /tmp/compare.3 | grep -q B' "--compare (exit $rc) does not show one trespass to SP B"
evidence "--compare exit $rc, $(grep -c '^Trespass:' /tmp/compare.3) trespass"
discover --json > /tmp/step3.json 2>/dev/null
# Off its default SP; SP A's kernel still active/optimized, the unit says bound.
check_views "B A" "active/optimized/bound/0" "active/optimized/owned/1"
step_end

# --- 4: array-side trespass back to SP A -----------------------------------
step_begin 4
mark=$(log_lines); ms_a=$(mode_selects spa); ms_b=$(mode_selects spb)
echo "trespass spa A" > "$CONTROL"
wait_log "control: trespass spa: SP B -> SP A" || need no "zktcmu did not take the trespass"
ok=ok
for n in 21 22 23; do read_map $n || ok=no; done
need $ok "reads through the map failed after the array moved the LUN back"
evidence "spb saw: $(since spb $mark); spa saw: $(since spa $mark)"
expect 'tail -n +$((mark + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spb: \[[0-9]+\] 28 .*status 0x02"' "SP B answered no READ with CHECK CONDITION"
expect 'tail -n +$((mark + 1)) "$HANDLER_LOG" | grep -q -E "^zktcmu: spa: \[[0-9]+\] 28 .*status 0x00"' "no READ reached SP A"
evidence "MODE SELECTs: SP A $(( $(mode_selects spa) - ms_a )), SP B $(( $(mode_selects spb) - ms_b ))"
expect '[ $(mode_selects spa) = $ms_a ] && [ $(mode_selects spb) = $ms_b ]' "a MODE SELECT was sent though SP A already owned the LUN"
evidence "dmsetup status: $(dmsetup status $MAP)"
dmesg > /tmp/kmsg.4.now
expect 'grep -q -i -e "fail.*path" -e "emc" /tmp/kmsg.4.now' "the kernel logged no failover"
ka=$(kernel_state $A) kb=$(kernel_state $B)
evidence "sysfs $A: $ka; $B: $kb"
show_tree
la=$(tree_line $A) lb=$(tree_line $B)
evidence "zkdiscover: [$la] [$lb]"
expect 'echo "$la" | grep -q "SP A  port ${CAB}A  owner"' "zkdiscover does not show SP A as owner"
discover --compare /tmp/step3.json > /tmp/compare.4 2>&1
rc=$?
sed 's/^/ZK-INFO 4 compare: /' /tmp/compare.4
expect '[ $rc = 10 ] && [ "$(grep -c "^Trespass:" /tmp/compare.4)" = 1 ]' "--compare (exit $rc) does not show the trespass back"
# Back on its default SP: SP A's views agree again (SP B's kernel may lag).
check_views "A A" "active/optimized/owned/1" "*/bound/*"
step_end

# --- 5: refusals -----------------------------------------------------------
step_begin 5
# a. activating the owning path sends no MODE SELECT.
ms_a=$(mode_selects spa)
bounded 20 sh -c "echo activate > /sys/block/$A/device/dh_state"; evidence "activate SP A: status $?"
expect '[ $(mode_selects spa) = $ms_a ]' "activating the owning path sent a MODE SELECT"
evidence "MODE SELECTs on SP A when activated: $(( $(mode_selects spa) - ms_a ))"
# b. a malformed trespass page (page length 3) from sg_raw.
printf '\000\000\000\000\042\003\001\377\000' > /tmp/bad-page
bounded 20 sg_raw -s 9 -i /tmp/bad-page $B_SG 15 10 00 00 09 00 > /tmp/sg_raw.out 2>&1
sed 's/^/ZK-INFO 5 sg_raw: /' /tmp/sg_raw.out | head -n 8
expect 'grep -q -i "Invalid field in parameter list" /tmp/sg_raw.out' "sg_raw's malformed page was not refused with 05/26/00"
expect 'grep -q -E "^zktcmu: spb: \[[0-9]+\] 15 10 00 00 09 00: .*status 0x02" "$HANDLER_LOG"' "the unit did not refuse sg_raw's page"
expect 'upr $A_SG | grep -q "LUN bound and owned by this SP"' "the malformed page moved the LUN"
evidence "sg_raw page length 3: $(grep -i -m1 'Invalid field' /tmp/sg_raw.out)"
# c. an operation in progress: activating SP B trespasses nothing.
mark=$(log_lines); ms_b=$(mode_selects spb)
echo "in_progress spa on" > "$CONTROL"
wait_log "control: in_progress spa: on" || need no "zktcmu did not take in_progress"
bounded 20 sh -c "echo activate > /sys/block/$B/device/dh_state"; evidence "activate SP B in progress: status $?"
expect '[ $(mode_selects spb) = $ms_b ]' "a MODE SELECT reached SP B while an operation was in progress"
take_metrics
expect '[ "$(metric zkdiscover_lun_operation_in_progress)" = 1 ]' "metrics: no operation in progress shown"
evidence "metrics: operation in progress $(metric zkdiscover_lun_operation_in_progress), owner/default $(owners)"
expect 'upr $A_SG | grep -q "owned by this SP" && upr $A_SG | grep -q "NDU in progress"' "SP A no longer owns the LUN, or no operation in progress shown"
evidence "in progress: SP B MODE SELECTs $(( $(mode_selects spb) - ms_b )), spb saw: $(since spb $mark)"
echo "in_progress spa off" > "$CONTROL"
wait_log "control: in_progress spa: off"
bounded 20 dd if="$MAPDEV" of=/dev/null bs=4096 count=1 skip=41 iflag=direct 2>/dev/null
need "$([ $? = 0 ] && echo ok)" "the map does not read after the refusals"
evidence "sysfs $A: $(kernel_state $A); $B: $(kernel_state $B)"
show_tree
evidence "zkdiscover: [$(tree_line $A)] [$(tree_line $B)]"
step_end

# --- 6: the handler ----------------------------------------------------------
bounded 10 dmsetup remove "$MAP" 2>/dev/null
kill -TERM $HANDLER
wait $HANDLER
status=$?
for unit in spa spb; do zk_info "handler: $unit: $(since $unit 0)"; done
grep -v '\] ' "$HANDLER_LOG" | sed 's/^/ZK-INFO handler: /'
if [ $status != 0 ]; then
  zk_check 6 FAIL "zktcmu ended with status $status"
elif grep -q -e malformed -e unusable "$HANDLER_LOG"; then
  zk_check 6 FAIL "zktcmu saw entries it could not use"
else
  zk_check 6 PASS "zktcmu answered every command and stopped cleanly"
fi
zk_guest_finish
