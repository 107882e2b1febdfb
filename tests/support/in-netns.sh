#!/bin/sh
# Runs a test program inside a private network namespace with only loopback up,
# so that fixed ports (443, 9753, 3260) on 127.0.0.x are free and firewall
# changes never leave the namespace. Exit 77 (skip) when that is impossible.
if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null 2>&1; then
  echo "skipped: a private network namespace needs root and unshare" >&2
  exit 77
fi
exec unshare --net -- sh -c 'ip link set lo up || exit 77; exec "$@"' sh "$@"
