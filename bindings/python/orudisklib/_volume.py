"""Volumes: open, read, write, extents, close; and image creation."""

from __future__ import annotations

import builtins
import ctypes
import dataclasses
import os
import struct
import threading
from typing import Optional, Union

from . import _native as n

_FORMATS = {"qcow2": n.ORU_QCOW, "raw": n.ORU_RAW, "luks": n.ORU_LUKS}
_MODES = {"r": n.ORU_RO, "rw": n.ORU_RW, "r+": n.ORU_RW}
_QCOW2_MAGIC = b"QFI\xfb"
_EXTENT_BATCH = 1024
_PROBE_LIMIT = 1 << 47  # sectors; no volume is 64 PiB

BytesLike = Union[bytes, bytearray, memoryview]


@dataclasses.dataclass(frozen=True)
class Bitmap:
    """One change-tracking bitmap: granularity is bytes per bit, 0 when the
    transport does not say (an NBD export); flags are ORU_BITMAP_* bits."""
    name: str
    granularity: int
    flags: int

    @property
    def enabled(self) -> bool:
        return bool(self.flags & n.ORU_BITMAP_ENABLED)

    @property
    def inconsistent(self) -> bool:
        return bool(self.flags & n.ORU_BITMAP_INCONSISTENT)


def _text(value: Optional[Union[str, os.PathLike]]) -> Optional[bytes]:
    return None if value is None else os.fsencode(value)


def _check_range(what: str, value: int) -> None:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what} must be an int")
    if value < 0 or value % n.SECTOR:
        raise ValueError(f"{what} {value} is not a non-negative multiple of {n.SECTOR}")


def format_code(name: str) -> int:
    """The library's SDK_TYPE for "qcow2", "raw" or "luks"."""
    try:
        return _FORMATS[name]
    except KeyError:
        raise ValueError(f"unknown format {name!r}: expected qcow2, raw or luks") from None


def open_flag(mode: str) -> int:
    """ORU_RO for "r", ORU_RW for "rw" (or "r+")."""
    try:
        return _MODES[mode]
    except KeyError:
        raise ValueError(f"unknown mode {mode!r}: expected 'r' or 'rw'") from None


def _image_facts(path: bytes) -> tuple[int, int, int]:
    """(format found in the file, file size, qcow2 virtual size)."""
    with builtins.open(path, "rb") as f:
        header = f.read(32)
        size = f.seek(0, os.SEEK_END)
    if len(header) == 32 and header[:4] == _QCOW2_MAGIC:
        return n.ORU_QCOW, size, struct.unpack(">Q", header[24:32])[0]
    return n.ORU_RAW, size, 0


