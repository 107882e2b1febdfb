"""Volumes: open, read, write, zero, flush, extents, info, close; and image
creation."""

from __future__ import annotations

import builtins
import ctypes
import dataclasses
import os
import threading
from typing import Optional, Union

from . import _native as n
from ._info import VolumeInfo, from_native

_FORMATS = {"qcow2": n.ORU_QCOW, "raw": n.ORU_RAW, "luks": n.ORU_LUKS}
_MODES = {"r": n.ORU_RO, "rw": n.ORU_RW, "r+": n.ORU_RW}
_QCOW2_MAGIC = b"QFI\xfb"
_LUKS_MAGIC = b"LUKS\xba\xbe"
_EXTENT_BATCH = 1024

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


def _sniff_format(path: bytes) -> int:
    """The format an image's first bytes name: qcow2 or LUKS by their magic,
    raw otherwise. The library reports everything else once the volume is
    open, but opening needs the format."""
    with builtins.open(path, "rb") as f:
        head = f.read(len(_LUKS_MAGIC))
    if head.startswith(_QCOW2_MAGIC):
        return n.ORU_QCOW
    return n.ORU_LUKS if head == _LUKS_MAGIC else n.ORU_RAW


class Volume:
    """An open volume. Use it as a context manager, or call :meth:`close`.

    Offsets and lengths are in bytes and must be multiples of 512. One
    volume serves one thread at a time (calls from several threads are
    serialised). Writes to a writable volume become durable at
    :meth:`flush` or :meth:`close` (the library's ORU_WRITEBACK).
    """

    def __init__(self, name: str, descriptor_texts: dict, fmt: int, mode: str,
                 remote: bool, transport: Optional[str] = None,
                 connection: object = None) -> None:
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
            flag = open_flag(mode)
            if flag != n.ORU_RO:
                flag |= n.ORU_WRITEBACK  # durable at flush() and close()
            n.check(n.lib.oruDiskLib_Open(ctypes.byref(self._descriptor), flag,
                                          _text(transport), remote, self._handle, conn_handle),
                    f"cannot open {name}")
            self._open = True
            self._info = self._query_info()
            self._size = self._info.size
        except BaseException:
            self._release()
            raise

    @property
    def size(self) -> int:
        """Bytes the volume addresses (after the header region on LUKS volumes)."""
        return self._size

    @property
    def format(self) -> str:
        """"qcow2", "raw" or "luks"."""
        return self._info.format

    def info(self) -> VolumeInfo:
        """What the volume is, as the library reported it at open: size,
        format, cluster and block sizes, and what it can do."""
        return self._info

    def _query_info(self) -> VolumeInfo:
        native = n.Info(structSize=ctypes.sizeof(n.Info))
        rc = n.lib.oruDiskLib_GetInfo(self._handle, ctypes.byref(self._descriptor),
                                      ctypes.byref(native))
        n.check(rc, f"cannot learn what {self._name} is")
        return from_native(native)

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
        """Flushes a writable volume and closes it. Raises :class:`Error`
        when either fails (the volume is closed all the same). Idempotent."""
        with self._lock:
            if not self._open:
                return
            # The flush is asked for on its own so that a failure to make the
            # writes durable is named as such, whatever the close then does.
            flushed = n.ORU_OK
            if self.mode != "r":
                flushed = n.lib.oruDiskLib_Flush(self._handle, ctypes.byref(self._descriptor))
            self._open = False
            rc = n.lib.oruDiskLib_Close(self._handle, ctypes.byref(self._descriptor))
            try:
                n.check(flushed, f"flushing {self._name} failed")
                n.check(rc, f"closing {self._name} failed")
            finally:
                self._release()

    def _transfer(self, function, offset: int, length: int, address: int, verb: str) -> None:
        rc = function(self._handle, ctypes.byref(self._descriptor), offset // n.SECTOR,
                      length // n.SECTOR, address)
        n.check(rc, f"{verb} {self._name} at byte {offset} failed")

    def read(self, offset: int, length: int) -> bytes:
        """Reads length bytes at offset (both multiples of 512). As a file
        does, a read that crosses the end of the volume returns the bytes up
        to the end, and one wholly past it returns b""."""
        _check_range("offset", offset)
        _check_range("length", length)
        with self._lock:
            self._require_open()
            # The library fills in nothing past the end: whatever a buffer
            # held there would be handed out as data.
            available = max(self._size - offset, 0)
            if length > available:
                length = available
            data = bytearray(-(-length // n.SECTOR) * n.SECTOR)
            view = (ctypes.c_char * len(data)).from_buffer(data) if data else None
            base = ctypes.addressof(view) if view is not None else 0
            done = 0
            while done < len(data):
                step = min(len(data) - done, n.MAX_TRANSFER)
                self._transfer(n.lib.oruDiskLib_Read, offset + done, step, base + done, "reading")
                done += step
            del view
        return bytes(data[:length])

    def write(self, offset: int, data: BytesLike) -> None:
        """Writes data (a multiple of 512 bytes long) at offset. A write that
        would reach past the end of the volume raises ValueError and writes
        nothing: the library would cut it short without a word."""
        _check_range("offset", offset)
        source = memoryview(data).cast("B")
        _check_range("length", len(source))
        with self._lock:
            self._require_open()
            if offset + len(source) > self._size:
                raise ValueError(f"writing {len(source)} bytes at {offset} reaches past the end "
                                 f"of {self._name} ({self._size} bytes)")
            done = 0
            while done < len(source):
                step = min(len(source) - done, n.MAX_TRANSFER)
                chunk = (ctypes.c_char * step).from_buffer_copy(source[done:done + step])
                self._transfer(n.lib.oruDiskLib_Write, offset + done, step,
                               ctypes.addressof(chunk), "writing")
                done += step

    def zero(self, offset: int, length: int) -> None:
        """Makes length bytes at offset (both multiples of 512) read as
        zeros, writing no data where the volume can avoid it (qcow2 zero
        clusters, holes, the transport's own zeroing). The range must lie
        inside the volume."""
        _check_range("offset", offset)
        _check_range("length", length)
        with self._lock:
            self._require_open()
            rc = n.lib.oruDiskLib_WriteZeroes(self._handle, ctypes.byref(self._descriptor),
                                              offset // n.SECTOR, length // n.SECTOR)
            n.check(rc, f"zeroing {self._name} at byte {offset} failed")

    def flush(self) -> None:
        """Makes every write and zeroing that returned durable."""
        with self._lock:
            self._require_open()
            rc = n.lib.oruDiskLib_Flush(self._handle, ctypes.byref(self._descriptor))
            n.check(rc, f"flushing {self._name} failed")

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


def open(path: Union[str, os.PathLike], format: Optional[str] = None,
         mode: str = "r") -> Volume:
    """Opens a local image (qcow2, raw or LUKS) read-only ("r") or writable
    ("rw"). The format is taken from the file when not given: qcow2 or LUKS
    when it starts with their magic, raw otherwise."""
    open_flag(mode)
    encoded = os.fsencode(path)
    try:
        found = _sniff_format(encoded)
    except OSError as e:
        raise n.Error(f"cannot open {os.fsdecode(encoded)}", n.ORU_E_OPEN,
                      e.strerror or str(e)) from e
    fmt = found if format is None else format_code(format)
    # The qcow2 engine would take a raw file's bytes for a header.
    if fmt == n.ORU_QCOW and found != n.ORU_QCOW:
        raise ValueError(f"{os.fsdecode(encoded)} is not a qcow2 image")
    return Volume(os.fsdecode(encoded), {"path": encoded}, fmt, mode, remote=False)


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
