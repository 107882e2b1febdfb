"""What an open volume is, as the library reports it (oruDiskLib_GetInfo)."""

from __future__ import annotations

from dataclasses import dataclass

from . import _native as n

_FORMAT_NAMES = {n.ORU_QCOW: "qcow2", n.ORU_RAW: "raw", n.ORU_LUKS: "luks"}


@dataclass(frozen=True)
class VolumeInfo:
    """Facts about an open volume.

    ``size`` is in bytes, exact (a raw file need not be a multiple of 512;
    on LUKS volumes it counts from the end of the header region).
    ``cluster_size`` is the qcow2 cluster size of the active layer, 0 for
    other formats. ``flags`` holds the library's ORU_INFO_* bits, also
    offered one by one as properties.
    """

    format: str
    size: int
    cluster_size: int
    min_block_size: int
    preferred_block_size: int
    max_request_bytes: int
    flags: int

    @property
    def read_only(self) -> bool:
        return bool(self.flags & n.ORU_INFO_READ_ONLY)

    @property
    def fast_zero(self) -> bool:
        """Whether :meth:`Volume.zero` costs about nothing per byte."""
        return bool(self.flags & n.ORU_INFO_FAST_ZERO)

    @property
    def can_flush(self) -> bool:
        """Whether the transport has a flush of its own (else every write
        is durable as it returns)."""
        return bool(self.flags & n.ORU_INFO_CAN_FLUSH)

    @property
    def extents(self) -> bool:
        """Whether :meth:`Volume.extents` tells holes from data."""
        return bool(self.flags & n.ORU_INFO_EXTENTS)


def from_native(info: n.Info) -> VolumeInfo:
    return VolumeInfo(format=_FORMAT_NAMES.get(info.format, f"format {info.format}"),
                      size=info.capacity, cluster_size=info.clusterSize,
                      min_block_size=info.minBlockSize,
                      preferred_block_size=info.preferredBlockSize,
                      max_request_bytes=info.maxRequestBytes, flags=info.flags)
