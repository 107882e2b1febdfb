"""Remote volumes of the platform: a management connection and the volumes
opened through it."""

from __future__ import annotations

import ctypes
import warnings
from typing import Optional

from . import _native as n
from ._volume import Volume, format_code, open_flag, _text

_ACCESS_KEY_PREFIX = "ORU "


class Connection:
    """A login to the platform's management server. Use it as a context
    manager, or call :meth:`close` (which logs out)."""

    def __init__(self, server: str, user: str, password: Optional[str],
                 access_key: Optional[str]) -> None:
        if (password is None) == (access_key is None):
            raise ValueError("pass exactly one of password and access_key")
        self.server = server
        self._handle = ctypes.c_void_p()
        if access_key is not None and not access_key.startswith(_ACCESS_KEY_PREFIX):
            # The library takes the key in its authorization form.
            access_key = _ACCESS_KEY_PREFIX + access_key
        params = n.ConnectParams(_text(server), _text(user), _text(password), _text(access_key))
        call = n.lib.oruDiskLib_Set_AK if access_key is not None else n.lib.oruDiskLib_Connect
        rc = call(params, ctypes.byref(self._handle))
        if rc != n.ORU_OK:
            self._handle = ctypes.c_void_p()  # a failed login hands back nothing
            n.check(rc, f"cannot log in to {server}")

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Logs out (or forgets the access key). Idempotent."""
        if self._handle.value:
            rc = n.lib.oruDiskLib_DisConnect(self._handle)
            self._handle = ctypes.c_void_p()
            n.check(rc, f"logging out of {self.server} failed")

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        try:
            if handle is not None and handle.value:
                n.lib.oruDiskLib_DisConnect(handle)
        except Exception:
            pass  # at interpreter exit the library may already be gone


def connect(server: str, user: str, password: Optional[str] = None,
            access_key: Optional[str] = None) -> Connection:
    """Logs in to the management server with a password, or builds a
    connection from an access key ("<id>:<secret>" or "ORU <id>:<secret>")."""
    return Connection(server, user, password, access_key)


def open_remote(conn: Connection, *, uuid: str, format: str, datastore: Optional[str] = None,
                path: Optional[str] = None, transport: str = "nbd", mode: str = "r",
                target_url: Optional[str] = None, initiator: Optional[str] = None,
                size: Optional[int] = None) -> Volume:
    """Opens a remote volume through a connection: over NBD ("nbd") or, with
    an iSCSI target_url, over iSCSI ("lanfree"). Its size comes from the
    library; size is accepted for older callers and ignored."""
    if transport not in ("nbd", "lanfree"):
        raise ValueError(f"unknown transport {transport!r}: expected 'nbd' or 'lanfree'")
    if not conn._handle.value:
        raise ValueError("the connection is closed")
    open_flag(mode)
    if size is not None:
        warnings.warn("open_remote(size=) is ignored: the volume's size comes from the library",
                      DeprecationWarning, stacklevel=2)
    texts = {"path": _text(path), "uuid": _text(uuid), "datastore": _text(datastore),
             "target_url": _text(target_url), "initiator": _text(initiator)}
    return Volume(f"{uuid} on {conn.server}", texts, format_code(format), mode, remote=True,
                  transport=transport, connection=conn)
