"""Output files that appear whole or not at all.

Every file corlap writes is first written to a temporary file beside its
target (same directory, so same file system) and renamed over the target
only when the whole job succeeded: a failed or interrupted run leaves no
partial file, and an existing file of that name untouched.
"""

from __future__ import annotations

import os
import secrets

__all__ = ["temporary_beside", "open_beside", "commit", "discard"]


def open_beside(target: str, buffering: int = -1):
    """Create a new, empty, hidden file in the directory of ``target``;
    return its path and the file, open for binary writing.  It gets the
    permissions the umask gives an ordinary new file (``tempfile.mkstemp``
    would give 0600).  The file is not opened again with truncation: ext4
    flushes a file truncated to zero to disk when it is closed."""
    directory, name = os.path.split(os.fspath(target))
    for _ in range(100):
        temporary = os.path.join(directory or ".", f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        return temporary, open(descriptor, "wb", buffering=buffering)
    raise FileExistsError(f"no free temporary name beside {target!r}")


def temporary_beside(target: str) -> str:
    """Create a new, empty, hidden file in the directory of ``target`` and
    return its path."""
    temporary, stream = open_beside(target)
    stream.close()
    return temporary


def commit(temporary: str, target: str) -> None:
    """Rename the finished temporary file over ``target`` (atomic on POSIX)."""
    os.replace(temporary, target)


def discard(temporary: str) -> None:
    """Remove a temporary file that will not be committed, if it is there."""
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass
