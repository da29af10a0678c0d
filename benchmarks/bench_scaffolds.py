"""Scaffold assemblies: ``corlap score`` on the same 20 Mbp of random bases
laid out as 4 chromosomes and as 20,000 scaffolds of 1 kbp, both strands
to bigWig, 1 Mbp chunks, DWM length 10, 2 workers (target: the scaffolds at
most 1.5x the time of the chromosomes); and the peak resident memory of
every process of the runs, also for 200,000 scaffolds of 100 bp (target:
below 600 MB each).

Each figure is the best of BENCH_RUNS runs (default 3), the layouts taken
in turns so that both meet the same moods of the shared machine.
BENCH_SCAFFOLDS_MBP changes the genome size (default 20).
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_tracks import best_in_turns, score, verdict  # noqa: E402

from corlap.bed import Site  # noqa: E402
from corlap.models import save_model  # noqa: E402
from corlap.training import train_model  # noqa: E402
from corlap.utils.fasta import open_fasta  # noqa: E402

MBP = float(os.environ.get("BENCH_SCAFFOLDS_MBP", "20"))
RUNS = int(os.environ.get("BENCH_RUNS", "3"))


def write_genome(path: pathlib.Path, bases: bytes, pieces: int) -> pathlib.Path:
    size = len(bases) // pieces
    with open(path, "wb") as stream:
        for k in range(pieces):
            piece = bases[k * size:(k + 1) * size]
            stream.write(f">scaffold_{k}\n".encode())
            stream.write(b"\n".join(piece[at:at + 60] for at in range(0, len(piece), 60)))
            stream.write(b"\n")
    open_fasta(path).close()        # indexed before any timing
    return path


def main():
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        rng = np.random.default_rng(30)
        total = int(MBP * 1_000_000)
        bases = np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, total)].tobytes()
        chromosomes = write_genome(directory / "chromosomes.fa", bases, 4)
        scaffolds = write_genome(directory / "scaffolds.fa", bases, total // 1_000)
        tiny = write_genome(directory / "tiny.fa", bases, total // 100)
        sites = [Site("scaffold_0", int(p), int(p) + 1, "+") for p in rng.integers(10, 990, 500)]
        model, _ = train_model(scaffolds, sites, "DWM", 10,
                               background=5_000, seed=3)
        model_path = directory / "dwm10.npz"
        save_model(model, model_path)
        print(f"genome: {total / 1e6:.0f} Mbp of random bases; DWM length 10, both strands "
              f"to bigWig, 1 Mbp chunks, 2 workers; best of {RUNS}")
        (whole, m_whole), (pieces, m_pieces) = best_in_turns(
            RUNS,
            lambda: score(chromosomes, model_path, directory, "--workers", "2"),
            lambda: score(scaffolds, model_path, directory, "--workers", "2"))
        ratio = pieces / whole
        print(f"  4 chromosomes {whole:6.2f} s   {total // 1_000:,} scaffolds of 1 kbp "
              f"{pieces:6.2f} s  -> {ratio:4.2f}x  (target <= 1.5x: {verdict(ratio <= 1.5)})")
        (_, m_tiny), = best_in_turns(
            1, lambda: score(tiny, model_path, directory, "--workers", "2"))
        peak = 0
        for label, memory in (("4 chromosomes", m_whole), ("scaffolds of 1 kbp", m_pieces),
                              (f"{total // 100:,} scaffolds of 100 bp", m_tiny)):
            print(f"  peak memory, {label}: {memory.describe(memory.main_pid)}")
            peak = max(peak, memory.largest())
        print(f"largest peak of any process: {peak / 2**20:.0f} MB "
              f"(target < 600 MB: {verdict(peak < 600 * 2**20)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
