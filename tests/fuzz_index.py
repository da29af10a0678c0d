"""A small fuzzer of BAM indexes: finds damaged .bai and .csi files that
crash htslib's index reader, for the tests to keep.

    python tests/fuzz_index.py OUT_DIR [TRIES] [SEED]

Writes a small sorted BAM file (two sequences) with both indexes into
OUT_DIR, then damages a copy of an index many times (bytes set to extreme
values, bits flipped, the file cut short, a count raised) and loads each
through corlap._alignments.check_index, which loads an index in a child
process.  Each index whose child died is kept as OUT_DIR/crash-N.bai (or
.csi) beside a copy of the BAM; prints how each try ended.
"""

import collections
import os
import shutil
import sys

import numpy as np
import pysam

from corlap._alignments import check_index

LENGTHS = {"s1": 3_000, "s2": 2_000}


def write_bam(path):
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in LENGTHS.items()]}
    with pysam.AlignmentFile(path, "wb", header=header) as out:
        for tid, length in enumerate(LENGTHS.values()):
            for k, pos in enumerate(range(0, length - 40, 97)):
                read = pysam.AlignedSegment(out.header)
                read.query_name, read.flag, read.mapping_quality = f"r{tid}.{k}", 16 * (k % 2), 40
                read.reference_id, read.reference_start, read.cigarstring = tid, pos, "30M"
                read.query_sequence = "ACGT" * 7 + "AC"
                out.write(read)


def damage(data, rng):
    data = bytearray(data)
    kind = rng.integers(4)
    if kind == 0:           # a count or an offset made huge, negative or zero
        at = int(rng.integers(4, len(data) - 4)) & ~3
        data[at:at + 4] = int(rng.choice([0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF])
                              ).to_bytes(4, "little")
    elif kind == 1:         # bits flipped
        for _ in range(rng.integers(1, 4)):
            data[int(rng.integers(0, len(data)))] ^= 1 << int(rng.integers(8))
    elif kind == 2:         # cut short
        data = data[:int(rng.integers(8, len(data)))]
    else:                   # one byte set
        data[int(rng.integers(4, len(data)))] = int(rng.integers(256))
    return bytes(data)


def main(directory, tries=2000, seed=1):
    os.makedirs(directory, exist_ok=True)
    bam = os.path.join(directory, "reads.bam")
    write_bam(bam)
    pysam.index(bam)
    pysam.index("-c", bam)
    sources = {kind: open(f"{bam}.{kind}", "rb").read() for kind in ("bai", "csi")}
    # The CSI is compressed (BGZF): damage its text, then compress again.
    import gzip

    plain = {"bai": sources["bai"], "csi": gzip.decompress(sources["csi"])}
    rng = np.random.default_rng(seed)
    trial = os.path.join(directory, "trial")
    os.makedirs(trial, exist_ok=True)
    target = os.path.join(trial, "reads.bam")
    shutil.copyfile(bam, target)
    outcomes = collections.Counter()
    kept = 0
    for _ in range(tries):
        kind = str(rng.choice(["bai", "csi"]))
        data = damage(plain[kind], rng)
        if kind == "csi":
            data = _bgzf(data)
        for other in ("bai", "csi"):
            with open(f"{target}.{other}", "wb") if other == kind else _nothing() as out:
                if out is not None:
                    out.write(data)
            if other != kind and os.path.exists(f"{target}.{other}"):
                os.remove(f"{target}.{other}")
        outcome, signal_number = check_index(target, timeout=3)
        outcomes[outcome, signal_number] += 1
        if outcome in ("died", "hung"):
            name = os.path.join(directory, f"{outcome}-{signal_number}-{kept}.{kind}")
            with open(name, "wb") as out:
                out.write(data)
            kept += 1
    print(dict(outcomes))


class _nothing:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


def _bgzf(data):
    """``data`` as BGZF, as htslib writes an index."""
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"fuzz-index-{os.getpid()}.gz")
    with pysam.BGZFile(path, "wb") as out:
        out.write(data)
    try:
        return open(path, "rb").read()
    finally:
        os.remove(path)


if __name__ == "__main__":
    main(sys.argv[1], *(int(value) for value in sys.argv[2:4]))
