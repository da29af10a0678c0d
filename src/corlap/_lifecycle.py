"""The command line's life as a set of processes: its stop signals, its
worker pool and forkserver, and what it leaves of multiprocessing when it
ends.

A terminal sends Ctrl-C (and a closing terminal SIGHUP) to every process of
the foreground group, not to the command alone.  So only the main process
acts on a stop: the resource tracker, the forkserver and the workers are
started with the stop signals blocked, inherit that mask (through exec,
and through the forkserver's forks), and never see them; the main process
stops the workers itself, then removes the run's files, then exits with
128 + the signal's number.

Over a run the main process takes stop signals in three ways:

- from the console script's first statement until the command's own
  handler is in place (``stop_at_once``): nothing exists yet that would
  need removing, so the process prints the run's one line and ends there;
- during the command (``catch_stops``): the first stop raises ``Stopped``
  (a ``KeyboardInterrupt``) in the main thread, and later ones are let be,
  so that they cannot cut short the removal of the run's temporaries;
  inside ``held()`` a stop waits for the end of the block, so that none
  lands between a child's start and the pool's record of it;
- once the outputs are in place (``stops_over``): the run has succeeded,
  and stops are let be.

The few CPython internals this needs, where Python 3.13 has no public way,
are read in ``_Internals`` alone, without defaults: a Python that changes
them fails loudly there (and in the test that reads them).
"""

from __future__ import annotations

import contextlib
import errno
import os
import signal
import sys

# threading and time are imported where they are used: the console script
# imports this module first, and a stop is handled once it is in place.

__all__ = ["STOP_SIGNALS", "CLOSED_PIPE_STATUS", "Stopped", "catch_stops", "release_stops",
           "stops_over", "held", "stop_at_once", "interrupted_line", "closed_pipe",
           "start_forkserver",
           "WorkerPool", "guard_worker", "die_with_parent", "keep_multiprocessing_files",
           "remove_multiprocessing_files", "release_at_exit"]

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))
# The status of a process that SIGPIPE stopped, as shells report it: what
# a pipeline with `set -o pipefail` expects of a reader that went away.
CLOSED_PIPE_STATUS = 128 + getattr(signal, "SIGPIPE", 13)
PROGRAM = "corlap"
COMMANDS = ("train", "score", "correct", "inspect", "footprints")
# How long the workers of a stopped pool get to end, in all, after SIGKILL.
WORKER_GRACE = 5.0
# How often a worker looks whether the process it works for still lives.
WATCH_INTERVAL = 1.0


class Stopped(KeyboardInterrupt):
    """A stop signal: the run ends as for Ctrl-C, with exit status 128 + the
    signal's number."""

    # The outputs that were all in place when the stop was taken (it was
    # held back until they were).
    written: tuple[str, ...] = ()

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


# --- stop signals in the main process ----------------------------------------

class _Stops:
    """Where a run stands with stop signals.  Python runs signal handlers in
    the main thread only, and only that thread changes this."""

    def __init__(self) -> None:
        self.raised: int | None = None     # the stop that ended the run
        self.pending: int | None = None    # a stop that came inside held()
        self.held = 0
        self.over = False                  # the run's outcome is settled
        self.resender = None               # sends a dropped stop again
        self.waker = None                  # wakes a main thread stuck in a call


_stops = _Stops()


def _raise_stop(signum: int) -> None:
    _stops.raised = signum
    raise Stopped(signum)


def stop_raised() -> "Stopped | None":
    """The stop that ended the run, where code between its handler and the
    caller (a C extension's import, say) turned it into another error."""
    return None if _stops.raised is None else Stopped(_stops.raised)


def _on_stop(signum, frame) -> None:
    if _stops.over or _stops.raised is not None:
        return
    if _stops.held:
        if _stops.pending is None:
            _stops.pending = signum
        return
    _raise_stop(signum)


def _swallowed(unraisable) -> None:
    """Python drops an exception raised where it cannot get out (a weakref
    callback, a ``__del__``), and a stop raised there would be lost: it is
    sent again instead, to be raised where the run takes it."""
    stop = unraisable.exc_value
    if isinstance(stop, Stopped) and _stops.raised == stop.signum:
        import threading

        _stops.raised = None
        # Sent from this thread, the signal's handler would run at once,
        # inside this hook, and be dropped again.
        _stops.held += 1
        try:
            if _stops.resender is None or not _stops.resender.is_alive():
                _stops.resender = threading.Thread(
                    target=_send_again, args=(_stops, stop.signum), daemon=True)
                _stops.resender.start()
        finally:
            _stops.held -= 1
        return
    _hooks["unraisable"](unraisable)


