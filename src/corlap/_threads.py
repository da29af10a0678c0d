"""The thread pools of the numerical libraries under NumPy (OpenBLAS,
OpenMP): one thread each wherever tasks run.  The tasks never do linear
algebra, and idle library threads spinning beside the workers only take
CPU from them."""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator

_ONE_THREAD = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}

_lock = threading.Lock()
_controller = None
_users = 0
_limit = None


@contextlib.contextmanager
def one_thread_in_children() -> Iterator[None]:
    """Processes started meanwhile (the command's forkserver, and through
    it its workers) load the libraries with one thread each; this
    process's environment is put back afterwards."""
    saved = {name: os.environ.get(name) for name in _ONE_THREAD}
    os.environ.update(_ONE_THREAD)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _already_one() -> bool:
    return all(os.environ.get(name) == "1" for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"))


@contextlib.contextmanager
def one_thread() -> Iterator[None]:
    """Meanwhile, the libraries' pools of this process hold one thread (a
    task in an executor the user owns).  Tasks may run in several threads
    at once: the first one in sets the limit, the last one out puts the
    libraries back as they were.  Nothing to do where the environment
    already asked for one thread (the command's workers, Dask's)."""
    global _controller, _users, _limit
    if _already_one():
        yield
        return
    with _lock:
        if _users == 0:
            if _controller is None:
                from threadpoolctl import ThreadpoolController
                _controller = ThreadpoolController()
            _limit = _controller.limit(limits=1)
        _users += 1
    try:
        yield
    finally:
        with _lock:
            _users -= 1
            if _users == 0:
                _limit.restore_original_limits()
                _limit = None
