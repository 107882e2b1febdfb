#!/bin/sh
# A full copy of a thin volume beside qemu-img convert, in one run: a qcow2
# image of SIZE (default 3 TiB) holding 65 MiB in 1 MiB stretches scattered
# over it, copied to a new qcow2 image and to a raw file. Both tools must
# find the data without touching the empty space, so the figures are about
# the cost of skipping, not of moving bytes.
#
#   thin_copy_bench.sh ORUDISK [SIZE] [ROUNDS] [WORK_DIR]
#
# Each timed run ends with sync, and the page cache holds the source (it is
# small); medians over the rounds are printed.
set -eu

ORUDISK=${1:?usage: thin_copy_bench.sh ORUDISK [SIZE] [ROUNDS] [WORK_DIR]}
SIZE=${2:-3T}
ROUNDS=${3:-5}
WORK=${4:-${TMPDIR:-/tmp}}

for tool in qemu-img qemu-io; do
    command -v "$tool" >/dev/null 2>&1 || { echo "thin_copy_bench: $tool is missing" >&2; exit 77; }
done
[ -x "$ORUDISK" ] || { echo "thin_copy_bench: $ORUDISK is not an executable" >&2; exit 1; }

dir=$(mktemp -d "$WORK/thin-copy-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
src=$dir/source.qcow2

qemu-img create -q -f qcow2 "$src" "$SIZE"
bytes=$(qemu-img info --output=json "$src" | sed -n 's/.*"virtual-size": \([0-9]*\).*/\1/p')
# 65 stretches of 1 MiB, evenly spread, each with its own byte pattern.
step=$((bytes / 65 / 1048576 * 1048576))
cmds=""
i=0
while [ "$i" -lt 65 ]; do
    cmds="$cmds -c \"write -q -P $((i % 255 + 1)) $((i * step)) 1M\""
    i=$((i + 1))
done
eval qemu-io -f qcow2 $cmds "\"$src\""
sync

now() { date +%s.%N; }

# timed NAME CMD...: appends "<command seconds> <with sync seconds>" to $dir/NAME.
timed() {
    name=$1
    shift
    rm -f "$dir/out"
    sync
    t0=$(now)
    "$@" > /dev/null
    t1=$(now)
    sync
    t2=$(now)
    echo "$t0 $t1 $t2" | awk '{ printf "%.3f %.3f\n", $2 - $1, $3 - $1 }' >> "$dir/$name"
}

# The copies must agree with the source before their speeds are worth comparing.
verify() {
    qemu-img compare -q -F "$2" "$src" "$dir/out" ||
        { echo "thin_copy_bench: $1 differs from the source" >&2; exit 1; }
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    for fmt in qcow2 raw; do
        timed "orudisk-$fmt" "$ORUDISK" --quiet copy "$src" -o "$dir/out" --target-format "$fmt"
        [ "$r" -eq 1 ] && verify "orudisk copy to $fmt" "$fmt"
        timed "qemu-img-$fmt" qemu-img convert -O "$fmt" "$src" "$dir/out"
        [ "$r" -eq 1 ] && verify "qemu-img convert to $fmt" "$fmt"
    done
    r=$((r + 1))
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "full copy of a $SIZE qcow2 image holding 65 MiB, $ROUNDS rounds, median seconds"
printf '%-34s %12s %12s\n' command "cmd only" "+sync"
for fmt in qcow2 raw; do
    for name in orudisk qemu-img; do
        case $name in
        orudisk) label="orudisk copy --target-format $fmt" ;;
        *) label="qemu-img convert -O $fmt" ;;
        esac
        printf '%-34s %12.3f %12.3f\n' "$label" "$(cut -d' ' -f1 "$dir/$name-$fmt" | median)" \
            "$(cut -d' ' -f2 "$dir/$name-$fmt" | median)"
    done
done
