# Shared functions for the real-kernel integration tests: a stock Debian
# kernel booted under qemu-system-x86_64 with a busybox initramfs that holds
# the kernel modules, programs and files a test needs.
#
# Source this file from bash (it does not change the shell's options):
#   . "$(dirname "$0")/../common/lib.sh"
# Every function is described in integration/README.md.

ZK_COMMON_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Multiarch directory the guest's shared libraries are copied into.
ZK_GUEST_LIBDIR=/lib/x86_64-linux-gnu

zk_log() { printf '[%s] %s\n' "${ZK_LOG_TAG:-zk}" "$*" >&2; }
zk_die() { zk_log "error: $*"; return 1; }

# Cache for downloaded packages and their unpacked trees, outside the repo.
zk_cache_dir() {
  local dir=${ZK_CACHE_DIR:-$HOME/.cache/zkdgc}
  mkdir -p "$dir/debs" "$dir/trees" || return 1
  printf '%s\n' "$dir"
}

# Runs "$@" holding the cache lock, so that two tests sharing the cache
# never download or unpack the same package at the same time.
zk_with_cache_lock() {
  local cache
  cache=$(zk_cache_dir) || return 1
  ( flock -w 600 9 || { zk_log "cache lock not acquired"; exit 1; }; "$@" ) 9>"$cache/.lock"
}

# zk_apt_candidate PKG: candidate version of PKG, or nothing.
zk_apt_candidate() {
  apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { if ($2 != "(none)") print $2; exit }'
}

_zk_apt_updated=
_zk_apt_update_once() {
  [ -n "$_zk_apt_updated" ] && return 0
  _zk_apt_updated=1
  zk_log "apt-get update"
  apt-get update -qq >&2 || zk_log "apt-get update failed; using what is cached"
}

# zk_deb_file_name PKG VERSION: the file name apt-get download gives it
# (the epoch colon is written %3a).
zk_deb_file_name() {
  # The architecture part is left open: amd64, or all.
  printf '%s_%s_*.deb\n' "$1" "${2//:/%3a}"
}

# zk_kernel_package: name of the package behind the linux-image-amd64
# metapackage (for example linux-image-6.1.0-57-amd64). ZK_KERNEL_PACKAGE
# overrides it.
zk_kernel_package() {
  if [ -n "${ZK_KERNEL_PACKAGE:-}" ]; then printf '%s\n' "$ZK_KERNEL_PACKAGE"; return 0; fi
  local name
  name=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
  if [ -z "$name" ]; then
    _zk_apt_update_once
    name=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }')
  fi
  if [ -z "$name" ]; then
    # No package lists at all: fall back to the newest kernel in the cache.
    local cache
    cache=$(zk_cache_dir) || return 1
    name=$(ls "$cache/debs" 2>/dev/null | sed -n 's/^\(linux-image-[0-9][^_]*-amd64\)_.*/\1/p' | sort -V | tail -1)
  fi
  [ -n "$name" ] || { zk_die "cannot tell which linux-image package to use"; return 1; }
  printf '%s\n' "$name"
}

_zk_fetch_one() {
  local pkg=$1 cache version pattern found
  cache=$(zk_cache_dir) || return 1
  version=$(zk_apt_candidate "$pkg")
  if [ -z "$version" ]; then
    _zk_apt_update_once
    version=$(zk_apt_candidate "$pkg")
  fi
  if [ -n "$version" ]; then
    pattern=$(zk_deb_file_name "$pkg" "$version")
    found=$(cd "$cache/debs" && ls $pattern 2>/dev/null | head -1)
    if [ -z "$found" ]; then
      zk_log "downloading $pkg $version"
      if ! (cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "$pkg=$version" >&2); then
        _zk_apt_update_once
        (cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "$pkg" >&2) || true
      fi
      found=$(cd "$cache/debs" && ls $pattern 2>/dev/null | head -1)
      [ -n "$found" ] || found=$(cd "$cache/debs" && ls -t "${pkg}"_*.deb 2>/dev/null | head -1)
    fi
  else
    # The registry does not know the package (or cannot be reached): use
    # the newest cached copy, if any.
    found=$(cd "$cache/debs" && ls -t "${pkg}"_*.deb 2>/dev/null | head -1)
  fi
  [ -n "$found" ] || { zk_die "package $pkg could not be downloaded"; return 1; }
  printf '%s\n' "$cache/debs/$found"
}

