# Guest-side helpers for the TCMU tests' /init scripts (busybox ash),
# installed as /lib/zk/tcmu.sh: TCMU backstores under HBA, each exported as
# LUN 0 of a loopback target port of its own, and what both TCMU guests
# share: where things are in the initramfs, and a claim's expected output.

CONFIG=/etc/zk/array.sim
CLAIM=/bin/zk_tcmu_claim
ZKDISCOVER=/opt/zk/bin/zkdiscover
LIBRARY=/opt/zk/lib/libzkDGCclariion.so
TARGET=/sys/kernel/config/target
HBA=$TARGET/core/user_0
# zktcmu's log and the file it creates once it serves; the array's
# cabinet serial and LUN serial, as array.sim describes them.
HANDLER_LOG=/tmp/zktcmu.log
READY=/tmp/zktcmu.ready
CAB=APM00041701234
LUN_SERIAL=600601603A210F006C4E8B105A91DF11

# setup_failed TEXT: check 1 fails with TEXT and the handler's last lines,
# and the guest ends.
setup_failed() {
  zk_check 1 FAIL "$*"
  [ -r "$HANDLER_LOG" ] && tail -n 40 "$HANDLER_LOG" | sed 's/^/ZK-INFO handler: /'
  zk_guest_finish
}

# claimed OWNER SP: claim_device's output for a path of the LUN (needs CAB
# and LUN_SERIAL set).
claimed() {
  printf 'result=0\nCAB_SERIAL_NO=%s\nLUN_SERIAL_NO=%s\nREVISION=0219\nSCSI_VERSION=4\nLUN_OWNER=%s\nPORT_SERIAL_NO=%s%s' \
    "$CAB" "$LUN_SERIAL" "$1" "$CAB" "$2"
}

# make_tcmu NAME: a TCMU backstore whose uio name carries NAME.
make_tcmu() {
  mkdir -p "$HBA/$1" &&
    echo -n "dev_config=zksim/$1,dev_size=4194304,hw_block_size=512,max_data_area_mb=8" > "$HBA/$1/control" &&
    echo 1 > "$HBA/$1/enable"
}

# wait_for_handler PID: waits (20 s at most) until zktcmu, running as PID,
# has created $READY; the guest's setup fails otherwise.
wait_for_handler() {
  waited=0
  while [ ! -e "$READY" ]; do
    kill -0 "$1" 2>/dev/null || setup_failed "zktcmu ended before it was ready"
    waited=$((waited + 1))
    [ $waited -le 200 ] || setup_failed "zktcmu not ready after 20 s"
    usleep 100000
  done
}

# port_wwn NAME N: the loopback port of unit number N, and its initiator.
port_wwn() { printf 'naa.5001405000%05x1' "$1"; }
initiator_wwn() { printf 'naa.5001405000%05xf' "$1"; }

# export_unit N NAME: a loopback target port with its I_T nexus and NAME as
# its LUN 0; with scan=sync the kernel probes the new unit (INQUIRY, READ
# CAPACITY, MODE SENSE, ...) inside ln, so zktcmu must be answering.
export_unit() {
  tpg=$TARGET/loopback/$(port_wwn "$1")/tpgt_1
  mkdir -p "$tpg/lun/lun_0" &&
    echo "$(initiator_wwn "$1")" > "$tpg/nexus" &&
    ln -s "$HBA/$2" "$tpg/lun/lun_0/$2"
}

# nodes N: "sdX sgN" of unit number N, found through its port's SCSI
# address (tpgt_1/address reads HOST:0:TPGT).
nodes() {
  address=$(cat "$TARGET/loopback/$(port_wwn "$1")/tpgt_1/address" 2>/dev/null) || return 1
  host=${address%%:*}
  dir=/sys/bus/scsi/devices/$host:0:1:0
  waited=0
  while [ ! -d "$dir/block" ] || [ ! -d "$dir/scsi_generic" ]; do
    waited=$((waited + 1))
    [ $waited -le 100 ] || return 1
    usleep 100000
  done
  echo "$(ls "$dir/block") $(ls "$dir/scsi_generic")"
}
