"""Helpers for the module tests: child interpreters, and the examples loaded as modules."""

import importlib.util
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


EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def load_example(name):
    """examples/NAME.py as a module, without running its command line."""
    spec = importlib.util.spec_from_file_location(name, os.path.join(EXAMPLES, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
