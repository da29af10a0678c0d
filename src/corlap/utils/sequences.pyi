"""Sequence utilities for counting and scoring with PWMs and DWMs."""

import sys as sys
from typing import Any, Iterable, Protocol

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

class _Fasta(Protocol):
    def fetch(self, chrom: Any, start: Any, end: Any, /) -> str | None: ...
    def close(self) -> Any: ...

def nuc_to_num(sequence: str) -> _Codes: ...
def get_gc_content(regions: Iterable[_Region], fasta: Any) -> float: ...

class SequenceMatrix:
    counts: _Table
    bg_counts: _Table
    neg_counts: _Table
    no_bias: Any
    no_bg: Any
    @staticmethod
    def create(length: int, stype: str) -> NucleotideMatrix | DiNucleotideMatrix: ...
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
    def from_fasta(self, fasta_obj: _Fasta) -> GenomicSequence: ...
