"""The corlap command line: ``corlap train``, ``corlap score``,
``corlap correct`` and ``corlap inspect``.

Installed as the console script ``corlap``; also ``python -m corlap``.
Argument parsing and error reporting only: the work is done by
``corlap.training``, ``corlap.reads``, ``corlap.models``, ``corlap.tracks``,
``corlap.correct`` and ``corlap.inspection``, and the life of the processes
(pool, forkserver, stop signals) by ``corlap._lifecycle``.  Errors a user
can cause print one line on stderr and exit with status 2; a file that
cannot be read or written (a full disk, the file-size limit) one line
naming it, status 1.  Ctrl-C, SIGTERM and SIGHUP exit with 128 + the
signal's number (130 for Ctrl-C) and leave no partial file, whenever they
come; a reader of standard output that goes away ends the run quietly with
status 141, as SIGPIPE would.
"""

from __future__ import annotations

import os
import sys

from corlap import _lifecycle

if __name__ == "__main__" or os.path.basename(sys.argv[0]) == "corlap":
    # The command itself (python -m corlap, or the console script): from
    # here on a stop ends it with its one line.  Before, the interpreter
    # starts up and the signal's default action applies.
    _lifecycle.stop_at_once()

import argparse  # noqa: E402 - after the handlers: these take a while
import contextlib  # noqa: E402
import errno  # noqa: E402
from collections.abc import Iterator  # noqa: E402

from corlap.utils.fasta import PysamUnavailable  # noqa: E402

PROGRAM = "corlap"
# The output name of standard output.
STDOUT = "-"
MAX_CHUNK = 1_000_000_000
# Errors of a write that no retry will mend.
WRITE_ERRORS = frozenset(getattr(errno, name) for name in ("ENOSPC", "EFBIG", "EIO", "EDQUOT")
                         if hasattr(errno, name))


# Whether bedGraph is being written to standard output, which a failed run
# cannot take back.
_streaming = False


class UserError(Exception):
    """An error in the user's input: one line on stderr, exit status 2."""


class RunError(Exception):
    """A run that failed through no fault of the input: one line on
    stderr, exit status 1."""


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None