def _send_again(stops: _Stops, signum: int) -> None:
    import threading
    import time

    # Until the main thread has taken it (it may be inside held() a while).
    # To that thread: the signal wakes it wherever it waits.
    main = threading.main_thread().ident
    while not stops.over and stops.raised is None:
        time.sleep(0.01)
        if not stops.held:
            signal.pthread_kill(main, signum)


_hooks: dict = {}


class _Waker:
    """A stop signal may land in any thread of the process; Python then only
    notes it, and a main thread blocked in a system call (a write to a pipe
    whose reader stalls) would never run the handler.  The signal's number
    also reaches this thread through the wakeup descriptor; if the main
    thread has not taken the stop shortly after, the signal is sent again
    to that thread itself, which interrupts the call."""

    def __init__(self, stops: _Stops):
        import threading

        self._stops = stops
        self._read, self._write = os.pipe()
        os.set_blocking(self._write, False)
        self._previous = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
        self._thread = threading.Thread(target=self._watch, daemon=True, name="stop-waker")
        self._thread.start()

    def _watch(self) -> None:
        import threading
        import time

        main = threading.main_thread().ident
        while True:
            try:
                data = os.read(self._read, 64)
            except OSError:
                return
            if not data:
                return
            signum = data[-1]
            if signum not in STOP_SIGNALS:
                continue
            deadline = time.monotonic() + 0.2
            while not self._stops.over and self._stops.raised is None:
                if time.monotonic() >= deadline and not self._stops.held:
                    with contextlib.suppress(OSError, ValueError):
                        signal.pthread_kill(main, signum)
                    deadline = time.monotonic() + 0.2
                time.sleep(0.01)

    def close(self) -> None:
        signal.set_wakeup_fd(self._previous)
        os.close(self._write)
        self._thread.join(timeout=1)
        os.close(self._read)


def catch_stops() -> dict:
    """Install the handlers of a run; return the ones they replace."""
    global _stops
    if _stops.waker is not None:
        _stops.waker.close()
    _stops = _Stops()
    if sys.unraisablehook is not _swallowed:
        _hooks["unraisable"] = sys.unraisablehook
        sys.unraisablehook = _swallowed
    previous = {}
    for signum in STOP_SIGNALS:
        # Left ignored when ignored on purpose (nohup, or Ctrl-C in a
        # background job of a shell without job control).
        handler = signal.getsignal(signum)
        if handler is not None and handler is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, _on_stop)
    if previous:
        _stops.waker = _Waker(_stops)
    if hasattr(signal, "SIGXFSZ"):
        # Past the file-size limit a write fails with EFBIG, reported like
        # a full disk, instead of the signal killing the process.
        previous[signal.SIGXFSZ] = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return previous


def stops_over() -> None:
    """The run's outcome is settled (its outputs are in place, or it failed
    and says so): later stops are let be."""
    _stops.over = True


def release_stops(previous: dict) -> None:
    """End of a run: later stops are let be, and a caller of the command (a
    test, a script) gets its own handlers back."""
    stops_over()
    if _stops.resender is not None:
        # It stops now; what it sent last reaches this run's handler (which
        # lets it be) while this thread waits, not the caller's.
        _stops.resender.join()
    if _stops.waker is not None:
        _stops.waker.close()
        _stops.waker = None
    for signum, handler in previous.items():
        if handler is not None:
            signal.signal(signum, handler)
    if sys.unraisablehook is _swallowed:
        sys.unraisablehook = _hooks.pop("unraisable")


def _block_stops() -> object:
    return signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)


@contextlib.contextmanager
def held():
    """Stops wait until the block is left, and then end the run as they
    would have.  Children started meanwhile inherit the stop signals
    blocked: a child of the main thread keeps its mask through exec."""
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield               # stops never run here, and its mask is its own
        return
    _stops.held += 1
    mask = _block_stops()
    try:
        yield
    finally:
        _stops.held -= 1
        # A stop blocked meanwhile is delivered now, and its handler runs
        # here or at the next instruction: either way, once.
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        if not _stops.held and _stops.pending is not None:
            signum, _stops.pending = _stops.pending, None
            if not _stops.over and _stops.raised is None:
                _raise_stop(signum)


def interrupted_line(command: str | None, signum: int, what: str) -> str:
    """The one line of a stopped run."""
    said = f"{PROGRAM} {command}" if command else PROGRAM
    by = "" if signum == signal.SIGINT else f" by {signal.Signals(signum).name}"
    return f"{said}: interrupted{by}; {what}"


