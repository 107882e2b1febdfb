"""orudisklib: virtual disks of the platform from Python, over liboruDiskLib.

Local images (qcow2, raw, LUKS) and remote volumes are read and written in
bytes at offsets and lengths that are multiples of 512::

    import orudisklib
    orudisklib.create("disk.qcow2", 1 << 30)
    with orudisklib.open("disk.qcow2", mode="rw") as volume:
        volume.write(0, b"\\x01" * 4096)
        volume.zero(1 << 20, 1 << 20)
        volume.flush()
        print(volume.info(), volume.extents())

Reads stop at the end of the volume as a file's do (b"" wholly past it);
writes reaching past the end raise ValueError. Failures raise
:class:`orudisklib.Error` carrying the library's code, its name and its text.
"""

from ._info import VolumeInfo
from ._native import Error
from ._remote import Connection, connect, open_remote
from ._volume import Bitmap, Volume, create, open


def version() -> str:
    """The library's version text."""
    from ._native import lib
    return lib.oruDiskLib_GetVersion().decode()


__all__ = [
    "Error", "Bitmap", "Volume", "VolumeInfo", "Connection", "open", "create", "connect", "open_remote",
    "version",
]