def _at_least_one(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _chunk_size(text: str) -> int:
    value = _at_least_one(text)
    if value > MAX_CHUNK:
        # The extension indexes sequences with 32-bit integers.
        raise argparse.ArgumentTypeError(f"must be at most {MAX_CHUNK}, got {value}")
    return value


def _non_negative(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


EXIT_CODES = """exit status:
  0    success
  1    an I/O or run-time failure (a full disk, a worker that died); the
       message names the file
  2    bad input or usage (a missing or malformed file, a bad option)
  128+N  stopped by signal N: 130 for Ctrl-C, 143 for SIGTERM, 129 for
       SIGHUP; 141 when the reader of standard output went away"""

TRAIN_EXAMPLES = """examples:
  # 1-base sites (BED start = site), a DWM of 12 bases:
  corlap train -f genome.fa --sites gatc.bed --type dwm --length 12 -o dwm12.npz
  # narrowPeak summits from a pipe:
  zcat peaks.narrowPeak.gz | corlap train -f genome.fa --sites - --anchor summit \\
               --type PWM --length 20 -o peaks.npz
  # the insertions of an accessibility assay's aligned reads, chrM left out:
  corlap train -f genome.fa --bam reads.bam --exclude chrM --type DWM --length 10 \\
               -o enzyme.npz"""

SCORE_EXAMPLES = """examples:
  # both strands of a genome to bigWig, on 8 worker processes:
  corlap score -f genome.fa -m dwm12.npz --forward fwd.bw --reverse rev.bw -p 8
  # one strand of some regions as bedGraph on standard output:
  corlap score -f genome.fa -m pwm10.npz --regions peaks.bed --forward - | sort -k4,4g
  # BGZF bedGraph that tabix can index, on a Dask cluster:
  corlap score -f genome.fa -m pwm10.npz --forward fwd.bedgraph.gz \\
               --scheduler tcp://scheduler:8786 && tabix -p bed fwd.bedgraph.gz"""

CORRECT_EXAMPLES = """examples:
  # the three tracks of a whole genome as bigWig, on 8 worker processes:
  corlap correct --bam reads.bam -f genome.fa -m enzyme.npz --exclude chrM \\
                 --observed obs.bw --expected exp.bw --corrected corr.bw -p 8
  # corrected signal of some peaks, raw 5' ends, as BGZF bedGraph:
  corlap correct --bam reads.bam -f genome.fa -m enzyme.npz --shift 0 0 \\
                 --regions peaks.bed --corrected corr.bedgraph.gz"""

FOOTPRINTS_EXAMPLES = """examples:
  # per-site scores and bound calls of motif sites, and their profiles:
  corlap footprints --signal corr.bw --sites motif.bed --table sites.tsv \\
                    --profile profile.tsv --plot profile.png
  # every motif of a scan, two conditions (corrected with --normalise cpm):
  corlap footprints --signal ctrl.bw treated.bw --depth none --sites sites.bed \\
                    --regions peaks.bed --motifs-table motifs.tsv --plot-changes volcano.png
  # the genome-wide footprint track of some peaks, on 8 worker processes:
  corlap footprints --signal corr.bw --regions peaks.bed --track footprints.bw -p 8"""

INSPECT_EXAMPLES = """examples:
  corlap inspect dwm12.npz
  corlap inspect pwm10.npz --plot pwm10.png"""


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") \
            from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds, got {text}")
    return value


def _wrap(text: str) -> str:
    import textwrap

    # Formulas hold together: "start + w // 2" is written with no-break
    # spaces, made plain once the lines are cut.
    return textwrap.fill(text, 79).replace("\xa0", " ")


def _add_engine_options(parser) -> None:
    """Where and in what pieces score and correct run."""
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("-p", "--workers", type=_at_least_one, metavar="N",
                        help="worker processes (default: the number of cores)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask distributed scheduler instead "
                             "(needs corlap[dask])")
    parser.add_argument("--scheduler-timeout", type=_seconds, default=30.0,
                        metavar="SECONDS",
                        help="how long to wait for the scheduler (default 30)")
    parser.add_argument("--chunk-size", type=_chunk_size, metavar="BP",
                        default=1_000_000, help="bases per task (default 1000000)")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar, no summary line; errors still print")


def _add_read_options(parser) -> None:
    """The options that turn aligned reads into insertions.  None when not
    given: train tells them from their defaults, and the defaults are the
    library's (the help only quotes them, as importing it takes a moment)."""
    group = parser.add_argument_group("reads", _wrap(
        "A read is taken when it is mapped, primary, not QC-failed, not a "
        "duplicate, of mapping quality --min-mapq or more, on a sequence of the "
        "FASTA file; both mates of a pair count.  Its insertion is its 5' end "
        "moved by --shift: reference_start\xa0+\xa0PLUS on + for a forward read, "
        "reference_end\xa0-\xa01\xa0+\xa0MINUS on - for a reverse one."))
    group.add_argument("--shift", nargs=2, type=_integer, metavar=("PLUS", "MINUS"),
                       help="moves of the 5' ends of forward and reverse reads (default "
                            "4 -5; 0 0: the raw 5' ends)")
    group.add_argument("--min-mapq", type=_non_negative, metavar="Q",
                       help="least mapping quality taken (default 30)")
    group.add_argument("--exclude", nargs="+", action="extend", metavar="NAME",
                       help="sequences left out, for example chrM: their reads, and for "
                            "train their sites (--sites too) and background")
    group.add_argument("--blacklist", metavar="BED",
                       help="regions whose insertions are left out, and for train no "
                            "window overlapping them (--sites too); lines on sequences "
                            "the FASTA lacks are ignored (default: none)")
    group.add_argument("--fragment-length", nargs=2, type=_non_negative,
                       metavar=("MIN", "MAX"),
                       help="paired reads only with a template length (absolute) from "
                            "MIN to MAX, for example 0 120 for nucleosome-free fragments; "
                            "unpaired reads are kept (default: any)")
    group.add_argument("--proper-pairs", action="store_true",
                       help="only reads flagged as properly paired (default: all)")


def build_parser() -> argparse.ArgumentParser:
    from corlap import __version__
    from corlap.bed import ANCHORS

    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROGRAM, formatter_class=formatter, epilog=EXIT_CODES,
        description=_wrap(
            "Sequence-bias models: train a PWM or DWM on sites of a genome or on "
            "the insertions of aligned reads, score every position of a genome with "
            "it, take it out of the reads' insertion signal, inspect a model."))
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train", help="train a PWM or DWM on the windows of sites",
        formatter_class=formatter, epilog=TRAIN_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Count the window of --length bases centred on each site of a BED "
            "file (read on the site's strand, column 6), or on each insertion of "
            "the reads of a BAM or CRAM file (read on the read's strand), against "
            "background windows, and save the model as .npz.  With --anchor center, an "
            "interval of width w has its site at start\xa0+\xa0w\xa0//\xa02 on + and "
            "at end\xa0-\xa01\xa0-\xa0w\xa0//\xa02 on -, so a stranded interval of "
            "exactly --length bases trains on exactly its own bases, read on its own strand."))
    train.add_argument("-f", "--fasta", required=True, metavar="FASTA",
                       help="genome FASTA, plain or bgzip (indexed on first use)")
    source = train.add_mutually_exclusive_group(required=True)
    source.add_argument("--sites", metavar="BED",
                        help="sites: BED, plain, gzip or bgzip; - reads standard input")
    source.add_argument("--bam", metavar="READS.bam",
                        help="sites: the insertions of these reads (BAM, or CRAM made "
                             "against FASTA; coordinate-sorted and indexed)")
    train.add_argument("--anchor", choices=ANCHORS,
                       help="which base of each interval is its site: start (the BED "
                            "start), center (the centre on the interval's strand), summit "
                            "(start + column 10, narrowPeak).  Default: every line must be "
                            "1 base wide, and its start is the site.  With --bam it "
                            "applies to --background-bed")
    train.add_argument("--type", required=True, type=str.upper, choices=("PWM", "DWM"),
                       dest="model_type",
                       help="PWM (one table per position) or DWM (every pair of positions), "
                            "in any case")
    train.add_argument("--length", required=True, type=_at_least_one, metavar="L",
                       help="window length in bases")
    train.add_argument("-o", "--out", required=True, metavar="MODEL.npz",
                       help="model file to write")
    background = train.add_mutually_exclusive_group()
    background.add_argument("--background", type=_non_negative, metavar="N",
                            help="number of background windows drawn at random over the "
                                 "genome, on random strands (default 10000 with --sites)")
    background.add_argument("--background-bed", metavar="BED",
                            help="count the sites of this BED file as the background "
                                 "instead (same rules as --sites and --anchor)")
    background.add_argument("--background-near", type=_at_least_one, metavar="H",
                            help="with --bam: the background is the window of every "
                                 "insertion moved by L (the window's length) to H bases "
                                 "either way on its strand (from --seed), which shares its "
                                 "accessibility and composition (the default of --bam, "
                                 "H\xa0=\xa050)")
    train.add_argument("--max-sites", type=_non_negative, metavar="N",
                       help="with --bam: train on N insertions drawn uniformly (default: "
                            "all of them)")
    train.add_argument("--held-out", type=_non_negative, metavar="N",
                       help="with --bam: keep N insertions (at most a tenth, and 100000) out "
                            "of training and say how well the model places them (default "
                            "5000; 0: none)")
    train.add_argument("--seed", type=int, default=0,
                       help="seed of the background draws and of --max-sites (default 0)")
    train.add_argument("-q", "--quiet", action="store_true",
                       help="no summary line; errors still print")
    _add_read_options(train)

    score = commands.add_parser(
        "score", help="write bias tracks of a genome as bigWig or bedGraph",
        formatter_class=formatter, epilog=SCORE_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Score every position of a genome (or of --regions) on the forward "
            "and/or reverse strand.  A value is the log2 ratio of the window's "
            "probability under the bias model to its probability under the "
            "background.  .bw/.bigwig is written as bigWig, .bedgraph/.bg as "
            "bedGraph, .bedgraph.gz/.bg.gz as BGZF bedGraph, - as bedGraph on "
            "standard output.  Files appear whole or not at all."))
    score.add_argument("-f", "--fasta", required=True, metavar="FASTA",
                       help="genome FASTA, plain or bgzip (indexed on first use)")
    score.add_argument("-m", "--model", required=True, metavar="MODEL.npz",
                       help="model file written by corlap train")
    score.add_argument("--forward", metavar="OUT",
                       help="forward-strand track (- : bedGraph on standard output)")
    score.add_argument("--reverse", metavar="OUT",
                       help="reverse-strand track (- : bedGraph on standard output)")
    score.add_argument("--regions", metavar="BED",
                       help="score only these intervals (plain, gzip or bgzip BED; - reads "
                            "standard input)")
    _add_engine_options(score)

    correct = commands.add_parser(
        "correct", help="take the enzyme's sequence preference out of the insertions of "
                        "aligned reads",
        formatter_class=formatter, epilog=CORRECT_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Write the insertion signal of the reads (observed), what the bias "
            "model expects of it (expected) and their difference (corrected), per "
            "position of the genome or of --regions.  For each strand s, with "
            "weights w_s(p)\xa0=\xa02\xa0**\xa0score (the forward track's score "
            "for +, the reverse track's for -), expected_s(p) is the strand's "
            "insertions within W\xa0//\xa02 of p, shared out in proportion to the "
            "weights there; expected sums both strands, and has no value where "
            "neither strand has a score.  Output names as for score; files appear "
            "whole or not at all."))
    correct.add_argument("--bam", required=True, metavar="READS.bam",
                         help="aligned reads: BAM, or CRAM made against FASTA; "
                              "coordinate-sorted and indexed")
    correct.add_argument("-f", "--fasta", required=True, metavar="FASTA",
                         help="genome FASTA, plain or bgzip (indexed on first use)")
    correct.add_argument("-m", "--model", required=True, metavar="MODEL.npz",
                         help="model file written by corlap train")
    correct.add_argument("--observed", metavar="OUT",
                         help="insertions per position, both strands (- : bedGraph on "
                              "standard output)")
    correct.add_argument("--expected", metavar="OUT",
                         help="insertions the bias alone would place there")
    correct.add_argument("--corrected", metavar="OUT", help="observed - expected")
    correct.add_argument("--regions", metavar="BED",
                         help="write only these intervals (plain, gzip or bgzip BED; - "
                              "reads standard input)")
    correct.add_argument("--window", type=_at_least_one, metavar="W",
                         help="the local count of a position is that of the W // 2 "
                              "positions on either side and its own (default 101)")
    correct.add_argument("--per-strand", action="store_true",
                         help="also each strand's tracks, beside each output: obs.bw gives "
                              "obs.plus.bw and obs.minus.bw")
    correct.add_argument("--normalise", choices=("cpm",),
                         help="cpm: every track per million insertions counted on the "
                              "sequences left in (default: raw counts)")
    _add_engine_options(correct)
    _add_read_options(correct)

    _add_scan_parser(commands, formatter)
    _add_footprints_parser(commands, formatter)

    inspect = commands.add_parser(
        "inspect", help="print what a model holds, or draw it",
        formatter_class=formatter, epilog=INSPECT_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Print a model's type, window length, the site and background "
            "windows it counted and the information content of each position "
            "(bits, relative to the background); for a DWM also the most "
            "dependent pairs of positions."))
    inspect.add_argument("model", metavar="MODEL.npz", help="model file to read")
    inspect.add_argument("--plot", metavar="OUT.png",
                         help="also draw the model: a sequence logo, and for a DWM a "
                              "heatmap of the pair dependencies (.png, .pdf or .svg; "
                              "needs matplotlib)")
    return parser


