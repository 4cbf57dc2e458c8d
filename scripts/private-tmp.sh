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
  exec unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=1777 zk-private-tmp /tmp && exec "$@"' sh "$@"
fi
echo "private-tmp.sh: no private /tmp (needs root and mount namespaces): $1 not run" >&2
exit 77
