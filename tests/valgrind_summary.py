"""Summarises the memcheck logs of `make valgrind`:

    python tests/valgrind_summary.py LOG...

For each log: the error count, and the leak records whose allocation stack
passes through the extension.  The interpreter frees little at exit, so
memcheck finds thousands of its own blocks lost; only those allocated from
inside corlap's functions are ours.  Blocks that corlap's start-up made are
kept for the life of the process by design and are reported apart.  Exits
non-zero on any memory error or on a definitely lost block of ours.
"""

import re
import sys

EXTENSION = "sequences.cpython"
START_UP = ("module_exec", "module_create", "function_type_ready", "PyInit_sequences")


def records(text):
    """The log's records: blocks of lines between the blank '==pid== ' lines."""
    return re.split(r"\n==\d+== ?\n", text)


def main(paths):
    failed = False
    for path in paths:
        text = open(path, errors="replace").read()
        summary = re.findall(r"ERROR SUMMARY: (\d+) errors from (\d+) contexts", text)
        errors = int(summary[-1][0]) if summary else -1
        ours = {"definitely": 0, "indirectly": 0, "possibly": 0}
        start_up = 0
        ours_bytes = 0
        for record in records(text):
            head = re.search(r"([\d,]+) bytes in [\d,]+ blocks are (definitely|indirectly|"
                             r"possibly) lost", record)
            if not head or EXTENSION not in record:
                continue
            frames = [line for line in record.splitlines() if EXTENSION in line]
            if all(any(name in line for name in START_UP) for line in frames):
                start_up += 1
                continue
            ours[head.group(2)] += 1
            ours_bytes += int(head.group(1).replace(",", ""))
        print(f"{path}: {errors} memory errors; leak records from corlap calls: "
              f"{ours['definitely']} definitely, {ours['indirectly']} indirectly, "
              f"{ours['possibly']} possibly lost ({ours_bytes} bytes); "
              f"{start_up} records of start-up state kept for the process")
        failed = failed or errors != 0 or ours["definitely"] > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