SCAN_EXAMPLES = """examples:
  # the sites of a JASPAR file's motifs in peaks, on 8 worker processes:
  corlap scan --motifs motifs.jaspar -f genome.fa --regions peaks.bed -p 8 -o sites.bed
  # a score threshold instead of a p-value, MEME motifs, to standard output:
  corlap scan --motifs found.meme -f genome.fa --threshold 12 -o - | head"""


def _probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1, got {text}")
    return value


def _finite(text: str) -> float:
    import math

    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _add_scan_parser(commands, formatter) -> None:
    scan = commands.add_parser(
        "scan", help="find motif sites in a genome, with thresholds from a p-value",
        formatter_class=formatter, epilog=SCAN_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Score every window of a genome (or of --regions) on both strands "
            "against each motif and write the windows scoring at least the "
            "motif's threshold as BED6 plus a p-value column, sorted by position, "
            "name and strand; the - hit at [start,\xa0end) is the reverse "
            "complement of those bases.  For counts c(b,\xa0i), column total n_i, "
            "background q_b and pseudocount s: p(b,\xa0i)\xa0=\xa0(c(b,\xa0i)\xa0+\xa0s\xa0*\xa0q_b)"
            "\xa0/\xa0(n_i\xa0+\xa0s), and a window scores the sum over its positions "
            "of log2(p(b,\xa0i)\xa0/\xa0q_b).  Windows holding a base other than A, C, "
            "G, T are not scored.  The threshold of --p-value P is the least score "
            "t with P(score\xa0>=\xa0t)\xa0<=\xa0P for one window drawn base by base "
            "from the background (per window: not corrected for the genome's "
            "size); the p_value column is that probability for the hit's score.  "
            "The thresholds head the output, one '#' line per motif.  Files appear "
            "whole or not at all."))
    scan.add_argument("--motifs", required=True, nargs="+", metavar="FILE",
                      help="motif files: JASPAR (>ID NAME, then rows A [ ... ]), .pfm "
                           "(four rows of counts) or MEME minimal format (probabilities "
                           "times nsites=, 100 when missing); several files and motifs each")
    scan.add_argument("-f", "--fasta", required=True, metavar="FASTA",
                      help="genome FASTA, plain or bgzip (indexed on first use)")
    scan.add_argument("-o", "--out", required=True, metavar="OUT.bed",
                      help="the hits (- : standard output; .gz: BGZF)")
    scan.add_argument("--regions", metavar="BED",
                      help="scan only these intervals, merged where they overlap or touch; "
                           "hits lie wholly inside them (plain, gzip or bgzip BED; - reads "
                           "standard input)")
    level = scan.add_mutually_exclusive_group()
    level.add_argument("--p-value", type=_probability, metavar="P",
                       help="threshold of each motif from this p-value (default 1e-4)")
    level.add_argument("--threshold", type=_finite, metavar="T",
                       help="one score threshold (bits) for every motif instead")
    scan.add_argument("--background", nargs="+", default=["genome"], metavar="Q",
                      help="genome (default: the base frequencies of the scanned sequence, "
                           "A = T and C = G), uniform, or four frequencies A C G T")
    scan.add_argument("--pseudocount", type=_finite, default=0.8, metavar="S",
                      help="pseudocount s, above 0 (default 0.8)")
    scan.add_argument("--thresholds", metavar="OUT.tsv",
                      help="also write each motif's length, threshold and best score here")
    _add_engine_options(scan)


