"""Indexed random access to FASTA files, plain or bgzip-compressed.

Coordinates are 0-based and half-open: ``fetch("chr1", 0, 10)`` returns the
first ten bases of ``chr1``.  The index (``.fai``, plus ``.gzi`` for bgzip
files) is built next to the file on first use when it is missing, and
rebuilt when it is older than the file.  An index is always built into a
temporary file and renamed into place, so that processes opening the same
FASTA file at the same time never read half an index.  When the FASTA
file's directory is not writable, the index goes to a cache directory
instead (``$CORLAP_CACHE_DIR``, else ``$XDG_CACHE_HOME/corlap``, else
``~/.cache/corlap``).
"""

from __future__ import annotations

import hashlib
import os

__all__ = ["FastaFile", "PysamUnavailable", "import_pysam", "open_fasta", "index_paths"]

# What a user without a working pysam is told to do.
PYSAM_FIX = "pip install 'pysam>=0.23'"


class PysamUnavailable(RuntimeError):
    """pysam, or the htslib it ships, cannot be loaded: the message (one
    line) says why and how to install it.  Not an ImportError, which the
    commands take for an optional package (matplotlib, Dask) that is missing."""


def import_pysam():
    """The pysam module; PysamUnavailable when it is missing or broken (a
    broken install fails in its own ways, not always with ImportError)."""
    try:
        import pysam
        import pysam.libchtslib  # noqa: F401 - htslib itself, which corlap reads through
    except Exception as error:  # noqa: BLE001
        raise pysam_unavailable(error) from None
    return pysam


def pysam_unavailable(error: BaseException) -> PysamUnavailable:
    text = str(error).strip()
    reason = text.splitlines()[0] if text else type(error).__name__
    return PysamUnavailable(f"pysam cannot be loaded ({reason}); install it: {PYSAM_FIX}")

# How many sequence names an unknown-name error lists.
_NAMES_SHOWN = 5


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
            names = self._handle.references
            shown = ", ".join(repr(name) for name in names[:_NAMES_SHOWN])
            more = (f" and {len(names) - _NAMES_SHOWN} more"
                    if len(names) > _NAMES_SHOWN else "")
            raise KeyError(
                f"sequence {chrom!r} not found in FASTA file {self.path!r}; "
                f"it holds {shown}{more}")


def open_fasta(path) -> FastaFile:
    """Open the FASTA file at ``path`` for indexed access.

    Raises FileNotFoundError naming the path when the file does not exist,
    and ValueError naming it when it cannot be indexed (a plain-gzip file,
    which must be recompressed with bgzip, or a malformed file).
    """
    # pysam is imported here, not at module level, so that importing the
    # compiled sequence module (which imports this one) stays fast.  Without
    # a working pysam the file is read by corlap's own reader (score needs
    # no pysam).
    try:
        pysam = import_pysam()
    except PysamUnavailable:
        pysam = None

    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"FASTA file not found: {path!r}")
    if os.path.isdir(path):
        raise IsADirectoryError(f"FASTA file {path!r} is a directory")
    compressed = _compression(path)
    fai, gzi = _ensure_index(path, compressed, pysam)
    if pysam is None:
        return FastaFile(_FastaReader(path, fai, gzi), path)
    handle = pysam.FastaFile(path, filepath_index=fai,
                             filepath_index_compressed=gzi)
    return FastaFile(handle, path)


def index_paths(path) -> tuple[str, str | None]:
    """Where ``open_fasta`` keeps the index of ``path``: the ``.fai`` file
    and, for a bgzip file, the ``.gzi`` file (otherwise None).  Beside the
    file when its directory is writable or the index is already there, in
    the cache directory otherwise."""
    path = os.fspath(path)
    compressed = _compression(path) == "bgzip"
    beside = _beside(path, compressed)
    if _usable_location(path, beside):
        return beside
    return _cached(path, compressed)


def _compression(path: str) -> str | None:
    """"bgzip", None for an uncompressed file; ValueError for plain gzip."""
    with open(path, "rb") as stream:
        head = stream.read(18)
    if head[:2] != b"\x1f\x8b":
        return None
    # BGZF: a gzip member with the extra field (FLG.FEXTRA) holding the
    # subfield "BC", which carries the block's size.
    if len(head) >= 14 and head[3] & 4 and head[12:14] == b"BC":
        return "bgzip"
    raise ValueError(
        f"FASTA file {path!r} is compressed with plain gzip, which cannot be read "
        f"by position; recompress it with bgzip (zcat FILE | bgzip > NEW.fa.gz)")


