"""Model files (corlap.models) and training from sites (corlap.training):
files round-trip to models that score bit-identically, hostile files are
refused without running any code, and trained counts equal the same
windows counted by hand."""

import io
import pickle
import zipfile

import numpy as np
import pytest

from conftest import reverse_complement
from corlap.bed import Site, read_bed
from corlap.models import FORMAT_VERSION, ModelFileError, load_model, model_bytes, save_model
from corlap.training import site_window, train_model
from corlap.utils.sequences import SequenceMatrix, nuc_to_num

TABLES = {
    "PWM": ["counts", "bg_counts", "neg_counts", "no_bias", "no_bg", "pssm", "bias_pwm",
            "bg_pwm"],
    "DWM": ["counts", "bg_counts", "neg_counts", "no_bias", "no_bg", "pssm", "bias_pwm",
            "bg_pwm", "bias_dwm", "bg_dwm", "bias_pwm_log", "bg_pwm_log", "bias_dwm_log",
            "bg_dwm_log"],
}


def small_model(kind, length=5, seed=0):
    rng = np.random.default_rng(seed)
    model = SequenceMatrix.create(length, kind)
    for _ in range(40):
        model.add_sequence(rng.integers(0, 4, length))
        model.add_background(rng.integers(0, 5, length))
    model.prepare_mat()
    return model


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
def test_round_trip_same_bits_and_scores(kind, tmp_path):
    model = small_model(kind)
    save_model(model, tmp_path / "m.npz")
    with np.load(tmp_path / "m.npz", allow_pickle=False) as archive:
        assert sorted(archive.files) == sorted(TABLES[kind] + ["length", "type",
                                                               "format_version"])
        assert str(archive["type"]) == kind and int(archive["format_version"]) == 1
    loaded = load_model(tmp_path / "m.npz")
    assert type(loaded) is type(model) and loaded.length == model.length
    for name in TABLES[kind]:
        saved, back = np.asarray(getattr(model, name)), np.asarray(getattr(loaded, name))
        assert back.dtype == np.float64 and back.tobytes() == saved.tobytes(), name
    codes = np.random.default_rng(3).integers(0, 5, 5_000)
    assert model.score_sequence(codes).tobytes() == loaded.score_sequence(codes).tobytes()
    assert model_bytes(loaded) == model_bytes(model)


def test_unprepared_model_is_not_saved(tmp_path):
    with pytest.raises(ValueError, match="prepare_mat"):
        save_model(SequenceMatrix.create(4, "DWM"), tmp_path / "m.npz")
    assert list(tmp_path.iterdir()) == []


class Tripwire:
    """Unpickling this object creates a file: evidence that code ran."""
    path = None

    def __reduce__(self):
        return (open, (str(self.path), "w"))


def rewrite(source, target, change):
    """Copy a model file's arrays, with ``change(dict)`` applied, into an
    npz written by np.savez (which pickles object arrays)."""
    with np.load(source, allow_pickle=False) as archive:
        arrays = {name: archive[name] for name in archive.files}
    change(arrays)
    np.savez(target, **arrays)


HOSTILE = {
    "object array": lambda a: a.update(pssm=np.array([Tripwire()], dtype=object)),
    "wrong version": lambda a: a.update(format_version=np.array(FORMAT_VERSION + 1)),
    "unknown type": lambda a: a.update(type=np.array("XWM")),
    "missing array": lambda a: a.pop("bg_pwm"),
    "extra array": lambda a: a.update(extra=np.zeros(3)),
    "misshapen": lambda a: a.update(pssm=np.zeros((4, 5))),
    "wrong dtype": lambda a: a.update(bias_pwm=a["bias_pwm"].astype(np.float32)),
    "length zero": lambda a: a.update(length=np.array(0)),
    "length as text": lambda a: a.update(length=np.array("5")),
}


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_npz_refused_naming_file(case, tmp_path):
    Tripwire.path = tmp_path / "code-ran"
    save_model(small_model("PWM"), tmp_path / "good.npz")
    rewrite(tmp_path / "good.npz", tmp_path / "bad.npz", HOSTILE[case])
    with pytest.raises(ModelFileError, match="bad.npz"):
        load_model(tmp_path / "bad.npz")
    assert not Tripwire.path.exists()


@pytest.mark.parametrize("contents", [
    pickle.dumps({"type": "PWM", "payload": Tripwire()}),
    b"",
    b"PK\x03\x04 truncated",
    b"\x93NUMPY not an archive",
])
def test_non_archives_refused(contents, tmp_path):
    Tripwire.path = tmp_path / "code-ran"
    (tmp_path / "bad.npz").write_bytes(contents)
    with pytest.raises(ModelFileError, match="bad.npz.*not an .npz archive"):
        load_model(tmp_path / "bad.npz")
    assert not Tripwire.path.exists()


