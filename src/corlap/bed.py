"""BED files of sites and regions, checked line by line against a genome.

Only the first three columns and the strand (column 6) are read: 0-based,
half-open ``chrom start end``; a strand of ``.`` or a missing sixth column
means ``+``.  Blank lines and ``#``, ``track`` and ``browser`` lines are
skipped.  Every error names the file and the line.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping

__all__ = ["BedError", "Site", "read_bed"]

_NAMES_SHOWN = 5


class BedError(ValueError):
    """A BED line that is malformed or does not fit the genome."""


@dataclasses.dataclass(frozen=True, slots=True)
class Site:
    """One BED line: ``chrom``, ``start``, ``end`` (0-based, half-open),
    ``strand`` ("+" or "-") and the line number it came from."""
    chrom: str
    start: int
    end: int
    strand: str = "+"
    line: int = 0


def read_bed(path, lengths: Mapping[str, int]) -> list[Site]:
    """The lines of the BED file at ``path``, in file order.

    ``lengths`` maps every sequence name of the genome to its length.  A
    line with fewer than three columns, coordinates that are not integers,
    a negative start, an end before its start, an unknown sequence name, a
    start at or past the end of its sequence, or a strand other than +, -
    or . raises BedError naming the file and the line.  A missing or
    unreadable file raises the OSError of ``open``.
    """
    path = os.fspath(path)
    sites: list[Site] = []
    with open(path, "rb") as stream:
        for number, raw in enumerate(stream, start=1):
            try:
                line = raw.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError:
                raise BedError(f"{path}, line {number}: not a text line") from None
            if not line.strip() or line.startswith(("#", "track", "browser")):
                continue
            sites.append(_parse(path, number, line, lengths))
    return sites


def _parse(path: str, number: int, line: str, lengths: Mapping[str, int]) -> Site:
    def refuse(what: str) -> BedError:
        return BedError(f"{path}, line {number}: {what}")

    fields = line.split("\t") if "\t" in line else line.split()
    if len(fields) < 3:
        raise refuse(f"expected at least 3 columns (chrom, start, end), found {len(fields)}")
    chrom = fields[0]
    try:
        start, end = int(fields[1]), int(fields[2])
    except ValueError:
        raise refuse(f"start and end must be integers, found {fields[1]!r} and "
                     f"{fields[2]!r}") from None
    if start < 0:
        raise refuse(f"start {start} is negative")
    if end < start:
        raise refuse(f"end {end} is before start {start}")
    if chrom not in lengths:
        names = list(lengths)
        shown = ", ".join(names[:_NAMES_SHOWN])
        more = f" and {len(names) - _NAMES_SHOWN} more" if len(names) > _NAMES_SHOWN else ""
        raise refuse(f"unknown sequence {chrom!r} (the FASTA holds {shown}{more})")
    if start >= lengths[chrom]:
        raise refuse(f"start {start} is outside {chrom}, which has {lengths[chrom]} bases")
    strand = fields[5].strip() if len(fields) >= 6 else "."
    if strand not in ("+", "-", "."):
        raise refuse(f"strand must be +, - or ., found {strand!r}")
    return Site(chrom, start, end, "-" if strand == "-" else "+", number)
