#!/bin/sh
# orudisk copy of remote volumes through oru-platform-sim (login, export by a
# host agent's qemu-nbd, NBD through the backup network's relay) beside
# nbdcopy on a direct qemu-nbd export of the same image, in one run:
#   - a thin qcow2 volume of THIN_SIZE (default 16G) holding 64 MiB in 1 MiB
#     stretches scattered over it;
#   - a fully allocated qcow2 volume of ALLOCATED_MIB (default 1024), beside
#     nbdcopy on one connection and nbdcopy as it comes; once more from a
#     host without a backup address, where no relay stands between the
#     library and qemu-nbd, as between nbdcopy and its export;
#   - the remote open time (remote_open_bench).
# Every copy goes to a new raw file and ends with sync; medians over ROUNDS.
#
#   remote_copy_bench.sh ORUDISK SIM OPEN_BENCH [ROUNDS] [THIN_SIZE] [ALLOCATED_MIB] [WORK_DIR]
#
# Needs root: it runs in a private network namespace of its own (127.0.0.x).
set -eu
. "$(dirname "$0")/../bench_lib.sh"

ORUDISK=${1:?usage: remote_copy_bench.sh ORUDISK SIM OPEN_BENCH [ROUNDS] [THIN_SIZE] [ALLOCATED_MIB] [WORK_DIR]}
SIM=${2:?}
OPEN_BENCH=${3:?}
ROUNDS=${4:-3}
THIN_SIZE=${5:-16G}
ALLOCATED_MIB=${6:-1024}
WORK=${7:-${TMPDIR:-/tmp}}

require_tools remote_copy_bench qemu-img qemu-io qemu-nbd nbdcopy nbdinfo unshare ip
in_private_netns remote_copy_bench "$0" "$@"

server=127.0.0.10
direct=127.0.0.30
datastore=ds-bench
thin_uuid=3f0c2a71-bench-thin
full_uuid=3f0c2a71-bench-full
near_uuid=3f0c2a71-bench-near
dir=$(mktemp -d "$WORK/remote-copy-bench.XXXXXX")
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    for f in "$dir"/nbd-*.pid; do
        [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
    done
    rm -rf "$dir"
    rm -f "/var/log/tamb/$thin_uuid.log" "/var/log/tamb/$full_uuid.log" "/var/log/tamb/$near_uuid.log" \
        2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The volumes.
thin=$dir/thin.qcow2
full=$dir/full.qcow2
qemu-img create -q -f qcow2 "$thin" "$THIN_SIZE"
fill_scattered "$thin" 64
qemu-img create -q -f qcow2 "$full" "${ALLOCATED_MIB}M"
fill_allocated "$full" "$ALLOCATED_MIB"
sync

# The platform: the agent of host-2 exports, and the library reaches it
# through its backup address (the simulator relays).
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
  "volumes": [ { "uuid": "$thin_uuid", "dataStore": "$datastore", "image": "$thin" },
               { "uuid": "$full_uuid", "dataStore": "$datastore", "image": "$full" },
               { "uuid": "$near_uuid", "dataStore": "$datastore-near", "image": "$full" } ],
  "taskStates": { "openMode": [ "FINISHED" ], "accessKey": [ "FINISHED" ] }
}
JSON
printf 'bench-pass\n' > "$dir/password"
start_sim remote_copy_bench

# The peer's exports: qemu-nbd as the agent runs it, without the platform.
direct_export() { # NAME IMAGE PORT
    qemu-nbd --read-only --persistent --shared=16 --format=qcow2 --bind="$direct" --port="$3" \
        --pid-file="$dir/nbd-$1.pid" --fork "$2"
}
direct_export thin "$thin" 10809
direct_export full "$full" 10810

prepare() { rm -f "$dir/out.raw"; sync; }

verify() { # WHAT IMAGE
    qemu-img compare -q -f qcow2 -F raw "$2" "$dir/out.raw" ||
        { echo "remote_copy_bench: $1 differs from the volume" >&2; exit 1; }
}

remote() { # UUID [DATASTORE]
    echo --server "$server" --user bench --password-file "$dir/password" --uuid "$1" \
        --datastore "${2:-$datastore}" --path "/datastores/${2:-$datastore}/$1.qcow2" --format qcow2 \
        --transport nbd
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    timed "$dir/orudisk-thin" "$ORUDISK" --quiet copy $(remote "$thin_uuid") --to "$dir/out.raw"
    [ "$r" -eq 1 ] && verify "orudisk copy of the thin volume" "$thin"
    timed "$dir/nbdcopy-thin" nbdcopy "nbd://$direct:10809" "$dir/out.raw"
    [ "$r" -eq 1 ] && verify "nbdcopy of the thin volume" "$thin"
    timed "$dir/orudisk-full" "$ORUDISK" --quiet copy $(remote "$full_uuid") --to "$dir/out.raw"
    [ "$r" -eq 1 ] && verify "orudisk copy of the allocated volume" "$full"
    timed "$dir/orudisk-near" "$ORUDISK" --quiet copy $(remote "$near_uuid" "$datastore-near") --to "$dir/out.raw"
    [ "$r" -eq 1 ] && verify "orudisk copy of the allocated volume without relay" "$full"
    timed "$dir/nbdcopy1-full" nbdcopy --connections=1 "nbd://$direct:10810" "$dir/out.raw"
    [ "$r" -eq 1 ] && verify "nbdcopy of the allocated volume" "$full"
    timed "$dir/nbdcopy-full" nbdcopy "nbd://$direct:10810" "$dir/out.raw"
    r=$((r + 1))
done

row() { # LABEL FILE
    printf '%-58s %10.3f %10.3f\n' "$1" "$(cut -d' ' -f1 "$dir/$2" | median)" "$(cut -d' ' -f2 "$dir/$2" | median)"
}

echo "remote copies to a raw file, $ROUNDS rounds, median seconds"
printf '%-58s %10s %10s\n' "" "cmd only" "+sync"
echo "thin qcow2 volume of $THIN_SIZE holding 64 MiB:"
row "  orudisk copy (simulator, login, export, relay)" orudisk-thin
row "  nbdcopy on a direct qemu-nbd export" nbdcopy-thin
echo "fully allocated qcow2 volume of $ALLOCATED_MIB MiB:"
row "  orudisk copy (simulator, login, export, relay)" orudisk-full
row "  orudisk copy (simulator, login, export, no relay)" orudisk-near
row "  nbdcopy --connections=1 on a direct qemu-nbd export" nbdcopy1-full
row "  nbdcopy on a direct qemu-nbd export" nbdcopy-full
echo
"$OPEN_BENCH" "$server" bench bench-pass "$thin_uuid" "$datastore" "/datastores/$datastore/$thin_uuid.qcow2" \
    qcow2 "nbd://$direct:10809" "$((ROUNDS < 5 ? 5 : ROUNDS))"
