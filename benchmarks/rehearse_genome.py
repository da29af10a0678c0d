"""A rehearsal at genome scale (not part of ``make bench``: it takes
minutes and about 10 GB of disk): ``corlap score`` on 1 Gbp of random bases
in 25 chromosomes sized in the proportions of a human genome's 22
autosomes, X, Y and mitochondrion, DWM length 12, both strands to bigWig,
2 workers.  Prints the wall time, the peak resident memory of each process
and the size of the outputs.

REHEARSAL_MBP changes the genome size (default 1000); REHEARSAL_DIR the
directory (default: a temporary directory beside the system's).
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_tracks import score  # noqa: E402

from corlap.bed import Site  # noqa: E402
from corlap.models import save_model  # noqa: E402
from corlap.training import train_model  # noqa: E402
from corlap.utils.fasta import open_fasta  # noqa: E402

# Lengths of a human genome's chromosomes 1-22, X, Y and M in Mbp.
HUMAN_MBP = (248.96, 242.19, 198.30, 190.21, 181.54, 170.81, 159.35, 145.14, 138.39, 133.80,
             135.09, 133.28, 114.36, 107.04, 101.99, 90.34, 83.26, 80.37, 58.62, 64.44,
             46.71, 50.82, 156.04, 57.23, 0.016569)
NAMES = [f"chr{k}" for k in range(1, 23)] + ["chrX", "chrY", "chrM"]
MBP = float(os.environ.get("REHEARSAL_MBP", "1000"))


def write_genome(path: pathlib.Path) -> dict[str, int]:
    rng = np.random.default_rng(12)
    scale = MBP / sum(HUMAN_MBP)
    alphabet = np.frombuffer(b"ACGT", dtype=np.uint8)
    lengths = {}
    with open(path, "wb") as stream:
        for name, mbp in zip(NAMES, HUMAN_MBP):
            length = max(1_000, int(mbp * 1e6 * scale))
            lengths[name] = length
            stream.write(f">{name}\n".encode())
            for at in range(0, length, 6_000_000):       # 100,000 lines at a time
                size = min(6_000_000, length - at)
                bases = alphabet[rng.integers(0, 4, size, dtype=np.uint8)].reshape(-1, 60) \
                    if size % 60 == 0 else None
                if bases is None:
                    flat = alphabet[rng.integers(0, 4, size, dtype=np.uint8)].tobytes()
                    stream.write(b"\n".join(flat[k:k + 60] for k in range(0, size, 60)) + b"\n")
                else:
                    lines = np.concatenate((bases, np.full((len(bases), 1), ord("\n"),
                                                           dtype=np.uint8)), axis=1)
                    stream.write(lines.tobytes())
    open_fasta(path).close()
    return lengths


def main():
    base = os.environ.get("REHEARSAL_DIR")
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        directory = pathlib.Path(tmp)
        lengths = write_genome(directory / "genome.fa")
        rng = np.random.default_rng(13)
        sites = [Site("chr1", int(p), int(p) + 1, "+-"[int(rng.integers(2))])
                 for p in rng.integers(100, lengths["chr1"] - 100, 5_000)]
        model, _ = train_model(directory / "genome.fa", sites, "DWM", 12, background=5_000,
                               seed=4)
        save_model(model, directory / "dwm12.npz")
        total = sum(lengths.values())
        print(f"genome: {total / 1e9:.2f} Gbp in {len(lengths)} chromosomes; DWM length 12, "
              f"both strands to bigWig, 2 workers")
        out = directory / "out"
        out.mkdir()
        seconds, memory = score(directory / "genome.fa", directory / "dwm12.npz", out,
                                "--workers", "2", keep=True)
        sizes = sum(f.stat().st_size for f in out.rglob("*.bw"))
        print(f"  wall time {seconds:.0f} s ({seconds / 60:.1f} min)")
        for pid, (name, peak) in sorted(memory.peaks.items()):
            role = "main" if pid == memory.main_pid else name
            print(f"  peak memory of {role} (pid {pid}): {peak / 2**20:.0f} MB")
        print(f"  outputs: {sizes / 1e9:.2f} GB ({sizes / total:.2f} bytes per position, "
              f"both strands)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
