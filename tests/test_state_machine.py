"""Coders driven by arbitrary calls of all six methods with arbitrary arguments, against
the plain-Python reference: every call either works as the reference says or raises the
Python error it should, a refused call changes nothing, and a coder never stays
borrowed.

VANTOR_STATEFUL_EXAMPLES=N runs N sequences instead of the profile's number; the number of
method calls checked is printed at the end of the session."""

import copy
import operator
import os

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule

from _vantor import ArithmeticCoder
from array_support import NOT_CONTIGUOUS
from reference_coder import QUARTER, ReferenceCoder, Refused

try:
    import ml_dtypes
except ImportError:
    ml_dtypes = None

NOT_A_VECTOR = "'ndarray' object cannot be converted to 'PyArray<T, D>'"
ALREADY_BORROWED = "Already borrowed"
IN_PLACE = [np.dtype(np.float32), np.dtype(np.float16), np.dtype(np.float64)]
if ml_dtypes is not None:
    IN_PLACE.append(np.dtype(ml_dtypes.bfloat16))


class Model(ReferenceCoder):
    """The reference coder with the module's output buffer: a finish appends the padded
    last byte but keeps its bits, so later steps complete that byte again."""

    def __init__(self):
        super().__init__()
        self.output = bytearray()
        self.consumed = 0  # bits of self.bits already in output as complete bytes

    def _flush(self):
        while len(self.bits) - self.consumed >= 8:
            self.output.append(_byte(self.bits[self.consumed:self.consumed + 8]))
            self.consumed += 8

    def encode(self, values, symbol):
        super().encode(values, symbol)
        self._flush()

    def finish(self):
        self.pending += 1
        self._settle(1 if self.low >= QUARTER else 0)
        self._flush()
        rest = self.bits[self.consumed:]
        if rest:
            self.output.append(_byte(rest + [0] * (8 - len(rest))))
        return bytes(self.output)


def _byte(bits):
    return int("".join(map(str, bits)), 2)


# What a call should do with one argument: go on with `value`, or fail with `error`.
class Expect:
    def __init__(self, value=None, error=None, message=None, instance=None, panic=False):
        self.value, self.error, self.message = value, error, message
        self.instance, self.panic = instance, panic

    @property
    def fails(self):
        return self.error is not None or self.panic


def check_failure(expect, call):
    """`call` fails exactly as `expect` says."""
    with pytest.raises(BaseException) as caught:
        call()
    error = caught.value
    if expect.panic:
        assert type(error).__module__ == "pyo3_runtime", repr(error)
        assert type(error).__name__ == "PanicException"
        assert not isinstance(error, Exception)
    else:
        assert type(error) is expect.error, repr(error)
    if expect.message is not None:
        assert str(error) == expect.message
    if expect.instance is not None:
        assert error is expect.instance  # passed on unchanged


def probs_outcome(probs):
    """What the module reads from a side-effect-free `probs`: the caller's own 1-d float
    array in place, otherwise what numpy.array(probs, "float32") gives."""
    if isinstance(probs, np.ndarray) and probs.ndim == 1 and probs.dtype in IN_PLACE:
        if len(probs) > 1 and not probs.flags.contiguous and not probs.flags.f_contiguous:
            return Expect(panic=True, message=NOT_CONTIGUOUS)
        return Expect(value=probs)
    try:
        converted = np.array(probs, "float32")
    except Exception as error:  # numpy's own refusal, passed on
        return Expect(error=type(error), message=str(error))
    if converted.ndim != 1:
        return Expect(error=TypeError, message=NOT_A_VECTOR)
    return Expect(value=converted)


def converted_outcome(array):
    """What the module reads from an object whose __array__ gives `array`."""
    return Expect(value=np.array(array, "float32"))


def symbol_outcome(symbol):
    if isinstance(symbol, int):
        value = int(symbol)
    else:
        try:
            value = operator.index(symbol)
        except TypeError as error:
            return Expect(error=TypeError, message=f"argument 'symbol': {error}")
        except Exception as error:
            return Expect(error=type(error), message=str(error))
    if not 0 <= value < 2**64:
        return Expect(error=OverflowError)
    return Expect(value=value)


class Failure(Exception):
    pass