def _stop_at_once_handler(signum, frame) -> None:
    if _stops.over:
        return
    command = next((word for word in sys.argv[1:] if word in COMMANDS), None)
    with contextlib.suppress(OSError):
        os.write(2, (interrupted_line(command, signum, "no output written") + "\n").encode())
    remove_multiprocessing_files()
    os._exit(128 + signum)


def stop_at_once() -> None:
    """Until the command's handlers are in place, a stop ends the process
    at once, with the run's one line and status: nothing exists yet that
    would need removing."""
    global _stops
    _stops = _Stops()
    for signum in STOP_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _stop_at_once_handler)


def closed_pipe(error: BaseException) -> bool:
    """Whether ``error`` says that the reader of a pipe we write to went
    away (``corlap score --forward - | head``)."""
    return isinstance(error, OSError) and error.errno == errno.EPIPE


# --- the forkserver and the worker pool ---------------------------------------

PRELOAD = ["corlap._die_with_parent", "corlap.tracks", "corlap.correct", "corlap.footprints"]


def start_forkserver():
    """The forkserver context, its server started (once per process) with
    the library preloaded, and tied to this process first of all: the
    server lives as long as any worker holds it open, and a worker whose
    server went away is killed.  The server and the resource tracker start
    with the stop signals blocked, and so do the workers it forks."""
    import multiprocessing
    import multiprocessing.forkserver
    import multiprocessing.resource_tracker

    from corlap._threads import one_thread_in_children

    with held(), one_thread_in_children():
        keep_multiprocessing_files()
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(PRELOAD)
        multiprocessing.resource_tracker.ensure_running()
        # The tracker's start unblocks SIGINT and SIGTERM in this thread
        # when it is done: the forkserver must not start so.
        _block_stops()
        multiprocessing.forkserver.ensure_running()
    return context


class WorkerPool:
    """The command line's own pool: ``workers`` processes of the forkserver
    that score while this process writes.  An executor as the engine uses
    one (``submit``) that can be stopped at any moment; stopping is the only
    way it ends.

    Workers ignore the stop signals (``guard_worker``); they are killed by
    this process once the run is over, and die with it, or with their
    forkserver, if it is killed."""

    def __init__(self, workers: int):
        import concurrent.futures
        import multiprocessing

        context = start_forkserver()
        # Workers are this process's multiprocessing children; those that
        # were there before belong to someone else (a caller of main).
        self._others = set(multiprocessing.active_children())
        with held():
            # The pool's semaphores are registered with the resource
            # tracker, and their removal at exit with multiprocessing,
            # during construction: a stop must not fall in between.
            self._executor = concurrent.futures.ProcessPoolExecutor(
                workers, mp_context=context, initializer=guard_worker,
                initargs=(os.getpid(),))

    def submit(self, fn, /, *args, **kwargs):
        # The pool starts a worker within a submission, and records it only
        # afterwards: a stop must not land in between.
        with held():
            return self._executor.submit(fn, *args, **kwargs)

    def stop(self) -> None:
        """Stop the workers first (chunks nobody will write are not waited
        for), then the pool: a worker still starting up must not outlive the
        queues it was about to attach to.  A few seconds at most, whatever
        the workers do.  The pool's own shutdown gets two seconds more; its
        thread can wait forever on the results of a worker killed halfway
        through sending one (``release_at_exit`` does not wait for it)."""
        import multiprocessing
        import threading
        import time

        with held():
            workers = [process for process in multiprocessing.active_children()
                       if process not in self._others]
            # A worker killed while it sends a result leaves half a message
            # in the pipe, and the pool's thread would wait for the rest as
            # long as any writer is open; this process's own copy of the
            # writer is never used.
            _Internals.result_writer(self._executor).close()
            for process in workers:
                process.kill()
            deadline = time.monotonic() + WORKER_GRACE
            for process in workers:
                process.join(timeout=max(0.0, deadline - time.monotonic()))
            closer = threading.Thread(target=self._executor.shutdown,
                                      kwargs={"cancel_futures": True}, daemon=True)
            closer.start()
            closer.join(timeout=2)


_PR_SET_PDEATHSIG = 1


