#!/usr/bin/env bash
# The nbdkit plugin against real NBD clients: a qcow2 chain served read-only
# reads as qemu-img reads it; writes, zeroes and flushes through a writable
# export (qemu-io, and nbdcopy's unaligned tail on an odd-sized raw image)
# leave images that qemu-img finds clean and identical to the same requests
# done by qemu; zeroing writes no data where the library zeroes cheaply; the
# export's allocation map agrees with qemu-img map.
# Usage: nbdkit_plugin_test.sh <plugin.so>
set -euo pipefail
plugin=$(realpath "$1")

for tool in nbdkit nbdcopy nbdinfo qemu-img qemu-io python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing" >&2; exit 77; }
done

work=$(mktemp -d)
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    # Never an endless wait on a server that does not go.
    # A sanitizer runtime preloaded into nbdkit can deadlock its exit
    # handlers (p11-kit freeing a locale) once strerror has run.
    for _ in $(seq 100); do
      kill -0 "$server_pid" 2>/dev/null || break
      [ "$(ps -o stat= -p "$server_pid" 2>/dev/null)" = Z ] && break
      sleep 0.1
    done
    kill -9 "$server_pid" 2>/dev/null && echo "nbdkit hung in exit for 10 s: killed" >&2
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=
}
trap 'stop_server; rm -rf "$work"' EXIT
cd "$work"

# A sanitized plugin needs the sanitizer runtime loaded before nbdkit starts;
# nbdkit's own allocations are not ours to account for.
server_env=()
if [ -n "${ORU_ASAN_RUNTIME:-}" ]; then
  server_env=(env "LD_PRELOAD=$ORU_ASAN_RUNTIME" "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0")
fi

# start_server <socket> <nbdkit options and plugin parameters...>
start_server() {
  local socket=$1
  shift
  rm -f "$socket"
  "${server_env[@]}" nbdkit -f --exit-with-parent -U "$socket" "$plugin" "$@" 2>>server.log &
  server_pid=$!
  for _ in $(seq 100); do
    [ -S "$socket" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "nbdkit did not start:" >&2
  cat server.log >&2
  exit 1
}

uri() { echo "nbd+unix:///?socket=$work/$1"; }
fail() {
  echo "FAIL: $*" >&2
  cat server.log >&2
  exit 1
}

# A two-level chain: data in the base, data and a zero cluster over it in the
# top, and a run of the base shadowed by the top.
qemu-img create -q -f qcow2 -o cluster_size=65536 base.qcow2 64M
qemu-io -c 'write -P 0x11 0 4M' -c 'write -P 0x22 10M 1M' -c 'write -P 0x44 40M 64k' base.qcow2 >/dev/null
qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 top.qcow2
qemu-io -c 'write -P 0x33 2M 3M' -c 'write -z 10M 64k' -c 'write -P 0x55 63M 1M' top.qcow2 >/dev/null
qemu-img convert -O raw top.qcow2 expected.raw

echo "== a chain read through a read-only export"
start_server ro.sock -r file=top.qcow2
timeout 120 nbdcopy "$(uri ro.sock)" nbdcopy.raw
cmp expected.raw nbdcopy.raw || fail "nbdcopy of the export differs from qemu-img convert"
timeout 120 qemu-img convert -f raw -O raw "$(uri ro.sock)" qemu.raw
cmp expected.raw qemu.raw || fail "qemu-img convert of the export differs"
[ "$(nbdinfo --size "$(uri ro.sock)")" = 67108864 ] || fail "export size"
if nbdinfo --is read-only "$(uri ro.sock)"; then :; else fail "-r export is writable"; fi

echo "== the allocation map agrees with qemu-img map"
# Data runs as "offset length" lines, neighbours merged, from both sides.
merge() { awk 'NF { if (n && $1 == s + l) l += $2; else { if (n) print s, l; s = $1; l = $2; n = 1 } } END { if (n) print s, l }'; }
qemu-img map --output=json top.qcow2 |
  python3 -c 'import json, sys; [print(e["start"], e["length"]) for e in json.load(sys.stdin) if e["data"]]' |
  merge >qemu.map
nbdinfo --map=base:allocation "$(uri ro.sock)" | awk '$3 == 0 { print $1, $2 }' | merge >plugin.map
diff qemu.map plugin.map || fail "data extents differ from qemu-img map"
stop_server

echo "== writes through a writable export"
cp top.qcow2 written.qcow2
cp top.qcow2 twin.qcow2
# The first write starts and ends inside sectors: the plugin patches both.
# Zeroes over the overlay's data, over base data seen through it (which must
# not show again) and with unaligned edges; FUA becomes a flush.
writes=(-c 'write -P 0x5a 1537 3000' -c 'write -P 0x66 20M 5M' -c 'write -z 2M 128k'
  -c 'write -z 5000 70000' -c 'write -z -f 10M 64k' -c 'write -f -P 0x77 63M 1M' -c flush)
start_server rw.sock file=written.qcow2
timeout 120 qemu-io -f raw "${writes[@]}" "$(uri rw.sock)" >/dev/null || fail "qemu-io through the export"
verify=$(timeout 60 qemu-io -f raw -r -c 'read -P 0x5a 1601 2900' "$(uri rw.sock)" 2>&1) ||
  fail "unaligned read back: $verify"
case $verify in *failed*) fail "unaligned read back: $verify" ;; esac
# While one client writes, a second is refused: it would run a second qcow2
# engine on the same file, which the image's lock does not prevent inside
# one process.
qemu-io -f raw -c 'sleep 15000' "$(uri rw.sock)" >/dev/null &
holder=$!
refused=no
while kill -0 "$holder" 2>/dev/null; do
  if ! nbdinfo --size "$(uri rw.sock)" >/dev/null 2>&1; then refused=yes; break; fi
  sleep 0.2
