import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import signal

import pytest

# A suite started as a background job of a shell without job control (CI
# runners, `make test &`) inherits SIGINT ignored, and every command it
# starts keeps it so, as corlap keeps an ignored stop ignored on purpose:
# the tests of Ctrl-C would then see runs that cannot be interrupted.
# Python's own handler here lets the commands start with the default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

DATA = pathlib.Path(__file__).parent / "data"
LAMBDA_FASTA = DATA / "lambda_phage.fa"
LAMBDA_NAME = "gi|9626243|ref|NC_001416.1|"
LAMBDA_LENGTH = 48502


def read_plain_fasta(path):
    """The single record of a small FASTA file, read without any index."""
    lines = pathlib.Path(path).read_text().splitlines()
    return "".join(line.strip() for line in lines[1:])


@pytest.fixture(scope="session")
def lambda_text():
    text = read_plain_fasta(LAMBDA_FASTA)
    assert len(text) == LAMBDA_LENGTH
    return text


@pytest.fixture
def lambda_fasta_path(tmp_path):
    """A private copy of the genome, so that index files land in tmp_path."""
    target = tmp_path / "lambda_phage.fa"
    shutil.copyfile(LAMBDA_FASTA, target)
    return target


@pytest.fixture(scope="session")
def test_hooks():
    """The test-only module compiled into the extension's shared object
    (src/corlap/utils/sequences/test_hooks.cpp), loaded from that file."""
    return load_test_hooks()


def load_test_hooks():
    from corlap.utils import sequences
    name = "corlap.utils._sequences_test_hooks"
    loader = importlib.machinery.ExtensionFileLoader(name, sequences.__file__)
    found = importlib.util.spec_from_file_location(name, sequences.__file__, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


# --- a small multi-chromosome genome for the genome-scale layer --------------

COMPLEMENT = str.maketrans("ACGTacgt", "TGCAtgca")


def write_fasta(path, records, width=60):
    with open(path, "w") as stream:
        for name, text in records.items():
            stream.write(f">{name}\n")
            for at in range(0, len(text), width):
                stream.write(text[at:at + width] + "\n")


@pytest.fixture(scope="session")
def genome_records(lambda_text):
    """Three chromosomes cut from lambda, one with a run of 50 N, one with
    lower-case and IUPAC letters, and one shorter than any window."""
    return {
        "chrA": lambda_text[:20_000] + "N" * 50 + lambda_text[20_000:30_000],
        "chrB": lambda_text[30_000:36_000].lower() + "RYK" + lambda_text[36_000:45_000],
        "chrC": lambda_text[45_000:],
        "chrS": "ACGTA",
    }


@pytest.fixture(scope="session")
def genome_dir(tmp_path_factory, genome_records):
    """A directory holding genome.fa and sites.bed (indexed once, shared read-only by the
    tests that do not change it)."""
    directory = tmp_path_factory.mktemp("genome")
    write_fasta(directory / "genome.fa", genome_records)
    (directory / "sites.bed").write_text(motif_sites(genome_records))
    from corlap.utils.fasta import open_fasta
    open_fasta(directory / "genome.fa").close()
    return directory


@pytest.fixture(scope="session")
def genome_fasta(genome_dir):
    return genome_dir / "genome.fa"


def reverse_complement(text):
    return text.translate(COMPLEMENT)[::-1]


def motif_sites(records, motif="GATC", offset=2):
    """BED lines of every motif occurrence: + sites at motif start + offset,
    and - sites at the same place on every other occurrence."""
    lines = []
    for name, text in records.items():
        at, k = text.upper().find(motif), 0
        while at != -1:
            lines.append(f"{name}\t{at + offset}\t{at + offset + 1}\tsite{k}\t0\t"
                         f"{'+-'[k % 2]}\n")
            at, k = text.upper().find(motif, at + 1), k + 1
    return "".join(lines)


MODEL_LENGTHS = {"PWM": 9, "DWM": 6}   # odd and even windows


@pytest.fixture(scope="session")
def model_files(genome_dir, genome_records):
    """A PWM (length 9) and a DWM (length 6) trained on the GATC sites of
    the test genome, saved as model files."""
    from corlap.bed import read_bed
    from corlap.models import save_model
    from corlap.training import train_model

    bed = genome_dir / "sites.bed"
    lengths = {name: len(text) for name, text in genome_records.items()}
    paths = {}
    for kind, length in MODEL_LENGTHS.items():
        model, _ = train_model(genome_dir / "genome.fa", read_bed(bed, lengths), kind, length,
                               background=2000, seed=1)
        paths[kind] = genome_dir / f"{kind.lower()}.npz"
        save_model(model, paths[kind])
    return paths


@pytest.fixture(scope="session")
def dask_cluster():
    """A Dask LocalCluster of 2 single-threaded worker processes on the
    loopback address, shared by the tests that run tasks on Dask."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=40)
    try:
        yield cluster
    finally:
        cluster.close()


def group_members(group):
    """Processes of the process group, zombies left out (nobody may be
    there to reap an orphan)."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stream:
                fields = stream.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] not in (b"Z", b"X"):
            members.append(int(entry))
    return members


def stop_while_committing(monkeypatch, stop_in: str) -> list:
    """A SIGINT raised while outputs are put in place: from inside the
    second temporary's sync (before any rename), or from inside the
    directory's sync (after them).  The temporaries synced, as a list."""
    import signal

    from corlap import _output

    synced, sync, sync_directory = [], _output._sync, _output._sync_directory

    def stopping_sync(temporary):
        synced.append(temporary)
        if stop_in == "second file's sync" and len(synced) == 2:
            signal.raise_signal(signal.SIGINT)
        sync(temporary)

    def stopping_sync_directory(directory):
        if stop_in == "directory's sync":
            signal.raise_signal(signal.SIGINT)
        sync_directory(directory)

    monkeypatch.setattr(_output, "_sync", stopping_sync)
    monkeypatch.setattr(_output, "_sync_directory", stopping_sync_directory)
    return synced