class RaisingArray:
    def __init__(self):
        self.error = Failure("no array here")

    def __array__(self, dtype=None, copy=None):
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Reentrant:
    """Calls a method of the coder in use from inside the conversion of an argument. The
    inner call must find the coder borrowed; `swallow` decides whether the conversion
    then goes on (with `result`) or fails with that error."""

    def __init__(self, inner, swallow, result):
        self.inner, self.swallow, self.result = inner, swallow, result
        self.coder, self.seen = None, []

    def _reenter(self):
        try:
            self.inner(self.coder)
        except RuntimeError as error:
            self.seen.append(error)
            if not self.swallow:
                raise
        else:
            self.seen.append(None)
        return self.result


class ReentrantArray(Reentrant):
    def __array__(self, dtype=None, copy=None):
        return self._reenter()


class ReentrantIndex(Reentrant):
    def __index__(self):
        return self._reenter()


class Bytes(bytes):
    pass


class Int(int):
    pass


INNER_CALLS = st.sampled_from([
    lambda coder: coder.encode_step(np.array([1.0], np.float32), 0),
    lambda coder: coder.decode_step(np.array([1.0], np.float32)),
    lambda coder: coder.finish_encoding(),
    lambda coder: coder.start_decoding(b"\x01"),
])


@st.composite
def vectors(draw):
    dtype = draw(st.sampled_from(IN_PLACE))
    n = draw(st.integers(0, 12))
    if draw(st.booleans()):
        weights = np.array(draw(st.lists(st.floats(0.01, 1), min_size=n, max_size=n)))
        values = weights / max(weights.sum(), 1e-9) * draw(st.sampled_from([1.0, 0.9, 1.2]))
    else:
        values = np.array(draw(st.lists(
            st.one_of(st.floats(0, 1), st.sampled_from([0.0, -1.0, float("nan"), 2.0])),
            min_size=n, max_size=n)))
    with np.errstate(all="ignore"):
        return values.astype(dtype)


@st.composite
def probs_arguments(draw):
    """(object, expected outcome or None when it is Reentrant and decided in the call)."""
    v = draw(vectors())
    if draw(st.booleans()):  # half the time a plain vector, so that steps get coded
        return v, Expect(value=v)
    kind = draw(st.sampled_from([
        "in place", "read-only", "subclass", "list", "int array",
        "big-endian", "step 2", "reversed", "non-contiguous int", "2-d", "0-d", "float",
        "None", "text", "nested", "ragged", "object", "bytes", "raising", "reentrant",
    ]))
    if kind == "in place":
        probs = v
    elif kind == "read-only":
        probs = v.copy()
        probs.setflags(write=False)
    elif kind == "subclass":
        probs = v.view(type("Sub", (np.ndarray,), {}))
    elif kind == "list":
        probs = [float(x) for x in v]
    elif kind == "int array":
        probs = np.array(draw(st.lists(st.integers(-3, 3), max_size=6)), np.int32)
    elif kind == "big-endian":
        probs = v.astype(np.float32).astype(">f4")
    elif kind == "step 2":
        probs = np.repeat(v, 2)[::2]
    elif kind == "reversed":
        probs = v[::-1]
    elif kind == "non-contiguous int":
        probs = np.arange(8, dtype=np.int32)[::3]
    elif kind == "2-d":
        probs = np.stack([v, v], axis=draw(st.sampled_from([0, 1])))
    elif kind == "0-d":
        probs = np.array(0.5, v.dtype)
    elif kind == "float":
        probs = 0.5
    elif kind == "None":
        probs = None
    elif kind == "text":
        probs = "0.5"
    elif kind == "nested":
        probs = [[float(x) for x in v]]
    elif kind == "ragged":
        probs = [[0.5], [0.25, 0.25]]
    elif kind == "object":
        probs = object()
    elif kind == "bytes":
        probs = Bytes(b"\x01\x02")
    elif kind == "raising":
        probs = RaisingArray()
        return probs, Expect(error=Failure, instance=probs.error)
    else:
        probs = ReentrantArray(draw(INNER_CALLS), draw(st.booleans()), v.astype(np.float64))
        return probs, None
    return probs, probs_outcome(probs)