def _beside(path: str, compressed: bool) -> tuple[str, str | None]:
    return path + ".fai", (path + ".gzi" if compressed else None)


def _cached(path: str, compressed: bool) -> tuple[str, str | None]:
    root = os.environ.get("CORLAP_CACHE_DIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
        "corlap")
    key = hashlib.sha256(os.path.abspath(path).encode("utf-8", "surrogateescape")).hexdigest()
    stem = os.path.join(root, "fasta-index", f"{key[:24]}-{os.path.basename(path)}")
    return stem + ".fai", (stem + ".gzi" if compressed else None)


def _usable_location(path: str, index: tuple[str, str | None]) -> bool:
    """Beside the file is used when the index is there and fresh, or when
    the directory takes new files."""
    if all(name is None or _fresh(path, name) for name in index):
        return True
    return os.access(os.path.dirname(os.path.abspath(path)), os.W_OK | os.X_OK)


def _fresh(path: str, index: str) -> bool:
    """The index exists and is not older than the FASTA file."""
    try:
        return os.stat(index).st_mtime_ns >= os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return False


def _ensure_index(path: str, compression: str | None, pysam) -> tuple[str, str | None]:
    """The index files of ``path``, built or rebuilt when missing or stale."""
    compressed = compression == "bgzip"
    fai, gzi = beside = _beside(path, compressed)
    if not _usable_location(path, beside):
        fai, gzi = _cached(path, compressed)
        os.makedirs(os.path.dirname(fai), exist_ok=True)
    if _fresh(path, fai) and (gzi is None or _fresh(path, gzi)):
        return fai, gzi
    _build_index(path, fai, gzi, pysam)
    return fai, gzi


def _build_index(path: str, fai: str, gzi: str | None, pysam) -> None:
    """Index ``path`` into temporary files beside the targets, then rename
    them into place (the ``.gzi`` first: a reader checks the ``.fai``);
    by samtools' indexer in pysam, else by corlap's own (the same bytes)."""
    from corlap._output import discard, temporary_beside

    made = []
    try:
        fai_tmp = temporary_beside(fai)
        made.append(fai_tmp)
        arguments = [path, "--fai-idx", fai_tmp]
        if gzi is not None:
            gzi_tmp = temporary_beside(gzi)
            made.append(gzi_tmp)
            arguments += ["--gzi-idx", gzi_tmp]
        refused = pysam.SamtoolsError if pysam is not None else ()
        try:
            if pysam is None:
                _write_index(path, fai_tmp, gzi_tmp if gzi is not None else None)
            else:
                pysam.faidx(*arguments)
        except ValueError as error:
            raise ValueError(f"cannot index FASTA file {path!r}: {error}") from None
        except refused as error:
            detail = str(error).strip().splitlines()[-1] if str(error).strip() else ""
            raise ValueError(f"cannot index FASTA file {path!r}: {detail}") from None
        if gzi is not None:
            os.replace(gzi_tmp, gzi)
        os.replace(fai_tmp, fai)
        made.clear()
    finally:
        for name in made:
            discard(name)


# --- without pysam -------------------------------------------------------------