def _add_footprints_parser(commands, formatter) -> None:
    footprints = commands.add_parser(
        "footprints", help="score motif sites and the genome for footprints in a signal",
        formatter_class=formatter, epilog=FOOTPRINTS_EXAMPLES + "\n\n" + EXIT_CODES,
        description=_wrap(
            "Read a signal track (bigWig, for example the corrected track of "
            "correct).  Per site of --sites: the mean signal over the site "
            "(centre) and over the F bases either side (flanks, left and right as "
            "the site reads), difference\xa0=\xa0(left\xa0+\xa0right)\xa0/\xa02\xa0-\xa0centre, "
            "footprint\xa0=\xa0difference\xa0/\xa0spread (the standard deviation of the "
            "values over the centre and flanks), its empirical p-value against "
            "--background positions drawn at random "
            "(within --regions, or where the signal has values) and the bound call "
            "p\xa0<=\xa0--alpha, a test of each site on its own (not corrected for "
            "testing many).  Positions without a value are left out of a mean.  "
            "The name column names a site's motif: each motif is judged against "
            "background positions scored at its own (median) width.  With two "
            "signals or more (conditions), each is scaled by its depth factor "
            "(--depth), a site's change is its difference in a condition less that "
            "in the first, and per motif the mean change is tested against the "
            "background's changes (Welch's t test; q-values by Benjamini-Hochberg "
            "over the motifs).  "
            "--track writes the difference of the centre [p\xa0-\xa0h,\xa0p\xa0+\xa0h] "
            "at every position p; output names as for score.  Files appear whole "
            "or not at all."))
    footprints.add_argument("--signal", required=True, nargs="+", metavar="SIGNAL.bw",
                            help="the signal track, bigWig; two or more: one per condition, "
                                 "each compared with the first")
    footprints.add_argument("--names", nargs="+", metavar="NAME",
                            help="the conditions' names (default: the signal files' names "
                                 "without extension)")
    footprints.add_argument("--depth", choices=("signal", "none"), default="signal",
                            help="with two signals or more, the depth factors that make them "
                                 "comparable: signal (default), each signal's sum of absolute "
                                 "values over --regions against the first's; none: taken as "
                                 "they are (correct --normalise cpm made them comparable)")
    footprints.add_argument("--depth-from", nargs="+", metavar="TRACK.bw",
                            help="the factors from these tracks instead, one per signal (the "
                                 "observed tracks of corrected signals)")
    footprints.add_argument("--sites", metavar="BED",
                            help="motif sites: BED6, the name column naming the motif (none: "
                                 "one motif, '.'), plain, gzip or bgzip; - reads standard "
                                 "input")
    footprints.add_argument("--table", metavar="OUT.tsv",
                            help="one row per site, in the BED file's order")
    footprints.add_argument("--motifs-table", metavar="OUT.tsv",
                            help="one row per motif: its sites, bound sites, mean footprint "
                                 "and, with two signals or more, the change and its test")
    footprints.add_argument("--profile", metavar="OUT.tsv",
                            help="mean signal around all, the bound and the unbound sites of "
                                 "each motif")
    footprints.add_argument("--plot", metavar="OUT.png",
                            help="draw the profile (.png, .pdf or .svg; needs matplotlib)")
    footprints.add_argument("--plot-motifs", type=_at_least_one, default=12, metavar="N",
                            help="the plot's panels: the N motifs with the most bound sites "
                                 "(default 12)")
    footprints.add_argument("--plot-changes", metavar="OUT.png",
                            help="volcano plot of the motifs' changes (two signals or more)")
    footprints.add_argument("--track", metavar="OUT",
                            help="the difference at every position (- : bedGraph on "
                                 "standard output)")
    footprints.add_argument("--regions", metavar="BED",
                            help="draw the background and write the track within these "
                                 "intervals only")
    footprints.add_argument("--flank", type=_integer, default=30, metavar="F",
                            help="bases of each flank (default 30)")
    footprints.add_argument("--half-width", type=_non_negative, default=10, metavar="H",
                            help="the track's centre is [p - H, p + H] (default 10)")
    footprints.add_argument("--background", type=_at_least_one, default=10_000, metavar="N",
                            help="background positions drawn (default 10000)")
    footprints.add_argument("--seed", type=int, default=0,
                            help="seed of the background draws (default 0)")
    footprints.add_argument("--alpha", type=float, default=0.05,
                            help="a site is bound when its p-value is at most this "
                                 "(default 0.05)")
    _add_engine_options(footprints)


# --- shared input checks ----------------------------------------------------

def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        from corlap._output import target_of

        if error.filename == STDOUT:
            return f"standard output: {error.strerror}"
        # A hidden temporary means nothing to the user: its target does.
        named = target_of(error.filename) if isinstance(error.filename, str) else None
        return f"{named or error.filename}: {error.strerror}"
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    return str(error)


@contextlib.contextmanager
def _c_stderr() -> Iterator[list[str]]:
    """Keeps what C libraries write to file descriptor 2 meanwhile (the
    FASTA indexer's diagnostics) off the terminal; the lines are in the
    list afterwards."""
    import tempfile

    lines: list[str] = []
    sys.stderr.flush()
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(2)
        try:
            os.dup2(sink.fileno(), 2)
            yield lines
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode("utf-8", "replace").splitlines())


def _genome(path: str) -> dict[str, int]:
    from corlap.utils.fasta import open_fasta

    try:
        with _c_stderr() as said:
            with open_fasta(path) as fasta:
                return dict(zip(fasta.references, fasta.lengths))
    except OSError as error:
        raise UserError(f"FASTA {_describe(error)}" if error.filename
                        else _describe(error)) from None
    except ValueError as error:
        if not str(error).startswith("cannot index"):
            raise UserError(_describe(error)) from None
        # The indexer's own words, without its internals: the last error
        # it reported ("[E::fai_build_core] Format error, ...").
        reasons = [line.split("] ", 1)[-1] for line in said if line.startswith("[E::")]
        reason = reasons[-1] if reasons else "not a FASTA file"
        raise UserError(f"FASTA file {path!r} cannot be indexed: {reason}") from None


def _stdin_once(*paths) -> None:
    from corlap.bed import STDIN

    if sum(1 for path in paths if path == STDIN) > 1:
        raise UserError("only one input can be read from standard input (-)")


def _read_error(path: str, error: BaseException) -> UserError:
    from corlap.bed import bed_name

    return UserError(f"cannot read BED file {bed_name(path)!r}: "
                     f"{getattr(error, 'strerror', None) or error}")


def _bed(path: str, lengths: dict[str, int]):
    from corlap.bed import BedError, read_bed

    try:
        return read_bed(path, lengths)
    except BedError as error:
        raise UserError(str(error)) from None
    except (OSError, UnicodeError) as error:
        raise _read_error(path, error) from None


def _sites(path: str, lengths: dict[str, int], anchor: str | None):
    """The sites of a BED file, read as training takes them: the file is
    opened now, and a line that is wrong stops the training."""
    from corlap.bed import read_sites

    try:
        return read_sites(path, lengths, anchor)
    except OSError as error:
        raise _read_error(path, error) from None


def _output(path: str, extensions=None) -> None:
    from corlap.tracks import check_output

    try:
        check_output(path, extensions)
    except ValueError as error:
        raise UserError(str(error)) from None


def _say(args, line: str) -> None:
    if not args.quiet:
        print(f"{PROGRAM} {args.command}: {line}", file=sys.stderr, flush=True)