def test_truncated_array_and_foreign_member_refused(tmp_path):
    save_model(small_model("DWM"), tmp_path / "good.npz")
    with zipfile.ZipFile(tmp_path / "good.npz") as good, \
            zipfile.ZipFile(tmp_path / "short.npz", "w") as short, \
            zipfile.ZipFile(tmp_path / "foreign.npz", "w") as foreign:
        for info in good.infolist():
            data = good.read(info)
            short.writestr(info.filename, data[:-8] if info.filename == "bg_dwm.npy" else data)
            foreign.writestr(info.filename, data)
        foreign.writestr("run_me.py", "print('hi')")
    with pytest.raises(ModelFileError, match="short.npz.*bg_dwm"):
        load_model(tmp_path / "short.npz")
    with pytest.raises(ModelFileError, match="foreign.npz.*run_me.py"):
        load_model(tmp_path / "foreign.npz")


def test_missing_model_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="nope.npz"):
        load_model(tmp_path / "nope.npz")


def test_load_from_file_object():
    model = small_model("DWM")
    assert model_bytes(load_model(io.BytesIO(model_bytes(model)))) == model_bytes(model)


# --- training ----------------------------------------------------------------------

def by_hand(kind, length, windows, background_windows):
    model = SequenceMatrix.create(length, kind)
    for text in windows:
        model.add_sequence(nuc_to_num(text))
    for text in background_windows:
        model.add_background(nuc_to_num(text))
    model.prepare_mat()
    return model


@pytest.mark.parametrize("kind,length", [("PWM", 7), ("DWM", 6), ("DWM", 1)])
def test_trained_counts_equal_windows_counted_by_hand(kind, length, genome_fasta,
                                                      genome_records):
    """+ sites count bases p - F .. p - F + L - 1; - sites the reverse
    complement of p - (L - 1 - F) .. p + F; off-chromosome windows are
    skipped and counted."""
    records, centre = genome_records, length // 2
    sites = [Site("chrA", 100, 101, "+"), Site("chrA", 100, 101, "-"),
             Site("chrB", 5_000, 5_001, "-"), Site("chrA", 0, 1, "+"),
             Site("chrC", len(records["chrC"]) - 1, len(records["chrC"]), "-"),
             Site("chrA", 20_003, 20_004, "+"), Site("chrS", 2, 3, "+")]
    background = [Site("chrC", 10, 11, "-"), Site("chrB", 777, 778, "+")]
    windows, off = [], 0
    for site in sites:
        text = records[site.chrom]
        if site.strand == "+":
            start = site.start - centre
            window = text[start:start + length] if start >= 0 else ""
        else:
            start = site.start - (length - 1 - centre)
            window = reverse_complement(text[start:site.start + centre + 1]) if start >= 0 else ""
        if len(window) == length:
            windows.append(window)
        else:
            off += 1
    background_windows = [reverse_complement(records["chrC"][10 - (length - 1 - centre):
                                                            10 + centre + 1]),
                          records["chrB"][777 - centre:777 - centre + length]]
    model, summary = train_model(genome_fasta, sites, kind, length,
                                 background_sites=background)
    want = by_hand(kind, length, windows, background_windows)
    assert summary.sites == len(windows) and summary.sites_off == off and (off >= 1 or length == 1)
    assert summary.background == 2
    for name in TABLES[kind]:
        assert np.asarray(getattr(model, name)).tobytes() == \
            np.asarray(getattr(want, name)).tobytes(), name


def test_random_background_is_seeded_and_leaves_out_n_windows(genome_fasta, genome_dir):
    sites = read_bed(genome_dir / "sites.bed", {"chrA": 30_050, "chrB": 15_003,
                                                "chrC": 3_502, "chrS": 5})
    one, s1 = train_model(genome_fasta, sites, "PWM", 8, background=500, seed=4)
    two, _ = train_model(genome_fasta, sites, "PWM", 8, background=500, seed=4)
    other, _ = train_model(genome_fasta, sites, "PWM", 8, background=500, seed=5)
    assert s1.background == 500 and s1.background_with_n > 0
    # Drawn windows holding N are counted in the summary, not in the tables.
    assert one.bg_counts.sum() == (500 - s1.background_with_n) * 8 == one.no_bg * 8
    assert not one.bg_counts[4].any()
    assert one.bg_counts.tobytes() == two.bg_counts.tobytes()
    assert one.bg_counts.tobytes() != other.bg_counts.tobytes()


def test_site_window_coordinates():
    assert site_window(10, "+", 6, 100) == (7, 13)     # F = 3: centre index 3 at 10
    assert site_window(10, "-", 6, 100) == (8, 14)     # 10 - 2 .. 10 + 3
    assert site_window(10, "+", 5, 100) == (8, 13)
    assert site_window(10, "-", 5, 100) == (8, 13)
    assert site_window(1, "+", 6, 100) is None
    assert site_window(97, "-", 6, 100) is None
    assert site_window(97, "+", 6, 100) == (94, 100)
