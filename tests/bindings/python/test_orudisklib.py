"""orudisklib against qemu-img: what Python writes and zeroes, qemu reads
(and finds clean); what qemu wrote, Python reads; extents agree with
qemu-img map; the volume's facts are the library's; reads stop at the end
of the volume as a file's do; failures raise the documented exceptions; the
installed package imports with nothing but PYTHONPATH."""

import json
import os
import subprocess
import sys

import pytest

import orudisklib

MiB = 1 << 20
SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def tool_env():
    """The environment for qemu-img and friends: a sanitizer runtime preloaded
    for the library under test is not theirs."""
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARS}


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, env=tool_env()).stdout


def pattern(byte, length):
    return bytes([byte]) * length


@pytest.fixture
def chain(tmp_path):
    """A qemu-written base (data at 0 and 40 MiB) and a top made by orudisklib."""
    base, top = tmp_path / "base.qcow2", tmp_path / "top.qcow2"
    run("qemu-img", "create", "-q", "-f", "qcow2", str(base), "96M")
    run("qemu-io", "-c", "write -P 0x11 0 3M", "-c", "write -P 0x22 40M 1M", str(base))
    orudisklib.create(top, 96 * MiB, backing=base)
    return base, top


def test_writes_read_back_through_qemu_and_check_clean(chain, tmp_path):
    base, top = chain
    expected = bytearray(96 * MiB)
    expected[0:3 * MiB] = pattern(0x11, 3 * MiB)
    expected[40 * MiB:41 * MiB] = pattern(0x22, MiB)
    writes = [(512, pattern(0x5A, 1536)),                 # inside a base cluster
              (2 * MiB + 4096, pattern(0x66, 36 * MiB)),  # longer than one library call
              (95 * MiB, memoryview(pattern(0x77, MiB)))]
    with orudisklib.open(top, mode="rw") as volume:
        assert volume.size == 96 * MiB
        for offset, data in writes:
            volume.write(offset, data)
            expected[offset:offset + len(data)] = data
        # One read spanning several library calls, backing data included.
        assert volume.read(0, 96 * MiB) == expected
    run("qemu-img", "check", "-q", str(top))
    raw = tmp_path / "top.raw"
    run("qemu-img", "convert", "-O", "raw", str(top), str(raw))
    assert raw.read_bytes() == expected


def test_extents_agree_with_qemu_img_map(chain):
    base, top = chain
    run("qemu-io", "-c", "write -P 0x33 8M 2M", "-c", "write -z 40M 64k", str(top))
    with orudisklib.open(top) as volume:
        try:
            extents = volume.extents()
        except orudisklib.Error as e:
            if e.name == "ORU_E_PARAMS":
                pytest.skip("this library answers no extent queries")
            raise
        tail = volume.extents(40 * MiB, 2 * MiB)
    # Contiguous, in order, covering the volume.
    assert extents[0][0] == 0
    assert all(a[0] + a[1] == b[0] for a, b in zip(extents, extents[1:]))
    assert extents[-1][0] + extents[-1][1] == 96 * MiB
    qemu = json.loads(run("qemu-img", "map", "--output=json", str(top)))
    qemu_data = merge([(e["start"], e["length"]) for e in qemu if e["data"]])
    assert merge([(o, n) for o, n, zero in extents if not zero]) == qemu_data
    assert tail[0][0] == 40 * MiB and sum(n for _, n, _ in tail) == 2 * MiB


def merge(runs):
    out = []
    for start, length in runs:
        if out and out[-1][0] + out[-1][1] == start:
            out[-1] = (out[-1][0], out[-1][1] + length)
        else:
            out.append((start, length))
    return out


def test_dirty_bitmaps_list_and_query(tmp_path):
    """bitmaps() and changed_extents() as qemu's own bitmap says; raw
    volumes list none and refuse a query rather than answer "unchanged"."""
    raw = tmp_path / "plain.raw"
    raw.write_bytes(bytes(MiB))
    with orudisklib.open(raw) as volume:
        assert volume.bitmaps() == []
        with pytest.raises(orudisklib.Error):
            volume.changed_extents("b0")
    image = tmp_path / "tracked.qcow2"
    run("qemu-img", "create", "-q", "-f", "qcow2", str(image), "64M")
    run("qemu-img", "bitmap", "--add", "--enable", str(image), "b0")
    run("qemu-io", "-c", "write -P 0x11 1M 64k", "-c", "write -z 8M 128k", str(image))
    with orudisklib.open(image) as volume:
        bitmaps = volume.bitmaps()
        assert [(b.name, b.granularity, b.enabled) for b in bitmaps] == [("b0", 65536, True)]
        changed = volume.changed_extents("b0")
        with pytest.raises(orudisklib.Error):
            volume.changed_extents("nope")
    assert [(o, n) for o, n, dirty in changed if dirty] == [(MiB, 64 * 1024), (8 * MiB, 128 * 1024)]
    assert changed[-1][0] + changed[-1][1] == 64 * MiB


def test_failures_raise_documented_exceptions(chain, tmp_path):
    base, top = chain
    with pytest.raises(orudisklib.Error) as missing:
        orudisklib.open(tmp_path / "missing.qcow2")
    assert missing.value.name.startswith("ORU_E_") and "missing.qcow2" in str(missing.value)
    raw = tmp_path / "plain.raw"
    raw.write_bytes(bytes(4096))
    with pytest.raises(ValueError):
        orudisklib.open(raw, format="qcow2")
    with pytest.raises(ValueError):
        orudisklib.create(tmp_path / "x.qcow2", MiB, cluster_size=4096)
    with orudisklib.open(base) as volume:
        for bad in ((100, 512), (0, 700), (-512, 512)):
            with pytest.raises(ValueError):
                volume.read(*bad)
        with pytest.raises(ValueError):
            volume.write(512, b"x" * 100)
        # The engine refuses writes to a read-only volume, in its own words.
        with pytest.raises(orudisklib.Error) as refused:
            volume.write(0, bytes(512))
        assert refused.value.name == "ORU_E_QCOW_WRITE"
        assert refused.value.code == 27 and refused.value.text in str(refused.value)
    with pytest.raises(ValueError):
        volume.read(0, 512)  # closed


