#!/bin/sh
# NBD reads through oru-platform-sim's relay (the export on a host's backup
# address) beside the same qemu-nbd export read directly, in one run:
# nbdcopy on one connection, alternating rounds, over a fully allocated
# raw image, and over a thin qcow2 one read as the library reads (256 KiB requests,
# four in flight, no block status), so that every hole comes back as a
# small reply, which is what a relay without TCP_NODELAY delays. Given
# orudisk, the library's own reads (orudisk copy of the whole volume to
# memory) are timed the same way, relayed and direct.
#
#   relay_bench.sh SIMULATOR [SIZE_MIB] [ROUNDS] [ORUDISK]
#
# Needs root: it runs in a private network namespace of its own.
set -eu
. "$(dirname "$0")/../bench_lib.sh"

SIM=${1:?usage: relay_bench.sh SIMULATOR [SIZE_MIB] [ROUNDS] [ORUDISK]}
SIZE_MIB=${2:-1024}
ROUNDS=${3:-3}
ORUDISK=${4:-}

for tool in qemu-nbd qemu-img qemu-io nbdcopy curl unshare; do
    command -v "$tool" >/dev/null 2>&1 || { echo "relay_bench: $tool is missing" >&2; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "relay_bench: needs root for a network namespace" >&2; exit 77; }

if [ "${RELAY_BENCH_INSIDE:-}" != 1 ]; then
    RELAY_BENCH_INSIDE=1 exec unshare -n "$0" "$@"
fi
ip link set lo up

dir=$(mktemp -d "${TMPDIR:-/tmp}/relay-bench.XXXXXX")
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM

# Data nothing on the path can shortcut; and a thin image 16 times larger
# holding 1/256 of its size in data.
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom > "$dir/full.raw"
thin_mib=$((SIZE_MIB * 16))
qemu-img create -q -f qcow2 "$dir/thin.qcow2" "${thin_mib}M"
fill_scattered "$dir/thin.qcow2" "$(( (thin_mib + 255) / 256 ))"

# The library reaches ds-1 through host-1's backup address (the relay) and
# ds-2 on host-2's own address.
cat > "$dir/platform.json" <<JSON
{"address": "127.0.0.10", "users": [{"name": "bench", "password": "bench-pass"}],
 "hosts": [{"id": "host-1", "address": "127.0.0.11", "backupAddress": "127.0.0.21", "dataStores": ["ds-1"]},
           {"id": "host-2", "address": "127.0.0.12", "dataStores": ["ds-2"]}],
 "volumes": [{"uuid": "full", "dataStore": "ds-1", "image": "$dir/full.raw"},
             {"uuid": "thin", "dataStore": "ds-1", "image": "$dir/thin.qcow2"},
             {"uuid": "full-direct", "dataStore": "ds-2", "image": "$dir/full.raw"},
             {"uuid": "thin-direct", "dataStore": "ds-2", "image": "$dir/thin.qcow2"}],
 "taskStates": {"openMode": ["FINISHED"], "accessKey": ["FINISHED"]}}
JSON
echo bench-pass > "$dir/password"
out=/dev/shm
[ -d "$out" ] && [ -w "$out" ] || out=$dir
"$SIM" --config "$dir/platform.json" --log "$dir/journal.jsonl" --ready-file "$dir/ready" 2>/dev/null &
sim_pid=$!
i=0
while [ ! -e "$dir/ready" ]; do
    i=$((i + 1))
    [ "$i" -lt 200 ] || { echo "relay_bench: the simulator did not start" >&2; exit 1; }
    sleep 0.05
done

export_port() {
    curl -s --max-time 30 --data-binary \
        "{\"action\": \"pre_remote_rw\", \"param\": {\"diskPath\": \"/p\", \"format\": \"$2\", \"openFlag\": \"r\",\"volumeUuid\":\"$1\"}}" \
        http://127.0.0.11:9753/vm | sed -n 's/.*"serverPort":"\([0-9]*\)".*/\1/p'
}
full_port=$(export_port full raw)
thin_port=$(export_port thin qcow2)
[ -n "$full_port" ] && [ -n "$thin_port" ] || { echo "relay_bench: no export" >&2; exit 1; }

# MiB/s of one nbdcopy of $3 MiB from nbd://$1/$2 to null:, extra flags in $4.
rate() {
    start=$(now)
    nbdcopy --connections=1 $4 "nbd://$1/$2" null:
    end=$(now)
    echo "$3 $start $end" | awk '{printf "%.0f", $1 / ($3 - $2)}'
}
# MiB/s of orudisk copy of $2 MiB of volume $1 ($3: its format).
library_rate() {
    start=$(now)
    "$ORUDISK" copy -q --server 127.0.0.10 --user bench --password-file "$dir/password" --uuid "$1" \
        --datastore "$4" --format "$3" --transport nbd --path /p -o "$out/relay-bench.$$.raw" --force >/dev/null
    end=$(now)
    rm -f "$out/relay-bench.$$.raw"
    echo "$2 $start $end" | awk '{printf "%.0f", $1 / ($3 - $2)}'
}
# The rates of a row, given space-separated, as one median.
row_median() { tr ' ' '\n' | sed '/^$/d' | median; }

nbdcopy --connections=1 "nbd://127.0.0.11:$full_port/full" null: # page cache
nbdcopy --connections=1 --no-extents "nbd://127.0.0.11:$thin_port/thin" null:
d_full= r_full= d_thin= r_thin= ld_full= lr_full= ld_thin= lr_thin=
round=0
while [ "$round" -lt "$ROUNDS" ]; do
    d_full="$d_full $(rate "127.0.0.11:$full_port" full "$SIZE_MIB" "")"
    r_full="$r_full $(rate "127.0.0.21:$full_port" full "$SIZE_MIB" "")"
    d_thin="$d_thin $(rate "127.0.0.11:$thin_port" thin "$thin_mib" "--no-extents --requests=4 --request-size=262144")"
    r_thin="$r_thin $(rate "127.0.0.21:$thin_port" thin "$thin_mib" "--no-extents --requests=4 --request-size=262144")"
    if [ -n "$ORUDISK" ]; then
        ld_full="$ld_full $(library_rate full-direct "$SIZE_MIB" raw ds-2)"
        lr_full="$lr_full $(library_rate full "$SIZE_MIB" raw ds-1)"
        ld_thin="$ld_thin $(library_rate thin-direct "$thin_mib" qcow2 ds-2)"
        lr_thin="$lr_thin $(library_rate thin "$thin_mib" qcow2 ds-1)"
    fi
    round=$((round + 1))
done
printf '%-58s %10s %10s\n' "nbdcopy --connections=1, median MiB/s of $ROUNDS rounds" direct relay
printf '%-58s %10s %10s\n' "${SIZE_MIB} MiB fully allocated" "$(echo "$d_full" | row_median)" "$(echo "$r_full" | row_median)"
printf '%-58s %10s %10s\n' "${thin_mib} MiB thin qcow2, 256 KiB x 4 requests, --no-extents" "$(echo "$d_thin" | row_median)" "$(echo "$r_thin" | row_median)"
if [ -n "$ORUDISK" ]; then
    printf '%-58s %10s %10s\n' "orudisk copy (the library's reads), median MiB/s" direct relay
    printf '%-58s %10s %10s\n' "${SIZE_MIB} MiB fully allocated" "$(echo "$ld_full" | row_median)" "$(echo "$lr_full" | row_median)"
    printf '%-58s %10s %10s\n' "${thin_mib} MiB thin qcow2" "$(echo "$ld_thin" | row_median)" "$(echo "$lr_thin" | row_median)"
fi