@st.composite
def symbol_arguments(draw, count):
    low = draw(st.integers(0, max(count - 1, 0)))
    if draw(st.booleans()):
        return low, Expect(value=low)
    kind = draw(st.sampled_from([
        "in range", "past the end", "largest", "too large", "huge",
        "negative", "bool", "subclass", "numpy", "float", "text", "None", "raising type",
        "raising other", "reentrant",
    ]))
    symbol = {
        "in range": low,
        "past the end": count + draw(st.integers(0, 3)),
        "largest": 2**64 - 1,
        "too large": 2**64,
        "huge": 2**200,
        "negative": -draw(st.integers(1, 2**70)),
        "bool": bool(low),
        "subclass": Int(low),
        "numpy": np.uint64(low),
        "float": float(low),
        "text": str(low),
        "None": None,
        "raising type": RaisingIndex(TypeError("bad index")),
        "raising other": RaisingIndex(Failure("worse index")),
        "reentrant": None,
    }[kind]
    if kind == "reentrant":
        return ReentrantIndex(draw(INNER_CALLS), draw(st.booleans()), low), None
    expect = symbol_outcome(symbol)
    if kind == "raising other":
        expect.instance = symbol.error
    return symbol, expect


STREAMS = st.one_of(
    st.binary(max_size=12),
    st.binary(max_size=12).map(Bytes),
    st.sampled_from([bytearray(b"\x01"), memoryview(b"\x01"), "\x01", None, 1, [1]]),
)


def start_outcome(stream):
    if isinstance(stream, bytes):
        return Expect(value=bytes(stream))
    name = type(stream).__qualname__
    return Expect(error=TypeError,
                  message=f"argument 'input_bytes': '{name}' object cannot be cast as 'bytes'")


# Malformed calls: refused by the parser or the interpreter before anything else.
BAD_CALLS = [
    ("encode_step", (), {}),
    ("encode_step", (np.ones(1, np.float32),), {}),
    ("encode_step", (np.ones(1, np.float32), 0, 0), {}),
    ("encode_step", (np.ones(1, np.float32),), {"probs": np.ones(1, np.float32)}),
    ("encode_step", (), {"symbol": 0, "other": 1}),
    ("decode_step", (), {}),
    ("decode_step", (np.ones(1, np.float32), 1), {}),
    ("start_decoding", (), {"input": b""}),
    ("start_decoding", (b"", b""), {}),
    ("finish_encoding", (1,), {}),
    ("finish_encoding", (), {"x": 1}),
]


@st.composite
def batch_arguments(draw):
    """(probs, the rows as the module reads them or an Expect of the failure)."""
    dtype = draw(st.sampled_from(IN_PLACE))
    count, length = draw(st.integers(0, 6)), draw(st.integers(0, 5))
    rows = np.array([draw(vectors_of(length, dtype)) for _ in range(count)], dtype)
    rows = rows.reshape(count, length)
    kind = draw(st.sampled_from(["plain", "plain", "every other row", "wider", "list",
                                 "columns", "1-d", "3-d"]))
    if kind == "every other row":
        return np.repeat(rows, 2, axis=0)[::2], rows
    if kind == "wider":
        wide = np.zeros((count, length + 2), dtype)
        wide[:, :length] = rows
        return wide[:, :length], rows
    if kind == "list" and count > 0:
        return rows.tolist(), rows.astype(np.float32)
    if kind == "columns" and count > 1 and length > 1:
        return np.asfortranarray(rows), Expect(
            error=ValueError,
            message="each row of probs must be contiguous: pass numpy.ascontiguousarray(probs)")
    if kind == "1-d":
        return rows.reshape(-1), Expect(
            error=TypeError, message="probs must have 2 dimensions, one row per step, not 1")
    if kind == "3-d":
        return rows.reshape(count, length, 1), Expect(
            error=TypeError, message="probs must have 2 dimensions, one row per step, not 3")
    return rows, rows


@st.composite
def vectors_of(draw, length, dtype):
    values = np.array(draw(st.lists(
        st.one_of(st.floats(0, 1), st.sampled_from([0.0, 0.5, 1.0, -1.0, float("nan")])),
        min_size=length, max_size=length)))
    if draw(st.booleans()) and length:
        values = np.abs(np.nan_to_num(values)) + 0.01
        values /= values.sum()
    with np.errstate(all="ignore"):
        return values.astype(dtype)


