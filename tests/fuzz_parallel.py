"""Runs tests/fuzz_hostile.py in parallel child processes with different
seeds until at least CALLS calls have been made, and reports the figures:

    python tests/fuzz_parallel.py [CALLS] [JOBS] [FIRST_SEED]

A child that dies from a signal is a crash; one whose output ends in a
failed check (AssertionError) found a wrong result.  Exits non-zero when any
child failed.  Logs land in build/fuzz/.
"""

import ast
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).parent
SCRIPT = HERE / "fuzz_hostile.py"
LOGS = HERE.parent / "build" / "fuzz"
CALLS_PER_EXAMPLE = 50  # a low estimate over the four scenarios of a child


def parse(output):
    calls, checked = 0, {}
    for line in output.splitlines():
        if line.startswith("calls:"):
            calls = int(line.split(":", 1)[1])
        elif line.startswith("results checked against the reference:"):
            checked = ast.literal_eval(line.split(":", 1)[1].strip())
    return calls, checked


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    LOGS.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    calls, checked = 0, {}
    crashes, wrong, other, children = [], [], [], 0
    while calls < target and not (crashes or wrong or other):
        examples = max(1, (target - calls) // (jobs * CALLS_PER_EXAMPLE) + 1)
        running = []
        for _ in range(jobs):
            log = LOGS / f"seed-{seed}.log"
            handle = open(log, "w")
            running.append((seed, log, handle, subprocess.Popen(
                [sys.executable, str(SCRIPT), str(examples), str(seed)],
                stdout=handle, stderr=subprocess.STDOUT)))
            seed += 1
        for child_seed, log, handle, child in running:
            status = child.wait()
            handle.close()
            children += 1
            output = log.read_text(errors="replace")
            made, seen = parse(output)
            calls += made
            for name, count in seen.items():
                checked[name] = checked.get(name, 0) + count
            if status < 0:
                crashes.append((child_seed, -status, log))
            elif status != 0 and "AssertionError" in output:
                wrong.append((child_seed, log))
            elif status != 0:
                other.append((child_seed, status, log))
    elapsed = time.monotonic() - started
    print(f"children: {children} ({jobs} at a time), seeds up to {seed - 1}")
    print(f"calls: {calls}")
    print(f"results checked against the reference: {sum(checked.values())} {checked}")
    print(f"crashes (killed by a signal): {len(crashes)}")
    for child_seed, signal, log in crashes:
        print(f"  seed {child_seed}: signal {signal}, see {log}")
    print(f"wrong results: {len(wrong)}")
    for child_seed, log in wrong:
        print(f"  seed {child_seed}: see {log}")
    print(f"other failures: {len(other)}")
    for child_seed, status, log in other:
        print(f"  seed {child_seed}: exit status {status}, see {log}")
    print(f"time: {elapsed:.1f} s")
    return 1 if crashes or wrong or other or calls < target else 0


if __name__ == "__main__":
    sys.exit(main())
