"""Helpers for the module tests: child interpreters."""

import os
import subprocess
import sys
import textwrap


def run_python(*pieces, backtrace=None):
    """Runs the code `pieces` (each indented as it likes) in a fresh interpreter, with
    RUST_BACKTRACE set to `backtrace` (None: unset)."""
    env = dict(os.environ)
    env.pop("RUST_BACKTRACE", None)
    if backtrace is not None:
        env["RUST_BACKTRACE"] = backtrace
    return subprocess.run(
        [sys.executable, "-c", "\n".join(textwrap.dedent(piece) for piece in pieces)],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
