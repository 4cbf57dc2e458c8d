# Guest-side part of the TCMU test for a hung SP (busybox ash), installed as
# /lib/zk/hung.sh and run by guest-init.sh after check 6: eight more LUNs
# of the array through both SPs (ha0..ha7 through SP A, hb0..hb7 through
# SP B) and one more LUN through SP B (stuck) whose TCMU device never times
# a command out (cmd_time_out 0, set before it is enabled). SP A's units
# and SP B's are served by two zktcmu processes of their own; SP B's is
# stopped (SIGSTOP: the SP takes commands and never answers).
# Checks:
#   9  the scan with SP B stopped ends by its device deadline plus a
#      margin, names each of SP B's nine paths with its LUN and SP in the
#      metrics, claims the others, and leaves no process or descriptor
#   10 a block node of the stuck unit: the scan ends by its own deadline
#      with its outputs written; the process is gone once SP B answers
#   11 once SP B's server resumes, the next scan is whole again
# With /opt/zk/bin/zkdiscover-old (run.sh puts it there when asked), the
# program before the deadlines is timed on the same paths at the end.

HUNG_A="ha0 ha1 ha2 ha3 ha4 ha5 ha6 ha7"
HUNG_B="hb0 hb1 hb2 hb3 hb4 hb5 hb6 hb7 stuck"
DEVICE_TIMEOUT=3
SCAN_TIMEOUT=20

# Hundredths of a second since boot; such a count as seconds.
now_cs() { sed 's/^\([0-9]*\)\.\([0-9][0-9]\).*/\1\2/' /proc/uptime; }
secs() { printf '%d.%02d' $(($1 / 100)) $(($1 % 100)); }

# serve LOG UNIT...: a zktcmu for the units, its pid in SERVED once it
# serves.
serve() {
  log=$1
  shift
  b=
  for u in "$@"; do b="$b $u=/dev/tcmu/$u"; done
  rm -f "$READY"
  /bin/zktcmu --config "$CONFIG" --ready "$READY" $b 2> "$log" &
  SERVED=$!
  wait_for_handler $SERVED
}

# The LUN serial of a unit as the library shows it (hex, its bytes are
# not all printable), from array.sim.
lun_of() {
  awk -v u="/dev/tcmu/$1" '$1 == "unit" { on = ($2 == u) }
    on && $1 == "lun_id" { sub(/^hex:/, "", $2); s = $2; for (i = 3; i <= NF; i++) s = s $i; print toupper(s) }' "$CONFIG"
}

# no_leftovers: no zkdiscover process, and no descriptor of any process on
# an sd or sg node; prints what is left.
no_leftovers() {
  left=
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = zkdiscover ] && left="$left process ${p#/proc/};"
    for fd in "$p"/fd/*; do
      case $(readlink "$fd" 2>/dev/null) in
        /dev/sg*|/dev/sd*) left="$left ${p#/proc/} holds $(readlink "$fd");" ;;
      esac
    done
  done
  echo "$left"
}

HUNG_START=$(now_cs)
n=4
for unit in $HUNG_A $HUNG_B; do
  mkdir -p "$HBA/$unit"
  echo -n "dev_config=zksim/$unit,dev_size=4194304,hw_block_size=512,max_data_area_mb=8" > "$HBA/$unit/control"
  [ "$unit" != stuck ] || echo 0 > "$HBA/$unit/attrib/cmd_time_out" ||
    setup_failed "cmd_time_out of $unit cannot be set"
  echo 1 > "$HBA/$unit/enable" || setup_failed "TCMU device $unit cannot be enabled"
done
serve /tmp/zktcmu-a.log $HUNG_A
HANDLER_A=$SERVED
serve /tmp/zktcmu-b.log $HUNG_B
HANDLER_B=$SERVED
SG_B= SD_STUCK=
for unit in $HUNG_A $HUNG_B; do
  n=$((n + 1))
  export_unit $n "$unit" || setup_failed "$unit cannot be exported"
  pair=$(nodes $n) || setup_failed "no sd and sg nodes for $unit"
  set -- $pair
  zk_wait_for "/dev/$2" 10 || setup_failed "/dev/$2 did not appear"
  case $unit in hb*|stuck) SG_B="$SG_B /dev/$2" ;; esac
  [ "$unit" != stuck ] || SD_STUCK=/dev/$1
  eval "NODE_$unit=/dev/$2 ADDRESS_$unit=$(basename "$(readlink -f /sys/class/scsi_generic/$2/device)")"
done
zk_info "hung SP: SP B's sg nodes:$SG_B; the stuck unit's block node $SD_STUCK"

scan() { "$ZKDISCOVER" --library "$LIBRARY" "$@"; }
scan --save /tmp/before.json > /tmp/before.tree 2>&1 || zk_info "scan before: exit $?"
WHOLE=$(grep '^Summary:' /tmp/before.tree)
zk_info "scan before: $WHOLE"

kill -STOP $HANDLER_B

# --- 9: the scan with SP B stopped -------------------------------------
t0=$(now_cs)
scan --device-timeout $DEVICE_TIMEOUT --scan-timeout $SCAN_TIMEOUT --compare /tmp/before.json \
  --save /tmp/hung.json --metrics /tmp/hung.prom > /tmp/hung.out 2> /tmp/hung.err
status=$?
took=$(( $(now_cs) - t0 ))
zk_info "after, every path: $(secs $took) s ($(sed -n 's/^zkdiscover_scan_duration_seconds //p' /tmp/hung.prom) s of scan), exit $status"
sed 's/^/ZK-INFO hung: /' /tmp/hung.err | head -20
problems=
# The scan itself (the metrics' duration, from the start of the run) ends
# within 2 s of the device deadline; the whole command, with the start of
# the program under emulation, within 8 s.
duration=$(sed -n 's/^zkdiscover_scan_duration_seconds \([0-9]*\)\..*/\1/p' /tmp/hung.prom)
[ -n "$duration" ] && [ "$duration" -lt $((DEVICE_TIMEOUT + 2)) ] ||
  problems="$problems scan took ${duration:-?} s;"
