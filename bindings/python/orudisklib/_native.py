"""The shared library, its C signatures, and the mapping of its result codes
to :class:`Error`.

The library is looked for beside the package first (the path written into
``_paths.py`` when it was installed), then by its soname through the dynamic
linker, so that both an install prefix and the Debian layout work without
``LD_LIBRARY_PATH``.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from typing import Optional

from . import _paths

SECTOR = 512
MAX_TRANSFER = 32 << 20  # bytes one library call moves at most

ORU_OK = 0
ORU_E_FAIL = 1
ORU_E_OPEN = 7
ORU_E_PARAMS = 8
ORU_ISCSI_READ = 42

ORU_QCOW, ORU_RAW, ORU_LUKS = 0, 1, 2
ORU_RO, ORU_RW = 1, 3
ORU_WRITEBACK = 0x100
ORU_EXTENT_ZERO = 1
ORU_INFO_READ_ONLY = 1
ORU_INFO_FAST_ZERO = 2
ORU_INFO_CAN_FLUSH = 4
ORU_INFO_EXTENTS = 8
ORU_INFO_BITMAPS = 16
ORU_EXTENT_CHANGED = 2
ORU_BITMAP_ENABLED, ORU_BITMAP_INCONSISTENT = 1, 2

_NAMES = (
    "ORU_OK", "ORU_E_FAIL", "ORU_E_NOT_SUPPORTED", "ORU_E_CONNECT_FAIL",
    "ORU_E_GET_VERSION", "ORU_E_GET_MODE", "ORU_E_POST", "ORU_E_OPEN",
    "ORU_E_PARAMS", "ORU_E_REMOTE_OPEN", "ORU_E_QCOW_OPEN", "ORU_E_LOCK",
    "ORU_E_READ", "ORU_E_WRITE", "ORU_E_CLOSE", "ORU_E_PORT",
    "ORU_E_INIT", "ORU_E_TCP", "ORU_E_SSL", "ORU_E_SEND",
    "ORU_E_RECV", "ORU_E_MALLOC", "ORU_E_USING", "ORU_E_NBD_EXPORT",
    "ORU_E_REMOTE_READ", "ORU_E_REMOTE_WRITE", "ORU_E_QCOW_READ", "ORU_E_QCOW_WRITE",
    "ORU_E_RAW_OPEN", "ORU_E_RAW_READ", "ORU_E_RAW_WRITE", "ORU_E_GET",
    "ORU_E_QCOW_BITMAP", "ORU_E_TIMEOUT", "ORU_E_TRANS", "ORU_E_REMOTELOCK",
    "ORU_E_HANDLENBD", "ORU_E_HANDLEQCOW", "ORU_E_HANDLERAW", "ORU_E_ACCOUNT",
    "ORU_E_RAW_BITMAP", "ORU_ISCSI_OPEN", "ORU_ISCSI_READ", "ORU_ISCSI_WRITE",
    "ORU_E_REMOTE_CLOSE", "ORU_E_MAX_BUFFER", "ORU_E_FORMAT",
)


class Error(Exception):
    """A failure the library reported.

    ``code`` is the library's result code (an ``oruError`` value), ``name``
    its enumerator name ("ORU_E_QCOW_OPEN"), ``text`` the library's own text
    for it; the message reads "<what failed>: <text> (<name>)".
    """

    def __init__(self, what_failed: str, code: int, text: Optional[str] = None) -> None:
        self.code = code
        self.name = error_name(code)
        self.text = error_text(code) if text is None else text
        super().__init__(f"{what_failed}: {self.text} ({self.name})")


def error_name(code: int) -> str:
    """The enumerator name of a result code; "ORU_<n>" when unknown."""
    return _NAMES[code] if 0 <= code < len(_NAMES) else f"ORU_{code}"


def error_text(code: int) -> str:
    """The library's text for a code (a backend's last failure for backend codes)."""
    raw = lib.oruDiskLib_GetErrorText(code)
    return (raw or b"").decode("utf-8", "replace").rstrip("\r\n")


def check(code: int, what_failed: str) -> None:
    """Raises :class:`Error` unless code is ORU_OK."""
    if code != ORU_OK:
        raise Error(what_failed, code)


class ConnectParams(ctypes.Structure):
    _fields_ = [
        ("hostIP", ctypes.c_char_p),
        ("userName", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
        ("accesskey", ctypes.c_char_p),
    ]


class VolumeDescriptor(ctypes.Structure):
    _fields_ = [
        ("diskPath", ctypes.c_char_p),
        ("diskFormat", ctypes.c_int),
        ("volumeUuid", ctypes.c_char_p),
        ("dataStoreid", ctypes.c_char_p),
        ("targeturl", ctypes.c_char_p),
        ("initiator", ctypes.c_char_p),
    ]


class Extent(ctypes.Structure):
    _fields_ = [
        ("start", ctypes.c_uint64),
        ("count", ctypes.c_uint64),
        ("flags", ctypes.c_uint32),
    ]


class Info(ctypes.Structure):
    """oruDiskLibInfo, member for member: ctypes pads it as the C compiler
    does (capacity at offset 8, 40 bytes in all)."""
    _fields_ = [
        ("structSize", ctypes.c_uint32),
        ("format", ctypes.c_uint32),
        ("capacity", ctypes.c_uint64),
        ("clusterSize", ctypes.c_uint32),
        ("minBlockSize", ctypes.c_uint32),
        ("preferredBlockSize", ctypes.c_uint32),
        ("maxRequestBytes", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
    ]


class BitmapInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char * 1024),
        ("granularity", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
    ]


def _candidates() -> list[str]:
    names = []
    if _paths.LIBRARY and not _paths.LIBRARY.startswith("@"):
        here = os.path.dirname(os.path.abspath(__file__))
        names.append(os.path.normpath(os.path.join(here, _paths.LIBRARY)))
    soname = _paths.SONAME if not _paths.SONAME.startswith("@") else "liboruDiskLib.so.1"
    names.append(soname)
    found = ctypes.util.find_library("oruDiskLib")
    if found:
        names.append(found)
    return names


def _load() -> ctypes.CDLL:
    failures = []
    for name in _candidates():
        if os.path.isabs(name) and not os.path.exists(name):
            failures.append(f"{name}: not there")
            continue
        try:
            return ctypes.CDLL(name)
        except OSError as e:
            failures.append(str(e))
    raise ImportError("cannot load liboruDiskLib: " + "; ".join(failures))


def _declare(library: ctypes.CDLL) -> None:
    H = ctypes.c_void_p  # oruDiskLibHandle
    C = ctypes.c_void_p  # oruDiskLibConnection
    V = ctypes.POINTER(VolumeDescriptor)
    u64, u32, i = ctypes.c_uint64, ctypes.c_uint32, ctypes.c_int
    signatures = {
        "oruDiskLib_Init": (i, [ctypes.POINTER(H)]),
        "oruDiskLib_Finalize": (i, [ctypes.POINTER(H)]),
        "oruDiskLib_GetVersion": (ctypes.c_char_p, []),
        "oruDiskLib_GetErrorText": (ctypes.c_char_p, [i]),
        "oruDiskLib_Connect": (i, [ConnectParams, ctypes.POINTER(C)]),
        "oruDiskLib_Set_AK": (i, [ConnectParams, ctypes.POINTER(C)]),
        "oruDiskLib_DisConnect": (i, [C]),
        "oruDiskLib_Open": (i, [V, i, ctypes.c_char_p, ctypes.c_bool, H, C]),
        "oruDiskLib_Read": (i, [H, V, u64, u64, ctypes.c_void_p]),
        "oruDiskLib_Write": (i, [H, V, u64, u64, ctypes.c_void_p]),
        "oruDiskLib_Close": (i, [H, V]),
        "oruDiskLib_GetInfo": (i, [H, V, ctypes.POINTER(Info)]),
        "oruDiskLib_WriteZeroes": (i, [H, V, u64, u64]),
        "oruDiskLib_Flush": (i, [H, V]),
        "oruDiskLib_Create": (i, [ctypes.c_char_p, ctypes.c_char_p, u32, u64, i]),
        "oruDiskLib_QueryExtents": (
            i, [H, V, u64, u64, ctypes.POINTER(Extent), u32, ctypes.POINTER(u32)]),
        "oruDiskLib_QueryChangedExtents": (
            i, [H, V, ctypes.c_char_p, u64, u64, ctypes.POINTER(Extent), u32,
                ctypes.POINTER(u32)]),
        "oruDiskLib_ListBitmaps": (
            i, [H, V, ctypes.POINTER(BitmapInfo), u32, ctypes.POINTER(u32)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes


lib = _load()
_declare(lib)