# --- commands -----------------------------------------------------------------

def _listed(words: list[str]) -> str:
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


def _read_filters(args, lengths: dict[str, int]):
    """The ReadFilters of the options, the blacklist read."""
    from corlap.bed import BedError, Blacklist
    from corlap.reads import ReadFilters

    blacklist = None
    if args.blacklist is not None:
        try:
            blacklist = Blacklist.read(args.blacklist, lengths)
        except BedError as error:
            raise UserError(f"--blacklist: {error}") from None
        except (OSError, UnicodeError) as error:
            raise _read_error(args.blacklist, error) from None
    try:
        return ReadFilters(args.proper_pairs, tuple(args.fragment_length)
                           if args.fragment_length else None, blacklist)
    except ValueError as error:
        raise UserError(f"--fragment-length: {error}") from None


def _read_options(args) -> tuple[tuple[int, int], int, tuple[str, ...]]:
    """(shift, min_mapq, exclude) of the reads options, defaults filled in."""
    from corlap import reads

    return (reads.DEFAULT_SHIFT if args.shift is None else (args.shift[0], args.shift[1]),
            reads.DEFAULT_MIN_MAPQ if args.min_mapq is None else args.min_mapq,
            tuple(args.exclude or ()))


@contextlib.contextmanager
def _reads_errors() -> Iterator[None]:
    """A reads file that cannot be used becomes one line, with the reason
    htslib gave on stderr (a CRAM decoded against another reference says
    no more to Python than "truncated file").  What C code wrote meanwhile
    is passed on unless the line replaces it."""
    from corlap.reads import ReadsError

    said: list[str] = []
    replaced = False
    try:
        with _c_stderr() as said:
            yield
    except ReadsError as error:
        replaced = True
        reasons = [line.split("] ", 1)[-1].strip() for line in said if line.startswith("[E::")]
        raise UserError(f"{error}" + (f" [{reasons[0]}]" if reasons else "")) from None
    finally:
        if said and not replaced:
            with contextlib.suppress(OSError):
                sys.stderr.write("".join(line + "\n" for line in said))
                sys.stderr.flush()


def _check_reads(path: str, fasta: str, lengths: dict[str, int]) -> None:
    from corlap.reads import open_reads

    with _reads_errors():
        open_reads(path, fasta, lengths).close()


def _warn_stale(args) -> None:
    """One warning line when the reads file's index is older than it
    (htslib's own, given at every load, is held back)."""
    from corlap.reads import stale_index

    index = stale_index(args.bam) if args.bam != STDOUT else None
    if index is not None:
        print(f"{PROGRAM} {args.command}: warning: index {index} is older than reads file "
              f"{args.bam}; if the file was rewritten since, index it again (samtools "
              f"index {args.bam})", file=sys.stderr, flush=True)


def _check_exclude(args, lengths: dict[str, int]) -> None:
    """One warning line for --exclude names that are no sequence of the
    FASTA file (a typo would otherwise keep the sequence meant)."""
    from corlap.training import unknown_names

    unknown = unknown_names(args.exclude or (), lengths)
    if unknown:
        names = _listed([repr(name) + (f" (did you mean {near!r}?)" if near else "")
                         for name, near in unknown])
        print(f"{PROGRAM} {args.command}: warning: --exclude {names}: no such sequence in "
              f"FASTA file {args.fasta!r}", file=sys.stderr, flush=True)


def _sites_only(args) -> None:
    given = [option for option, value in (("--shift", args.shift), ("--min-mapq", args.min_mapq),
                                          ("--max-sites", args.max_sites),
                                          ("--fragment-length", args.fragment_length),
                                          ("--proper-pairs", args.proper_pairs or None),
                                          ("--background-near", args.background_near),
                                          ("--held-out", args.held_out))
             if value is not None]
    if given:
        raise UserError(f"{_listed(given)} {'apply' if len(given) > 1 else 'applies'} to "
                        f"the reads of --bam, not to --sites")


def run_train(args) -> int:
    from corlap.bed import bed_name
    from corlap.models import save_model
    from corlap.training import DEFAULT_BACKGROUND, NoUsableSites, check_length, train_model

    _output(args.out, {".npz"})
    try:
        check_length(args.model_type, args.length)
    except ValueError as error:
        raise UserError(f"--length {args.length}: {error}") from None
    if args.bam is None:
        _sites_only(args)
    _stdin_once(args.sites, args.background_bed, args.blacklist)
    lengths = _genome(args.fasta)
    _check_exclude(args, lengths)
    sites = _sites(args.sites, lengths, args.anchor) if args.bam is None else None
    background_sites = (_sites(args.background_bed, lengths, args.anchor)
                        if args.background_bed else None)
    background = DEFAULT_BACKGROUND if args.background is None else args.background
    filters = _read_filters(args, lengths)
    try:
        if sites is not None:
            model, summary = train_model(
                args.fasta, sites, args.model_type, args.length, background=background,
                background_sites=background_sites, seed=args.seed, require_sites=True,
                exclude=args.exclude or (), blacklist=filters.blacklist)
        else:
            from corlap.reads import DEFAULT_NEAR, HELD_OUT, train_from_reads

            shift, min_mapq, exclude = _read_options(args)
            _warn_stale(args)
            with _reads_errors():
                model, summary = train_from_reads(
                    args.fasta, args.bam, args.model_type, args.length,
                    max_sites=args.max_sites, seed=args.seed, background=background,
                    background_sites=background_sites, shift=shift, min_mapq=min_mapq,
                    exclude=exclude, require_sites=True, filters=filters,
                    near=(args.background_near if args.background_near is not None else
                          DEFAULT_NEAR if args.background is None and background_sites is None
                          else None),
                    held_out=HELD_OUT if args.held_out is None else args.held_out)
    except NoUsableSites as error:
        if error.background:
            source = bed_name(args.background_bed) if args.background_bed else "the genome"
        else:
            source = bed_name(args.sites) if args.bam is None else args.bam
        check = ("--anchor and --length, and that the BED file belongs to this FASTA"
                 if args.bam is None or error.background else
                 "--length, --exclude, --min-mapq and --shift, and that the reads were "
                 "aligned to this FASTA")
        raise UserError(f"{source}: {error} (check {check})") from None
    except ValueError as error:
        raise UserError(str(error)) from None
    save_model(model, args.out)
    _hold_stops()
    _say(args, f"{summary.line()}; {args.model_type} of length {args.length} written to "
               f"{args.out}")
    return 0