def refusal_message(model, rows, symbols=None):
    """The error the reference gives a batch on a copy of `model`, or None; `model` itself
    advances only when no row is refused (all or nothing)."""
    trial = copy.deepcopy(model)
    decoded = []
    for i, row in enumerate(rows):
        try:
            if symbols is None:
                decoded.append(trial.decode(row))
            else:
                trial.encode(row, symbols[i])
        except Refused:
            if symbols is not None and len(row) and symbols[i] >= len(row):
                return Expect(error=IndexError, message=(
                    f"row {i}: symbol {symbols[i]} is out of range for {len(row)} "
                    "probabilities")), None
            return Expect(error=ValueError), i
    model.__dict__.update(trial.__dict__)
    return None, decoded


class CoderMachine(RuleBasedStateMachine):
    calls = 0  # method calls made on the coders, over every sequence of the session

    def __init__(self):
        super().__init__()
        self.pairs = [(ArithmeticCoder(), Model()) for _ in range(3)]
        self.which = 0
        self.streams = [b""]

    @property
    def coder(self):
        return self.pairs[self.which][0]

    @property
    def model(self):
        return self.pairs[self.which][1]

    @rule(which=st.integers(0, 2))
    def switch(self, which):
        self.which = which

    def _after_reentrant(self, argument, reached):
        """A Reentrant argument that was converted saw the coder borrowed."""
        if isinstance(argument, Reentrant):
            if reached:
                assert len(argument.seen) == 1
                assert isinstance(argument.seen[0], RuntimeError)
                assert str(argument.seen[0]) == ALREADY_BORROWED
            else:
                assert argument.seen == []

    @staticmethod
    def _reentrant_expect(argument, outcome):
        if argument.swallow:
            return outcome(argument.result)
        return Expect(error=RuntimeError, message=ALREADY_BORROWED)

    @rule(data=st.data(), keywords=st.booleans())
    def encode(self, data, keywords):
        probs, probs_expect = data.draw(probs_arguments())
        if probs_expect is None:
            probs.coder = self.coder
            probs_expect = self._reentrant_expect(probs, converted_outcome)
        count = len(probs_expect.value) if probs_expect.value is not None else 2
        symbol, symbol_expect = data.draw(symbol_arguments(count))
        if symbol_expect is None:
            symbol.coder = self.coder
            symbol_expect = self._reentrant_expect(symbol, symbol_outcome)

        def call():
            CoderMachine.calls += 1
            if keywords:
                return self.coder.encode_step(symbol=symbol, probs=probs)
            return self.coder.encode_step(probs, symbol)

        if symbol_expect.fails:
            check_failure(symbol_expect, call)
        elif probs_expect.fails:
            check_failure(probs_expect, call)
        else:
            values, value = probs_expect.value, symbol_expect.value
            try:
                self.model.encode(values, value)
            except Refused:
                error = (ValueError if len(values) == 0 or value < len(values)
                         else IndexError)
                check_failure(Expect(error=error), call)
                # Tried again: refused again, still unchanged. (A Reentrant argument would
                # call back once more.)
                reentrant = isinstance(probs, Reentrant) or isinstance(symbol, Reentrant)
                if not reentrant and data.draw(st.booleans()):
                    check_failure(Expect(error=error), call)
            else:
                assert call() is None
        self._after_reentrant(symbol, True)
        self._after_reentrant(probs, not symbol_expect.fails)

    @rule(data=st.data())
    def decode(self, data):
        probs, expect = data.draw(probs_arguments())
        if expect is None:
            probs.coder = self.coder
            expect = self._reentrant_expect(probs, converted_outcome)
        def call():
            CoderMachine.calls += 1
            return self.coder.decode_step(probs)

        if expect.fails:
            check_failure(expect, call)
        else:
            try:
                symbol = self.model.decode(expect.value)
            except Refused:
                check_failure(Expect(error=ValueError), call)
                # Tried again: refused again, still unchanged.
                if not isinstance(probs, Reentrant) and data.draw(st.booleans()):
                    check_failure(Expect(error=ValueError), call)
            else:
                result = call()
                assert type(result) is int and result == symbol
        self._after_reentrant(probs, True)

    @rule(data=st.data(), keywords=st.booleans())
    def encode_batch(self, data, keywords):
        probs, rows = data.draw(batch_arguments())
        count = 0 if isinstance(rows, Expect) else len(rows)
        length = 1 if isinstance(rows, Expect) or rows.ndim < 2 else rows.shape[1]
        symbols = data.draw(st.lists(st.integers(0, max(length - 1, 0)), min_size=count,
                                     max_size=count))
        form = data.draw(st.sampled_from(["list", "int64", "uint8", "past the end", "negative",
                                          "short"]))
        if form == "past the end" and count:
            symbols[data.draw(st.integers(0, count - 1))] = length + data.draw(st.integers(0, 2))
        given = {"int64": np.array(symbols, np.int64), "uint8": np.array(symbols, np.uint8)
                 }.get(form, symbols)
        if form == "negative" and count:
            given = symbols[:-1] + [-1]
        elif form == "short" and count:
            given = symbols[1:]

        def call():
            CoderMachine.calls += 1
            if keywords:
                return self.coder.encode_steps(symbols=given, probs=probs)
            return self.coder.encode_steps(probs, given)

        if form == "negative" and count:
            check_failure(Expect(error=OverflowError, message=(
                f"symbols[{count - 1}]: can't convert negative int to unsigned")), call)
        elif isinstance(rows, Expect):
            check_failure(rows, call)
        elif form == "short" and count:
            check_failure(Expect(error=ValueError, message=(
                f"got {count - 1} symbols for {count} rows of probabilities")), call)
        else:
            expect, row = refusal_message(self.model, rows, symbols)
            if expect is None:
                assert call() is None
            else:
                check_failure(expect, call)
                if row is not None:
                    with pytest.raises(expect.error, match=f"^row {row}: "):
                        call()

    @rule(data=st.data())
    def decode_batch(self, data):
        probs, rows = data.draw(batch_arguments())
        def call():
            CoderMachine.calls += 1
            return self.coder.decode_steps(probs)

        if isinstance(rows, Expect):
            check_failure(rows, call)
            return
        expect, decoded = refusal_message(self.model, rows)
        if expect is None:
            result = call()
            assert result.dtype == np.int64 and result.tolist() == decoded
        else:
            with pytest.raises(ValueError, match=f"^row {decoded}: "):
                call()

    @rule(data=st.data())
    def start(self, data):
        stream = data.draw(st.one_of(STREAMS, st.sampled_from(self.streams)))
        if isinstance(stream, bytes) and data.draw(st.booleans()):
            stream = stream[:data.draw(st.integers(0, len(stream)))]  # cut short
        expect = start_outcome(stream)
        CoderMachine.calls += 1
        if expect.fails:
            check_failure(expect, lambda: self.coder.start_decoding(stream))
        else:
            assert self.coder.start_decoding(stream) is None
            self.model.start(expect.value)

    @rule(times=st.integers(1, 2))
    def finish(self, times):
        # A second finish in a row terminates the stream again, after the first's bits.
        for _ in range(times):
            CoderMachine.calls += 1
            stream = self.coder.finish_encoding()
            assert type(stream) is bytes
            assert stream == self.model.finish()
            self.streams.append(stream)

    @rule(call=st.sampled_from(BAD_CALLS))
    def malformed(self, call):
        name, args, kwargs = call
        CoderMachine.calls += 1
        with pytest.raises(TypeError):
            getattr(self.coder, name)(*args, **kwargs)

    def teardown(self):
        # Each coder free (nothing left it borrowed) and exactly where its reference is.
        for coder, model in self.pairs:
            CoderMachine.calls += 1
            assert coder.finish_encoding() == model.finish()


EXAMPLES = os.environ.get("VANTOR_STATEFUL_EXAMPLES")
CoderMachine.TestCase.settings = settings(
    settings(), stateful_step_count=30, deadline=None,
    **({"max_examples": int(EXAMPLES)} if EXAMPLES else {}))
test_coder_machine = CoderMachine.TestCase
