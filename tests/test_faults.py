"""Faults that only show under bad timing or on other file systems, each
made to happen here: a task attempt that outlives its result and dies half
way, run directories and temporaries whose holders live on (locks as NFS
carries them), a machine crash right after a rename (the directory's
fsync), and what bigWig readers trust without checking (the index's end of
data, zoom sums)."""

import concurrent.futures
import fcntl
import os
import stat
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from corlap import _bigwig, _output, _runs, tracks
from test_bigwig_readers import read_pybigwig, zoom_records


# --- a late duplicate attempt ------------------------------------------------------

class _Died(BaseException):
    """A task attempt's process ending in the middle of its work."""


class _LateDuplicateFuture(concurrent.futures.Future):
    def __init__(self, duplicate):
        super().__init__()
        self._duplicate = duplicate

    def result(self, timeout=None):
        value = super().result(timeout)
        duplicate, self._duplicate = self._duplicate, None
        if duplicate is not None:
            duplicate()
        return value


class LateDuplicateExecutor(concurrent.futures.Executor):
    """Each task runs once for its result; as the caller takes that result
    (``dying``), a second attempt of the task runs on and dies half way
    through writing its bigWig blocks, before the caller can copy them."""

    def __init__(self, dying):
        self.dying = dying
        self.duplicates = 0

    def submit(self, fn, /, *args, **kwargs):
        def duplicate():
            self.duplicates += 1
            self.dying[0] = True
            try:
                fn(*args, **kwargs)
            except _Died:
                pass
            finally:
                self.dying[0] = False

        future = _LateDuplicateFuture(duplicate if self.dying is not None else None)
        future.set_result(fn(*args, **kwargs))
        return future