def _probe(address: str, timeout: float) -> None:
    """Fail at once for a scheduler that cannot be there: a host name that
    does not resolve, a port nobody listens on.  (Dask's own connect
    retries those until its timeout.)"""
    import socket

    from distributed.comm.addressing import parse_address, parse_host_port

    try:
        scheme, location = parse_address(address)
        if scheme not in ("tcp", "tls"):
            return
        host, port = parse_host_port(location, default_port=8786)
    except (ValueError, TypeError) as error:
        raise UserError(f"not a Dask scheduler address {address!r}: {error}") from None
    try:
        socket.create_connection((host, port), timeout=timeout).close()
    except socket.gaierror as error:
        raise UserError(f"cannot reach the Dask scheduler at {address!r}: unknown host "
                        f"{host!r} ({error.strerror})") from None
    except TimeoutError:
        raise UserError(f"cannot reach the Dask scheduler at {address!r}: no answer "
                        f"within {timeout:g} s (--scheduler-timeout)") from None
    except OSError as error:
        raise UserError(f"cannot reach the Dask scheduler at {address!r}: "
                        f"{error.strerror or error}") from None


def _connect(address: str, timeout: float):
    """A Dask client of the scheduler at ``address``.  The scheduler is
    probed first, so that an unreachable one is reported (at once, or after
    ``timeout`` seconds without an answer) without leaving a half-made
    Client behind."""
    try:
        import asyncio

        from distributed import Client
        from distributed.comm import connect
    except ImportError:
        raise UserError("--scheduler needs Dask distributed: pip install 'corlap[dask]'") \
            from None
    _probe(address, timeout)

    async def probe():
        comm = await connect(address, timeout=timeout)
        await comm.close()

    try:
        asyncio.run(probe())
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UserError(f"cannot reach the Dask scheduler at {address!r}: {reason}") from None
    return Client(address, set_as_default=False, timeout=timeout)


def _positions(lengths: dict[str, int], regions) -> int:
    from corlap.tracks import merge_regions

    if regions is None:
        return sum(lengths.values())
    return sum(end - start for spans in merge_regions(regions, lengths).values()
               for start, end in spans)


def _check_outputs(named: dict[str, str | None]) -> list[str]:
    """The paths given to the output options ``named`` (option: path or
    None), in order: at least one, standard output once at most, each a
    known format in a writable place, no file twice."""
    from corlap import bed, tracks
    from corlap._engine import BGZF_EXTENSIONS

    options = list(named)
    given = [(option, path) for option, path in named.items() if path is not None]
    if not given:
        wanted = [f"{option} OUT" for option in options]
        raise UserError(f"give {' and/or '.join(wanted)}" if len(wanted) == 2
                        else f"give at least one of {_listed(wanted)}")
    if sum(1 for _, path in given if path == STDOUT) > 1:
        raise UserError(f"only one of {_listed(options)} can be - (standard output)")
    for _, path in given:
        _output(path)
        try:
            tracks.output_format(path)
        except ValueError as error:
            raise UserError(str(error)) from None
        if path.lower().endswith(BGZF_EXTENSIONS) and bed.deflate is None:
            raise RunError(bed.DEFLATE_MISSING)
    seen: dict[str, str] = {}
    for option, path in given:
        first = seen.setdefault(os.path.abspath(path), option)
        if first != option:
            raise UserError(f"{first} and {option} are the same file {path!r}")
    return [path for _, path in given]


def _model_ref(path: str):
    from corlap import tracks
    from corlap.models import ModelFileError

    try:
        return tracks.ModelRef.of(path)
    except ModelFileError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot read model file {path!r}: "
                        f"{error.strerror or error}") from None


def _run_outputs(args, outputs: list[str], write) -> None:
    """``write(executor=, max_in_flight=, progress=)`` on the engine the
    options chose (a pool of worker processes, or a Dask scheduler), as
    score and correct run: the pool started with stops held back, stopped
    whatever happens, no temporary left behind unless the run finished,
    errors naming the output as the user wrote it."""
    import concurrent.futures

    global _streaming

    files = [path for path in outputs if path != STDOUT]
    from corlap._output import discard_beside, sweep_beside

    for path in files:
        # Temporaries of runs that were killed: nothing else removes them.
        sweep_beside(path)

    client = pool = None
    finished = False
    try:
        if args.scheduler:
            _say(args, f"connecting to {args.scheduler}")
            client = _connect(args.scheduler, args.scheduler_timeout)
            executor = client.get_executor()
            slots = max(1, sum(client.nthreads().values()))
        else:
            workers = args.workers or os.cpu_count() or 1
            executor = pool = _lifecycle.WorkerPool(workers)
            slots = workers
        _streaming = STDOUT in outputs
        write(executor=executor, max_in_flight=2 * slots + 1,
              progress=not args.quiet and sys.stderr.isatty())
        # The outputs are in place: a stop from now on must not say
        # otherwise, and the workers are stopped in seconds anyway.
        _hold_stops()
        _streaming = False
        finished = True
    except OSError as error:
        _name_output(error, outputs)
        raise
    except concurrent.futures.BrokenExecutor as error:
        raise RunError(f"a worker process died ({error})") from None
    finally:
        with _lifecycle.held():
            if pool is not None:
                pool.stop()
            if client is not None:
                client.close()
            if not finished:
                for path in files:
                    # An interrupt can land just after a temporary was made
                    # and before the run knew of it.
                    discard_beside(path)
                    # Or while a writer was being made, between its files
                    # and its record of them: what nobody holds is taken
                    # now, as the next run would take it.
                    sweep_beside(path)


def _written(outputs: list[str]) -> str:
    return _listed(["standard output" if path == STDOUT else path for path in outputs])


def run_score(args) -> int:
    import functools
    import time

    started = time.monotonic()
    if not args.scheduler:
        # The process the workers will fork from starts now and imports the
        # library while this process does the same.
        _start_forkserver()
    from corlap import tracks

    outputs = _check_outputs({"--forward": args.forward, "--reverse": args.reverse})
    lengths = _genome(args.fasta)
    model = _model_ref(args.model)
    regions = _bed(args.regions, lengths) if args.regions else None
    _run_outputs(args, outputs, functools.partial(
        tracks.write_tracks, args.fasta, model, forward=args.forward, reverse=args.reverse,
        regions=regions, chunk_size=args.chunk_size))
    _say(args, f"{_positions(lengths, regions):,} positions scored; {_written(outputs)} "
               f"written in {time.monotonic() - started:.1f} s")
    return 0