def test_reads_stop_at_the_end_and_writes_past_it_raise(chain, tmp_path):
    base, top = chain
    end = 96 * MiB
    with orudisklib.open(top, mode="rw") as volume:
        volume.write(end - 512, pattern(0x44, 512))
        assert volume.read(end - 512, 4096) == pattern(0x44, 512)
        assert volume.read(end, 512) == b"" and volume.read(end + 4096, 512) == b""
        with pytest.raises(ValueError):
            volume.write(end - 512, pattern(0x55, 1024))
        assert volume.read(end - 1024, 1024) == bytes(512) + pattern(0x44, 512)  # nothing written
    # A raw file ending inside a sector reads up to its last byte, as a file.
    odd = tmp_path / "odd.raw"
    odd.write_bytes(pattern(0x11, 4096) + pattern(0x22, 100))
    with orudisklib.open(odd) as volume:
        assert volume.read(4096, 1024) == pattern(0x22, 100)


def data_runs(path, fmt):
    """qemu-img map's data runs of an image, as (start, end) pairs."""
    entries = json.loads(run("qemu-img", "map", "-f", fmt, "--output=json", str(path)))
    return [(e["start"], e["start"] + e["length"]) for e in entries if e["data"]]


@pytest.mark.parametrize("fmt", ["qcow2", "raw"])
def test_zero_and_flush_agree_with_qemu(tmp_path, fmt):
    disk, twin = tmp_path / f"disk.{fmt}", tmp_path / f"twin.{fmt}"
    for path in (disk, twin):
        run("qemu-img", "create", "-q", "-f", fmt, str(path), "8M")
        run("qemu-io", "-f", fmt, "-c", "write -P 0x5a 0 8M", str(path))
    # Starts and ends inside clusters (and file system blocks).
    start, length = MiB + 512, 3 * MiB
    with orudisklib.open(disk, mode="rw") as volume:
        info = volume.info()
        assert (info.format, info.size, volume.format, volume.size) == (fmt, 8 * MiB, fmt, 8 * MiB)
        assert info.cluster_size == (65536 if fmt == "qcow2" else 0)
        assert not info.read_only and info.extents
        assert 512 <= info.min_block_size <= info.preferred_block_size <= info.max_request_bytes
        volume.zero(start, length)
        volume.flush()
        assert volume.read(start - 512, length + 1024) == (
            pattern(0x5A, 512) + bytes(length) + pattern(0x5A, 512))
        # Past the end: refused as a whole, nothing zeroed.
        with pytest.raises(orudisklib.Error) as past:
            volume.zero(7 * MiB, 2 * MiB)
        assert past.value.name == "ORU_E_PARAMS"
        with pytest.raises(ValueError):
            volume.zero(100, 512)
    run("qemu-io", "-f", fmt, "-c", f"write -z {start} {length}", str(twin))
    run("qemu-img", "compare", "-q", "-f", fmt, "-F", fmt, str(disk), str(twin))
    if fmt == "qcow2":
        run("qemu-img", "check", "-q", str(disk))
    if info.fast_zero:
        # No data is left in the whole clusters the range covers.
        inner = (2 * MiB, 4 * MiB)
        assert not [r for r in data_runs(disk, fmt) if r[0] < inner[1] and r[1] > inner[0]]
    with orudisklib.open(disk) as volume:
        assert volume.info().read_only
        volume.flush()  # nothing to make durable, and no failure


def test_format_and_exact_size_from_the_library(tmp_path):
    luks, odd = tmp_path / "disk.luks", tmp_path / "odd.raw"
    luks.write_bytes(b"LUKS\xba\xbe" + bytes(1052672 - 6 + MiB))
    odd.write_bytes(bytes(MiB + 700))
    with orudisklib.open(luks) as volume:
        assert (volume.format, volume.size) == ("luks", MiB)
    with orudisklib.open(odd) as volume:
        assert (volume.format, volume.size) == ("raw", MiB + 700)


def test_installed_package_imports_with_only_pythonpath(tmp_path):
    binary_dir = os.environ.get("ORU_BINARY_DIR")
    cmake = os.environ.get("ORU_CMAKE", "cmake")
    if not binary_dir:
        pytest.skip("ORU_BINARY_DIR not set: run through CTest")
    prefix = tmp_path / "prefix"
    for component in ("python", "lib"):
        run(cmake, "--install", binary_dir, "--prefix", str(prefix), "--component", component)
    packages = next(prefix.glob("lib/python3/dist-packages"))
    env = {"PYTHONPATH": str(packages), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    env.update({k: v for k, v in os.environ.items() if k in SANITIZER_VARS})
    probe = ("import orudisklib; print(orudisklib.__file__); print(orudisklib.version()); "
             "print([l.split()[-1] for l in open('/proc/self/maps') if 'liboruDiskLib' in l][0])")
    out = subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                         env=env, cwd=tmp_path, text=True).stdout.split("\n")
    assert out[0].startswith(str(packages))
    assert out[1] == "1.5.0"
    assert out[2].startswith(str(prefix)), out[2]