done
kill "$holder" 2>/dev/null || true
wait "$holder" || true
[ "$refused" = yes ] || fail "a second writable connection was served"
grep -q "already open for writing" server.log || fail "no message for the refused writer"
stop_server
qemu-io -f qcow2 "${writes[@]}" twin.qcow2 >/dev/null
qemu-img check -q written.qcow2 || fail "qemu-img check after writes through the export"
qemu-img compare -q written.qcow2 twin.qcow2 || fail "written image differs from the same writes by qemu"

echo "== zeroing a fresh qcow2 image writes no data where zeroing is fast"
qemu-img create -q -f qcow2 fresh.qcow2 64M
start_server fresh.sock file=fresh.qcow2
# A fast zero is done at once or refused at once (the library would write).
if timeout 60 qemu-io -f raw -c 'write -z -n 0 1M' "$(uri fresh.sock)" >fast.out 2>&1; then
  fast=yes
else
  grep -q "not supported" fast.out || fail "fast zero: $(cat fast.out)"
  fast=no
fi
timeout 60 qemu-io -f raw -c 'write -z 0 1M' -c 'write -z 8M 3M' -c flush "$(uri fresh.sock)" >/dev/null ||
  fail "zeroes through the export"
stop_server
qemu-img check -q fresh.qcow2 || fail "qemu-img check after zeroes"
data=$(qemu-img map --output=json fresh.qcow2 | python3 -c 'import json, sys; print(sum(e["length"] for e in json.load(sys.stdin) if e["data"]))')
if [ "$fast" = yes ]; then
  [ "$data" = 0 ] || fail "zeroes allocated $data bytes of data"
else
  echo "(the library zeroes this volume by writing data: allocation not checked)"
fi

echo "== unaligned requests on an odd-sized raw image"
head -c $((1048576 + 700)) /dev/urandom >source.bin
truncate -s $((1048576 + 700)) odd.raw
start_server odd.sock file=odd.raw
# nbdcopy sends the 700-byte tail as it is: the plugin patches the sector.
timeout 60 nbdcopy --request-size=65536 source.bin "$(uri odd.sock)" || fail "nbdcopy into the export"
timeout 60 nbdcopy "$(uri odd.sock)" back.bin || fail "nbdcopy out of the export"
# Zeroes across the odd end: whole sectors by the library, the tail patched.
timeout 60 qemu-io -f raw -c 'write -z 1047552 1724' -c flush "$(uri odd.sock)" >/dev/null ||
  fail "zeroes across the odd end"
stop_server
cmp source.bin back.bin || fail "odd-sized raw image reads back differently"
head -c 1047552 source.bin >expected-odd.bin
head -c 1724 /dev/zero >>expected-odd.bin
cmp expected-odd.bin odd.raw || fail "odd-sized raw image holds other bytes than were written and zeroed"

echo "== a full file system reaches the client as ENOSPC; the image stays clean"
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
  mkdir full
  # A tmpfs of 8 MiB in a private mount namespace, gone with it.
  unshare -m bash -c '
    set -e
    mount -t tmpfs -o size=8M tmpfs full
    qemu-img create -q -f qcow2 full/small.qcow2 64M
    "$@" nbdkit -f --exit-with-parent -U full.sock "'"$plugin"'" file=full/small.qcow2 2>>server.log &
    server=$!
    for _ in $(seq 100); do [ -S full.sock ] && break; sleep 0.1; done
    timeout 60 qemu-io -f raw -c "write -P 0x42 0 16M" "nbd+unix:///?socket=$PWD/full.sock" >full.out 2>&1 || true
    kill $server
    for _ in $(seq 100); do [ "$(ps -o stat= -p $server)" = Z ] && break; sleep 0.1; done
    kill -9 $server 2>/dev/null || true
    wait $server || true
    qemu-img check -q full/small.qcow2 >full.check 2>&1 || echo "check failed" >>full.check
  ' bash "${server_env[@]}"
  grep -q "No space left on device" full.out || { cat full.out >&2; fail "no ENOSPC at the client"; }
  grep -q "enough space (ORU_E_QCOW_WRITE)" server.log || fail "no library text in the server log"
  [ ! -s full.check ] || { cat full.check >&2; fail "qemu-img check after a full file system"; }
else
  echo "(skipped: needs root and unshare)"
fi

echo "== a bad parameter stops the server with a clear message"
# --run exits 0 once the server is up; a refusal exits non-zero (or hangs in
# a sanitized exit, hence the kill).
if timeout -s KILL 10 "${server_env[@]}" nbdkit -U - "$plugin" file=missing.qcow2 --run true 2>bad.log; then
  fail "nbdkit started on a missing image"
fi
grep -q "cannot open.*missing.qcow2" bad.log || { cat bad.log >&2; fail "no message naming the missing image"; }

echo "PASS"
