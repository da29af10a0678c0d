"""What a run leaves behind when it is killed, stopped or cannot write:
no process, no run directory and no temporary outlives it for long; a
stop signal sent to the whole process group, as a terminal sends it, at
any moment, gives one line and 128 + N and leaves earlier outputs as they
were; a reader of standard output that goes away ends the run quietly
with 141; a write error ends the run at once with one line naming the
file.  Runs write to a pipe this test never reads, so that they cannot
finish before they are stopped however slow the machine is."""

import fcntl
import os
import shlex
import signal
import socket
import subprocess
import sys
import time

import pytest

from conftest import read_plain_fasta, write_fasta, LAMBDA_FASTA, group_members
from corlap import _lifecycle
from corlap._output import (commit, discard, discard_beside, open_beside, sweep_beside,
                            temporary_beside)
from corlap._runs import LOCK_NAME, machine_identity, run_directory, sweep_run_directories

# Processes are looked for in /proc.
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux only")
# ~2 Mbp: a run of it lasts seconds, long enough to be caught mid-way.
COPIES = 40


@pytest.fixture(scope="module")
def genomes(tmp_path_factory):
    """A genome of copies of lambda, and a small one of two copies."""
    from corlap.utils.fasta import open_fasta

    directory = tmp_path_factory.mktemp("lifecycle")
    text = read_plain_fasta(LAMBDA_FASTA)
    paths = {}
    for name, copies in (("large", COPIES), ("small", 2)):
        paths[name] = directory / f"{name}.fa"
        write_fasta(paths[name], {f"c{k}": text for k in range(copies)})
        open_fasta(paths[name]).close()
    return paths


def score_command(fasta, model, forward=None, reverse=None, workers=2):
    command = [sys.executable, "-m", "corlap", "score", "--fasta", str(fasta),
               "--model", str(model), "--workers", str(workers), "--chunk-size", "50000"]
    for option, path in (("--forward", forward), ("--reverse", reverse)):
        if path is not None:
            command += [option, str(path)]
    return command


