#!/usr/bin/env bash
# Remote volumes through the plugin and the Python package, against the
# platform simulator (a real qemu-nbd behind it): the export's size is the
# library's (an old size= is ignored) and its content equals qemu-img's
# reading of the image; writes, zeroes and flushes through a writable export
# leave the image as the same requests by qemu do; a wrong password stops the
# server with the library's text.
# Runs inside a private network namespace (tests/support/in-netns.sh).
# Usage: nbdkit_remote_test.sh <plugin.so> <oru-platform-sim> <python package dir>
set -euo pipefail
plugin=$(realpath "$1")
sim=$(realpath "$2")
pydir=$(realpath "$3")
for tool in nbdkit nbdcopy nbdinfo qemu-img qemu-io qemu-nbd python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing" >&2; exit 77; }
done

work=$(mktemp -d)
pids=()
# stop <pid>: never an endless wait on a process that does not go.
stop() {
  kill "$1" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do stop "$pid"; done
  rm -rf "$work"
  # The library logs the remote volume outside the scratch directory.
  [ -z "${uuid:-}" ] || rm -f "/var/log/tamb/$uuid.log"
}
trap cleanup EXIT
cd "$work"
fail() {
  echo "FAIL: $*" >&2
  cat server.log sim.log 2>/dev/null | tail -40 >&2
  exit 1
}

sanitized_env=()
if [ -n "${ORU_ASAN_RUNTIME:-}" ]; then
  sanitized_env=(env "LD_PRELOAD=$ORU_ASAN_RUNTIME" "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0")
fi

# A volume whose size is no power of two.
qemu-img create -q -f qcow2 volume.qcow2 $((41 * 1048576 + 1536))
qemu-io -c 'write -P 0x6d 0 2M' -c 'write -P 0x2e 30M 3M' -c 'write -P 0x71 41M 1536' volume.qcow2 >/dev/null
qemu-img convert -O raw volume.qcow2 expected.raw
uuid=4b7e0c52-91aa-4c3d-8e11-5f60a2d7c9e4
cat >sim.json <<JSON
{
  "address": "127.0.0.10",
  "users": [ { "name": "admin", "password": "admin-pass",
               "accessKeys": [ { "id": "AKPLUGIN0000000001", "secret": "PLUGINSECRET00000000000000000001" } ] } ],
  "hosts": [ { "id": "host-1", "address": "127.0.0.11", "backupAddress": "127.0.0.21", "dataStores": [ "ds-1" ] } ],
  "volumes": [ { "uuid": "$uuid", "dataStore": "ds-1", "image": "volume.qcow2" } ],
  "taskStates": { "openMode": [ "FINISHED" ], "accessKey": [ "FINISHED" ] }
}
JSON
"$sim" --config sim.json --image-dir "$work" --log sim.jsonl --ready-file sim.ready 2>sim.log &
pids+=($!)
for _ in $(seq 100); do [ -e sim.ready ] && break; sleep 0.1; done
[ -e sim.ready ] || fail "the simulator did not start"

printf 'admin-pass\n' >password
printf 'wrong\n' >bad-password
volume=(server=127.0.0.10 uuid="$uuid" datastore=ds-1 path=/volumes/volume.qcow2 format=qcow2 transport=nbd)

echo "== a remote volume through the plugin"
"${sanitized_env[@]}" nbdkit -f --exit-with-parent -r -U "$work/remote.sock" "$plugin" \
  user=admin password-file=password "${volume[@]}" size=4096 2>>server.log &
server=$!
pids+=($server)
for _ in $(seq 300); do [ -S remote.sock ] && break; sleep 0.1; done
uri="nbd+unix:///?socket=$work/remote.sock"
[ "$(timeout 120 nbdinfo --size "$uri")" = $((41 * 1048576 + 1536)) ] || fail "export size"
timeout 120 nbdcopy "$uri" copy.raw || fail "nbdcopy of the remote export"
cmp expected.raw copy.raw || fail "remote export differs from qemu-img convert"
stop "$server"

echo "== a wrong password stops the server with the library's text"
if timeout -s KILL 60 "${sanitized_env[@]}" nbdkit -U - "$plugin" user=admin password-file=bad-password \
  "${volume[@]}" --run 'nbdinfo --size "$uri"' 2>bad.log >/dev/null; then
  fail "served with a wrong password"
fi
grep -q "cannot log in to 127.0.0.10.*ORU_E_" bad.log || { cat bad.log >&2; fail "no login failure text"; }

echo "== the same volume from Python, with an access key"
"${sanitized_env[@]}" env PYTHONPATH="$pydir" python3 - "$uuid" <<'PY' || fail "python remote read"
import sys
import orudisklib
uuid = sys.argv[1]
expected = open("expected.raw", "rb").read()
with orudisklib.connect("127.0.0.10", "admin",
                        access_key="AKPLUGIN0000000001:PLUGINSECRET00000000000000000001") as conn:
    with orudisklib.open_remote(conn, uuid=uuid, datastore="ds-1", path="/volumes/volume.qcow2",
                                format="qcow2") as volume:
        assert volume.size == len(expected), (volume.size, len(expected))
        assert volume.read(0, volume.size) == expected
        data = [e for e in volume.extents() if not e[2]]
        assert data, "no data extents"
print("python: ok")
PY

echo "== writes, zeroes and flushes through a writable remote export"
cp volume.qcow2 twin.qcow2
# Zeroes with unaligned edges, over data, with FUA; then a flush, after which
# the image holds everything whatever the server still caches.
requests=(-c 'write -P 0x5a 1M 64k' -c 'write -z 4000 9000' -c 'write -z 30M 1M'
  -c 'write -z -f 31M 64k' -c 'write -P 0x3c 41M 1536' -c flush)
"${sanitized_env[@]}" nbdkit -f --exit-with-parent -U "$work/rw.sock" "$plugin" \
  user=admin password-file=password "${volume[@]}" 2>>server.log &
pids+=($!)
for _ in $(seq 300); do [ -S rw.sock ] && break; sleep 0.1; done
timeout 120 qemu-io -f raw "${requests[@]}" "nbd+unix:///?socket=$work/rw.sock" >/dev/null ||
  fail "requests through the writable remote export"
qemu-io -f qcow2 "${requests[@]}" twin.qcow2 >/dev/null
qemu-img compare -U -q volume.qcow2 twin.qcow2 || fail "remote image differs from the same requests by qemu"
qemu-img check -U -q volume.qcow2 || fail "qemu-img check of the remote image"
echo PASS
