#!/bin/sh
# orudisk restore beside nbdcopy and qemu-img convert -n, in one run. Each
# backup is restored into a volume that holds old data:
#   - a thin qcow2 backup of THIN_SIZE (default 16G) holding 64 MiB in 1 MiB
#     stretches, into a remote qcow2 volume of that size through
#     oru-platform-sim (login, writable export by a host agent's qemu-nbd, the
#     backup network's relay); the volume holds 64 MiB of old data between
#     the backup's stretches;
#   - a fully allocated qcow2 backup of ALLOCATED_MIB (default 1024) into a
#     remote volume full of old data, through the relay and once more from a
#     host without a backup address (no relay, as for the peers);
#   - the thin backup into a local raw file of THIN_SIZE with the same old
#     data.
# The peers write into a writable qemu-nbd export of an equal volume (a fresh
# copy each time) and read the backup from a read-only qemu-nbd export;
# nbdcopy runs with --flush, as orudisk and qemu-img flush at their end.
# Every command ends with sync; medians over ROUNDS; ratio = the faster
# peer's median / ours (with sync).
#
#   restore_bench.sh ORUDISK SIM [ROUNDS] [THIN_SIZE] [ALLOCATED_MIB] [WORK_DIR]
#
# Needs root: it runs in a private network namespace of its own (127.0.0.x).
set -eu
. "$(dirname "$0")/../bench_lib.sh"

ORUDISK=${1:?usage: restore_bench.sh ORUDISK SIM [ROUNDS] [THIN_SIZE] [ALLOCATED_MIB] [WORK_DIR]}
SIM=${2:?}
ROUNDS=${3:-3}
THIN_SIZE=${4:-16G}
ALLOCATED_MIB=${5:-1024}
WORK=${6:-${TMPDIR:-/tmp}}

require_tools restore_bench qemu-img qemu-io qemu-nbd nbdcopy unshare ip
in_private_netns restore_bench "$0" "$@"

