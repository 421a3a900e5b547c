"""PanicException, the failure report on standard error, and resumed panics."""

import re

import pytest

from _vantor import ArithmeticCoder
from support import run_python

DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace"
SHORT_NOTE = (
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace."
)
RESUMING = [
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
]

# The class is created on first need: the first fetch of a Python error is one.
FIND_PANIC = """
    import threading
    import _vantor
    coder = _vantor.ArithmeticCoder()
    try:
        coder.encode_step(None, 1.0)
    except TypeError:
        pass
    Panic, = [k for k in BaseException.__subclasses__() if k.__module__ == "pyo3_runtime"]
"""

# Fails the one allocation of the result, so that finish_encoding cannot make its bytes.
API_CALL_FAILS = """
    import _testcapi
    def finish_without_memory():
        _testcapi.set_nomemory(0, 1)
        try:
            coder.finish_encoding()
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            print(type(error) is Panic, str(error), flush=True)
    coder.finish_encoding()  # a result of one byte would be a cached object
    print(threading.get_native_id(), flush=True)
"""


def panic_exception():
    """Our class: other PyO3 extensions (hypothesis has one) make their own of that name."""
    with pytest.raises(TypeError):
        ArithmeticCoder().encode_step(None, 1.0)
    for candidate in BaseException.__subclasses__():
        if candidate.__module__ != "pyo3_runtime":
            continue
        probe = candidate("probe")

        class Symbol:
            def __index__(self):
                raise probe

        # Only our own class is resumed, as a new exception.
        with pytest.raises(candidate) as caught:
            ArithmeticCoder().encode_step(None, Symbol())
        if caught.value is not probe:
            return candidate
    raise AssertionError("no PanicException")


def test_panic_exception_class():
    panic = panic_exception()
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == DOC and len(DOC) == 235
    assert str(panic("message")) == "message"


def test_report_of_a_failed_api_call():
    pytest.importorskip("_testcapi")
    result = run_python(
        FIND_PANIC,
        API_CALL_FAILS,
        """
    finish_without_memory()
    print(coder.finish_encoding())  # free again, and the failed call's step is kept
    finish_without_memory()
    """
    )
    assert result.returncode == 0, result.stderr
    tid, first, state, second = result.stdout.splitlines()
    assert first == second == "True Python API call failed"
    assert state == repr(b"\x40\x50\x54")

    head = rf"thread '<unnamed>' \({tid}\) panicked at src/binding/conversions\.cpp:\d+:\d+:"
    lines = result.stderr.splitlines()
    assert lines[0] == "MemoryError"  # the pending error, printed first
    assert lines[1] == ""
    assert re.fullmatch(head, lines[2])
    assert lines[3:6] == ["Python API call failed", NOTE, "MemoryError"]
    # The note follows the first report only.
    assert lines[6] == "" and re.fullmatch(head, lines[7])
    assert lines[8:] == ["Python API call failed"]


@pytest.mark.parametrize("setting", [None, "0", "1", "short", "", "full"])
def test_backtrace_setting(setting):
    pytest.importorskip("_testcapi")
    result = run_python(FIND_PANIC, API_CALL_FAILS, "finish_without_memory()", backtrace=setting)
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert lines[3] == "Python API call failed"
    rest = lines[4:]
    if setting in (None, "0"):
        assert rest == [NOTE]
        return
    assert rest[0] == "stack backtrace:"
    frames = [line for line in rest if re.match(r"\s*\d+: ", line)]
    assert frames and re.match(r"\s*0: ", frames[0])
    assert any("_vantor" in line for line in rest)
    if setting == "full":
        assert NOTE not in rest and SHORT_NOTE not in rest
    else:
        assert rest[-1] == SHORT_NOTE


def test_short_backtrace_hides_the_report_machinery():
    pytest.importorskip("_testcapi")
    code = (FIND_PANIC, API_CALL_FAILS, "finish_without_memory()")

    def frame_count(setting):
        lines = run_python(*code, backtrace=setting).stderr.splitlines()
        return sum(1 for line in lines if re.match(r"\s*\d+: ", line))

    assert frame_count("1") < frame_count("full")


def test_panic_from_python_is_resumed():
    result = run_python(
        FIND_PANIC,
        """
    original = Panic("boom")
    class Symbol:
        def __index__(self):
            raise original
    try:
        try:
            coder.encode_step(None, Symbol())
        except Exception:
            print("caught as Exception")
    except BaseException as error:
        print(type(error) is Panic, error is original, error.args)
    print(coder.finish_encoding())
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True False ('boom',)", "b'@'"]
    lines = result.stderr.splitlines()
    assert lines[:3] == RESUMING + ["Traceback (most recent call last):"]
    assert lines[-1] == "pyo3_runtime.PanicException: boom"
    assert "panicked at" not in result.stderr  # no second report


def test_unprintable_panic_from_python():
    result = run_python(
        FIND_PANIC,
        """
    class Unprintable:
        def __str__(self):
            raise ValueError
    class Symbol:
        def __index__(self):
            raise Panic(Unprintable())
    try:
        coder.encode_step(None, Symbol())
    except BaseException as error:
        print(type(error) is Panic, str(error))
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True Unwrapped panic from Python code"]
    assert result.stderr.splitlines()[:2] == RESUMING


def test_panic_subclass_passes_unchanged():
    panic = panic_exception()

    class Derived(panic):
        pass

    original = Derived("boom")

    class Symbol:
        def __index__(self):
            raise original

    with pytest.raises(Derived) as caught:
        ArithmeticCoder().encode_step(None, Symbol())
    assert caught.value is original


@pytest.mark.parametrize(
    "method, line",
    [("decode_step(probs)", 177), ("encode_step(probs, 0)", 135)],
)
def test_report_of_a_non_contiguous_array(method, line):
    result = run_python(
        FIND_PANIC,
        f"""
    import numpy as np
    probs = (np.ones(8, dtype=np.float32) / 4)[::2]
    print(threading.get_native_id(), flush=True)
    try:
        coder.{method}
    except BaseException as error:
        print(type(error) is Panic, str(error), flush=True)
    coder.start_decoding(b"\\x5f\\x10")
    same = _vantor.ArithmeticCoder()
    same.start_decoding(b"\\x5f\\x10")
    contiguous = np.ascontiguousarray(probs)
    print([coder.decode_step(contiguous) for _ in range(4)] ==
          [same.decode_step(contiguous) for _ in range(4)])
    """
    )
    assert result.returncode == 0, result.stderr
    tid, outcome, same = result.stdout.splitlines()
    message = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
    assert outcome == f"True {message}"
    assert same == "True"
    assert result.stderr.splitlines() == [
        "",
        f"thread '<unnamed>' ({tid}) panicked at src\\lib:{line}:44:",
        message,
        NOTE,
    ]
