#!/bin/sh
# An incremental backup (orudisk copy --changed) of a thin qcow2 volume of
# SIZE (default 32G) in which CHANGED_MIB (default 128) MiB changed, in 1 MiB
# stretches scattered over it, since its dirty bitmap b0 was added, beside a
# full copy of a fully allocated qcow2 image of CHANGED_MIB: the same amount
# of data. Both go to a new qcow2 file and end with sync; the incremental
# stacks on the previous backup (the volume when b0 was added: empty). Local
# volumes first (qemu-img convert of the allocated image as the peer), then
# the same volumes through oru-platform-sim (login, export by a host agent's
# qemu-nbd offering the bitmap, NBD). Medians over ROUNDS.
#
#   incremental_bench.sh ORUDISK SIM [ROUNDS] [SIZE] [CHANGED_MIB] [WORK_DIR]
#
# Needs root: it runs in a private network namespace of its own (127.0.0.x).
set -eu
. "$(dirname "$0")/../bench_lib.sh"

ORUDISK=${1:?usage: incremental_bench.sh ORUDISK SIM [ROUNDS] [SIZE] [CHANGED_MIB] [WORK_DIR]}
SIM=${2:?}
ROUNDS=${3:-3}
SIZE=${4:-32G}
CHANGED_MIB=${5:-128}
WORK=${6:-${TMPDIR:-/tmp}}

require_tools incremental_bench qemu-img qemu-io qemu-nbd unshare ip
in_private_netns incremental_bench "$0" "$@"

server=127.0.0.10
datastore=ds-bench
big_uuid=5a1e7c20-bench-changed
small_uuid=5a1e7c20-bench-allocated
dir=$(mktemp -d "$WORK/incremental-bench.XXXXXX")
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    rm -rf "$dir"
    rm -f "/var/log/tamb/$big_uuid.log" "/var/log/tamb/$small_uuid.log" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The volumes: the previous backup is what the big one held when b0 began.
big=$dir/changed.qcow2
small=$dir/allocated.qcow2
prev=$dir/previous.qcow2
qemu-img create -q -f qcow2 "$big" "$SIZE"
qemu-img create -q -f qcow2 "$prev" "$SIZE"
qemu-img bitmap --add --enable "$big" b0
fill_scattered "$big" "$CHANGED_MIB"
qemu-img create -q -f qcow2 "$small" "${CHANGED_MIB}M"
fill_allocated "$small" "$CHANGED_MIB"
sync

prepare() { rm -f "$dir/out.qcow2"; sync; }

verify() { # WHAT IMAGE
    qemu-img compare -q "$2" "$dir/out.qcow2" ||
        { echo "incremental_bench: $1 differs from the volume" >&2; exit 1; }
}

incremental() { # VOLUME...
    "$ORUDISK" --quiet copy "$@" --changed b0 --backing "$prev" -o "$dir/out.qcow2" --target-format qcow2
}
full() { # VOLUME...
    "$ORUDISK" --quiet copy "$@" -o "$dir/out.qcow2" --target-format qcow2
}

# Local: the library reads the bitmap from the image itself.
local_changed=yes
"$ORUDISK" --json bitmaps "$big" 2>/dev/null | grep -q '"b0"' || local_changed=no
r=1
while [ "$r" -le "$ROUNDS" ]; do
    if [ "$local_changed" = yes ]; then
        timed "$dir/local-incremental" incremental "$big"
        [ "$r" -eq 1 ] && verify "the local incremental chain" "$big"
    fi
    timed "$dir/local-full" full "$small"
    [ "$r" -eq 1 ] && verify "the local full copy" "$small"
    timed "$dir/local-convert" qemu-img convert -O qcow2 "$small" "$dir/out.qcow2"
    r=$((r + 1))
done

# Remote: the agent's qemu-nbd offers b0 as a qemu:dirty-bitmap context.
cat > "$dir/platform.json" <<JSON
{
  "address": "$server",
  "users": [ { "name": "bench", "password": "bench-pass", "userId": "user-bench" } ],
  "hosts": [ { "id": "host-1", "address": "127.0.0.11", "dataStores": [ "$datastore" ] } ],
  "volumes": [ { "uuid": "$big_uuid", "dataStore": "$datastore", "image": "$big", "bitmaps": true },
               { "uuid": "$small_uuid", "dataStore": "$datastore", "image": "$small" } ],
  "taskStates": { "openMode": [ "FINISHED" ], "accessKey": [ "FINISHED" ] }
}
JSON
printf 'bench-pass\n' > "$dir/password"
start_sim incremental_bench

remote() { # UUID
    echo --server "$server" --user bench --password-file "$dir/password" --uuid "$1" \
        --datastore "$datastore" --path "/datastores/$datastore/$1.qcow2" --format qcow2 --transport nbd
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    timed "$dir/remote-incremental" incremental $(remote "$big_uuid")
    [ "$r" -eq 1 ] && verify "the remote incremental chain" "$big"
    timed "$dir/remote-full" full $(remote "$small_uuid")
    [ "$r" -eq 1 ] && verify "the remote full copy" "$small"
    r=$((r + 1))
done

row() { # LABEL FILE
    if [ -s "$dir/$2" ]; then
        printf '%-62s %10.3f %10.3f\n' "$1" "$(cut -d' ' -f1 "$dir/$2" | median)" "$(cut -d' ' -f2 "$dir/$2" | median)"
    else
        printf '%-62s %10s %10s\n' "$1" "n/a" "n/a"
    fi
}

echo "copies into a new qcow2 file, $ROUNDS rounds, median seconds"
printf '%-62s %10s %10s\n' "" "cmd only" "+sync"
echo "local:"
row "  incremental: $SIZE volume, $CHANGED_MIB MiB changed (--changed b0)" local-incremental
row "  full copy: $CHANGED_MIB MiB allocated image" local-full
row "  qemu-img convert -O qcow2 of the $CHANGED_MIB MiB image" local-convert
echo "remote (simulator, login, export, NBD):"
row "  incremental: $SIZE volume, $CHANGED_MIB MiB changed (--changed b0)" remote-incremental
row "  full copy: $CHANGED_MIB MiB allocated image" remote-full