def test_a_duplicate_that_dies_after_the_result_was_taken_changes_no_byte(
        tmp_path, genome_fasta, model_files, monkeypatch):
    dying = [False]
    died = []
    write_all = _bigwig.write_all

    def write_half_then_die(descriptor, at, data):
        if not dying[0]:
            return write_all(descriptor, at, data)
        died.append(at)
        view = memoryview(data).cast("B")
        write_all(descriptor, at, view[:len(view) // 2])
        raise _Died

    monkeypatch.setattr(_bigwig, "write_all", write_half_then_die)
    outputs = {}
    for name, executor in (("clean", LateDuplicateExecutor(None)),
                           ("late", LateDuplicateExecutor(dying))):
        out = tmp_path / name / "f.bw"
        out.parent.mkdir()
        tracks.write_tracks(genome_fasta, model_files["DWM"], forward=out, executor=executor,
                            chunk_size=3_000, max_in_flight=2)
        outputs[name] = out.read_bytes()
    assert executor.duplicates >= len(died) >= 5
    assert outputs["late"] == outputs["clean"]


# --- locks of live runs, local and as NFS carries them ---------------------------

HOLDER = """
import fcntl, os, struct, sys
from corlap import _output, _runs
kind, lock, place = sys.argv[1:]
if kind == "directory":
    path = os.path.join(place, _runs.RUN_PREFIX + "held")
    os.mkdir(path)
    path = os.path.join(path, _runs.LOCK_NAME)
else:
    path = os.path.join(place, ".f.bw.0123abcd.tmp")
descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
if lock == "corlap":
    _output.lock_exclusive(descriptor, wait=True)
else:
    # What an NFS client's flock is to the other clients: a byte-range
    # write lock over the whole file.
    fcntl.fcntl(descriptor, fcntl.F_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
print(path, flush=True)
sys.stdin.read()
"""


def _age(path, seconds):
    when = time.time() - seconds
    for root, directories, files in os.walk(path):
        for name in files:
            os.utime(os.path.join(root, name), (when, when))
    os.utime(path, (when, when))


@pytest.mark.parametrize("lock", ["corlap", "byte range"])
@pytest.mark.parametrize("kind", ["directory", "temporary"])
def test_sweeps_keep_what_a_live_holder_locks_however_old(kind, lock, tmp_path):
    """A live holder's lock is checked, not only its age (past the grace
    period), and a byte-range lock, as NFS carries flock, counts too."""
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, kind, lock, str(tmp_path)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        path = holder.stdout.readline().strip()
        held = os.path.dirname(path) if kind == "directory" else path
        _age(held, 10 * _runs.UNLOCKED_GRACE)

        def sweep():
            if kind == "directory":
                return _runs.sweep_run_directories(str(tmp_path))
            return _output.sweep_beside(tmp_path / "f.bw")

        assert sweep() == [] and os.path.exists(path)
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    assert sweep() == [held] and not os.path.lexists(held)


def _lock_seen(path):
    """The lock another open file of ``path`` is refused: F_OFD_GETLK
    (the byte-range lock NFS sends to its server) and flock."""
    probe = os.open(path, os.O_RDWR)
    try:
        query = struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0)
        kind = struct.unpack("hhqqi4x", fcntl.fcntl(probe, fcntl.F_OFD_GETLK, query))[0]
        try:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
            flocked = False
        except BlockingIOError:
            flocked = True
        return kind == fcntl.F_WRLCK, flocked
    finally:
        os.close(probe)


@pytest.mark.skipif(not hasattr(fcntl, "F_OFD_GETLK"), reason="open file description locks")
def test_holders_keep_a_byte_range_lock_per_open_file(tmp_path):
    """Temporaries and run directories are locked both ways; the lock holds
    while another descriptor of the file opens and closes in this process
    (a classic fcntl lock would go then) and within this process."""
    temporary, stream = _output.open_beside(tmp_path / "f.bw")
    stream.close()
    try:
        other = os.open(temporary, os.O_RDONLY)
        os.close(other)
        assert _lock_seen(temporary) == (True, True)
        assert _output.lock_if_free(temporary) is None
    finally:
        _output.discard(temporary)
    with _runs.run_directory() as directory:
        assert _lock_seen(os.path.join(directory, _runs.LOCK_NAME)) == (True, True)


# --- the rename on disk --------------------------------------------------------------

def test_commit_syncs_the_data_before_and_the_directory_after_the_rename(tmp_path,
                                                                         monkeypatch):
    target = tmp_path / "out.bg"
    temporary, stream = _output.open_beside(target)
    stream.write(b"chr1\t0\t1\t0.5\n")
    stream.close()
    synced = []
    fsync = os.fsync

    def recording(descriptor):
        status = os.fstat(descriptor)
        synced.append((stat.S_ISDIR(status.st_mode), status.st_ino, target.exists()))
        return fsync(descriptor)

    monkeypatch.setattr(os, "fsync", recording)
    file_inode = os.stat(temporary).st_ino
    _output.commit(temporary, target)
    assert (False, file_inode, False) in synced
    assert (True, os.stat(tmp_path).st_ino, True) in synced
    assert synced.index((False, file_inode, False)) < synced.index(
        (True, os.stat(tmp_path).st_ino, True))


# --- what bigWig readers trust ---------------------------------------------------------

@pytest.fixture(scope="module")
def bigwig(tmp_path_factory, genome_fasta, model_files):
    path = tmp_path_factory.mktemp("faults") / "f.bw"
    tracks.write_tracks(genome_fasta, model_files["PWM"], forward=path, chunk_size=7_000)
    return path


def _leaves(raw, node_at):
    """(offset, size) of every block under the R-tree node at ``node_at``."""
    leaf, _, count = struct.unpack_from("<BBH", raw, node_at)
    found = []
    for k in range(count):
        if leaf:
            found.append(struct.unpack_from("<QQ", raw, node_at + 4 + 32 * k + 16))
        else:
            child = struct.unpack_from("<Q", raw, node_at + 4 + 24 * k + 16)[0]
            found += _leaves(raw, child)
    return found


def test_each_index_says_where_its_blocks_end(bigwig):
    """The end-of-data field of the data index and of every zoom level's
    index, against the file's layout: blocks lie back to back from the
    block count on, and the index follows the last one."""
    raw = bigwig.read_bytes()
    header = struct.unpack_from("<IHHQQQHHQQIQ", raw, 0)
    levels, data_at, index_at = header[2], header[4], header[5]
    sections = [(data_at, index_at)]
    for k in range(levels):
        sections.append(struct.unpack_from("<IIQQ", raw, 64 + 24 * k)[2:])
    assert levels >= 2
    for data_at, index_at in sections:
        index = struct.unpack_from("<IIQIIIIQII", raw, index_at)
        assert index[0] == _bigwig.INDEX_MAGIC
        blocks = _leaves(raw, index_at + 48)
        assert len(blocks) == index[2] > 0
        starts = [offset for offset, _ in blocks]
        ends = [offset + size for offset, size in blocks]
        # A level's record count (4 bytes) or the data's block count (8).
        assert starts[0] in (data_at + 4, data_at + 8)
        assert starts[1:] == ends[:-1]
        assert index[7] == ends[-1] == index_at


def test_zoom_sums_are_float64_sums_of_the_stored_values(bigwig):
    """Each record's sum and sum of squares is the float64 sum of the
    float32 values beneath it, rounded once to float32: summed in float32,
    a record of 128 values strays by several steps."""
    values = {chrom: v.astype(np.float64) for chrom, v in read_pybigwig(bigwig).items()}
    checked = 0
    for by_chrom in zoom_records(bigwig).values():
        for chrom, rows in by_chrom.items():
            kept = np.nan_to_num(values[chrom], nan=0.0)
            for field, terms in (("sum", kept), ("squares", kept * kept)):
                want = np.array([terms[a:b].sum() for a, b in zip(rows["start"], rows["end"])])
                step = np.spacing(np.abs(want).astype(np.float32)).astype(np.float64)
                assert (np.abs(rows[field] - want) <= step).all(), (chrom, field)
                checked += len(rows)
    assert checked > 500
