#!/usr/bin/env bash
# Tests of integration/common/lib.sh that need no network and no qemu: the
# verdict read from a guest console, and the initramfs builder's library
# copying and packing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../integration/common/lib.sh"
ZK_LOG_TAG=test

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# --- zk_verdict: console text (\n for line ends), expected ids, result ---
verdict_cases=(
  # name | console | expected ids | want status
  "all pass|ZK-CHECK 1 PASS a\nZK-CHECK 2 PASS b\nZK-DONE\n|1 2|0"
  "serial line ends|ZK-CHECK 1 PASS a\r\nZK-DONE\r\n|1|0"
  "kernel lines between|[ 1.0] sd 0:0:0:0: attached\nZK-CHECK 1 PASS a\n[ 2.0] reboot\nZK-DONE\n|1|0"
  "one failure among passes|ZK-CHECK 1 PASS a\nZK-CHECK 1 FAIL b\nZK-DONE\n|1|1"
  "expected check never reported|ZK-CHECK 1 PASS a\nZK-DONE\n|1 5|1"
  "guest never finished|ZK-CHECK 1 PASS a\n|1|1"
  "empty console|||1"
  "no line at all but done|ZK-DONE\n|1|1"
  "id prefix is not the id|ZK-CHECK 10 PASS a\nZK-DONE\n|1|1"
  "verdict text must start the line|echo ZK-CHECK 1 PASS a\nZK-DONE\n|1|1"
)
for case in "${verdict_cases[@]}"; do
  IFS='|' read -r name console ids want <<<"$case"
  printf '%b' "$console" > "$work/console.log"
  # shellcheck disable=SC2086
  zk_verdict "$work/console.log" $ids > "$work/out" 2>&1
  got=$?
  [ $got -eq 0 ] && got=0 || got=1
  if [ "$got" = "$want" ]; then pass; else fail "zk_verdict '$name': status $got, want $want"; cat "$work/out"; fi
done

printf 'ZK-CHECK 1 PASS a\nZK-CHECK 3 FAIL b\nZK-CHECK 3 FAIL c\nZK-DONE\n' > "$work/console.log"
out=$(zk_verdict "$work/console.log" 1 3)
if grep -q '^failed checks: 3 $' <<<"$out" && grep -q '^test: 1 passed, 2 failed$' <<<"$out"; then
  pass
else
  fail "zk_verdict does not name the failed check and count: $out"
fi

# --- zk_initramfs_add_program: the tree runs the program on its own ---
tree="$work/tree"
mkdir -p "$tree"
if zk_initramfs_add_program "$tree" "$(type -P true)" /bin/true 2>"$work/err"; then
  interp=$(ldd "$(type -P true)" | awk '$1 ~ /^\// { print $1 }')
  if [ -x "$tree/bin/true" ] && [ -e "$tree$interp" ] && [ -e "$tree$ZK_GUEST_LIBDIR/libc.so.6" ]; then
    pass
  else
    fail "program, interpreter $interp or libc missing in the tree"; find "$tree"
  fi
  if [ "$(id -u)" -eq 0 ]; then
    if LD_LIBRARY_PATH=$ZK_GUEST_LIBDIR chroot "$tree" /bin/true; then pass; else fail "the copied program does not run in the tree"; fi
  fi
else
  fail "zk_initramfs_add_program: $(cat "$work/err")"
fi

# A library that cannot be resolved stops the build of the tree.
cat > "$work/needs.c" <<'C'
int zk_missing(void);
int main(void) { return zk_missing(); }
C
cat > "$work/missing.c" <<'C'
int zk_missing(void) { return 0; }
C
if cc -shared -fPIC -o "$work/libzkmissing.so" "$work/missing.c" 2>/dev/null &&
   cc -o "$work/needs" "$work/needs.c" -L"$work" -lzkmissing 2>/dev/null; then
  if zk_initramfs_add_program "$tree" "$work/needs" 2>/dev/null; then
    fail "a program with an unresolved library was accepted"
  else
    pass
  fi
  if LD_LIBRARY_PATH="$work" zk_initramfs_add_program "$tree" "$work/needs" 2>/dev/null &&
     [ -e "$tree$ZK_GUEST_LIBDIR/libzkmissing.so" ]; then
    pass
  else
    fail "a library found through LD_LIBRARY_PATH was not copied"
  fi
fi

# --- zk_initramfs_pack: newc archive owned by root, every file in it ---
mkdir -p "$tree/etc" && echo hello > "$tree/etc/greeting"
if zk_initramfs_pack "$tree" "$work/initrd.cpio"; then
  listing=$(cpio -it --quiet < "$work/initrd.cpio")
  if grep -qx 'etc/greeting' <<<"$listing" && grep -qx 'bin/true' <<<"$listing" &&
     [ "$(head -c 6 "$work/initrd.cpio")" = 070701 ] &&
     cpio -itv --quiet < "$work/initrd.cpio" | awk '$3 != "root" || $4 != "root" { bad = 1 } END { exit bad }'; then
    pass
  else
    fail "archive content or format: $listing"
  fi
else
  fail "zk_initramfs_pack failed"
fi

echo "integration common: $passed passed, $failed failed"
[ $failed -eq 0 ]