def die_with_parent() -> bool:
    """Ask the kernel to SIGKILL this process when the thread that made it
    ends (Linux only); whether that was done."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def _started(pid: int) -> str | None:
    """When process ``pid`` started (clock ticks since boot, from /proc), or
    None when it is gone or a zombie.  Elsewhere: "" while it exists."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stream:
            fields = stream.read().rsplit(b")", 1)[1].split()
    except FileNotFoundError:
        return None
    except OSError:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return None
        except PermissionError:
            pass
        return ""
    # After the name: state, ppid, ... field 22 of the whole line is the
    # start time.
    if fields[0] in (b"Z", b"X"):
        return None
    return fields[19].decode()


def _watch(parent_pid: int, born: str | None, ppid: int) -> None:
    import time

    while True:
        time.sleep(WATCH_INTERVAL)
        # Gone, a zombie, or its number taken by a newer process; or the
        # forkserver in between died and this process was adopted.
        if _started(parent_pid) != born or os.getppid() != ppid:
            os._exit(1)


def guard_worker(parent_pid: int) -> None:
    """Initializer of the command line's own pool workers (never of a
    user's executor): the worker dies with its parent (the forkserver) and
    with the process ``parent_pid`` it works for, ignores the stop signals
    that its process group receives (the main process stops the run, and
    kills the workers) and SIGXFSZ (a write past the file-size limit fails
    with EFBIG instead of killing the worker), and lets the C library keep
    freed memory for its next task."""
    import threading

    from corlap._runs import tune_allocator

    ppid = os.getppid()
    die_with_parent()
    # Blocked since the worker was forked; a stop that came meanwhile is
    # dropped with the change to SIG_IGN.
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    if hasattr(signal, "SIGXFSZ"):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    born = _started(parent_pid)
    if born is None:
        os._exit(1)
    threading.Thread(target=_watch, args=(parent_pid, born, ppid),
                     name="corlap-parent-watch", daemon=True).start()
    tune_allocator()


# --- what multiprocessing leaves ----------------------------------------------

_multiprocessing_files: list[tuple[str, int]] = []


def keep_multiprocessing_files() -> None:
    """Have multiprocessing keep this process's files (the forkserver's
    socket) in a run directory of the system's temporary directory, locked
    while this process lives, instead of a ``pymp-*`` directory that only
    the interpreter's exit handlers remove: the command line leaves without
    them, and a killed run never runs them.  ``remove_multiprocessing_files``
    removes it at exit; after a kill, the next run's sweep does."""
    import tempfile

    from corlap._runs import locked_run_directory

    if _Internals.multiprocessing_directory() is not None:
        return              # already made: a pool ran in this process before
    path, lock = locked_run_directory(tempfile.gettempdir())
    _Internals.set_multiprocessing_directory(path)
    _multiprocessing_files.append((path, lock))


def remove_multiprocessing_files() -> None:
    """Remove the directory of ``keep_multiprocessing_files`` (the process
    is about to end)."""
    import shutil

    while _multiprocessing_files:
        path, lock = _multiprocessing_files.pop()
        try:
            shutil.rmtree(path, ignore_errors=True)
        finally:
            os.close(lock)


def release_at_exit() -> None:
    """What a normal exit would release before this process ends without
    one (the interpreter's exit handlers would join the pool's threads,
    which can wait forever on killed workers): the pool's named semaphores,
    else the resource tracker removes them once this process is gone and
    warns about each on stderr; and the files of multiprocessing.  Only the
    finalizers that exit runs first (those of priority 0 and up, which
    close and remove without waiting): the rest join the pool's threads."""
    import threading

    if "multiprocessing.util" in sys.modules:
        runner = threading.Thread(target=_Internals.run_exit_finalizers, daemon=True)
        runner.start()
        runner.join(timeout=1)
    with contextlib.suppress(OSError):
        remove_multiprocessing_files()


class _Internals:
    """The CPython internals (3.13) for which no public way exists, in one
    place.  Read without defaults: should a later Python rename one, the
    command fails here, and so does the test that reads each of them,
    instead of quietly leaving files, semaphores or a hung thread."""

    @staticmethod
    def result_writer(executor):
        """This process's end of the pipe on which a process pool's workers
        send their results."""
        return executor._result_queue._writer

    @staticmethod
    def run_exit_finalizers() -> None:
        """multiprocessing's finalizers that a normal exit runs first."""
        import multiprocessing.util

        multiprocessing.util._run_finalizers(0)

    @staticmethod
    def multiprocessing_directory() -> str | None:
        """Where multiprocessing keeps this process's files, once it chose."""
        import multiprocessing

        return multiprocessing.current_process()._config.get("tempdir")

    @staticmethod
    def set_multiprocessing_directory(path: str) -> None:
        import multiprocessing

        multiprocessing.current_process()._config["tempdir"] = path