class _FastaReader:
    """What corlap takes of pysam.FastaFile, for a FASTA file (plain or
    bgzip) with its ``.fai`` (and ``.gzi``): fetches give the same text."""

    def __init__(self, path: str, fai: str, gzi: str | None):
        self._entries: dict[str, tuple[int, int, int, int]] = {}
        with open(fai, "rb") as stream:
            for line in stream:
                fields = line.rstrip(b"\r\n").split(b"\t")
                if len(fields) < 5:
                    raise ValueError(f"FASTA index {fai!r}: malformed line {line!r}")
                name = fields[0].decode("utf-8", "surrogateescape")
                self._entries[name] = tuple(int(field) for field in fields[1:5])
        self.references = tuple(self._entries)
        self.lengths = tuple(entry[0] for entry in self._entries.values())
        self._blocks = _gzi_blocks(gzi) if gzi is not None else None
        self._fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))

    def __contains__(self, name) -> bool:
        return name in self._entries

    def get_reference_length(self, name: str) -> int:
        return self._entries[name][0]

    def fetch(self, name: str, start: int, end: int) -> str:
        length, offset, bases, width = self._entries[name]
        if start < 0:
            raise ValueError(f"start out of range ({start})")
        if start > end:
            raise ValueError(f"invalid coordinates: start ({start}) > stop ({end})")
        end = min(end, length)
        if start >= end:
            return ""
        first = offset + start // bases * width + start % bases
        last = offset + (end - 1) // bases * width + (end - 1) % bases + 1
        text = self._read(first, last - first)
        if width != bases:
            text = text.replace(b"\n", b"").replace(b"\r", b"")
        return text.decode("latin-1")

    def _read(self, offset: int, size: int) -> bytes:
        if self._blocks is None:
            return os.pread(self._fd, size, offset)
        import bisect
        import zlib

        starts, places = self._blocks
        k = bisect.bisect_right(starts, offset) - 1
        skip, text = offset - starts[k], bytearray()
        while len(text) < skip + size and k < len(places):
            head = os.pread(self._fd, 18, places[k])
            block = os.pread(self._fd, int.from_bytes(head[16:18], "little") + 1, places[k])
            text += zlib.decompress(block[18:-8], -15)
            k += 1
        return bytes(text[skip:skip + size])

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def _gzi_blocks(gzi: str) -> tuple[list[int], list[int]]:
    """(uncompressed, compressed) offsets of every block's start, the
    first block's (0, 0) included, from a ``.gzi`` file."""
    data = open(gzi, "rb").read()
    count = int.from_bytes(data[:8], "little")
    pairs = [(int.from_bytes(data[8 + 16 * k:16 + 16 * k], "little"),
              int.from_bytes(data[16 + 16 * k:24 + 16 * k], "little")) for k in range(count)]
    return [0] + [text for _, text in pairs], [0] + [place for place, _ in pairs]


def _write_index(path: str, fai: str, gzi: str | None) -> None:
    """The ``.fai`` (and ``.gzi``) samtools would write for ``path``;
    ValueError for a file it would refuse."""
    import gzip

    if gzi is not None:
        pairs, place, text = [], 0, 0
        with open(path, "rb") as stream:
            while head := stream.read(18):
                size = int.from_bytes(head[16:18], "little") + 1
                rest = stream.read(size - 18)
                if len(head) < 18 or len(rest) < size - 18:
                    raise ValueError("truncated BGZF block")
                bases = int.from_bytes(rest[-4:], "little")
                if place and bases:     # not the first block, nor the empty last one
                    pairs.append((place, text))
                place, text = place + size, text + bases
        with open(gzi, "wb") as out:
            out.write(len(pairs).to_bytes(8, "little"))
            for pair in pairs:
                out.write(b"".join(value.to_bytes(8, "little") for value in pair))
    with (gzip.open(path, "rb") if gzi is not None else open(path, "rb")) as stream, \
            open(fai, "w", encoding="utf-8", errors="surrogateescape") as out:
        for name, length, offset, bases, width in _fai_entries(stream):
            out.write(f"{name}\t{length}\t{offset}\t{bases}\t{width}\n")


def _fai_entries(lines):
    """(name, length, offset, bases per line, bytes per line) of each
    sequence with bases, from the file's lines (bytes); every line of a
    sequence but its last must be as long as its first."""
    offset, current = 0, None
    for line in lines:
        if line.startswith(b">"):
            if current is not None and current[1]:
                yield tuple(current[:5])
            words = line[1:].split(None, 1)
            name = words[0].decode("utf-8", "surrogateescape") if words else ""
            current = [name, 0, offset + len(line), 0, 0, False]
        elif current is not None:
            bases = len(line.rstrip(b"\r\n"))
            if current[1] == 0 and not current[5]:
                current[3], current[4] = bases, len(line)
            elif bases and (current[5] or bases > current[3]):
                raise ValueError(f"different line length in sequence {current[0]!r}")
            if bases < current[3] or not bases:
                current[5] = True
            current[1] += bases
        elif line.strip():
            raise ValueError("the file does not start with a '>' line")
        offset += len(line)
    if current is not None and current[1]:
        yield tuple(current[:5])
