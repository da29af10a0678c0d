"""What a run leaves on the machine, and what a killed run leaves behind.

A run keeps its shared files (the dinucleotide memo's table) in a private
directory ``corlap-run-<random>``, in memory (/dev/shm) where there is room.
The run holds an exclusive lock (``_output.lock_exclusive``, which NFS
carries too) on the file ``lock`` inside it for as long as it lives; the
kernel drops that lock whatever ends the process, ``kill -9`` included.  So a directory whose lock anyone can take belongs
to a run that is gone, and the next run removes it: nothing else would.

The command line's processes and their stop are in ``corlap._lifecycle``.
"""

from __future__ import annotations

import contextlib
import errno
import os
import platform
import shutil
import socket
import stat
import sys
import tempfile
import time
from collections.abc import Iterator

from corlap._output import lock_exclusive, lock_if_free

__all__ = ["RUN_PREFIX", "run_directory", "sweep_run_directories", "locked_run_directory",
           "machine_identity", "tune_allocator"]

RUN_PREFIX = "corlap-run-"
LOCK_NAME = "lock"
# Free space /dev/shm needs to hold a run's directory (a table of
# dinucleotide scores of up to 128 MiB) with room to spare.
SHM_ROOM = 1 << 30
SHM = "/dev/shm"
# A run directory without its lock file is one being made (mkdtemp, then
# the lock file a moment later) or one whose run died in between.  Only
# the second kind is this old.
UNLOCKED_GRACE = 60.0


# --- run directories ----------------------------------------------------------

def _shm_has_room() -> bool:
    try:
        if not os.access(SHM, os.W_OK | os.X_OK):
            return False
        status = os.statvfs(SHM)
    except OSError:
        return False
    return status.f_bavail * status.f_frsize >= SHM_ROOM


def _places() -> list[str]:
    """Where run directories are made: /dev/shm (when it is there) and the
    system's temporary directory."""
    places = [SHM] if os.path.isdir(SHM) else []
    temporary = tempfile.gettempdir()
    if os.path.realpath(temporary) not in map(os.path.realpath, places):
        places.append(temporary)
    return places


def _newest_change(path: str) -> float:
    """The latest modification time of a directory and its entries."""
    newest = os.stat(path, follow_symlinks=False).st_mtime
    with contextlib.suppress(OSError), os.scandir(path) as entries:
        for entry in entries:
            with contextlib.suppress(OSError):
                newest = max(newest, entry.stat(follow_symlinks=False).st_mtime)
    return newest


def sweep_run_directories(place: str) -> list[str]:
    """Remove the run directories of this user in ``place`` whose runs are
    gone; return their paths.  A directory whose lock is held is never
    touched."""
    removed = []
    try:
        entries = list(os.scandir(place))
    except OSError:
        return removed
    for entry in entries:
        if not entry.name.startswith(RUN_PREFIX):
            continue
        try:
            status = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.getuid():
            continue
        lock = lock_if_free(os.path.join(entry.path, LOCK_NAME))
        if lock is None:
            try:
                if os.path.lexists(os.path.join(entry.path, LOCK_NAME)):
                    continue        # locked: its run lives
                if time.time() - _newest_change(entry.path) < UNLOCKED_GRACE:
                    continue
            except OSError:
                continue
        try:
            shutil.rmtree(entry.path, ignore_errors=True)
        finally:
            if lock is not None:
                os.close(lock)
        if not os.path.lexists(entry.path):
            removed.append(entry.path)
    return removed


def _locked_directory(place: str) -> tuple[str, int]:
    """A new run directory in ``place`` and the descriptor holding its lock."""
    for _ in range(100):
        path = tempfile.mkdtemp(prefix=RUN_PREFIX, dir=place)
        try:
            descriptor = os.open(os.path.join(path, LOCK_NAME),
                                 os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                                 | os.O_CLOEXEC, 0o600)
        except OSError:
            shutil.rmtree(path, ignore_errors=True)
            raise
        try:
            lock_exclusive(descriptor, wait=True)
        except BaseException:
            os.close(descriptor)
            shutil.rmtree(path, ignore_errors=True)
            raise
        # Between its creation and the lock, another run's sweep could
        # take the lock and remove the directory (it only does so for a
        # directory a minute old, but the clock may jump): start again.
        if os.fstat(descriptor).st_nlink > 0:
            return path, descriptor
        os.close(descriptor)
        shutil.rmtree(path, ignore_errors=True)
    raise FileExistsError(errno.EEXIST, "no run directory could be made", place)


@contextlib.contextmanager
def run_directory() -> Iterator[str]:
    """A new private directory for one run, locked while the run lives and
    removed when it ends.  In /dev/shm when that has room (containers
    often give it 64 MB), else in the system's temporary directory.  The
    directories of runs that died are removed first, from both places."""
    for place in _places():
        sweep_run_directories(place)
    place = SHM if _shm_has_room() else tempfile.gettempdir()
    path, lock = _locked_directory(place)
    try:
        yield path
    finally:
        # Removed while still locked, so that no sweep can race with it.
        try:
            shutil.rmtree(path, ignore_errors=True)
        finally:
            os.close(lock)


def locked_run_directory(place: str) -> tuple[str, int]:
    """A new run directory in ``place`` that lasts until it is removed (or
    the process ends), and the descriptor holding its lock; the directories
    of runs that died are removed from ``place`` first."""
    sweep_run_directories(place)
    return _locked_directory(place)


def machine_identity() -> str:
    """A name of this machine as it runs now: the host name and, on Linux,
    the boot id, so that two containers or hosts sharing a name are still
    told apart, as is the same machine after a reboot."""
    host = socket.gethostname()
    try:
        with open("/proc/sys/kernel/random/boot_id") as stream:
            boot = stream.read().strip()
    except OSError:
        return host
    return f"{host}/{boot}" if boot else host


# --- the command line's worker processes ------------------------------------

_tuned_pid = None


def tune_allocator() -> None:
    """Once per process: let the C library keep freed memory for reuse.

    A task allocates and frees some ten arrays of several MB.  glibc
    returns such blocks to the system on free (and Dask's workers ask it
    to return everything above 64 KiB), so each task paid again for fresh
    zeroed pages: a quarter to a third of its time.  Blocks below 64 MiB now
    come from the heap, which keeps up to 256 MiB of free memory: a
    worker's memory stays near its peak instead of dropping between tasks.
    That is a setting of the whole process, so only processes that corlap
    started for itself get it.
    """
    global _tuned_pid
    if _tuned_pid == os.getpid():
        return
    _tuned_pid = os.getpid()
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes
        libc = ctypes.CDLL(None)
        if platform.libc_ver()[0] != "glibc":
            return
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 64 << 20)
    mallopt(m_trim_threshold, 256 << 20)