def run_correct(args) -> int:
    import time

    started = time.monotonic()
    if not args.scheduler:
        _start_forkserver()
    from corlap import correct, reads

    named = {"--observed": args.observed, "--expected": args.expected,
             "--corrected": args.corrected}
    outputs = _check_outputs(named)
    if args.per_strand:
        if STDOUT in outputs:
            raise UserError("--per-strand needs files: standard output (-) holds one track")
        named.update({f"{option} ({word})": correct.strand_path(path, word)
                      for option, path in list(named.items()) if path is not None
                      for word in correct.STRAND_WORDS})
        outputs = _check_outputs(named)
    _stdin_once(args.regions, args.blacklist)
    lengths = _genome(args.fasta)
    model = _model_ref(args.model)
    shift, min_mapq, exclude = _read_options(args)
    _check_exclude(args, lengths)
    filters = _read_filters(args, lengths)
    window = correct.DEFAULT_WINDOW if args.window is None else args.window
    _warn_stale(args)
    _check_reads(args.bam, args.fasta, lengths)
    regions = _bed(args.regions, lengths) if args.regions else None
    counted = []
    try:
        _run_outputs(args, outputs, lambda **engine: counted.append(correct.write_correction(
            args.fasta, args.bam, model, observed=args.observed, expected=args.expected,
            corrected=args.corrected, regions=regions, window=window,
            chunk_size=args.chunk_size, shift=shift, min_mapq=min_mapq, exclude=exclude,
            filters=filters, per_strand=args.per_strand, normalise=args.normalise,
            **engine)))
    except reads.ReadsError as error:
        # A reads file that changed or broke after the checks, read by a worker.
        raise UserError(str(error)) from None
    kept = {chrom: length for chrom, length in lengths.items() if chrom not in exclude}
    if regions is not None:
        regions = [region for region in regions if region.chrom in kept]
    per_million = (f"; per million of {counted[0]:,} insertions counted"
                   if counted and counted[0] is not None else "")
    _say(args, f"{_positions(kept, regions):,} positions corrected (window {window})"
               f"{per_million}; {_written(outputs)} written in "
               f"{time.monotonic() - started:.1f} s")
    return 0


def _scan_background(words: list[str]):
    if len(words) == 1 and words[0] in ("genome", "uniform"):
        return words[0]
    if len(words) != 4:
        raise UserError(f"--background: genome, uniform or four frequencies (A C G T), "
                        f"got {' '.join(words)!r}")
    try:
        return [float(word) for word in words]
    except ValueError:
        raise UserError(f"--background: four numbers (A C G T), got {' '.join(words)!r}") \
            from None


def run_scan(args) -> int:
    import functools
    import time

    started = time.monotonic()
    if not args.scheduler:
        _start_forkserver()
    from corlap import motifs, scan

    if not args.pseudocount > 0:
        raise UserError(f"--pseudocount must be above 0, got {args.pseudocount:g}")
    background = _scan_background(args.background)
    if not isinstance(background, str):
        try:
            scan.background_of(background, None, None)
        except ValueError as error:
            raise UserError(f"--background: {error}".replace("background: ", "", 1)) from None
    outputs = [args.out] + ([args.thresholds] if args.thresholds else [])
    for path in outputs:
        _output(path)
    if args.thresholds == STDOUT and args.out == STDOUT:
        raise UserError("only one of --out and --thresholds can be - (standard output)")
    if args.thresholds and os.path.abspath(args.thresholds) == os.path.abspath(args.out):
        raise UserError(f"--out and --thresholds are the same file {args.out!r}")
    try:
        found = motifs.read_motifs(args.motifs)
    except motifs.MotifError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot read motif file {error.filename or ''!r}: "
                        f"{error.strerror or error}") from None
    lengths = _genome(args.fasta)
    regions = _bed(args.regions, lengths) if args.regions else None
    p_value = None if args.threshold is not None else (args.p_value or scan.DEFAULT_P_VALUE)
    summary = []
    try:
        _run_outputs(args, outputs, functools.partial(
            _scan_into, summary, scan.write_sites, args.fasta, found, args.out,
            thresholds=args.thresholds, regions=regions, background=background,
            pseudocount=args.pseudocount, p_value=p_value, threshold=args.threshold,
            chunk_size=args.chunk_size))
    except scan.BackgroundError as error:
        raise UserError(str(error)) from None
    _say(args, f"{summary[0].line()}; {_written(outputs)} written in "
               f"{time.monotonic() - started:.1f} s")
    return 0


def _scan_into(summary: list, write, *args, **options) -> None:
    summary.append(write(*args, **options))


def run_footprints(args) -> int:
    import time

    started = time.monotonic()
    from corlap import footprints
    from corlap.bed import BedError

    if args.flank < 1:
        raise UserError(f"--flank must be at least 1, got {args.flank}")
    if not 0 <= args.alpha <= 1:
        raise UserError(f"--alpha must be from 0 to 1, got {args.alpha}")
    per_site = {"--table": args.table, "--profile": args.profile, "--plot": args.plot,
                "--motifs-table": args.motifs_table, "--plot-changes": args.plot_changes}
    given = [option for option, path in per_site.items() if path is not None]
    if args.sites is None and given:
        raise UserError(f"{_listed(given)} need{'s' if len(given) == 1 else ''} --sites")
    if args.sites is not None and not given:
        raise UserError("--sites needs at least one of --table, --motifs-table, --profile, "
                        "--plot and --plot-changes")
    if not given and args.track is None:
        raise UserError("give at least one of --table, --motifs-table, --profile, --plot, "
                        "--plot-changes and --track")
    if args.plot_changes is not None and len(args.signal) < 2:
        raise UserError("--plot-changes needs two signals or more (--signal A.bw B.bw)")
    if args.track is not None and len(args.signal) > 1:
        raise UserError("--track takes one signal")
    if args.depth_from is not None and len(args.depth_from) != len(args.signal):
        raise UserError(f"--depth-from gives {len(args.depth_from)} tracks for "
                        f"{len(args.signal)} signals")
    if args.depth_from is not None and args.depth == "none":
        raise UserError("--depth none and --depth-from contradict each other")
    if args.names is not None and len(args.names) != len(args.signal):
        raise UserError(f"--names gives {len(args.names)} names for {len(args.signal)} "
                        f"signals")
    _stdin_once(args.sites, args.regions)
    files = [path for path in per_site.values() if path is not None]
    for option, path in per_site.items():
        if path == STDOUT:
            raise UserError(f"{option} must be a file, not standard output")
    for path in files:
        _output(path)
    from corlap._output import sweep_beside

    for path in files:
        # Temporaries of runs that were killed: nothing else removes them.
        sweep_beside(path)
    for picture in (args.plot, args.plot_changes):
        if picture is not None:
            _output(picture, set(footprints.PLOT_FORMATS))
    outputs = files + (_check_outputs({"--track": args.track}) if args.track else [])
    if len(set(map(os.path.abspath, outputs))) < len(outputs):
        raise UserError("each output must be a file of its own")
    try:
        lengths = footprints.signal_lengths(args.signal[0])
    except footprints.FootprintError as error:
        raise UserError(str(error)) from None
    try:
        regions = footprints.read_regions(args.regions, lengths) if args.regions else None
    except BedError as error:
        raise UserError(str(error)) from None
    except (OSError, UnicodeError) as error:
        raise _read_error(args.regions, error) from None
    temporaries = []
    summary = None
    try:
        if given:
            summary, temporaries = footprints.score_sites(
                args.signal, args.sites, args.table, profile=args.profile, plot=args.plot,
                motifs_table=args.motifs_table, plot_changes=args.plot_changes,
                names=args.names, regions=regions, flank=args.flank,
                background=args.background, seed=args.seed, alpha=args.alpha,
                plot_motifs=args.plot_motifs, chunk_size=args.chunk_size,
                workers=args.workers or os.cpu_count() or 1,
                depth=args.depth_from if args.depth_from is not None else args.depth)
            for warning in summary.warnings:
                print(f"{PROGRAM} {args.command}: warning: {warning}", file=sys.stderr,
                      flush=True)
        if args.track is not None:
            import functools

            # The per-site files go in place with the track, as one set.
            _run_outputs(args, [args.track], functools.partial(
                footprints.write_track, args.signal[0], args.track, regions=regions,
                half_width=args.half_width, flank=args.flank, chunk_size=args.chunk_size,
                companions=[(temporary, path) for temporary, path
                            in zip(temporaries, per_site.values()) if temporary is not None]))
        else:
            footprints.commit_all(temporaries, per_site.values())
        temporaries = []
    except (footprints.FootprintError, BedError) as error:
        raise UserError(str(error)) from None
    except ImportError:
        raise UserError("--plot needs matplotlib: pip install 'corlap[plot]'") from None
    except (OSError, UnicodeError) as error:
        if isinstance(error, UnicodeError) or error.filename in (args.sites, "standard input"):
            raise _read_error(args.sites, error) from None
        raise
    finally:
        footprints.discard_all(temporaries)
    done = [summary.line()] if summary is not None else []
    if args.track is not None:
        done.append(f"{_positions(lengths, regions):,} positions in the track")
    _say(args, f"{'; '.join(done)}; {_written(outputs)} written in "
               f"{time.monotonic() - started:.1f} s")
    return 0


