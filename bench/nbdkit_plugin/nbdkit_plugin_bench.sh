#!/usr/bin/env bash
# nbdcopy throughput from a local qcow2 chain served read-only by nbdkit with
# the oru plugin, beside qemu-nbd serving the same chain, in one run with
# alternating rounds (best round of each printed). Both exports are on Unix
# sockets and both offer multi-conn, so nbdcopy uses the same connections
# and requests on each.
# usage: nbdkit_plugin_bench.sh <plugin.so> [size-MiB (default 1024)] [rounds (default 3)]
set -euo pipefail
plugin=$(realpath "$1")
size_mib=${2:-1024}
rounds=${3:-3}
for tool in nbdkit qemu-nbd nbdcopy qemu-img qemu-io; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# Base: data in three quarters of the disk; top: every fourth 1 MiB rewritten.
size=$((size_mib * 1048576))
qemu-img create -q -f qcow2 base.qcow2 "$size"
qemu-io -c "write -P 0x5c 0 $((size / 4 * 3))" base.qcow2 >/dev/null
qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 top.qcow2
cmds=()
for ((mib = 0; mib < size_mib; mib += 4)); do cmds+=(-c "write -P 0x3a ${mib}M 1M"); done
qemu-io "${cmds[@]}" top.qcow2 >/dev/null

wait_for() { for _ in $(seq 100); do [ -S "$1" ] && return 0; sleep 0.1; done; echo "no $1" >&2; exit 1; }
nbdkit -f --exit-with-parent -r -U "$work/oru.sock" "$plugin" file=top.qcow2 2>>server.log &
pids+=($!)
qemu-nbd -r -t -f qcow2 -e 4 -k "$work/qemu.sock" top.qcow2 2>>server.log &
pids+=($!)
wait_for "$work/oru.sock"
wait_for "$work/qemu.sock"

# Nanoseconds one nbdcopy of the export takes.
copy_ns() {
  local start
  start=$(date +%s%N)
  nbdcopy "nbd+unix:///?socket=$work/$1" null:
  echo $(($(date +%s%N) - start))
}

copy_ns oru.sock >/dev/null # warm the page cache
best_oru=0 best_qemu=0
for ((r = 1; r <= rounds; r++)); do
  t=$(copy_ns qemu.sock)
  ((best_qemu == 0 || t < best_qemu)) && best_qemu=$t
  t=$(copy_ns oru.sock)
  ((best_oru == 0 || t < best_oru)) && best_oru=$t
done
awk -v mib="$size_mib" -v rounds="$rounds" -v oru="$best_oru" -v qemu="$best_qemu" 'BEGIN {
  oru_rate = mib / (oru / 1e9); qemu_rate = mib / (qemu / 1e9)
  printf "nbdcopy of a %d MiB qcow2 chain, best of %d rounds\n", mib, rounds
  printf "  %-22s %10.1f MiB/s\n", "nbdkit + oru plugin", oru_rate
  printf "  %-22s %10.1f MiB/s\n", "qemu-nbd", qemu_rate
  printf "  plugin / qemu-nbd: %.2f (target: at least 0.90)\n", oru_rate / qemu_rate
}'
