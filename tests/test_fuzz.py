"""Hostile input never crashes the interpreter and never gives a wrong
result.  The fuzzing runs in a child process so that a crash fails this test
instead of ending the run; CORLAP_FUZZ_EXAMPLES sets its size."""

import os
import pathlib
import subprocess
import sys

EXAMPLES = int(os.environ.get("CORLAP_FUZZ_EXAMPLES", "1500"))


def test_hostile_input_in_a_child_process():
    script = pathlib.Path(__file__).with_name("fuzz_hostile.py")
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # Regions of billions of bases ask NumPy for more memory than the
        # machine has, which it reports as MemoryError; under the sanitizer
        # that needs a null from the allocator instead of an abort.
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1"
    child = subprocess.run([sys.executable, str(script), str(EXAMPLES)],
                           capture_output=True, text=True, timeout=900, env=env)
    assert child.returncode == 0, (
        f"fuzzing child ended with status {child.returncode}\n"
        f"{child.stdout[-3000:]}\n{child.stderr[-6000:]}")
    calls = int(child.stdout.strip().rsplit("calls:", 1)[1])
    assert calls >= 10 * EXAMPLES
