"""Sequence utilities for counting and scoring with PWMs and DWMs."""

import os
import sys as sys
from typing import Any, Iterable, Literal, Protocol, overload

import numpy as np
from numpy.typing import NDArray

from corlap.utils.fasta import open_fasta as open_fasta

_Codes = NDArray[np.int64]
_Table = NDArray[np.float64]

complement: dict[int, int]
__test__: dict[Any, Any]

class _Region(Protocol):
    @property
    def chrom(self) -> Any: ...
    @property
    def start(self) -> Any: ...
    @property
    def end(self) -> Any: ...

class _Fetcher(Protocol):
    """What from_fasta needs of a FASTA object: the bases of a region,
    0-based and half-open (open_fasta's FastaFile is one)."""
    def fetch(self, chrom: str, start: int, end: int, /) -> str: ...

def nuc_to_num(sequence: str) -> _Codes: ...
def get_gc_content(regions: Iterable[_Region], fasta: str | os.PathLike[str]) -> float: ...

class SequenceMatrix:
    counts: _Table
    bg_counts: _Table
    neg_counts: _Table
    no_bias: Any
    no_bg: Any
    # Any other score type ends in SystemExit.
    @overload
    @staticmethod
    def create(length: int, stype: Literal["PWM"]) -> NucleotideMatrix: ...
    @overload
    @staticmethod
    def create(length: int, stype: Literal["DWM"]) -> DiNucleotideMatrix: ...
    def add_counts(self, obj: SequenceMatrix) -> None: ...

class NucleotideMatrix(SequenceMatrix):
    length: int
    pssm: _Table
    bias_pwm: _Table
    bg_pwm: _Table
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: _Codes, amount: float = 1.0) -> None: ...
    def add_background(self, sequence: _Codes, amount: float = 1.0) -> None: ...
    def prepare_mat(self) -> None: ...
    def score_sequence(self, sequence: _Codes) -> _Table: ...

class DiNucleotideMatrix(SequenceMatrix):
    length: int
    pssm: _Table
    bias_pwm: _Table
    bg_pwm: _Table
    bias_dwm: _Table
    bg_dwm: _Table
    bias_pwm_log: _Table
    bg_pwm_log: _Table
    bias_dwm_log: _Table
    bg_dwm_log: _Table
    def __init__(self, length: int) -> None: ...
    def add_sequence(self, sequence: _Codes, amount: float = 1.0) -> None: ...
    def add_background(self, sequence: _Codes, amount: float = 1.0) -> None: ...
    def prepare_mat(self) -> None: ...
    def score_sequence(self, sequence: _Codes) -> _Table: ...

class GenomicSequence:
    region: Any
    length: Any
    sequence: _Codes
    revcomp: _Codes
    def __init__(self, region: _Region) -> None: ...
    def from_fasta(self, fasta_obj: _Fetcher) -> GenomicSequence: ...
