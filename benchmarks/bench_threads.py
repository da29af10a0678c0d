"""Threads against processes: scoring with the interpreter lock released.

The chunks of a 20 Mbp random genome (1 Mbp each) are scored by the private
entry point of the tracks layer, corlap.utils._scoring.score, from a
ThreadPoolExecutor(2), and the same chunks by a ProcessPoolExecutor(2) whose
workers hold their own copy of the genome and the model (so that only chunk
numbers and one number per chunk cross between processes).  Cases:

  PWM length 20
  DWM length 10 with the window memo (each run from empty memos: a new pool
  of processes, and the threads' memos dropped before the run)
  DWM length 10 without the memo

Target: the threads take at most 15 % longer than the processes (best of
REPEATS runs each, taken in turns).  Before that, one chunk scored in this
thread alone by score() and by score_sequence (best of several), to show
that the entry point costs nothing of its own.
"""
import math
import multiprocessing
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np

from corlap.utils._scoring_loader import scoring
from corlap.utils.sequences import DiNucleotideMatrix, NucleotideMatrix

GENOME = 20_000_000
CHUNK = 1_000_000
WORKERS = 2
REPEATS = 3
TARGET = 1.15
SEED = 20240612

# The genome and the model of a worker process (set by its initializer).
_genome = None
_model = None


def make_genome():
    return np.random.default_rng(SEED).integers(0, 4, GENOME)


def make_model(kind, length):
    rng = np.random.default_rng(length)
    model = (NucleotideMatrix if kind == "PWM" else DiNucleotideMatrix)(length)
    for _ in range(300):
        model.add_sequence(rng.choice(4, size=length, p=[0.4, 0.1, 0.1, 0.4]))
        model.add_background(rng.integers(0, 4, length))
    model.prepare_mat()
    return model


def score_chunk(start):
    """Scores one chunk (with its flanks, as the tracks layer does); the sum
    of its finite scores, so that runs can be compared."""
    length = _model.pssm.shape[1] if isinstance(_model, NucleotideMatrix) else _model.length
    codes = _genome[max(start - length, 0):start + CHUNK + length]
    scores = scoring.score(_model, codes)
    return float(np.nansum(scores))


def start_worker(kind, length, memo_mib):
    global _genome, _model
    scoring.memo_settings(None, memo_mib)
    _genome = make_genome()
    _model = make_model(kind, length)


def ready(_):
    """Keeps a worker busy long enough for the other one to take the next."""
    time.sleep(0.5)


def run_processes(kind, length, memo_mib, starts):
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(WORKERS, mp_context=context, initializer=start_worker,
                             initargs=(kind, length, memo_mib)) as pool:
        list(pool.map(ready, range(WORKERS)))
        begin = time.perf_counter()
        sums = list(pool.map(score_chunk, starts))
        return time.perf_counter() - begin, sums


def run_threads(memo_mib, starts):
    # Memos dropped: the run starts as empty as new processes do.
    scoring.memo_settings(None, 0)
    scoring.memo_settings(None, memo_mib)
    with ThreadPoolExecutor(WORKERS) as pool:
        list(pool.map(lambda _: None, range(WORKERS)))
        begin = time.perf_counter()
        sums = list(pool.map(score_chunk, starts))
        return time.perf_counter() - begin, sums


def verdict(met):
    return "target met" if met else "TARGET NOT MET"


def alone(kind, length):
    """One chunk in this thread: score() against score_sequence."""
    codes = _genome[:CHUNK]
    scoring.memo_settings(None, 0)
    best = {"score": math.inf, "score_sequence": math.inf}
    for _ in range(5 if kind == "PWM" else 2):
        for name, call in (("score", lambda: scoring.score(_model, codes)),
                           ("score_sequence", lambda: _model.score_sequence(codes))):
            begin = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - begin)
    change = best["score"] / best["score_sequence"] - 1
    print(f"  {kind} length {length}, one {CHUNK / 1e6:.0f} Mbp chunk alone: score() "
          f"{best['score'] * 1e3:8.1f} ms, score_sequence {best['score_sequence'] * 1e3:8.1f} ms "
          f"({change * 100:+.1f} %)")


def main():
    global _genome, _model
    _genome = make_genome()
    starts = list(range(0, GENOME, CHUNK))
    previous = scoring.memo_settings()
    cases = [("PWM", 20, None, "PWM length 20"),
             ("DWM", 10, None, "DWM length 10, memo"),
             ("DWM", 10, 0, "DWM length 10, no memo")]
    print(f"{GENOME / 1e6:.0f} Mbp in {CHUNK / 1e6:.0f} Mbp chunks, {WORKERS} threads against "
          f"{WORKERS} processes (best of {REPEATS}, in turns)")
    met_all = True
    try:
        for kind, length, memo_mib, name in cases:
            _model = make_model(kind, length)
            if memo_mib == 0 or kind == "PWM":
                alone(kind, length)
            threads = processes = math.inf
            for _ in range(REPEATS if kind == "DWM" else 3 * REPEATS):
                seconds, thread_sums = run_threads(memo_mib, starts)
                threads = min(threads, seconds)
                seconds, process_sums = run_processes(kind, length, memo_mib, starts)
                processes = min(processes, seconds)
                if thread_sums != process_sums:
                    print(f"  {name}: threads and processes DISAGREE")
                    met_all = False
            ratio = threads / processes
            met = ratio <= TARGET
            met_all &= met
            print(f"  {name:24s} threads {threads:7.2f} s, processes {processes:7.2f} s -> "
                  f"threads/processes {ratio:5.2f} ({verdict(met)}: <= {TARGET:.2f})")
    finally:
        scoring.memo_settings(*previous)
    print("threads benchmark:", "all targets met" if met_all else "some targets NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
