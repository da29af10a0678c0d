import importlib.machinery
import importlib.util
import pathlib
import shutil

import pytest

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
    from corlap.utils import sequences
    name = "corlap.utils._sequences_test_hooks"
    loader = importlib.machinery.ExtensionFileLoader(name, sequences.__file__)
    spec = importlib.util.spec_from_file_location(name, sequences.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