@pytest.fixture
def groups():
    """Process groups of the runs a test starts: whatever is left of them
    at its end (a test that failed) is killed."""
    started = []
    yield started
    for group in started:
        try:
            os.killpg(group, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


def run_bounded(command, groups, timeout=10, env=None):
    """Run ``command`` in a process group of its own; its result and how
    long it took.  Past ``timeout`` seconds the group is killed and the
    test fails."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True, env=env)
    groups.append(process.pid)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, stderr = process.communicate()
        pytest.fail(f"{shlex.join(command)} still running after {timeout} s: {stderr}")
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr), \
        time.monotonic() - started


def temporaries(directory, *targets):
    names = tuple(f".{os.path.basename(target)}." for target in targets)
    return sorted(name for name in os.listdir(directory) if name.startswith(names))


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {timeout} s")
        time.sleep(0.05)


def run_lock(pid):
    """The run directory whose lock process ``pid`` holds open, or None."""
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return None
    for name in names:
        try:
            link = os.readlink(f"/proc/{pid}/fd/{name}")
        except OSError:
            continue
        if os.path.basename(link) == LOCK_NAME and \
                os.path.basename(os.path.dirname(link)).startswith("corlap-run-"):
            return os.path.dirname(link)
    return None


def start(command, groups, env, until, what):
    """``command`` in a process group of its own, its standard output a
    pipe nobody reads (the run cannot end by itself once that is full),
    caught when ``until(process)`` holds."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, env=env)
    groups.append(process.pid)
    wait_for(lambda: until(process) or process.poll() is not None, 60, what)
    assert process.poll() is None, process.communicate()
    return process


def started_pool(process):
    """The pool is being started: the resource tracker and the forkserver
    are there beside the main process (which preloads the library before
    it forks any worker)."""
    return len(group_members(process.pid)) >= 3


def own_tmpdir(tmp_path):
    """A TMPDIR of the test's own, where the run keeps the forkserver's
    socket: the only temporary directory a test looks for leftovers in."""
    (tmp_path / "tmp").mkdir()
    return {**os.environ, "TMPDIR": str(tmp_path / "tmp")}


def mid_run(output, workers=2):
    """The run writes: ``output``'s temporary exists and its workers run."""
    def caught(process):
        # main, resource tracker, forkserver and the workers
        return any(name.endswith(".tmp") for name in temporaries(output.parent, output)) \
            and len(group_members(process.pid)) >= 3 + workers
    return caught


def assert_group_ends(group, timeout=30):
    wait_for(lambda: not group_members(group), timeout,
             f"processes of the run {group_members(group)} ending")


# --- kill -9 ------------------------------------------------------------------

def test_killed_run_takes_its_processes_and_the_next_run_cleans_up(
        tmp_path, genomes, model_files, groups):
    output = tmp_path / "f.bw"
    # The system's temporary directory of both runs: the forkserver's
    # socket lies there.
    env = own_tmpdir(tmp_path)
    process = start(score_command(genomes["large"], model_files["DWM"], output, "-"),
                    groups, env, mid_run(output), "mid-run")
    wait_for(lambda: run_lock(process.pid) is not None, 30, "the run directory's lock")
    directory = run_lock(process.pid)
    left = temporaries(tmp_path, output)
    assert any(name.endswith(".tmp.zoom0") for name in left)      # a bigWig's zoom file
    assert os.listdir(tmp_path / "tmp")
    os.kill(process.pid, signal.SIGKILL)
    process.wait(timeout=30)
    assert_group_ends(process.pid)
    # Nothing but the next run removes them.
    assert set(left) <= set(temporaries(tmp_path, output))

    done, _ = run_bounded(score_command(genomes["small"], model_files["DWM"], output,
                                        workers=1), groups, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    assert temporaries(tmp_path, output) == []
    assert os.listdir(tmp_path / "tmp") == []
    assert output.stat().st_size > 0
    assert not os.path.lexists(directory)


HOLDER = """
import sys
from corlap._output import open_beside
from corlap._runs import run_directory
with run_directory() as directory:
    temporary, stream = open_beside(sys.argv[1])
    stream.write(b"partial")
    stream.close()
    open(temporary + ".zoom0", "wb").close()
    print(directory, temporary, flush=True)
    sys.stdin.read()
"""


def test_a_live_run_is_never_cleaned_up_and_a_dead_one_is(tmp_path):
    target = tmp_path / "f.bw"
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(target)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        directory, temporary = holder.stdout.readline().split()
        belonging = temporary + ".zoom0"
        # Another run starting now sweeps both places and the target.
        with run_directory() as mine:
            assert mine != directory
            assert os.path.isfile(os.path.join(directory, LOCK_NAME))
        assert not os.path.lexists(mine)
        assert sweep_beside(target) == []
        assert sweep_run_directories(os.path.dirname(directory)).count(directory) == 0
        assert os.path.isfile(temporary) and os.path.isfile(belonging)
        assert os.path.isdir(directory)
    finally:
        holder.kill()
        holder.wait(timeout=10)
    assert sorted(sweep_beside(target)) == sorted([temporary, belonging])
    assert not os.path.lexists(temporary) and not os.path.lexists(belonging)
    # (Any other run starting meanwhile may be the one that removes it.)
    sweep_run_directories(os.path.dirname(directory))
    assert not os.path.lexists(directory)


def test_a_temporary_stays_locked_until_committed(tmp_path):
    target = tmp_path / "out.bedgraph"
    temporary, stream = open_beside(target)
    stream.write(b"chr1\t0\t1\t0.5\n")
    stream.close()
    probe = os.open(temporary, os.O_RDONLY)
    try:
        with pytest.raises(BlockingIOError):
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # This very process's run is alive too.
        assert sweep_beside(target) == [] and os.path.isfile(temporary)
        commit(temporary, target)
        fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
    finally:
        os.close(probe)
    assert target.read_bytes() == b"chr1\t0\t1\t0.5\n"
    assert not os.path.lexists(temporary)


def test_discard_beside_takes_what_this_process_made_for_the_target(tmp_path):
    first, stream = open_beside(tmp_path / "f.bw")
    stream.close()
    second = temporary_beside(tmp_path / "f.bw")
    (tmp_path / (os.path.basename(second) + ".zoom0")).touch()
    other = temporary_beside(tmp_path / "g.bw")
    try:
        assert sorted(discard_beside(tmp_path / "f.bw")) == sorted(
            [first, second, second + ".zoom0"])
        assert os.listdir(tmp_path) == [os.path.basename(other)]
        assert discard_beside(tmp_path / "f.bw") == []
    finally:
        discard(other)


def test_sweep_beside_takes_only_the_targets_temporaries(tmp_path):
    kept = ["f.bw", ".ff.bw.0123abcd.tmp", ".f.bw.0123ABCD.tmp", ".f.bw.0123abc.tmp",
            ".f.bw.0123abcd.tmpx", "f.bw.0123abcd.tmp"]
    removed = [".f.bw.0123abcd.tmp", ".f.bw.0123abcd.tmp.zoom3",
               ".f.bw.89abcdef.tmp.zoom0"]            # the last one's temporary is gone
    for name in kept + removed:
        (tmp_path / name).write_bytes(b"x")
    assert sorted(sweep_beside(tmp_path / "f.bw")) == sorted(
        str(tmp_path / name) for name in removed)
    assert sorted(os.listdir(tmp_path)) == sorted(kept)


def test_sweep_run_directories_takes_dead_runs_only(tmp_path):
    def made(name, lock=True, age=0.0):
        path = tmp_path / name
        path.mkdir()
        (path / "dwm-memo-0").write_bytes(b"table")
        if lock:
            (path / LOCK_NAME).touch()
        when = time.time() - age
        for item in (*path.iterdir(), path):
            os.utime(item, (when, when))
        return path

    dead = made("corlap-run-dead")
    old_unlocked = made("corlap-run-old", lock=False, age=120)
    young_unlocked = made("corlap-run-young", lock=False)
    live = made("corlap-run-live")
    other_name = made("other-run-dead", age=120)
    theirs = made("corlap-run-theirs", age=120)
    if os.getuid() == 0:
        os.chown(theirs, 65534, 65534)
        kept, removed_too = [theirs.name], []      # another user's: never touched
    else:
        kept, removed_too = [], [str(theirs)]
    holder = os.open(live / LOCK_NAME, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    (tmp_path / "corlap-run-file").touch()
    try:
        removed = sweep_run_directories(str(tmp_path))
    finally:
        os.close(holder)
    assert sorted(removed) == sorted([str(dead), str(old_unlocked)] + removed_too)
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["corlap-run-file", young_unlocked.name, live.name, other_name.name] + kept)


def test_machine_identity_is_shared_by_the_machines_processes():
    identity = machine_identity()
    with open("/proc/sys/kernel/random/boot_id") as stream:
        assert identity == f"{socket.gethostname()}/{stream.read().strip()}"
    other = subprocess.run([sys.executable, "-c",
                            "from corlap._runs import machine_identity; "
                            "print(machine_identity())"],
                           capture_output=True, text=True, timeout=60)
    assert other.stdout.strip() == identity


GUARDED = """
import sys, time
from corlap._lifecycle import guard_worker
guard_worker(int(sys.argv[1]))
print("guarded", flush=True)
time.sleep(60)
"""


def test_guarded_worker_ignores_stops_and_ends_when_the_run_ends():
    run = subprocess.Popen(["sleep", "60"])
    worker = subprocess.Popen([sys.executable, "-c", GUARDED, str(run.pid)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert worker.stdout.readline() == "guarded\n"
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            worker.send_signal(signum)
        time.sleep(0.3)
        assert worker.poll() is None
        run.kill()
        run.wait()
        worker.wait(timeout=5)
    finally:
        run.kill()
        worker.kill()
        worker.wait()


def test_pool_workers_outlive_their_watch_while_the_parent_memory_changes():
    """Workers watch their parent's start time: its size, which changes
    with every large allocation, must not make them take it for gone."""
    pool = _lifecycle.WorkerPool(1)
    try:
        held = []
        deadline = time.monotonic() + 3 * _lifecycle.WATCH_INTERVAL
        while time.monotonic() < deadline:
            held = [] if len(held) == 4 else held + [bytearray(16 << 20)]
            assert pool.submit(os.getpid).result(timeout=30) != os.getpid()
            time.sleep(0.05)
    finally:
        pool.stop()


# --- stop signals and closed pipes ---------------------------------------------

@pytest.fixture(scope="module")
def reads_run(tmp_path_factory):
    from test_reads import simulate

    return simulate(tmp_path_factory.mktemp("lifecycle-reads"))


def stopped_command(command, output, genomes, model_files, reads_run):
    """A run of ``command`` writing ``output`` and, to standard output,
    bedGraph enough to fill any pipe."""
    if command == "score":
        return score_command(genomes["large"], model_files["DWM"], output, "-")
    return [sys.executable, "-m", "corlap", "correct", "--bam", str(reads_run.bam),
            "-f", str(reads_run.fasta), "-m", str(model_files["DWM"]), "--workers", "2",
            "--chunk-size", "2000", "--corrected", str(output), "--observed", "-"]


@pytest.mark.parametrize("command, moment, signum", [
    ("score", "start-up", signal.SIGINT),
    ("score", "start-up", signal.SIGHUP),
    ("score", "mid-run", signal.SIGINT),
    ("score", "mid-run", signal.SIGTERM),
    ("score", "mid-run", signal.SIGHUP),
    ("correct", "start-up", signal.SIGTERM),
    ("correct", "mid-run", signal.SIGTERM),
    ("correct", "mid-run", signal.SIGHUP),
])
def test_stop_signal_to_the_group(command, moment, signum, tmp_path, genomes, model_files,
                                  reads_run, groups):
    """As a terminal's Ctrl-C or hang-up reaches every process of the
    group: one line, 128 + N, no traceback nor resource-tracker warning,
    earlier outputs as they were, nothing left."""
    output = tmp_path / ("f.bw" if command == "score" else "c.bg")
    output.write_bytes(b"earlier")
    env = own_tmpdir(tmp_path)
    until = started_pool if moment == "start-up" else mid_run(output)
    process = start(stopped_command(command, output, genomes, model_files, reads_run),
                    groups, env, until, moment)
    os.killpg(process.pid, signum)
    # Standard output is still not read: a reader that stalls does not
    # hold the stop.
    process.wait(timeout=60)
    stderr = process.stderr.read().decode()
    assert process.returncode == 128 + signum, stderr
    by = "" if signum == signal.SIGINT else f" by {signal.Signals(signum).name}"
    assert stderr in [
        f"corlap {command}: interrupted{by}; {what}\n"
        for what in ("no output written",
                     "no file written, and the bedGraph on standard output is incomplete")]
    assert output.read_bytes() == b"earlier"
    assert temporaries(tmp_path, output) == []
    assert os.listdir(tmp_path / "tmp") == []       # nor the forkserver's socket
    assert_group_ends(process.pid)


@pytest.mark.parametrize("stop_in", ["second file's sync", "directory's sync"])
def test_outputs_are_one_set_whenever_the_stop_comes(stop_in, tmp_path, genomes, model_files,
                                                     monkeypatch, capsys):
    """A stop while the outputs' contents go to disk leaves every earlier
    output as it was; one that comes once the first is renamed is held
    back until all of them are in place, and the line says so."""
    import pyBigWig
    from conftest import stop_while_committing
    from corlap.__main__ import main

    forward, reverse = tmp_path / "f.bw", tmp_path / "r.bw"
    for path in (forward, reverse):
        path.write_bytes(b"earlier")
    synced = stop_while_committing(monkeypatch, stop_in)
    status = main(score_command(genomes["small"], model_files["DWM"], forward, reverse,
                                workers=1)[3:] + ["--quiet"])
    stderr = capsys.readouterr().err
    assert status == 130 and len(synced) == 2, stderr
    if stop_in == "second file's sync":
        assert stderr == "corlap score: interrupted; no output written\n"
        assert forward.read_bytes() == reverse.read_bytes() == b"earlier"
    else:
        assert stderr == ("corlap score: interrupted; the outputs are complete: "
                          f"{forward} and {reverse} written\n")
        for path in (forward, reverse):
            with pyBigWig.open(str(path)) as track:
                assert track.chroms() == {"c0": 48502, "c1": 48502}
    assert temporaries(tmp_path, forward, reverse) == []


def test_a_closed_pipe_ends_the_run_quietly_with_141(tmp_path, genomes, model_files, groups):
    output = tmp_path / "r.bw"
    env = own_tmpdir(tmp_path)
    process = subprocess.Popen(score_command(genomes["large"], model_files["DWM"], "-", output),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, env=env)
    groups.append(process.pid)
    assert process.stdout.readline().count(b"\t") == 3       # a bedGraph line: it runs
    process.stdout.close()
    stderr = process.stderr.read()
    assert process.wait(timeout=60) == 141 and stderr == b""
    assert not output.exists() and temporaries(tmp_path, output) == []
    assert os.listdir(tmp_path / "tmp") == []
    assert_group_ends(process.pid)


def test_a_stop_that_a_callback_drops_ends_the_run_all_the_same():
    """Python drops what a ``__del__`` or a weakref callback raises: a stop
    that lands there must still end the run."""
    class Dropped:
        def __del__(self):
            signal.raise_signal(signal.SIGTERM)     # its handler runs here

    previous = _lifecycle.catch_stops()
    started = time.monotonic()
    try:
        with pytest.raises(_lifecycle.Stopped) as stop:
            Dropped()
            time.sleep(30)          # and it wakes a main thread that waits
    finally:
        _lifecycle.release_stops(previous)
    assert stop.value.signum == signal.SIGTERM and time.monotonic() - started < 20


INTERNALS = """
import multiprocessing.util, os
from corlap import _lifecycle
_lifecycle.keep_multiprocessing_files()
directory = _lifecycle._Internals.multiprocessing_directory()
assert multiprocessing.util.get_temp_dir() == directory, directory
pool = _lifecycle.WorkerPool(1)
assert pool.submit(os.getpid).result() != os.getpid()
pool.stop()
_lifecycle.release_at_exit()
print(os.path.exists(directory), flush=True)
os._exit(0)
"""


def test_the_cpython_internals_of_the_lifecycle_still_work(tmp_path):
    """Each of them, as the command line uses them: should a Python rename
    one, this fails with its traceback; should one stop working, the run
    directory of multiprocessing stays or the resource tracker warns of
    semaphores left."""
    done = subprocess.run([sys.executable, "-c", INTERNALS], capture_output=True, text=True,
                          env=own_tmpdir(tmp_path), timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")
    assert os.listdir(tmp_path / "tmp") == []


# --- write errors ------------------------------------------------------------

def test_file_size_limit_ends_every_run_at_once(tmp_path, genomes, model_files, groups):
    """The limit stops the write of either kind of output; every time, the
    run exits 1 within 10 s with one line naming the output."""
    for attempt in range(20):
        if attempt % 2:
            output = tmp_path / "f.bw"
            command = score_command(genomes["small"], model_files["PWM"], forward=output)
        else:
            output = tmp_path / "r.bg"
            command = score_command(genomes["small"], model_files["PWM"], reverse=output)
        done, took = run_bounded(["bash", "-c", f"ulimit -f 64; exec {shlex.join(command)}"],
                                 groups)
        assert done.returncode == 1 and took < 10, (attempt, done.returncode, took, done.stderr)
        assert done.stderr == f"corlap score: error: {output}: File too large\n", attempt
        assert temporaries(tmp_path, output) == [] and not output.exists()


@pytest.fixture
def small_tmpfs(tmp_path):
    mount = tmp_path / "full"
    mount.mkdir()
    try:
        made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                              capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        pytest.skip("no mount command")
    if made.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {made.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], capture_output=True)


def test_full_file_system_ends_the_run_at_once(small_tmpfs, genomes, model_files, groups):
    outputs = (small_tmpfs / "f.bw", small_tmpfs / "r.bg")
    done, took = run_bounded(score_command(genomes["small"], model_files["PWM"], *outputs),
                             groups)
    assert done.returncode == 1 and took < 10, (done.returncode, took, done.stderr)
    named = [f"corlap score: error: {path}: No space left on device\n" for path in outputs]
    assert done.stderr in named
    assert os.listdir(small_tmpfs) == []