server=127.0.0.10
direct=127.0.0.30
datastore=ds-bench
dir=$(mktemp -d "$WORK/restore-bench.XXXXXX")
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    for f in "$dir"/nbd-*.pid; do
        [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
    done
    rm -rf "$dir"
    rm -f /var/log/tamb/restore-bench-*.log 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The backups, and the volumes as they stand before each restore.
qemu-img create -q -f qcow2 "$dir/thin-backup.qcow2" "$THIN_SIZE"
fill_scattered "$dir/thin-backup.qcow2" 64
qemu-img create -q -f qcow2 "$dir/full-backup.qcow2" "${ALLOCATED_MIB}M"
fill_allocated "$dir/full-backup.qcow2" "$ALLOCATED_MIB"
qemu-img create -q -f qcow2 "$dir/thin-old.qcow2" "$THIN_SIZE"
fill_scattered "$dir/thin-old.qcow2" 64 half
qemu-img create -q -f qcow2 "$dir/full-old.qcow2" "${ALLOCATED_MIB}M"
qemu-io -f qcow2 -c "write -q -P 0xee 0 ${ALLOCATED_MIB}M" "$dir/full-old.qcow2"
qemu-img convert -f qcow2 -O raw "$dir/thin-old.qcow2" "$dir/thin-old.raw"

# Our volumes: a fresh copy of the old one for every round and case, each a
# volume of its own for the simulator, whose exports live as long as it does.
volumes=""
r=1
while [ "$r" -le "$ROUNDS" ]; do
    for kind in thin full near; do
        old=$dir/$([ "$kind" = thin ] && echo thin || echo full)-old.qcow2
        cp --sparse=always "$old" "$dir/vol-$kind-$r.qcow2"
        store=$datastore
        [ "$kind" = near ] && store=$datastore-near
        volumes="$volumes${volumes:+,}
    { \"uuid\": \"restore-bench-$kind-$r\", \"dataStore\": \"$store\", \"image\": \"$dir/vol-$kind-$r.qcow2\" }"
    done
    r=$((r + 1))
done
sync

# The platform: the agent of host-2 exports, and the library reaches it
# through its backup address (the simulator relays); host-3 has none.
cat > "$dir/platform.json" <<JSON
{
  "address": "$server",
  "users": [ { "name": "bench", "password": "bench-pass", "userId": "user-bench" } ],
  "hosts": [
    { "id": "host-1", "address": "127.0.0.11", "cpuUsage": 60.0, "dataStores": [ "$datastore" ] },
    { "id": "host-2", "address": "127.0.0.12", "backupAddress": "127.0.0.22",
      "cpuUsage": 15.0, "dataStores": [ "$datastore" ] },
    { "id": "host-3", "address": "127.0.0.13", "cpuUsage": 15.0, "dataStores": [ "$datastore-near" ] }
  ],
  "volumes": [ $volumes ],
  "taskStates": { "openMode": [ "FINISHED" ], "accessKey": [ "FINISHED" ] }
}
JSON
printf 'bench-pass\n' > "$dir/password"
start_sim restore_bench

# The peers' side: the backups read-only, and a writable export of a fresh
# copy of the old volume, made again before each peer's run.
export_image() { # NAME IMAGE PORT [--read-only]
    qemu-nbd ${4:-} --persistent --shared=16 --format=qcow2 --bind="$direct" --port="$3" \
        --pid-file="$dir/nbd-$1.pid" --fork "$2"
}
stop_export() { # NAME
    [ -e "$dir/nbd-$1.pid" ] || return 0
    pid=$(cat "$dir/nbd-$1.pid")
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
    rm -f "$dir/nbd-$1.pid"
}
export_image thin-backup "$dir/thin-backup.qcow2" 10809 --read-only
export_image full-backup "$dir/full-backup.qcow2" 10810 --read-only
peer_volume() { # OLD
    stop_export peer
    cp --sparse=always "$1" "$dir/peer.qcow2"
    export_image peer "$dir/peer.qcow2" 10811
}

reset=:
prepare() { eval "$reset"; sync; }

verify() { # WHAT BACKUP VOLUME [FORMAT]
    qemu-img compare -q -U -f qcow2 -F "${4:-qcow2}" "$2" "$3" ||
        { echo "restore_bench: $1 differs from the backup" >&2; exit 1; }
}

remote() { # KIND ROUND
    store=$datastore
    [ "$1" = near ] && store=$datastore-near
    echo --server "$server" --user bench --password-file "$dir/password" --uuid "restore-bench-$1-$2" \
        --datastore "$store" --path "/datastores/$store/$1-$2.qcow2" --format qcow2 --transport nbd
}

peers() { # CASE BACKUP-PORT OLD BACKUP ROUND
    reset="peer_volume $3"
    timed "$dir/nbdcopy-$1" nbdcopy --flush "nbd://$direct:$2" "nbd://$direct:10811"
    [ "$5" -eq 1 ] && verify "nbdcopy's restore ($1)" "$4" "$dir/peer.qcow2"
    timed "$dir/qemu-img-$1" qemu-img convert -n -f qcow2 -O raw "$4" "nbd://$direct:10811"
    [ "$5" -eq 1 ] && verify "qemu-img's restore ($1)" "$4" "$dir/peer.qcow2"
    reset=:
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    timed "$dir/orudisk-thin" "$ORUDISK" --quiet restore --from "$dir/thin-backup.qcow2" $(remote thin "$r")
    [ "$r" -eq 1 ] && verify "orudisk's restore (thin)" "$dir/thin-backup.qcow2" "$dir/vol-thin-1.qcow2"
    peers thin 10809 "$dir/thin-old.qcow2" "$dir/thin-backup.qcow2" "$r"

    timed "$dir/orudisk-full" "$ORUDISK" --quiet restore --from "$dir/full-backup.qcow2" $(remote full "$r")
    [ "$r" -eq 1 ] && verify "orudisk's restore (allocated)" "$dir/full-backup.qcow2" "$dir/vol-full-1.qcow2"
    timed "$dir/orudisk-near" "$ORUDISK" --quiet restore --from "$dir/full-backup.qcow2" $(remote near "$r")
    [ "$r" -eq 1 ] && verify "orudisk's restore (allocated, no relay)" "$dir/full-backup.qcow2" \
        "$dir/vol-near-1.qcow2"
    peers full 10810 "$dir/full-old.qcow2" "$dir/full-backup.qcow2" "$r"

    reset='cp --sparse=always "$dir/thin-old.raw" "$dir/local.raw"'
    timed "$dir/orudisk-local" "$ORUDISK" --quiet restore --from "$dir/thin-backup.qcow2" "$dir/local.raw"
    [ "$r" -eq 1 ] && verify "orudisk's restore (local)" "$dir/thin-backup.qcow2" "$dir/local.raw" raw
    timed "$dir/qemu-img-local" qemu-img convert -n -f qcow2 -O raw "$dir/thin-backup.qcow2" "$dir/local.raw"
    [ "$r" -eq 1 ] && verify "qemu-img's restore (local)" "$dir/thin-backup.qcow2" "$dir/local.raw" raw
    reset=:
    r=$((r + 1))
done

med() { # FILE COLUMN
    cut -d' ' -f"$2" "$dir/$1" | median
}
row() { # LABEL FILE
    printf '%-56s %10.3f %10.3f\n' "$1" "$(med "$2" 1)" "$(med "$2" 2)"
}
# ratio: the faster peer's median with sync over ours.
ratio() { # OURS PEER-FILE...
    ours=$(med "$1" 2)
    shift
    best=$(for f in "$@"; do med "$f" 2; done | sort -g | head -n 1)
    printf '%-56s %21.2f\n' "  ratio (faster peer / ours, with sync)" "$(echo "$best $ours" | awk '{ print $1 / $2 }')"
}

echo "restores into a volume holding old data, $ROUNDS rounds, median seconds"
printf '%-56s %10s %10s\n' "" "cmd only" "+sync"
echo "remote qcow2 volume of $THIN_SIZE, thin backup holding 64 MiB:"
row "  orudisk restore (simulator, login, export, relay)" orudisk-thin
row "  nbdcopy --flush into a direct qemu-nbd export" nbdcopy-thin
row "  qemu-img convert -n into a direct qemu-nbd export" qemu-img-thin
ratio orudisk-thin nbdcopy-thin qemu-img-thin
echo "remote qcow2 volume of $ALLOCATED_MIB MiB, fully allocated backup:"
row "  orudisk restore (simulator, login, export, relay)" orudisk-full
row "  orudisk restore (simulator, login, export, no relay)" orudisk-near
row "  nbdcopy --flush into a direct qemu-nbd export" nbdcopy-full
row "  qemu-img convert -n into a direct qemu-nbd export" qemu-img-full
ratio orudisk-full nbdcopy-full qemu-img-full
printf '%-56s\n' "  without relay:"
ratio orudisk-near nbdcopy-full qemu-img-full
echo "local raw file of $THIN_SIZE, the same thin backup:"
row "  orudisk restore" orudisk-local
row "  qemu-img convert -n" qemu-img-local
ratio orudisk-local qemu-img-local
