"""Dask workers with several threads: ``corlap score --scheduler`` on a
LocalCluster of 1 worker process with 2 threads against the same cluster
shape with 1 thread, on the genome of bench_tracks.py (100 Mbp in 4
chromosomes, BENCH_TRACKS_MBP to change it), DWM length 10, both strands
to bigWig.  Target: 2 threads at least 1.7x faster than 1 (scoring lets go
of the interpreter lock, and the command keeps a task in flight per
thread).  Each figure is the best of BENCH_RUNS runs (default 2), the two
shapes taken in turns, each run on a new cluster.
"""
from __future__ import annotations

import contextlib
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_tracks import (_import_library, best_in_turns, make_genome,  # noqa: E402
                          make_models, score, verdict)

RUNS = int(os.environ.get("BENCH_RUNS", "2"))


@contextlib.contextmanager
def cluster_of(threads: int):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=1, threads_per_worker=threads, processes=True,
                      host="127.0.0.1", dashboard_address=None, silence_logs=40) as cluster, \
            Client(cluster) as client:
        list(client.get_executor().map(_import_library, range(2 * threads)))
        yield cluster, client


def run_on(threads, fasta, model, directory):
    with cluster_of(threads) as (cluster, client):
        return score(fasta, model, directory, "--scheduler", cluster.scheduler_address,
                     memory_roots=list(client.run(os.getpid).values()))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        fasta, lengths = make_genome(directory)
        models = make_models(directory, fasta, lengths)
        total = sum(lengths.values())
        print(f"genome: {total / 1e6:.0f} Mbp in {len(lengths)} chromosomes; DWM length 10, "
              f"both strands to bigWig; Dask LocalCluster of 1 worker; best of {RUNS}")
        (one, m1), (two, m2) = best_in_turns(
            RUNS, lambda: run_on(1, fasta, models["DWM"], directory),
            lambda: run_on(2, fasta, models["DWM"], directory))
        print(f"  1 thread {one:6.2f} s   2 threads {two:6.2f} s   -> {one / two:4.2f}x  "
              f"(target >= 1.7x: {verdict(one / two >= 1.7)})")
        for label, memory in (("1 thread", m1), ("2 threads", m2)):
            print(f"  peak memory, {label}: {memory.describe(memory.main_pid)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
