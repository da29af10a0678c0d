"""Worked example on the phage lambda genome."""

import pathlib
import time

from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import nuc_to_num

GENOME = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "lambda_phage.fa"


def main():
    fasta = open_fasta(GENOME)
    name = fasta.references[0]
    length = fasta.get_length(name)
    text = fasta.fetch(name, 0, length)
    fasta.close()
    started = time.perf_counter()
    codes = nuc_to_num(text)
    elapsed = time.perf_counter() - started
    counts = {base: int((codes == code).sum()) for code, base in enumerate("ATCGN")}
    print(f"read {name}: {length} bp from {GENOME.name}")
    print(f"nuc_to_num: {len(codes)} codes in {elapsed * 1e6:.0f} us; base counts {counts}")


if __name__ == "__main__":
    main()