# zk_fetch_debs PKG...: makes sure each package's .deb is in the cache
# (apt-get download of the candidate version) and prints their paths, one a
# line, in the order given.
zk_fetch_debs() {
  local pkg
  for pkg in "$@"; do
    zk_with_cache_lock _zk_fetch_one "$pkg" || return 1
  done
}

_zk_unpack_one() {
  local deb=$1 cache tree
  cache=$(zk_cache_dir) || return 1
  tree="$cache/trees/$(basename "$deb" .deb)"
  if [ ! -e "$tree/.unpacked" ]; then
    rm -rf "$tree" && mkdir -p "$tree" || return 1
    dpkg-deb -x "$deb" "$tree" || { zk_die "dpkg-deb -x $deb failed"; return 1; }
    touch "$tree/.unpacked"
  fi
  printf '%s\n' "$tree"
}

# zk_unpack_deb DEB: unpacks the .deb with dpkg-deb -x into a tree of its
# own in the cache (once) and prints the tree's path.
zk_unpack_deb() { zk_with_cache_lock _zk_unpack_one "$1"; }

# zk_fetch_unpack PKG: zk_fetch_debs and zk_unpack_deb for one package;
# prints the tree's path.
zk_fetch_unpack() {
  local deb
  deb=$(zk_fetch_debs "$1") || return 1
  zk_unpack_deb "$deb"
}

# zk_fetch_library_of PKG PREFIX FALLBACK: zk_fetch_unpack for the library
# package PKG depends on (the one whose name starts with PREFIX; FALLBACK
# when apt does not say); prints the tree's path.
zk_fetch_library_of() {
  local name
  name=$(apt-cache depends "$1" 2>/dev/null |
    awk -v wanted="Depends: $2" 'index($0, wanted) { print $2; exit }')
  zk_fetch_unpack "${name:-$3}"
}

# zk_kernel_prepare: fetches and unpacks the current Debian kernel and sets
#   ZK_KERNEL_ROOT     the unpacked tree (boot/, lib/modules/VERSION/)
#   ZK_KERNEL_VERSION  for example 6.1.0-57-amd64
#   ZK_KERNEL_IMAGE    the bzImage to boot
zk_kernel_prepare() {
  local package
  package=$(zk_kernel_package) || return 1
  ZK_KERNEL_ROOT=$(zk_fetch_unpack "$package") || return 1
  ZK_KERNEL_VERSION=$(ls "$ZK_KERNEL_ROOT/lib/modules" | head -1)
  ZK_KERNEL_IMAGE="$ZK_KERNEL_ROOT/boot/vmlinuz-$ZK_KERNEL_VERSION"
  [ -n "$ZK_KERNEL_VERSION" ] && [ -r "$ZK_KERNEL_IMAGE" ] ||
    { zk_die "no kernel image in $ZK_KERNEL_ROOT"; return 1; }
  if [ ! -e "$ZK_KERNEL_ROOT/lib/modules/$ZK_KERNEL_VERSION/modules.dep" ]; then
    zk_with_cache_lock depmod -b "$ZK_KERNEL_ROOT" "$ZK_KERNEL_VERSION" ||
      { zk_die "depmod failed"; return 1; }
  fi
  export ZK_KERNEL_ROOT ZK_KERNEL_VERSION ZK_KERNEL_IMAGE
}

# zk_module_files MODULE...: the .ko files (paths relative to
# ZK_KERNEL_ROOT) that loading the modules needs, dependencies first, each
# once. Host modprobe configuration is ignored.
zk_module_files() {
  local module out
  for module in "$@"; do
    out=$(modprobe -C /dev/null -d "$ZK_KERNEL_ROOT" -S "$ZK_KERNEL_VERSION" --show-depends "$module") ||
      { zk_die "module $module not found in $ZK_KERNEL_VERSION"; return 1; }
    printf '%s\n' "$out"
  done | awk '$1 == "insmod" { print $2 }' | sed "s|^$ZK_KERNEL_ROOT/||" | awk '!seen[$0]++'
}

