# Shell helpers the copy benchmarks share; sourced, not run.

now() { date +%s.%N; }

# timed FILE CMD...: runs CMD (output dropped), then sync, and appends
# "<command seconds> <with sync seconds>" to FILE. A `prepare` function, when
# the benchmark defines one, sets up the same starting state first.
timed() {
    timed_file=$1
    shift
    if command -v prepare >/dev/null 2>&1; then prepare; else sync; fi
    t0=$(now)
    "$@" > /dev/null
    t1=$(now)
    sync
    t2=$(now)
    echo "$t0 $t1 $t2" | awk '{ printf "%.3f %.3f\n", $2 - $1, $3 - $1 }' >> "$timed_file"
}

# median: of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# fill_allocated IMAGE SIZE_MIB: every cluster of a qcow2 image allocated and
# holding data (no zero block anyone could skip), in 64 MiB stretches, each
# with its own byte pattern.
fill_allocated() {
    cmds=""
    off=0
    i=1
    while [ "$off" -lt "$2" ]; do
        len=$(($2 - off < 64 ? $2 - off : 64))
        cmds="$cmds -c \"write -q -P $((i % 255 + 1)) ${off}M ${len}M\""
        off=$((off + len))
        i=$((i + 1))
    done
    eval qemu-io -f qcow2 $cmds "\"$1\""
}

# fill_scattered IMAGE COUNT [half]: COUNT stretches of 1 MiB spread evenly
# over a qcow2 image, each with its own byte pattern; with "half", each
# starts half way between where they start without it.
fill_scattered() {
    bytes=$(qemu-img info --output=json "$1" | sed -n 's/.*"virtual-size": \([0-9]*\).*/\1/p')
    step=$((bytes / $2 / 1048576 * 1048576))
    shift_bytes=0
    [ "${3:-}" = half ] && shift_bytes=$((step / 2 / 1048576 * 1048576))
    cmds=""
    i=0
    while [ "$i" -lt "$2" ]; do
        cmds="$cmds -c \"write -q -P $((i % 255 + 1)) $((i * step + shift_bytes)) 1M\""
        i=$((i + 1))
    done
    eval qemu-io -f qcow2 $cmds "\"$1\""
}

# start_sim NAME: runs "$SIM" on "$dir/platform.json" in the background (its
# pid in sim_pid, for the caller's cleanup to end) and waits up to 15 s for it
# to say it is ready; NAME prefixes the message when it does not.
start_sim() {
    "$SIM" --config "$dir/platform.json" --log "$dir/journal.jsonl" --ready-file "$dir/ready" 2>"$dir/sim.err" &
    sim_pid=$!
    for _ in $(seq 1 150); do
        [ -e "$dir/ready" ] && break
        kill -0 "$sim_pid" 2>/dev/null || { cat "$dir/sim.err" >&2; exit 1; }
        sleep 0.1
    done
    [ -e "$dir/ready" ] || { echo "$1: the simulator did not start" >&2; exit 1; }
}

# require_tools NAME TOOL...: exits 77 (skipped), NAME saying which tool is
# missing, unless every TOOL is on PATH.
require_tools() {
    rt_name=$1
    shift
    for rt_tool in "$@"; do
        command -v "$rt_tool" >/dev/null 2>&1 || { echo "$rt_name: $rt_tool is missing" >&2; exit 77; }
    done
}

# in_private_netns NAME "$0" "$@": runs the script again inside a network
# namespace of its own (root only, else exit 77), where 127.0.0.x reaches
# nothing outside; there, brings loopback up and returns.
in_private_netns() {
    pn_name=$1
    shift
    if [ -z "${ORU_BENCH_IN_NETNS:-}" ]; then
        [ "$(id -u)" -eq 0 ] || { echo "$pn_name: needs root for a private network namespace" >&2; exit 77; }
        exec unshare --net -- env ORU_BENCH_IN_NETNS=1 sh "$@"
    fi
    ip link set lo up
}
