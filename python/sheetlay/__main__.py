"""`python -m sheetlay ARGS` and the `sheetlay` command of an installed package: both
run the command-line program installed inside the package with the same arguments,
so there is one parser of them, the program's own (`python -m sheetlay --help`)."""

from __future__ import annotations

import os
import subprocess
import sys
from typing import List, Optional, Sequence


def program() -> Optional[str]:
    """The path of the program inside the package, or None when this copy of the
    package has none (one used from the source tree)."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "sheetlay.exe" if sys.platform == "win32" else "sheetlay")
    return path if os.path.isfile(path) else None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the program with `argv` (default: this process's arguments) and returns
    its exit status; on POSIX systems the program replaces this process."""
    args: List[str] = list(sys.argv[1:] if argv is None else argv)
    path = program()
    if path is None:
        sys.stderr.write("sheetlay: this installation of the Python package has no command-line "
                         "program (install it with pip to get one)\n")
        return 127
    if os.name == "posix" and argv is None:
        # The program takes this process's place: signals, standard streams and the
        # exit status are its own, with no Python process waiting in between.
        sys.stdout.flush()
        sys.stderr.flush()
        os.execv(path, ["sheetlay"] + args)
    return subprocess.call([path] + args)


if __name__ == "__main__":
    sys.exit(main())