[ $took -le $(( (DEVICE_TIMEOUT + 8) * 100 )) ] || problems="$problems took $took cs;"
[ $status = 11 ] || problems="$problems exit $status, not 11 (degraded);"
for unit in $HUNG_B; do
  eval "node=\$NODE_$unit address=\$ADDRESS_$unit"
  line="zkdiscover_path_not_answering{array=\"$CAB\",lun=\"$(lun_of $unit)\",sp=\"B\",device=\"$node\",address=\"$address\"} 1"
  grep -q -x -F "$line" /tmp/hung.prom || problems="$problems no [$line];"
done
grep -q -x 'zkdiscover_devices{outcome="not_answering"} 9' /tmp/hung.prom || problems="$problems not 9 not answering;"
grep -q -x 'zkdiscover_devices{outcome="claimed"} 10' /tmp/hung.prom || problems="$problems not 10 claimed;"
grep -q '"known_from": "kernel, earlier scan"' /tmp/hung.json || problems="$problems not attributed from the kernel;"
left=$(no_leftovers)
[ -z "$left" ] || problems="$problems left:$left"
if [ -z "$problems" ]; then
  zk_check 9 PASS "SP B stopped: $(secs $took) s, its 9 paths named with their LUN and SP, 10 claimed, nothing left"
else
  zk_check 9 FAIL "$problems"
  grep zkdiscover_ /tmp/hung.prom | grep -v '^#' | sed 's/^/ZK-INFO metrics: /'
fi

# --- 10: a block node whose command never completes ----------------------
t0=$(now_cs)
"$ZKDISCOVER" --library "$LIBRARY" "$SD_STUCK" --device-timeout 2 --scan-timeout 5 \
  --metrics /tmp/stuck.prom > /tmp/stuck.out 2>&1 &
STUCK_SCAN=$!
waited=0
while [ ! -s /tmp/stuck.prom ] && [ $waited -lt 150 ]; do usleep 100000; waited=$((waited + 1)); done
took=$(( $(now_cs) - t0 ))
zk_info "after, the stuck unit's block node: metrics after $(secs $took) s; the process: $(grep -e '^State' -e '^Threads' /proc/$STUCK_SCAN/status 2>/dev/null | tr '\n\t' '  ')"
problems=
[ $took -le 800 ] || problems="$problems metrics after $took cs;"
grep -q -x 'zkdiscover_devices{outcome="not_answering"} 1' /tmp/stuck.prom || problems="$problems not answering not counted;"
grep -q -- "$SD_STUCK .*: no answer before the scan's deadline of 5 s" /tmp/stuck.out ||
  problems="$problems report: $(head -c 200 /tmp/stuck.out);"

kill -CONT $HANDLER_B
t0=$(now_cs)
wait $STUCK_SCAN
status=$?
took=$(( $(now_cs) - t0 ))
zk_info "the stuck scan ended $(secs $took) s after SP B resumed, exit $status"
[ $status = 8 ] || problems="$problems exit $status;"
if [ -z "$problems" ]; then
  zk_check 10 PASS "a command that never completes: outputs by the scan's deadline, the process gone once the command ended"
else
  zk_check 10 FAIL "$problems"
fi

# --- 11: whole again ----------------------------------------------------
usleep 500000
scan > /tmp/after.tree 2>&1
status=$?
left=$(no_leftovers)
if [ $status = 0 ] && [ "$(grep '^Summary:' /tmp/after.tree)" = "$WHOLE" ] && [ -z "$left" ]; then
  zk_check 11 PASS "SP B resumed: $WHOLE"
else
  zk_check 11 FAIL "exit $status: $(grep '^Summary:' /tmp/after.tree) (before: $WHOLE)$left"
  grep -e 'not answering' -e 'no answer' /tmp/after.tree | sed 's/^/ZK-INFO after: /'
fi
zk_info "hung SP: checks 9 to 11 in $(secs $(( $(now_cs) - HUNG_START ))) s"

# The program before the deadlines on the same paths, SP B stopped again
# (its commands end by TCMU's 30 s time-out, the stuck unit's never).
kill -STOP $HANDLER_B
if [ -x /opt/zk/bin/zkdiscover-old ]; then
  for what in "one hung path:$NODE_hb0" "every path:"; do
    t0=$(now_cs)
    timeout 60 /opt/zk/bin/zkdiscover-old --library "$LIBRARY" ${what#*:} > /tmp/old.out 2>&1
    status=$?
    zk_info "before, $(echo ${what%%:*}): $(secs $(( $(now_cs) - t0 ))) s, exit $status: $(grep -e '^Summary' -e ': cannot' /tmp/old.out | head -3 | tr '\n' ' ')"
  done
fi

kill -CONT $HANDLER_B
kill -TERM $HANDLER_A $HANDLER_B
wait $HANDLER_A $HANDLER_B
