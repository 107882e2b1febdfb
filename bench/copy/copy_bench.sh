#!/bin/sh
# orudisk copy beside qemu-img convert -O raw, in one run, on the same fully
# allocated qcow2 image.
#
#   copy_bench.sh ORUDISK [SIZE_MIB] [ROUNDS] [WORK_DIR]
#
# The two commands take turns, each starting from the same state: as root the
# page cache is dropped before every run (cold source); otherwise the source is
# read once beforehand so that both find it cached. Every timed run ends with
# sync, so both pay for getting the written data to the disk; the seconds of
# the command alone are printed too.
set -eu
. "$(dirname "$0")/../bench_lib.sh"

ORUDISK=${1:?usage: copy_bench.sh ORUDISK [SIZE_MIB] [ROUNDS] [WORK_DIR]}
SIZE_MIB=${2:-1024}
ROUNDS=${3:-5}
WORK=${4:-${TMPDIR:-/tmp}}

for tool in qemu-img qemu-io; do
    command -v "$tool" >/dev/null 2>&1 || { echo "copy_bench: $tool is missing" >&2; exit 77; }
done
[ -x "$ORUDISK" ] || { echo "copy_bench: $ORUDISK is not an executable" >&2; exit 1; }

dir=$(mktemp -d "$WORK/copy-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
src=$dir/source.qcow2
out=$dir/target.raw

qemu-img create -q -f qcow2 "$src" "${SIZE_MIB}M"
fill_allocated "$src" "$SIZE_MIB"
sync

cold=0
if [ "$(id -u)" -eq 0 ] && (echo 3 > /proc/sys/vm/drop_caches) 2>/dev/null; then cold=1; fi

# prepare: the same starting state for every run.
prepare() {
    rm -f "$out"
    sync
    if [ "$cold" -eq 1 ]; then
        echo 3 > /proc/sys/vm/drop_caches
    else
        cat "$src" > /dev/null
    fi
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    timed "$dir/orudisk" "$ORUDISK" --quiet copy "$src" -o "$out"
    if [ "$r" -eq 1 ]; then
        # The two must agree before their speeds are worth comparing.
        qemu-img convert -O raw "$src" "$dir/check.raw"
        qemu-img compare -q -f raw -F raw "$out" "$dir/check.raw" ||
            { echo "copy_bench: orudisk copy differs from qemu-img convert" >&2; exit 1; }
        rm -f "$dir/check.raw"
    fi
    timed "$dir/qemu-img" qemu-img convert -O raw "$src" "$out"
    r=$((r + 1))
done

echo "copy of a ${SIZE_MIB} MiB allocated qcow2 image to raw, $ROUNDS rounds, median," \
    "$([ "$cold" -eq 1 ] && echo "page cache dropped before each run" || echo "source cached before each run")"
printf '%-10s %12s %10s %14s %10s\n' tool "s (+sync)" "MiB/s" "s (cmd only)" "MiB/s"
for name in orudisk qemu-img; do
    with_sync=$(cut -d' ' -f2 "$dir/$name" | median)
    alone=$(cut -d' ' -f1 "$dir/$name" | median)
    awk -v n="$name" -v s="$with_sync" -v a="$alone" -v m="$SIZE_MIB" \
        'BEGIN { printf "%-10s %12.3f %10.1f %14.3f %10.1f\n", n, s, m / s, a, m / a }'
done
