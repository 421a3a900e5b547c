"""Helpers for the module tests: child interpreters and the probability-array guard."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# The text of the placeholder that refuses every array until array acceptance lands.
ARRAYS_MISSING = "probability arrays are not supported yet"


def require_arrays():
    """Skips the calling test while probability arrays cannot be obtained."""
    from _vantor import ArithmeticCoder

    try:
        ArithmeticCoder().encode_step(np.array([1.0], dtype=np.float32), 0)
    except TypeError as error:
        if str(error) == ARRAYS_MISSING:
            pytest.skip(ARRAYS_MISSING)
        raise


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
