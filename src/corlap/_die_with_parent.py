"""Imported for its effect: this process is killed when the process that
started it ends (Linux).

The command line preloads it into its forkserver only.  That server
otherwise lives as long as any of its workers, and the workers as long as
the server: after a ``kill -9`` of the command, each would wait on the
other.  Processes the forkserver forks do not inherit the setting.
"""

from corlap._lifecycle import die_with_parent

die_with_parent()
