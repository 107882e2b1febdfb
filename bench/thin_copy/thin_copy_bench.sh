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
. "$(dirname "$0")/../bench_lib.sh"

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
fill_scattered "$src" 65
sync

prepare() { rm -f "$dir/out"; sync; }

# The copies must agree with the source before their speeds are worth comparing.
verify() {
    qemu-img compare -q -F "$2" "$src" "$dir/out" ||
        { echo "thin_copy_bench: $1 differs from the source" >&2; exit 1; }
}

r=1
while [ "$r" -le "$ROUNDS" ]; do
    for fmt in qcow2 raw; do
        timed "$dir/orudisk-$fmt" "$ORUDISK" --quiet copy "$src" -o "$dir/out" --target-format "$fmt"
        [ "$r" -eq 1 ] && verify "orudisk copy to $fmt" "$fmt"
        timed "$dir/qemu-img-$fmt" qemu-img convert -O "$fmt" "$src" "$dir/out"
        [ "$r" -eq 1 ] && verify "qemu-img convert to $fmt" "$fmt"
    done
    r=$((r + 1))
done

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
