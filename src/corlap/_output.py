"""Output files that appear whole or not at all.

Every file corlap writes is first written to a temporary file beside its
target (same directory, so same file system) and renamed over the target
only when the whole job succeeded: a failed or interrupted run leaves no
partial file, and an existing file of that name untouched.

A run that is killed cannot remove its temporaries, so each one is locked
(``lock_exclusive``) by the process that made it until it is committed or
discarded; the kernel drops the lock when that process dies, and
``sweep_beside`` removes the temporaries whose lock is free.  Files that
belong to a temporary (a bigWig's zoom levels) are named after it,
``<temporary>.<suffix>``, made after it and removed before it goes.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import os
import re
import secrets
import stat
import struct
import threading

__all__ = ["temporary_beside", "open_beside", "commit", "commit_all", "naming", "discard", "discard_beside",
           "sweep_beside", "target_of", "lock_exclusive", "lock_if_free"]

# Open file description locks (Linux 3.15 on): byte-range locks, which NFS
# carries to its server, that belong to the open file as flock's do (a
# second descriptor of the same file closing in this process does not
# drop them, and two of them conflict within one process).
_OFD_SET = getattr(fcntl, "F_OFD_SETLK", None)
_OFD_WAIT = getattr(fcntl, "F_OFD_SETLKW", None)

# Temporaries of this process -> descriptors holding their locks.
_held: dict[str, int] = {}
_held_lock = threading.Lock()
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.[0-9a-f]{8}\.tmp")


class _Stream(io.BufferedWriter):
    """A buffered file whose write errors name the file (the C library's
    write, ENOSPC or EFBIG, does not)."""

    def __init__(self, raw, buffer_size: int, path: str):
        super().__init__(raw, buffer_size)
        self._path = path

    def _named(self, error: OSError) -> OSError:
        if error.filename is not None or error.errno is None:
            return error
        return OSError(error.errno, error.strerror or os.strerror(error.errno), self._path)

    def write(self, data):
        try:
            return super().write(data)
        except OSError as error:
            raise self._named(error) from None

    def flush(self):
        try:
            return super().flush()
        except OSError as error:
            raise self._named(error) from None

    def close(self):
        try:
            return super().close()
        except OSError as error:
            raise self._named(error) from None


def open_beside(target: str, buffering: int = -1):
    """Create a new, empty, hidden file in the directory of ``target``;
    return its path and the file, open for binary writing.  It gets the
    permissions the umask gives an ordinary new file (``tempfile.mkstemp``
    would give 0600).  The file is not opened again with truncation: ext4
    flushes a file truncated to zero to disk when it is closed.  It stays
    locked until ``commit`` or ``discard``, even once the file is closed;
    write errors name it."""
    directory, name = os.path.split(os.fspath(target))
    for _ in range(100):
        temporary = os.path.join(directory or ".", f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                                 0o666)
        except FileExistsError:
            continue
        holder = None
        try:
            # A second descriptor holds the lock, so that it outlives the
            # returned file until commit or discard (a lock belongs to the
            # open file, not to one descriptor).
            holder = os.dup(descriptor)
            lock_exclusive(holder, wait=True)
            swept = os.fstat(holder).st_nlink == 0
        except BaseException:
            # (Ctrl-C too: a file nobody knows of would stay until the
            # next run.)
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            os.close(descriptor)
            if holder is not None:
                os.close(holder)
            raise
        if swept:
            # Another run's sweep took it between its creation and the
            # lock, and removed it: try another name.
            os.close(descriptor)
            os.close(holder)
            continue
        with _held_lock:
            _held[temporary] = holder
        if buffering == 0:
            return temporary, open(descriptor, "wb", buffering=0)
        size = buffering if buffering > 1 else io.DEFAULT_BUFFER_SIZE
        return temporary, _Stream(io.FileIO(descriptor, "wb"), size, temporary)
    raise FileExistsError(f"no free temporary name beside {target!r}")


def temporary_beside(target: str) -> str:
    """Create a new, empty, hidden file in the directory of ``target`` and
    return its path; it stays locked until ``commit`` or ``discard``."""
    temporary, stream = open_beside(target)
    stream.close()
    return temporary


def _release(temporary: str) -> None:
    with _held_lock:
        holder = _held.pop(temporary, None)
    if holder is not None:
        os.close(holder)


def commit(temporary: str, target: str) -> None:
    """Rename the finished temporary file over ``target`` (atomic on POSIX),
    its contents on disk first, so that a crash of the machine cannot
    leave a renamed file whose data never arrived; the rename itself on
    disk after."""
    commit_all([(temporary, target)])


def commit_all(pairs, held=contextlib.nullcontext) -> None:
    """Commit (temporary, target) ``pairs`` as one set.  Every temporary's
    contents go to disk first: an error or a stop meanwhile leaves every
    target as it was.  Then all of them are renamed and their directories
    synced inside ``held()``, a context in which stops wait (the command
    line's), so that a stop can never leave one target new and another
    one of an earlier run; a stop taken at its end carries the targets,
    all in place, as ``written``.  Errors name the target, not its
    temporary."""
    pairs = list(pairs)
    try:
        for temporary, target in pairs:
            with naming(target):
                _sync(temporary)
        renamed = False
        try:
            with held():
                # Still locked while renamed: a sweep must not take them
                # meanwhile.
                for temporary, target in pairs:
                    with naming(target):
                        os.replace(temporary, target)
                for directory in dict.fromkeys(os.path.dirname(os.fspath(target)) or "."
                                               for _, target in pairs):
                    _sync_directory(directory)
                renamed = True
        except KeyboardInterrupt as stop:
            if renamed:
                # A stop held back until the set was in place: whole.
                stop.written = tuple(os.fspath(target) for _, target in pairs)
            raise
    finally:
        for temporary, _ in pairs:
            _release(temporary)


@contextlib.contextmanager
def naming(target):
    """I/O errors meanwhile name ``target``, not the hidden temporary
    beside it (and writes through a descriptor, which name no file)."""
    try:
        yield
    except OSError as error:
        if error.errno is None or error.filename == target:
            raise
        raise OSError(error.errno, error.strerror or os.strerror(error.errno),
                      target) from error


def _sync(temporary: str) -> None:
    with _held_lock:
        holder = _held.get(temporary)
    if holder is not None:
        os.fsync(holder)
        return
    descriptor = os.open(temporary, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _sync_directory(directory: str) -> None:
    try:
        descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass        # some file systems cannot sync a directory
    finally:
        os.close(descriptor)


def discard(temporary: str) -> None:
    """Remove a temporary file that will not be committed, if it is there."""
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass
    finally:
        _release(temporary)


def discard_beside(target) -> list[str]:
    """Remove every temporary of ``target`` that this process made and
    neither committed nor discarded, with the files belonging to it;
    return their paths.  After a failed or interrupted run, that catches
    a temporary made a moment before the interrupt, before its writer
    could keep track of it."""
    target = os.path.abspath(os.fspath(target))
    with _held_lock:
        mine = [path for path in _held if os.path.abspath(target_of(path) or "") == target]
    removed = []
    for temporary in mine:
        directory, name = os.path.split(temporary)
        try:
            belonging = [entry for entry in os.listdir(directory or ".")
                         if entry.startswith(name + ".")]
        except OSError:
            belonging = []
        for entry in belonging:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(directory, entry))
                removed.append(os.path.join(directory, entry))
        if os.path.lexists(temporary):
            removed.append(temporary)
        discard(temporary)
    return removed


def target_of(path: str) -> str | None:
    """The target whose temporary (or file belonging to one) ``path`` is,
    or None for any other path."""
    directory, name = os.path.split(os.fspath(path))
    found = _TEMPORARY.match(name)
    if found is None or (found.end() < len(name) and name[found.end()] != "."):
        return None
    return os.path.join(directory, found.group("name"))


def _whole_file(kind: int) -> bytes:
    # struct flock of 64-bit Linux: l_type, l_whence, l_start, l_len, l_pid
    # (0, as open file description locks require), padded to 32 bytes.
    return struct.pack("hhqqi4x", kind, os.SEEK_SET, 0, 0, 0)


def lock_exclusive(descriptor: int, wait: bool) -> None:
    """Lock the whole file of ``descriptor`` for this open file, waiting
    for it or raising BlockingIOError (or PermissionError) when someone
    holds it.  Two locks, both released when the last descriptor of the
    open file closes, whatever ends the process: an open file description
    lock, which works on NFS as on local disks but needs ``descriptor``
    open for writing, and ``flock``, which older runs took and still test.
    (NFS emulates flock with the same byte-range lock, and both belong to
    the same open file there, so they do not conflict with each other.)"""
    if _OFD_SET is not None and fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_ACCMODE:
        try:
            fcntl.fcntl(descriptor, _OFD_WAIT if wait else _OFD_SET,
                        _whole_file(fcntl.F_WRLCK))
        except OSError as error:
            if error.errno not in (errno.EINVAL, errno.ENOSYS):
                raise           # EINVAL: a kernel before 3.15; flock alone then
    fcntl.flock(descriptor, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))


def lock_if_free(path: str) -> int | None:
    """A descriptor holding the exclusive lock of ``path`` (a regular file
    of this user that is still there under that name), or None: the lock is
    held by someone else (a live run), or the file is not there, not ours
    or not a regular file."""
    flags = os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
    try:
        # Open for writing: NFS refuses a byte-range write lock otherwise,
        # and every leftover would then count as held.
        descriptor = os.open(path, os.O_WRONLY | flags)
    except PermissionError:
        # A file its own user may not write (an odd umask): flock still
        # tells a live holder on a local disk.
        try:
            descriptor = os.open(path, os.O_RDONLY | flags)
        except OSError:
            return None
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode) or status.st_uid != os.getuid():
            raise BlockingIOError
        lock_exclusive(descriptor, wait=False)
        # Committed (renamed) by its run before the lock was let go.
        now = os.stat(path, follow_symlinks=False)
        if (now.st_dev, now.st_ino) != (status.st_dev, status.st_ino):
            raise BlockingIOError
    except OSError:
        os.close(descriptor)
        return None
    return descriptor


def sweep_beside(target) -> list[str]:
    """Remove the temporaries of ``target`` (and the files belonging to
    them) that runs which are gone left beside it; return their paths.  A
    temporary whose lock is held, by a run of this or any other process,
    is never touched."""
    directory, name = os.path.split(os.fspath(target))
    directory = directory or "."
    pattern = re.compile(re.escape(f".{name}.") + r"[0-9a-f]{8}\.tmp")
    try:
        entries = os.listdir(directory)
    except OSError:
        return []
    temporaries, belonging = set(), []
    for entry in entries:
        found = pattern.match(entry)
        if found is None:
            continue
        if found.end() == len(entry):
            temporaries.add(entry)
        elif entry[found.end()] == ".":
            belonging.append((entry[:found.end()], entry))
    removed = []

    def remove(entry: str) -> None:
        path = os.path.join(directory, entry)
        try:
            if os.lstat(path).st_uid != os.getuid():
                return
            os.unlink(path)
        except OSError:
            return
        removed.append(path)

    for temporary in sorted(temporaries):
        lock = lock_if_free(os.path.join(directory, temporary))
        if lock is None:
            continue
        try:
            for owner, entry in belonging:
                if owner == temporary:
                    remove(entry)
            remove(temporary)
        finally:
            os.close(lock)
    # Files whose temporary is gone: a run makes them after its temporary
    # and removes them before it, so their run died in between.
    for owner, entry in belonging:
        if owner not in temporaries and not os.path.lexists(os.path.join(directory, owner)):
            remove(entry)
    return removed