class Volume:
    """An open volume. Use it as a context manager, or call :meth:`close`.

    Offsets and lengths are in bytes and must be multiples of 512. One
    volume serves one thread at a time (calls from several threads are
    serialised).
    """

    def __init__(self, name: str, descriptor_texts: dict, fmt: int, mode: str,
                 remote: bool, transport: Optional[str] = None,
                 connection: object = None, size: Optional[int] = None) -> None:
        self._name = name
        # The library reads the descriptor's texts at every call: they live
        # as long as the volume.
        self._texts = descriptor_texts
        self._descriptor = n.VolumeDescriptor(
            descriptor_texts.get("path"), fmt, descriptor_texts.get("uuid"),
            descriptor_texts.get("datastore"), descriptor_texts.get("target_url"),
            descriptor_texts.get("initiator"))
        self._connection = connection  # kept alive while the volume is open
        self._lock = threading.Lock()
        self._handle = ctypes.c_void_p()
        self._open = False
        self.mode = mode
        n.check(n.lib.oruDiskLib_Init(ctypes.byref(self._handle)),
                "cannot allocate a volume handle")
        try:
            conn_handle = connection._handle if connection is not None else None
            n.check(n.lib.oruDiskLib_Open(ctypes.byref(self._descriptor), open_flag(mode),
                                          _text(transport), remote, self._handle, conn_handle),
                    f"cannot open {name}")
            self._open = True
            self._size = size if size is not None else self._probe_size()
        except BaseException:
            self._release()
            raise

    @property
    def size(self) -> int:
        """Bytes the volume addresses (after the header region on LUKS volumes)."""
        return self._size

    @property
    def closed(self) -> bool:
        return not self._open

    def __enter__(self) -> "Volume":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A volume dropped without close is still closed (and flushed), but
        # nothing can be reported from here; at interpreter exit the library
        # may already be gone.
        try:
            self._release()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if not self._open else f"{self.mode}, {self._size} bytes"
        return f"<orudisklib.Volume {self._name} ({state})>"

    def _require_open(self) -> None:
        if not self._open:
            raise ValueError(f"{self._name} is closed")

    def _release(self) -> None:
        # Called from close (after it reported) and from the finaliser.
        handle = getattr(self, "_handle", None)
        if handle is None:
            return
        if self._open:
            self._open = False
            n.lib.oruDiskLib_Close(handle, ctypes.byref(self._descriptor))
        if handle.value:
            n.lib.oruDiskLib_Finalize(ctypes.byref(handle))
            handle.value = None

    def close(self) -> None:
        """Closes the volume; a writable qcow2 image is flushed to stable
        storage. Raises :class:`Error` when that fails. Idempotent."""
        with self._lock:
            if not self._open:
                return
            self._open = False
            rc = n.lib.oruDiskLib_Close(self._handle, ctypes.byref(self._descriptor))
            try:
                n.check(rc, f"closing {self._name} failed")
            finally:
                self._release()

    def _transfer(self, function, offset: int, length: int, address: int, verb: str) -> None:
        rc = function(self._handle, ctypes.byref(self._descriptor), offset // n.SECTOR,
                      length // n.SECTOR, address)
        n.check(rc, f"{verb} {self._name} at byte {offset} failed")

    def read(self, offset: int, length: int) -> bytes:
        """Reads length bytes at offset (both multiples of 512)."""
        _check_range("offset", offset)
        _check_range("length", length)
        data = bytearray(length)
        with self._lock:
            self._require_open()
            view = (ctypes.c_char * max(length, 1)).from_buffer(data) if length else None
            base = ctypes.addressof(view) if view is not None else 0
            done = 0
            while done < length:
                step = min(length - done, n.MAX_TRANSFER)
                self._transfer(n.lib.oruDiskLib_Read, offset + done, step, base + done, "reading")
                done += step
            del view
        return bytes(data)

    def write(self, offset: int, data: BytesLike) -> None:
        """Writes data (a multiple of 512 bytes long) at offset."""
        _check_range("offset", offset)
        source = memoryview(data).cast("B")
        _check_range("length", len(source))
        with self._lock:
            self._require_open()
            done = 0
            while done < len(source):
                step = min(len(source) - done, n.MAX_TRANSFER)
                chunk = (ctypes.c_char * step).from_buffer_copy(source[done:done + step])
                self._transfer(n.lib.oruDiskLib_Write, offset + done, step,
                               ctypes.addressof(chunk), "writing")
                done += step

    def extents(self, offset: int = 0, length: Optional[int] = None) -> list[tuple[int, int, bool]]:
        """Which parts of [offset, offset + length) hold data, as
        (offset, length, zero) tuples in order, contiguous, covering the range
        cut at the end of the volume; zero is True where reads return zeros.
        length None means to the end of the volume."""
        def query(sector, count, batch, found):
            return n.lib.oruDiskLib_QueryExtents(
                self._handle, ctypes.byref(self._descriptor), sector, count, batch,
                _EXTENT_BATCH, found)
        return self._runs(query, n.ORU_EXTENT_ZERO, offset, length, "the extents")

    def changed_extents(self, name: str, offset: int = 0,
                        length: Optional[int] = None) -> list[tuple[int, int, bool]]:
        """What the change-tracking bitmap `name` marks, shaped like
        extents(): (offset, length, changed) tuples in order, contiguous,
        covering the range cut at the end of the volume. An unknown or
        inconsistent bitmap raises Error."""
        encoded = os.fsencode(name)

        def query(sector, count, batch, found):
            return n.lib.oruDiskLib_QueryChangedExtents(
                self._handle, ctypes.byref(self._descriptor), encoded, sector, count, batch,
                _EXTENT_BATCH, found)
        return self._runs(query, n.ORU_EXTENT_CHANGED, offset, length,
                          f"the changes in bitmap {name!r}")

    def bitmaps(self) -> list[Bitmap]:
        """The volume's change-tracking bitmaps (a qcow2 image's persistent
        dirty bitmaps, or those a remote export offers)."""
        found = ctypes.c_uint32()
        with self._lock:
            self._require_open()
            room = 0
            while True:
                table = (n.BitmapInfo * max(room, 1))()
                rc = n.lib.oruDiskLib_ListBitmaps(
                    self._handle, ctypes.byref(self._descriptor), table, room,
                    ctypes.byref(found))
                n.check(rc, f"listing the bitmaps of {self._name} failed")
                if found.value <= room:
                    break
                room = found.value  # bitmaps appeared between the two calls
        return [Bitmap(os.fsdecode(b.name), b.granularity, b.flags)
                for b in table[:found.value]]

    def _runs(self, query, flag: int, offset: int, length: Optional[int],
              what: str) -> list[tuple[int, int, bool]]:
        _check_range("offset", offset)
        if length is None:
            length = max(self._size - offset, 0)
        _check_range("length", length)
        result: list[tuple[int, int, bool]] = []
        batch = (n.Extent * _EXTENT_BATCH)()
        found = ctypes.c_uint32()
        sector, end = offset // n.SECTOR, (offset + length) // n.SECTOR
        with self._lock:
            self._require_open()
            while sector < end:
                rc = query(sector, end - sector, batch, ctypes.byref(found))
                n.check(rc, f"querying {what} of {self._name} failed")
                if found.value == 0:
                    break  # the volume ends here
                for e in batch[:found.value]:
                    marked = bool(e.flags & flag)
                    start, count = e.start * n.SECTOR, e.count * n.SECTOR
                    if result and result[-1][2] == marked and result[-1][0] + result[-1][1] == start:
                        prev = result.pop()
                        start, count = prev[0], prev[1] + count
                    result.append((start, count, marked))
                    sector = e.start + e.count
        return result

    def _sector_exists(self, sector: int, scratch: ctypes.Array) -> bool:
        # A sector inside the volume is delivered; one past its end leaves
        # the buffer alone. No sector reads as all 0x00 and as all 0xFF.
        for fill in (b"\x00", b"\xff"):
            ctypes.memset(scratch, fill[0], n.SECTOR)
            rc = n.lib.oruDiskLib_Read(self._handle, ctypes.byref(self._descriptor), sector, 1,
                                       scratch)
            if rc == n.ORU_ISCSI_READ:
                return False  # a LUN refuses blocks past its end
            n.check(rc, f"reading {self._name} at sector {sector} failed")
            if scratch.raw != fill * n.SECTOR:
                return True
        return False

    def _probe_size(self) -> int:
        """The library has no size query: a remote volume's end is found by reading."""
        scratch = ctypes.create_string_buffer(n.SECTOR)
        if not self._sector_exists(0, scratch):
            return 0
        inside, outside = 0, 1
        while self._sector_exists(outside, scratch):
            inside, outside = outside, outside * 2
            if outside > _PROBE_LIMIT:
                raise n.Error(f"cannot find the end of {self._name}", n.ORU_E_FAIL,
                              "no end found")
        while outside - inside > 1:
            middle = inside + (outside - inside) // 2
            if self._sector_exists(middle, scratch):
                inside = middle
            else:
                outside = middle
        return outside * n.SECTOR


def open(path: Union[str, os.PathLike], format: Optional[str] = None,
         mode: str = "r") -> Volume:
    """Opens a local image (qcow2, raw or LUKS) read-only ("r") or writable
    ("rw"). The format is detected from the file when not given: qcow2 when it
    starts with the qcow2 magic, raw otherwise."""
    open_flag(mode)
    encoded = os.fsencode(path)
    try:
        found, file_size, qcow2_size = _image_facts(encoded)
    except OSError as e:
        raise n.Error(f"cannot open {os.fsdecode(encoded)}", n.ORU_E_OPEN,
                      e.strerror or str(e)) from e
    fmt = found if format is None else format_code(format)
    if fmt == n.ORU_QCOW and found != n.ORU_QCOW:
        raise ValueError(f"{os.fsdecode(encoded)} is not a qcow2 image")
    if fmt == n.ORU_QCOW:
        size = qcow2_size
    elif fmt == n.ORU_LUKS:
        size = max(file_size - n.LUKS_HEADER_BYTES, 0)
    else:
        size = file_size
    return Volume(os.fsdecode(encoded), {"path": encoded}, fmt, mode, remote=False, size=size)


def create(path: Union[str, os.PathLike], size: int,
           backing: Optional[Union[str, os.PathLike]] = None,
           cluster_size: int = 65536) -> None:
    """Creates a qcow2 image of size bytes (a multiple of 512), optionally over
    a backing image, with clusters of 64 KiB to 2 MiB."""
    _check_range("size", size)
    if cluster_size < 65536 or cluster_size > (2 << 20) or cluster_size & (cluster_size - 1):
        raise ValueError(f"cluster_size {cluster_size} is not a power of two from 64 KiB to 2 MiB")
    rc = n.lib.oruDiskLib_Create(os.fsencode(path), _text(backing), cluster_size, size,
                                 n.ORU_QCOW)
    if rc != 0:
        # Creation answers -1 without a code or text of its own.
        raise n.Error(f"cannot create {os.fsdecode(path)}", n.ORU_E_FAIL,
                      "the library could not create the image")