def run_inspect(args) -> int:
    from corlap import inspection
    from corlap.models import ModelFileError, load_model

    if args.plot is not None:
        _output(args.plot, set(inspection.PLOT_FORMATS))
    try:
        model = load_model(args.model)
    except ModelFileError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot read model file {args.model!r}: "
                        f"{error.strerror or error}") from None
    summary = inspection.summarize(model)
    if args.plot is not None:
        try:
            inspection.plot(summary, args.plot, title=os.path.basename(args.model))
        except ImportError:
            raise UserError("--plot needs matplotlib: pip install 'corlap[plot]'") from None
    sys.stdout.write(summary.report())
    sys.stdout.flush()
    return 0


def _name_output(error: OSError, outputs: list[str]) -> None:
    """Name in ``error`` the output, as the user wrote it, whose temporary
    the error is about; or, for a failed write that named no file, the
    outputs it can be about."""
    from corlap._output import target_of

    if error.filename is None:
        if error.errno in WRITE_ERRORS:
            error.filename = " or ".join(outputs)
        return
    target = target_of(error.filename) if isinstance(error.filename, str) else None
    for path in outputs:
        if target is not None and os.path.abspath(target) == os.path.abspath(path):
            error.filename = path


# The lifecycle's own names, as the commands call them.
_start_forkserver = _lifecycle.start_forkserver
_hold_stops = _lifecycle.stops_over


def _incomplete() -> str:
    return "; the bedGraph on standard output is incomplete" if _streaming else ""


def _stop_within(error: BaseException) -> KeyboardInterrupt | None:
    """The stop among the exceptions that led to ``error``, if any."""
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, KeyboardInterrupt):
            return error
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return None


def main(argv=None) -> int:
    global _streaming
    parser = build_parser()
    args = parser.parse_args(argv)
    previous = _lifecycle.catch_stops()
    _streaming = False
    command = {"train": run_train, "score": run_score, "correct": run_correct,
               "footprints": run_footprints, "inspect": run_inspect,
               "scan": run_scan}[args.command]
    said = f"{PROGRAM} {args.command}"
    try:
        try:
            return command(args)
        except Exception as error:
            # A stop that lands inside an import (NumPy's, say) comes out
            # as the ImportError the import machinery makes of it: still
            # the stop.
            stop = _stop_within(error) or _lifecycle.stop_raised()
            if stop is None:
                raise
            raise stop from None
        finally:
            # The outcome is settled: a stop that comes while it is
            # reported is let be.
            _lifecycle.stops_over()
    except UserError as error:
        print(f"{said}: error: {error}{_incomplete()}", file=sys.stderr)
        return 2
    except KeyboardInterrupt as error:
        import signal

        signum = getattr(error, "signum", signal.SIGINT)
        written = list(getattr(error, "written", ()))
        if written:
            # Held back until the outputs were all in place.
            what = (f"the outputs are complete: "
                    f"{_listed(written + ['standard output'] * _streaming)} written")
        elif _streaming:
            what = "no file written, and the bedGraph on standard output is incomplete"
        else:
            what = "no output written"
        print(_lifecycle.interrupted_line(args.command, signum, what), file=sys.stderr)
        return 128 + signum
    except (RunError, PysamUnavailable) as error:
        print(f"{said}: error: {error}{_incomplete()}", file=sys.stderr)
        return 1
    except OSError as error:
        if _lifecycle.closed_pipe(error):
            # The reader went away (`| head`): nothing more is wanted, and
            # nothing is said, as for a process that SIGPIPE stopped.
            return _lifecycle.CLOSED_PIPE_STATUS
        print(f"{said}: error: {_describe(error)}{_incomplete()}", file=sys.stderr)
        return 1
    finally:
        _streaming = False
        _lifecycle.release_stops(previous)


def entry() -> None:
    """The console script: ``main``, then an immediate exit.  The outputs
    are committed or removed by then; the interpreter's exit handlers would
    only join the worker pool's threads, which wait forever on workers
    that were killed."""
    _lifecycle.stop_at_once()
    try:
        status = main()
    except SystemExit:
        raise               # argparse: --help, or a usage error
    except BaseException:   # noqa: BLE001 - a fault of corlap: say where, still exit
        import traceback

        with contextlib.suppress(OSError):
            traceback.print_exc()
        status = 1
    _lifecycle.stops_over()
    _lifecycle.release_at_exit()
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError):
            stream.flush()
    os._exit(status)


if __name__ == "__main__":
    entry()
