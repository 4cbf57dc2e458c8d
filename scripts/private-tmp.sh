#!/bin/sh
# Runs COMMAND [ARG...] with a private, empty /tmp: a mount namespace of its
# own with a tmpfs on /tmp (sticky, world-writable), so that a test that
# switches the trace log /tmp/.ZEVIRO00.log on neither sees nor disturbs
# another process on the machine (a second test run, a scan, a host), nor
# they it. Needs root; otherwise it says so and exits 77 (CTest: skipped),
# never running COMMAND with the machine's /tmp.
# Usage: scripts/private-tmp.sh COMMAND [ARG...]
case ${TMPDIR:-} in /tmp/*) export TMPDIR=/tmp ;; esac  # gone in the new /tmp
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  # A checkout under /tmp stays visible: it is bound back at its own path,
  # through the working directory that still holds it.
  root=$(cd "$(dirname "$0")/.." && pwd)
  exec unshare --mount --propagation private sh -c '
    root=$1; shift
    cd "$root" && mount -t tmpfs -o mode=1777 zk-private-tmp /tmp || exit 1
    case $root in
      /tmp/*) mkdir -p "$root" && mount --no-canonicalize --bind /proc/self/cwd "$root" || exit 1 ;;
    esac
    exec "$@"' sh "$root" "$@"
fi
echo "private-tmp.sh: no private /tmp (needs root and mount namespaces): $1 not run" >&2
exit 77
