"""Argument parsing, the conversion of `symbol`, exclusive use of a coder, refcounts."""

import ctypes
import gc
import sys
import threading

import numpy as np
import pytest

from _vantor import ArithmeticCoder

PROBS = np.array([0.5, 0.25, 0.25], dtype=np.float32)


class ReachedProbs(Exception):
    """Raised when the adapter gets as far as converting `probs`."""


class Probe:
    """A `probs` that shows the call got past everything before the probabilities."""

    def __array__(self, *args, **kwargs):
        raise ReachedProbs


def reaches_probs(call):
    """True when `call` failed at `probs`, so all that comes before it was accepted."""
    try:
        call()
    except ReachedProbs:
        return True
    return False


E = "ArithmeticCoder.encode_step()"
D = "ArithmeticCoder.decode_step()"
S = "ArithmeticCoder.start_decoding()"


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("decode_step", (), {}, f"{D} missing 1 required positional argument: 'probs'"),
        (
            "encode_step",
            (),
            {},
            f"{E} missing 2 required positional arguments: 'probs' and 'symbol'",
        ),
        ("encode_step", (PROBS,), {}, f"{E} missing 1 required positional argument: 'symbol'"),
        (
            "encode_step",
            (),
            {"symbol": 1},
            f"{E} missing 1 required positional argument: 'probs'",
        ),
        ("encode_step", (1, 2, 3), {}, f"{E} takes 2 positional arguments but 3 were given"),
        ("decode_step", (1, 2), {}, f"{D} takes 1 positional arguments but 2 were given"),
        ("start_decoding", (b"", b""), {}, f"{S} takes 1 positional arguments but 2 were given"),
        ("encode_step", (PROBS,), {"probs": PROBS}, f"{E} got multiple values for argument 'probs'"),
        ("encode_step", (), {"foo": 1}, f"{E} got an unexpected keyword argument 'foo'"),
        # Keywords come before the missing check, and the first bad one ends the parse.
        ("decode_step", (), {"foo": 1, "bar": 2}, f"{D} got an unexpected keyword argument 'foo'"),
        (
            "encode_step",
            (PROBS,),
            {"symbol": 1, "probs": 2},
            f"{E} got multiple values for argument 'probs'",
        ),
        ("start_decoding", (), {"input": b""}, f"{S} got an unexpected keyword argument 'input'"),
        # Too many positional arguments are reported before any keyword.
        ("decode_step", (1, 2), {"foo": 1}, f"{D} takes 1 positional arguments but 2 were given"),
        (
            "decode_step",
            (),
            {"\ud800": 1},
            f"{D} got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_parser_messages(method, args, kwargs, message):
    # Twice: a call by keyword may be the one that sets up what later calls match with.
    for _ in range(2):
        with pytest.raises(TypeError) as caught:
            getattr(ArithmeticCoder(), method)(*args, **kwargs)
        assert str(caught.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [{"probs": None, "symbol": 1.0}, {"symbol": 1.0, "probs": None}],
)
def test_keywords_in_any_order(kwargs):
    with pytest.raises(TypeError, match="^argument 'symbol': 'float' object"):
        ArithmeticCoder().encode_step(**kwargs)
    assert reaches_probs(lambda: ArithmeticCoder().encode_step(symbol=0, probs=Probe()))
    assert ArithmeticCoder().start_decoding(input_bytes=b"\x01") is None


def call_with_dict(bound_method, args, kwargs):
    """Calls through the C API, which passes keys that Python syntax would refuse."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(bound_method, args, kwargs)


class Key(str):
    def __str__(self):
        raise ValueError("no text")


def test_keys_that_are_not_plain_names(monkeypatch):
    coder = ArithmeticCoder()
    with pytest.raises(TypeError) as caught:
        call_with_dict(coder.decode_step, (), {1: 2})
    assert str(caught.value) == f"{D} got an unexpected keyword argument '1'"

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as caught:
        call_with_dict(coder.decode_step, (), {Key("other"): 2})
    assert str(caught.value) == f"{D} got an unexpected keyword argument '<unprintable Key object>'"
    assert [type(u.exc_value) for u in unraisable] == [ValueError]

    # A str subclass that spells a parameter name is that parameter.
    assert reaches_probs(lambda: call_with_dict(coder.decode_step, (), {Key("probs"): Probe()}))


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class BigInt(int):
    pass


@pytest.mark.parametrize(
    "symbol, error, message",
    [
        (1.0, TypeError, "argument 'symbol': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'symbol': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'symbol': 'NoneType' object cannot be interpreted as an integer"),
        (
            Index("x"),
            TypeError,
            "argument 'symbol': __index__ returned non-int (type str)",
        ),
        (Index(TypeError("mine")), TypeError, "argument 'symbol': mine"),
        (Index(ValueError("mine")), ValueError, "mine"),
        (Index(-1), OverflowError, None),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (BigInt(-5), OverflowError, None),
    ],
)
def test_symbol_refusals(symbol, error, message):
    # A bad symbol is reported before `probs` is looked at.
    with pytest.raises(error) as caught:
        ArithmeticCoder().encode_step(Probe(), symbol)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    else:
        assert not str(caught.value).startswith("argument")


def test_wrapped_symbol_error_keeps_the_cause():
    cause = KeyError("cause")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        ArithmeticCoder().encode_step(Probe(), Index(inner))
    assert caught.value is not inner
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize(
    "symbol", [0, 2**64 - 1, True, BigInt(3), np.int64(2), np.uint64(2**64 - 1), Index(1)]
)
def test_symbol_accepted(symbol):
    assert reaches_probs(lambda: ArithmeticCoder().encode_step(Probe(), symbol))


@pytest.mark.parametrize(
    "inner",
    [
        lambda coder: coder.finish_encoding(),
        lambda coder: coder.start_decoding(b"\x01"),
        lambda coder: coder.encode_step(PROBS, 0),
        lambda coder: coder.decode_step(PROBS),
    ],
)
def test_reentrant_call_finds_the_coder_borrowed(inner):
    coder = ArithmeticCoder()
    seen = []

    class Reenter:
        def __index__(self):
            try:
                inner(coder)
            except RuntimeError as error:
                seen.append(error)
                raise
            return 0

    with pytest.raises(RuntimeError) as caught:
        coder.encode_step(PROBS, Reenter())
    assert str(caught.value) == "Already borrowed"
    assert seen == [caught.value]  # passed on unchanged
    # Free again, and untouched by both failed calls.
    assert coder.finish_encoding() == b"\x40"


def test_other_coders_are_not_blocked():
    coder, other = ArithmeticCoder(), ArithmeticCoder()

    class UseOther:
        def __index__(self):
            other.finish_encoding()
            return 0

    assert reaches_probs(lambda: coder.encode_step(Probe(), UseOther()))
    assert other.finish_encoding() == b"\x40\x50"


def test_argument_references_are_released():
    coder = ArithmeticCoder()
    probs, symbol, stream = Probe(), 10**30, b"\x01\x02\x03"
    big = 2**64 - 1
    gc.collect()
    counts = [sys.getrefcount(x) for x in (probs, symbol, stream, big, ArithmeticCoder)]
    for _ in range(1000):
        with pytest.raises(OverflowError):
            coder.encode_step(probs, symbol)
        with pytest.raises(OverflowError):
            coder.encode_step(probs=probs, symbol=symbol)
        assert reaches_probs(lambda: coder.encode_step(probs, big))
        with pytest.raises(TypeError):
            coder.encode_step(probs, symbol, stream)
        coder.start_decoding(stream)
        coder.start_decoding(input_bytes=stream)
        coder.finish_encoding()
    gc.collect()
    assert [sys.getrefcount(x) for x in (probs, symbol, stream, big, ArithmeticCoder)] == counts


# With the arrays in place: the refusals of the engine as Python errors.


@pytest.mark.parametrize(
    "probs, symbol, error, message",
    [
        ([0.5, 0.5], 2, IndexError, "symbol 2 is out of range for 2 probabilities"),
        ([0.5, 0.5], 2**64 - 1, IndexError,
         "symbol 18446744073709551615 is out of range for 2 probabilities"),
        ([], 0, ValueError, "probabilities are empty"),
        ([0.5, 0.5, 0.5], 0, ValueError,
         "probabilities sum to more than 1: symbol 0 has no share of the frequency table"),
    ],
)
def test_refused_encoding_steps(probs, symbol, error, message):
    coder = ArithmeticCoder()
    with pytest.raises(error) as caught:
        coder.encode_step(np.array(probs, dtype=np.float32), symbol)
    assert str(caught.value) == message
    assert coder.finish_encoding() == b"\x40"  # nothing changed, and the coder is free


def test_round_trip():
    symbols = [0, 1, 2, 2, 1, 0]
    encoder = ArithmeticCoder()
    for symbol in symbols:
        assert encoder.encode_step(PROBS, symbol) is None
    stream = encoder.finish_encoding()
    assert stream == b"\x5f\x10"
    decoder = ArithmeticCoder()
    decoder.start_decoding(stream)
    decoded = [decoder.decode_step(probs=PROBS) for _ in symbols]
    assert decoded == symbols
    assert all(type(s) is int for s in decoded)


@pytest.mark.parametrize("symbol", [True, BigInt(1), np.int64(1), np.uint8(1), Index(1)])
def test_symbol_equivalents_encode_alike(symbol):
    plain, other = ArithmeticCoder(), ArithmeticCoder()
    plain.encode_step(PROBS, 1)
    other.encode_step(PROBS, symbol)
    assert other.finish_encoding() == plain.finish_encoding()


def test_borrowed_across_threads():
    coder = ArithmeticCoder()
    errors = []

    def finish():
        try:
            coder.finish_encoding()
        except RuntimeError as error:
            errors.append(str(error))

    class OtherThread:
        def __index__(self):
            # join() gives up the interpreter lock while the coder is held.
            thread = threading.Thread(target=finish)
            thread.start()
            thread.join()
            return 0

    assert reaches_probs(lambda: coder.encode_step(Probe(), OtherThread()))
    assert errors == ["Already borrowed"]
    finish()
    assert errors == ["Already borrowed"]