# zk_initramfs_init DIR: a fresh initramfs tree with busybox (every applet
# linked in /bin), the guest helpers (/lib/zk/guest.sh) and the base
# directories. Needs the busybox-static package (fetched here).
zk_initramfs_init() {
  local dir=$1 bbroot applet
  bbroot=$(zk_fetch_unpack busybox-static) || return 1
  rm -rf "$dir" && mkdir -p "$dir"/{bin,sbin,dev,proc,sys,tmp,etc,root,lib/zk,lib64,"${ZK_GUEST_LIBDIR#/}"} || return 1
  cp "$bbroot/bin/busybox" "$dir/bin/busybox" || return 1
  for applet in $("$dir/bin/busybox" --list); do
    [ -e "$dir/bin/$applet" ] || ln -s busybox "$dir/bin/$applet"
  done
  # The kernel opens /dev/console before init runs; devtmpfs replaces /dev later.
  mknod -m 600 "$dir/dev/console" c 5 1 2>/dev/null || true
  printf 'root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n' > "$dir/etc/passwd"
  printf 'root:x:0:\ndisk:x:6:user\nuser:x:1000:\n' > "$dir/etc/group"
  cp "$ZK_COMMON_DIR/guest.sh" "$dir/lib/zk/guest.sh" || return 1
}

# zk_initramfs_add_modules DIR MODULE...: copies the modules and their
# dependencies into DIR/lib/modules/VERSION and builds the module index
# there, so that the guest's modprobe (busybox) loads them by name.
zk_initramfs_add_modules() {
  local dir=$1; shift
  local files file moddir="lib/modules/$ZK_KERNEL_VERSION"
  files=$(zk_module_files "$@") || return 1
  mkdir -p "$dir/$moddir" || return 1
  for file in $files; do
    mkdir -p "$dir/$(dirname "$file")" && cp "$ZK_KERNEL_ROOT/$file" "$dir/$file" || return 1
  done
  for file in modules.builtin modules.builtin.modinfo modules.order; do
    [ -e "$ZK_KERNEL_ROOT/$moddir/$file" ] && cp "$ZK_KERNEL_ROOT/$moddir/$file" "$dir/$moddir/"
  done
  depmod -b "$dir" "$ZK_KERNEL_VERSION" || { zk_die "depmod of the initramfs failed"; return 1; }
}

# zk_initramfs_add_file DIR SOURCE DEST [MODE]: copies one file to the
# absolute guest path DEST.
zk_initramfs_add_file() {
  local dir=$1 src=$2 dest=$3 mode=${4:-}
  mkdir -p "$dir$(dirname "$dest")" && cp -L "$src" "$dir$dest" || return 1
  [ -z "$mode" ] || chmod "$mode" "$dir$dest"
}

# zk_initramfs_add_libs DIR FILE...: copies the shared libraries that the
# programs or libraries FILE need (as ldd resolves them, so LD_LIBRARY_PATH
# may point at unpacked packages) into the guest's library directory; the
# program interpreter keeps its absolute path.
zk_initramfs_add_libs() {
  local dir=$1; shift
  local file lib needed
  for file in "$@"; do
    needed=$(ldd "$file" 2>/dev/null) || continue  # static: needs nothing
    if printf '%s\n' "$needed" | grep -q 'not found'; then
      printf '%s\n' "$needed" >&2; zk_die "$file: a shared library was not found"; return 1
    fi
    # "name => /path (addr)", or "/path (addr)" for the interpreter.
    printf '%s\n' "$needed" | awk '$2 == "=>" && $3 ~ /^\// { print "lib", $3 } $1 ~ /^\// { print "interp", $1 }' |
      while read -r kind lib; do
        if [ "$kind" = interp ]; then
          zk_initramfs_add_file "$dir" "$lib" "$lib" || exit 1
        else
          zk_initramfs_add_file "$dir" "$lib" "$ZK_GUEST_LIBDIR/$(basename "$lib")" || exit 1
        fi
      done || return 1
  done
}

# zk_initramfs_add_program DIR SOURCE [DEST]: copies a program (default
# DEST /bin/NAME) and the shared libraries it needs.
zk_initramfs_add_program() {
  local dir=$1 src=$2 dest=${3:-/bin/$(basename "$2")}
  zk_initramfs_add_file "$dir" "$src" "$dest" 755 && zk_initramfs_add_libs "$dir" "$src"
}

# zk_initramfs_set_init DIR SCRIPT: installs SCRIPT as the guest's /init.
zk_initramfs_set_init() { zk_initramfs_add_file "$1" "$2" /init 755; }

# zk_initramfs_pack DIR OUT: writes the tree as an uncompressed newc cpio
# archive (the kernel unpacks it fastest; it is only loaded from disk).
zk_initramfs_pack() {
  local dir=$1 out=$2
  (cd "$dir" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) > "$out" ||
    { zk_die "cpio failed"; return 1; }
}

