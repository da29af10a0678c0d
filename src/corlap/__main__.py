"""The corlap command line: ``corlap train`` and ``corlap score``.

Installed as the console script ``corlap``; also ``python -m corlap``.
Argument parsing and error reporting only: the work is done by
``corlap.training``, ``corlap.models`` and ``corlap.tracks``.  Errors a user
can cause print one line on stderr and exit with status 2; a file that
cannot be written (a full disk, the file-size limit) one line naming it,
status 1.  Ctrl-C, SIGTERM and SIGHUP exit with 128 + the signal's number
(130 for Ctrl-C) and leave no partial output.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import errno
import os
import signal
import sys

PROGRAM = "corlap"
MAX_CHUNK = 1_000_000_000
# Signals that stop a run as Ctrl-C does.
STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))
# Errors of a write that no retry will mend.
WRITE_ERRORS = frozenset(getattr(errno, name) for name in ("ENOSPC", "EFBIG", "EIO", "EDQUOT")
                         if hasattr(errno, name))


class UserError(Exception):
    """An error in the user's input: one line on stderr, exit status 2."""


class RunError(Exception):
    """A run that failed through no fault of the input: one line on
    stderr, exit status 1."""


class Stopped(KeyboardInterrupt):
    """A stop signal: the run ends as for Ctrl-C, with exit status 128 + the
    signal's number."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None


def _at_least_one(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _chunk_size(text: str) -> int:
    value = _at_least_one(text)
    if value > MAX_CHUNK:
        # The extension indexes sequences with 32-bit integers.
        raise argparse.ArgumentTypeError(f"must be at most {MAX_CHUNK}, got {value}")
    return value


def _non_negative(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Sequence-bias models: train from sites, score genomes.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train", help="train a PWM or DWM on the windows of sites",
        description="Count the windows centred on the sites of a BED file against "
                    "background windows, prepare the model and save it as .npz.")
    train.add_argument("--fasta", required=True, help="genome FASTA (plain or bgzip)")
    train.add_argument("--sites", required=True, metavar="BED",
                       help="sites: BED start is the window centre, column 6 the strand")
    train.add_argument("--type", required=True, choices=("PWM", "DWM"), dest="model_type")
    train.add_argument("--length", required=True, type=_at_least_one, metavar="L",
                       help="window length")
    train.add_argument("--out", required=True, metavar="MODEL.npz", help="model file to write")
    background = train.add_mutually_exclusive_group()
    background.add_argument("--background", type=_non_negative, metavar="N",
                            help="number of random background windows (default 10000)")
    background.add_argument("--background-bed", metavar="BED",
                            help="count the sites of this BED file as the background")
    train.add_argument("--seed", type=int, default=0,
                       help="seed of the background draws (default 0)")

    score = commands.add_parser(
        "score", help="write bias tracks of a genome as bigWig or bedGraph",
        description="Score every position of a genome (or of --regions) on the forward "
                    "and/or reverse strand.  .bw/.bigwig is written as bigWig, "
                    ".bedgraph/.bg as bedGraph.")
    score.add_argument("--fasta", required=True, help="genome FASTA (plain or bgzip)")
    score.add_argument("--model", required=True, metavar="MODEL.npz")
    score.add_argument("--forward", metavar="OUT", help="forward-strand track")
    score.add_argument("--reverse", metavar="OUT", help="reverse-strand track")
    score.add_argument("--regions", metavar="BED", help="score only these regions")
    engine = score.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=_at_least_one, metavar="N",
                        help="worker processes (default: the number of cores)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask distributed scheduler instead")
    score.add_argument("--chunk-size", type=_chunk_size, metavar="BP",
                       default=1_000_000, help="bases per task (default 1000000)")
    score.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


# --- shared input checks ----------------------------------------------------

def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        from corlap._output import target_of

        # A hidden temporary means nothing to the user: its target does.
        named = target_of(error.filename) if isinstance(error.filename, str) else None
        return f"{named or error.filename}: {error.strerror}"
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    return str(error)


def _genome(path: str) -> dict[str, int]:
    from corlap.utils.fasta import open_fasta

    try:
        with open_fasta(path) as fasta:
            return dict(zip(fasta.references, fasta.lengths))
    except (OSError, ValueError) as error:
        raise UserError(f"FASTA {_describe(error)}" if isinstance(error, OSError)
                        and error.filename else _describe(error)) from None


def _bed(path: str, lengths: dict[str, int]):
    from corlap.bed import BedError, read_bed

    try:
        return read_bed(path, lengths)
    except BedError as error:
        raise UserError(str(error)) from None
    except (OSError, UnicodeError) as error:
        raise UserError(f"cannot read BED file {path!r}: "
                        f"{getattr(error, 'strerror', None) or error}") from None


def _output(path: str, extensions=None) -> None:
    from corlap.tracks import check_output

    try:
        check_output(path, extensions)
    except ValueError as error:
        raise UserError(str(error)) from None


# --- commands -----------------------------------------------------------------

def run_train(args) -> int:
    from corlap.models import save_model
    from corlap.training import DEFAULT_BACKGROUND, train_model

    _output(args.out, {".npz"})
    lengths = _genome(args.fasta)
    sites = _bed(args.sites, lengths)
    background_sites = _bed(args.background_bed, lengths) if args.background_bed else None
    try:
        model, summary = train_model(
            args.fasta, sites, args.model_type, args.length,
            background=DEFAULT_BACKGROUND if args.background is None else args.background,
            background_sites=background_sites, seed=args.seed)
    except ValueError as error:
        raise UserError(str(error)) from None
    save_model(model, args.out)
    print(f"{PROGRAM} train: {summary.line()}; {args.model_type} of length {args.length} "
          f"written to {args.out}", file=sys.stderr)
    return 0


def _connect(address: str):
    """A Dask client of the scheduler at ``address``.  The scheduler is
    probed first, so that an unreachable one is reported (after
    distributed.comm.timeouts.connect, 30 s by default) without leaving a
    half-made Client behind."""
    try:
        import asyncio

        import dask
        from distributed import Client
        from distributed.comm import connect
        from dask.utils import parse_timedelta
    except ImportError:
        raise UserError("--scheduler needs Dask distributed: pip install 'corlap[dask]'") \
            from None
    timeout = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), "s")

    async def probe():
        comm = await connect(address, timeout=timeout)
        await comm.close()

    try:
        asyncio.run(probe())
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UserError(f"cannot reach the Dask scheduler at {address!r}: {reason}") from None
    return Client(address, set_as_default=False, timeout=timeout)


def run_score(args) -> int:
    if not args.scheduler:
        # The process the workers will fork from starts now and imports the
        # library while this process does the same.
        _start_forkserver()
    from corlap import tracks
    from corlap.models import ModelFileError

    if args.forward is None and args.reverse is None:
        raise UserError("give --forward OUT and/or --reverse OUT")
    for path in (args.forward, args.reverse):
        if path is not None:
            _output(path)
            try:
                tracks.output_format(path)
            except ValueError as error:
                raise UserError(str(error)) from None
    if (args.forward and args.reverse
            and os.path.abspath(args.forward) == os.path.abspath(args.reverse)):
        raise UserError(f"--forward and --reverse are the same file {args.forward!r}")
    lengths = _genome(args.fasta)
    try:
        model = tracks.ModelRef.of(args.model)
    except ModelFileError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot read model file {args.model!r}: "
                        f"{error.strerror or error}") from None
    regions = _bed(args.regions, lengths) if args.regions else None
    outputs = [path for path in (args.forward, args.reverse) if path is not None]
    from corlap._output import discard_beside, sweep_beside

    for path in outputs:
        # Temporaries of runs that were killed: nothing else removes them.
        sweep_beside(path)

    client = pool = None
    finished = False
    try:
        if args.scheduler:
            client = _connect(args.scheduler)
            executor = client.get_executor()
            slots = max(1, sum(client.nthreads().values()))
        else:
            workers = args.workers or os.cpu_count() or 1
            executor = pool = _new_pool(workers)
            _launch(pool)
            slots = workers
        tracks.write_tracks(
            args.fasta, model, forward=args.forward, reverse=args.reverse,
            regions=regions, executor=executor, chunk_size=args.chunk_size,
            max_in_flight=2 * slots + 1,
            progress=not args.quiet and sys.stderr.isatty())
        # The outputs are in place: a stop from now on must not say
        # otherwise, and the workers are stopped in seconds anyway.
        _hold_stops()
        finished = True
    except OSError as error:
        _name_output(error, outputs)
        raise
    except concurrent.futures.BrokenExecutor as error:
        raise RunError(f"a worker process died ({error})") from None
    finally:
        if pool is not None:
            _stop_pool(pool)
        if client is not None:
            client.close()
        if not finished:
            for path in outputs:
                # An interrupt can land just after a temporary was made and
                # before the run knew of it.
                discard_beside(path)
    return 0


def _name_output(error: OSError, outputs: list[str]) -> None:
    """Name in ``error`` the output, as the user wrote it, whose temporary
    the error is about; or, for a failed write that named no file, the
    outputs it can be about."""
    from corlap._output import target_of

    if error.filename is None:
        if error.errno in WRITE_ERRORS:
            error.filename = " or ".join(outputs)
        return
    target = target_of(error.filename) if isinstance(error.filename, str) else None
    for path in outputs:
        if target is not None and os.path.abspath(target) == os.path.abspath(path):
            error.filename = path


def _new_pool(workers: int):
    """A pool of ``workers`` processes (not started yet).

    N worker processes score; this process only writes, overlapping with
    them.  forkserver: workers start from a clean process, not a copy of
    this one with its open files and threads.  Workers ignore Ctrl-C; the
    main process stops them, and they die with it when it is killed.
    """
    from corlap._runs import guard_worker

    context = _start_forkserver()
    return concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=context, initializer=guard_worker, initargs=(os.getpid(),))


def _start_forkserver():
    """The forkserver context, its server started (once per process) with
    the library preloaded, and tied to this process first of all: the
    server lives as long as any worker holds it open, and a worker whose
    server went away is killed."""
    import multiprocessing
    import multiprocessing.forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["corlap._die_with_parent", "corlap.tracks"])
    multiprocessing.forkserver.ensure_running()
    return context


def _launch(pool) -> None:
    """Start all the pool's workers now, with Ctrl-C and the other stop
    signals held back meanwhile, so that none lands between a worker's
    start and its record in the pool (a worker the pool does not know of
    could not be stopped)."""
    launch = getattr(pool, "_launch_processes", None)
    if launch is None:
        return
    # Python's handler only sets a flag (in whichever thread the signal
    # lands), so the handler itself is replaced while the workers start.
    caught = []
    held = {signum: signal.getsignal(signum) for signum in STOP_SIGNALS}
    for signum, previous in held.items():
        if previous is not None and previous is not signal.SIG_IGN:
            signal.signal(signum, lambda signum, frame: caught.append(signum))
    try:
        launch()
    finally:
        for signum, previous in held.items():
            if previous is not None:
                signal.signal(signum, previous)
    if caught:
        _stop(caught[0], None)
        raise Stopped(caught[0])


def _stop_pool(pool) -> None:
    """Stop the workers first (chunks nobody will write are not waited
    for), then the pool: a worker still starting up must not outlive the
    queues it was about to attach to.  SIGTERM first, SIGKILL for those
    still there after two seconds; a few seconds in all, whatever the
    workers do.  The pool's own shutdown gets two seconds more; its threads
    can wait forever on queues of dead workers (``entry`` does not wait
    for them)."""
    import threading
    import time

    processes = list(getattr(pool, "_processes", {}).values())
    # A worker killed while it sends a result leaves half a message in the
    # pipe, and the pool's thread would wait for the rest as long as any
    # writer is open; this process's own copy of the writer is never used.
    writer = getattr(getattr(pool, "_result_queue", None), "_writer", None)
    if writer is not None:
        writer.close()
    for process in processes:
        if process.is_alive():
            process.terminate()
    deadline = time.monotonic() + 2
    for process in processes:
        process.join(timeout=max(0.0, deadline - time.monotonic()))
    for process in processes:
        if process.is_alive():
            process.kill()
            process.join(timeout=1)
    closer = threading.Thread(target=pool.shutdown, kwargs={"cancel_futures": True},
                              daemon=True)
    closer.start()
    closer.join(timeout=2)


_stopping: int | None = None


def _stop(signum, frame):
    """The first stop signal ends the run as Ctrl-C does; later ones are
    let be, so that they cannot cut short the removal of the run's
    temporaries (which takes seconds at most)."""
    global _stopping
    if _stopping is not None:
        return
    _stopping = signum
    raise Stopped(signum)


def _hold_stops() -> None:
    global _stopping
    if _stopping is None:
        _stopping = 0


def _handle_stop_signals() -> dict:
    """Install the handlers of a run; return the ones they replace."""
    global _stopping
    _stopping = None
    previous = {}
    for signum in STOP_SIGNALS:
        # Left ignored when ignored on purpose (nohup, or Ctrl-C in a
        # background job of a shell without job control).
        handler = signal.getsignal(signum)
        if handler is not None and handler is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, _stop)
    if hasattr(signal, "SIGXFSZ"):
        # Past the file-size limit a write fails with EFBIG, reported like
        # a full disk, instead of the signal killing the process.
        previous[signal.SIGXFSZ] = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return previous


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    previous = _handle_stop_signals()
    command = {"train": run_train, "score": run_score}[args.command]
    try:
        return command(args)
    except UserError as error:
        print(f"{PROGRAM} {args.command}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt as error:
        signum = getattr(error, "signum", signal.SIGINT)
        by = "" if signum == signal.SIGINT else f" by {signal.Signals(signum).name}"
        print(f"{PROGRAM} {args.command}: interrupted{by}; no output written",
              file=sys.stderr)
        return 128 + signum
    except RunError as error:
        print(f"{PROGRAM} {args.command}: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{PROGRAM} {args.command}: error: {_describe(error)}", file=sys.stderr)
        return 1
    finally:
        # A caller of main (a test, a script) keeps its own handlers.
        for signum, handler in previous.items():
            if handler is not None:
                signal.signal(signum, handler)


def entry() -> None:
    """The console script: ``main``, then an immediate exit.  The outputs
    are committed or removed by then; the interpreter's exit handlers would
    only join the worker pool's threads, which wait forever on workers
    that were killed."""
    try:
        status = main()
    except SystemExit:
        raise               # argparse: --help, or a usage error
    except BaseException:   # noqa: BLE001 - a fault of corlap: say where, still exit
        import traceback

        traceback.print_exc()
        status = 1
    _release_semaphores()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)


def _release_semaphores() -> None:
    """Remove the pool's named semaphores, as a normal exit would: else
    the resource tracker removes them after this process is gone, and warns
    about each on stderr.  Only the finalizers that exit runs first (those
    of priority 0 and up, which close and remove without waiting): the
    rest join the pool's threads."""
    import threading

    finalizers = getattr(sys.modules.get("multiprocessing.util"), "_run_finalizers", None)
    if finalizers is None:
        return
    runner = threading.Thread(target=finalizers, args=(0,), daemon=True)
    runner.start()
    runner.join(timeout=1)


if __name__ == "__main__":
    entry()
