"""Indexed random access to FASTA files, plain or bgzip-compressed.

Coordinates are 0-based and half-open: ``fetch("chr1", 0, 10)`` returns the
first ten bases of ``chr1``.  The index (``.fai``, plus ``.gzi`` for bgzip
files) is built next to the file on first use when it is missing.
"""

from __future__ import annotations

import os

__all__ = ["FastaFile", "open_fasta"]


class FastaFile:
    """An open, indexed FASTA file.  Use ``open_fasta`` to make one."""

    def __init__(self, handle, path: str):
        self._handle = handle
        self.path = path

    @property
    def references(self) -> tuple[str, ...]:
        """Names of the sequences in the file, in file order."""
        return tuple(self._handle.references)

    @property
    def lengths(self) -> tuple[int, ...]:
        """Lengths of the sequences, in the order of ``references``."""
        return tuple(self._handle.lengths)

    def get_length(self, chrom: str) -> int:
        """Length of the sequence named ``chrom``."""
        self._check_name(chrom)
        return self._handle.get_reference_length(chrom)

    def fetch(self, chrom: str, start: int, end: int) -> str:
        """Bases ``start`` to ``end`` (0-based, half-open) of ``chrom``.

        A range reaching past the end of the sequence is cut at its end.
        """
        if self._handle is None:
            raise ValueError(f"FASTA file {self.path!r} is closed")
        self._check_name(chrom)
        return self._handle.fetch(chrom, start, end)

    def close(self) -> None:
        """Close the file; further fetches raise ValueError."""
        if self._handle is not None:
            self._handle.close()
            self._handle = None

    def __enter__(self) -> "FastaFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _check_name(self, chrom) -> None:
        if self._handle is None:
            raise ValueError(f"FASTA file {self.path!r} is closed")
        if chrom not in self._handle:
            raise KeyError(
                f"sequence {chrom!r} not found in FASTA file {self.path!r}")


def open_fasta(path) -> FastaFile:
    """Open the FASTA file at ``path`` for indexed access.

    Raises FileNotFoundError naming the path when the file does not exist.
    """
    # pysam is imported here, not at module level, so that importing the
    # compiled sequence module (which imports this one) stays fast.
    import pysam

    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"FASTA file not found: {path!r}")
    return FastaFile(pysam.FastaFile(path), path)