# zk_qemu_boot KERNEL INITRD CONSOLE_LOG TIMEOUT_SECONDS [KERNEL_ARGS...]:
# boots under software emulation with the console on the first serial port
# (written to CONSOLE_LOG); the guest ends the run by powering off, or by a
# panic (panic=-1 with -no-reboot). Returns 0 when qemu ended by itself,
# 124 when the time limit ended it, or qemu's own error.
# ZK_QEMU_MEMORY (MiB, default 512) and ZK_QEMU_ARGS (extra words) adjust it.
zk_qemu_boot() {
  local kernel=$1 initrd=$2 log=$3 limit=$4; shift 4
  local append="console=ttyS0 panic=-1 quiet loglevel=4 rdinit=/init $*"
  local rc boot_start=$SECONDS
  zk_log "booting ${ZK_KERNEL_VERSION:-$kernel} (initramfs $(( $(stat -c %s "$initrd") / 1024 )) KiB)"
  : > "$log"
  # shellcheck disable=SC2086
  timeout -k 10 "$limit" qemu-system-x86_64 \
    -machine q35 -accel tcg -cpu max -smp 1 -m "${ZK_QEMU_MEMORY:-512}" \
    -nodefaults -display none -no-reboot -no-user-config \
    -serial "file:$log" -monitor none \
    -kernel "$kernel" -initrd "$initrd" -append "$append" \
    ${ZK_QEMU_ARGS:-} </dev/null
  rc=$?
  [ $rc -eq 124 ] && zk_log "guest did not finish within $limit s"
  zk_log "guest ran $((SECONDS - boot_start)) s; console: $log"
  return $rc
}

# zk_initramfs_add_zkdiscover TREE ZKDISCOVER LIBRARY: puts zkdiscover, the
# library it loads and its --explain trace collector (built beside it) under
# /opt/zk in the tree, as installed. Returns 0 when added, 2 when zkdiscover
# is not built (nothing added), 1 on an error.
zk_initramfs_add_zkdiscover() {
  local tree=$1 zkdiscover=$2 library=$3
  [ -x "$zkdiscover" ] || return 2
  zk_initramfs_add_program "$tree" "$zkdiscover" /opt/zk/bin/zkdiscover || return 1
  zk_initramfs_add_file "$tree" "$library" /opt/zk/lib/libzkDGCclariion.so || return 1
  zk_initramfs_add_program "$tree" "$(dirname "$zkdiscover")/libzkdiscover_trace.so" \
    /opt/zk/lib/zkdiscover/libzkdiscover_trace.so || return 1
}

# zk_verdict CONSOLE_LOG [EXPECTED_CHECK...]: reads the guest's verdict
# lines ("ZK-CHECK <id> PASS|FAIL <text>", then "ZK-DONE") from the console
# log, prints them with a summary and returns 0 only when every check
# passed, each expected check id reported at least once, and the guest
# finished.
zk_verdict() {
  local log=$1; shift
  local lines passed failed id missing=()
  lines=$(tr -d '\r' < "$log" | grep -a -E '^ZK-(CHECK|DONE|INFO)' || true)
  [ -z "$lines" ] || printf '%s\n' "$lines"
  passed=$(printf '%s\n' "$lines" | grep -c -E '^ZK-CHECK [^ ]+ PASS' || true)
  failed=$(printf '%s\n' "$lines" | grep -c -E '^ZK-CHECK [^ ]+ FAIL' || true)
  for id in "$@"; do
    printf '%s\n' "$lines" | grep -q -E "^ZK-CHECK $id (PASS|FAIL)" || missing+=("$id")
  done
  if [ "$failed" -gt 0 ]; then
    echo "failed checks: $(printf '%s\n' "$lines" | awk '$1 == "ZK-CHECK" && $3 == "FAIL" { print $2 }' | sort -u | tr '\n' ' ')"
  fi
  [ ${#missing[@]} -eq 0 ] || { echo "checks not reported: ${missing[*]}"; failed=$((failed + ${#missing[@]})); }
  if ! printf '%s\n' "$lines" | grep -q '^ZK-DONE'; then
    echo "the guest did not finish (no ZK-DONE line)"
    failed=$((failed + 1))
  fi
  echo "${ZK_LOG_TAG:-guest}: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
