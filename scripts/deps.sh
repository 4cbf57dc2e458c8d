#!/usr/bin/env bash
# Installs the Debian packages a group of tasks needs, only when missing.
# Usage: scripts/deps.sh GROUP...   (groups: build tools crosscheck clang sparc kernel multipathd fleet)
set -euo pipefail

packages_for() {
  case "$1" in
    build)      echo cmake make g++ libgtest-dev googletest valgrind pkgconf time e2fsprogs ;;
    tools)      echo libcli11-dev nlohmann-json3-dev libbenchmark-dev ;;
    crosscheck) echo sg3-utils sdparm ;;
    clang)      echo clang-14 libclang-rt-14-dev ;;  # compiler, sanitizer and libFuzzer runtimes
    sparc)      echo g++-sparc64-linux-gnu libc6-dev-sparc-sparc64-cross \
                     lib32stdc++-12-dev-sparc64-cross lib32gcc-12-dev-sparc64-cross \
                     qemu-user ;;
    kernel)     echo qemu-system-x86 kmod cpio ;;
    # The host libraries that the guest's udevd, multipathd and dmsetup
    # (fetched as packages, unpacked into the initramfs) link against.
    multipathd) echo libudev1 libsystemd0 libkmod2 libacl1 libblkid1 libcap2 libselinux1 libssl3 \
                     libgcrypt20 liblz4-1 liblzma5 libzstd1 libpcre2-8-0 ;;
    # Debian packages built and checked, then served and scraped for real.
    fleet)      echo dpkg-dev debhelper lintian git prometheus prometheus-node-exporter curl \
                     pkgconf python3 systemd util-linux ;;
    *) echo "deps.sh: unknown group '$1'" >&2; return 2 ;;
  esac
}

wanted=()
for group in "$@"; do
  for p in $(packages_for "$group"); do wanted+=("$p"); done
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}" >&2
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
