"""The include check of the test command fails on what it exists to catch: an include
against the order of the layers, and an operating-system header in the engine."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "include_cycles.py"
pytestmark = pytest.mark.skipif(not SCRIPT.exists() or not (ROOT / "src").is_dir(),
                                reason="needs the source tree (scripts/ and src/)")


def check(src):
    return subprocess.run([sys.executable, str(SCRIPT), str(src)], capture_output=True,
                          text=True, timeout=60)


@pytest.fixture
def src(tmp_path):
    copy = tmp_path / "src"
    shutil.copytree(ROOT / "src", copy)
    return copy


def test_the_tree_as_it_stands_passes(src):
    result = check(src)
    assert result.returncode == 0, result.stdout


WRONG = {
    "runtime includes NumPy": ("binding/runtime/errors.cpp", '#include "../numpy/api.hpp"',
                               "against the order"),
    "NumPy includes an adapter": ("binding/numpy/api.cpp", '#include "../coder_calls.hpp"',
                                  "against the order"),
    "engine includes the runtime": ("engine/encoder.cpp",
                                    '#include "binding/runtime/platform.hpp"',
                                    "against the order"),
    "engine includes unistd.h": ("engine/decoder.cpp", "#include <unistd.h>",
                                 "operating-system service"),
}


@pytest.mark.parametrize("path, line, message", WRONG.values(), ids=WRONG.keys())
def test_a_wrong_include_fails_the_check(src, path, line, message):
    target = src / path
    target.write_text(line + "\n" + target.read_text())
    result = check(src)
    assert result.returncode == 1 and message in result.stdout, result.stdout
