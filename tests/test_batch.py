"""Many steps per call: encode_steps and decode_steps against the single steps, all or
nothing on a refused row, their argument errors, and their behaviour under threads while
the interpreter lock is released."""

import threading
import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from _vantor import ArithmeticCoder
from array_support import Registry

DTYPES = [np.float32, np.float16, np.float64]
try:
    import ml_dtypes

    DTYPES.append(ml_dtypes.bfloat16)
except ImportError:
    pass


def single_steps(rows, symbols, prefix=()):
    coder = ArithmeticCoder()
    for row, symbol in prefix:
        coder.encode_step(row, symbol)
    for row, symbol in zip(rows, symbols):
        coder.encode_step(row, int(symbol))
    return coder.finish_encoding()


def random_rows(rng, count, length, dtype):
    rows = rng.random((count, length)) ** rng.uniform(0.2, 6)
    rows /= rows.sum(axis=1, keepdims=True)
    return rows.astype(dtype)


@given(
    seed=st.integers(0, 2**32 - 1),
    count=st.integers(0, 40),
    length=st.sampled_from([1, 2, 3, 16, 33, 300, 5000]),
    dtype_index=st.integers(0, len(DTYPES) - 1),
    layout=st.sampled_from(["plain", "every_other_row", "reversed_rows", "wider", "list"]),
    symbol_form=st.sampled_from(["int64", "uint8", "int32_swapped", "list", "strided"]),
)
def test_batches_equal_single_steps(seed, count, length, dtype_index, layout, symbol_form):
    rng = np.random.default_rng(seed)
    dtype = DTYPES[dtype_index]
    rows = random_rows(rng, count, length, dtype)
    symbols = rng.integers(0, min(length, 256), count)
    expected = single_steps(rows, symbols)

    probs = rows
    if layout == "every_other_row":
        probs = np.repeat(rows, 2, axis=0)[::2]
    elif layout == "reversed_rows":
        probs = rows[::-1].copy()[::-1]
    elif layout == "wider":
        probs = np.zeros((count, length + 3), dtype)[:, :length]
        probs[:] = rows
    elif layout == "list" and dtype == np.float32 and count > 0:
        probs = rows.tolist()
    given_symbols = {
        "int64": symbols,
        "uint8": symbols.astype(np.uint8),
        "int32_swapped": symbols.astype(">i4"),
        "list": symbols.tolist(),
        "strided": np.repeat(symbols, 3)[::3],
    }[symbol_form]

    encoder = ArithmeticCoder()
    encoder.encode_steps(probs, given_symbols)
    assert encoder.finish_encoding() == expected

    decoder = ArithmeticCoder()
    decoder.start_decoding(expected)
    decoded = decoder.decode_steps(probs)
    assert decoded.dtype == np.int64 and decoded.shape == (count,)
    assert decoded.tolist() == symbols.tolist()


# A table whose non-dominant shares already fill it: every symbol of it is refused.
OVERFULL = [1.0, 1.0, 1.0]


@pytest.mark.parametrize(
    "row, symbol, error, message",
    [
        ([0.5, 0.25, 0.25], 3, IndexError, "symbol 3 is out of range for 3 probabilities"),
        (OVERFULL, 0, ValueError, "probabilities sum to more than 1: symbol 0 has no share"),
    ],
)
@pytest.mark.parametrize("at", [0, 3, 9])
def test_a_refused_row_leaves_the_coder_as_it_was(row, symbol, error, message, at):
    rng = np.random.default_rng(at)
    prefix = [(np.array([0.3, 0.2, 0.5], np.float32), 1)] * 5
    rows = random_rows(rng, 10, 3, np.float32)
    symbols = rng.integers(0, 3, 10)
    bad_rows, bad_symbols = rows.copy(), symbols.copy()
    bad_rows[at], bad_symbols[at] = row, symbol

    encoder = ArithmeticCoder()
    for p, s in prefix:
        encoder.encode_step(p, s)
    with pytest.raises(error, match=f"^row {at}: {message}"):
        encoder.encode_steps(bad_rows, bad_symbols)
    encoder.encode_steps(rows, symbols)  # mended and retried
    assert encoder.finish_encoding() == single_steps(rows, symbols, prefix)

    decoder = ArithmeticCoder()
    decoder.start_decoding(single_steps(rows, symbols))
    decoder.decode_steps(rows[:1])
    bad_rows[at] = OVERFULL
    with pytest.raises(ValueError, match=f"^row {at + 9}: probabilities sum to more than 1"):
        decoder.decode_steps(np.vstack([rows[1:], bad_rows]))
    assert decoder.decode_steps(rows[1:]).tolist() == symbols[1:].tolist()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.encode_steps(np.full((3, 2), 0.5), [0, 1]), ValueError,
         "got 2 symbols for 3 rows of probabilities"),
        (lambda c: c.encode_steps(np.full((2, 2), 0.5), [0, -1]), OverflowError,
         r"symbols\[1\]: can't convert negative int to unsigned"),
        (lambda c: c.encode_steps(np.full((2, 2), 0.5), np.array([0, -1])), OverflowError,
         r"symbols\[1\]: can't convert negative int to unsigned"),
        (lambda c: c.encode_steps(np.full((1, 2), 0.5), [2**64]), OverflowError, r"symbols\[0\]"),
        (lambda c: c.encode_steps(np.full((1, 2), 0.5), [1.0]), TypeError,
         r"symbols\[0\]: 'float' object cannot be interpreted as an integer"),
        (lambda c: c.encode_steps(np.full((1, 2), 0.5), 3), TypeError,
         "argument 'symbols': 'int' object is not iterable"),
        (lambda c: c.encode_steps(np.full((1, 2), 0.5), np.zeros((1, 1), int)), TypeError,
         "symbols must have 1 dimension, not 2"),
        (lambda c: c.encode_steps(np.full((1, 2), 0.5), np.zeros(1)), TypeError,
         "symbols must be integers, not float64"),
        (lambda c: c.encode_steps(np.full(2, 0.5), [0]), TypeError,
         "probs must have 2 dimensions, one row per step, not 1"),
        (lambda c: c.decode_steps(0.5), TypeError,
         "probs must have 2 dimensions, one row per step, not 0"),
        (lambda c: c.decode_steps(np.ones((4, 4), np.float32)[:, ::2]), ValueError,
         r"numpy\.ascontiguousarray"),
        (lambda c: c.decode_steps(np.asfortranarray(np.ones((3, 3)))), ValueError,
         r"numpy\.ascontiguousarray"),
        (lambda c: c.encode_steps(np.ones((2, 0), np.float32), [0, 0]), ValueError,
         "row 0: probabilities are empty"),
    ],
)
def test_argument_errors_change_nothing(call, error, message):
    coder = ArithmeticCoder()
    coder.encode_step(np.array([0.25, 0.75], np.float32), 1)
    with pytest.raises(error, match=message):
        call(coder)
    assert coder.finish_encoding() == single_steps([np.array([0.25, 0.75], np.float32)], [1])


def test_zero_rows_change_nothing():
    coder = ArithmeticCoder()
    coder.encode_steps(np.zeros((0, 4), np.float32), [])
    assert coder.decode_steps(np.zeros((0, 4), np.float32)).shape == (0,)
    assert coder.finish_encoding() == ArithmeticCoder().finish_encoding()


def test_a_symbol_that_calls_back_finds_the_coder_held():
    coder = ArithmeticCoder()

    class CallsBack:
        def __index__(self):
            coder.finish_encoding()
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        coder.encode_steps(np.full((2, 2), 0.5), [0, CallsBack()])
    coder.encode_steps(np.full((2, 2), 0.5), [0, 1])
    assert coder.finish_encoding() == single_steps(np.full((2, 2), 0.5), [0, 1])


LONG_ROWS = random_rows(np.random.default_rng(7), 4096, 1024, np.float32)
LONG_SYMBOLS = np.random.default_rng(8).integers(0, 1024, 4096)


def test_while_a_long_batch_runs_others_find_the_coder_and_the_array_held():
    coder = ArithmeticCoder()
    seen = {}
    done = threading.Event()
    ArithmeticCoder().encode_step(LONG_ROWS[0], 0)  # the registry exists from the first use
    registry = Registry()

    def second_caller():
        while not done.is_set():
            try:
                coder.finish_encoding()
            except RuntimeError as error:
                seen["coder"] = str(error)
            code = registry.acquire_mut(LONG_ROWS)
            if code == 0:
                registry.release_mut(LONG_ROWS)
            else:
                seen["array"] = code

    thread = threading.Thread(target=second_caller, daemon=True)
    thread.start()
    # Until both were seen: on a loaded machine the thread may not run during the first
    # batches at all. The deadline only bounds a failure.
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            try:
                coder.encode_steps(LONG_ROWS, LONG_SYMBOLS)
            except BaseException as error:  # the probe's own exclusive borrow, met by chance
                assert "AlreadyBorrowed" in str(error)
            if len(seen) == 2:
                break
    finally:
        done.set()
        thread.join()
    assert seen == {"coder": "Already borrowed", "array": -1}


def test_a_writer_thread_cannot_crash_a_batch():
    rows = LONG_ROWS.copy()
    stream = single_steps(rows[:256], LONG_SYMBOLS[:256])
    stop = threading.Event()

    def writer():
        rng = np.random.default_rng(9)
        garbage = [0.0, np.nan, 1e30, -1.0, np.inf, 1.0]
        while not stop.is_set():
            rows[rng.integers(0, len(rows))] = garbage[rng.integers(0, len(garbage))]

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    try:
        for _ in range(30):
            decoder = ArithmeticCoder()
            decoder.start_decoding(stream)
            try:
                decoded = decoder.decode_steps(rows)
                assert ((decoded >= 0) & (decoded < rows.shape[1])).all()
            except ValueError as error:
                assert str(error).startswith("row ")
            encoder = ArithmeticCoder()
            try:
                encoder.encode_steps(rows, LONG_SYMBOLS)
            except ValueError as error:
                assert str(error).startswith("row ")
    finally:
        stop.set()
        thread.join()
    # Both coders are still usable.
    decoder.start_decoding(stream)
    assert decoder.decode_steps(LONG_ROWS[:256]).tolist() == LONG_SYMBOLS[:256].tolist()


def test_coders_of_their_own_code_in_parallel():
    expected = single_steps(LONG_ROWS[:512], LONG_SYMBOLS[:512])
    results = [None] * 4

    def work(index):
        coder = ArithmeticCoder()
        coder.encode_steps(LONG_ROWS[:512], LONG_SYMBOLS[:512])
        stream = coder.finish_encoding()
        coder.start_decoding(stream)
        results[index] = (stream, coder.decode_steps(LONG_ROWS[:512]).tolist())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(r == (expected, LONG_SYMBOLS[:512].tolist()) for r in results)


class Hostile:
    """A sequence of symbols, or an object with __array__, whose conversion runs `act`."""

    def __init__(self, act, symbols=(0, 1)):
        self.act, self.symbols = act, list(symbols)

    def __len__(self):
        self.act()
        return len(self.symbols)

    def __getitem__(self, index):
        self.act()
        return self.symbols[index]

    def __array__(self, dtype=None, copy=None):
        self.act()
        return np.full((2, 2), 0.5, np.float32)


def hostile_cases():
    rows = np.full((2, 2), 0.5, np.float32)
    growing = np.full((2, 2), 0.5, np.float32)

    def grow():  # reallocates the array's memory: only safe before its rows are taken
        growing.resize((40, 2), refcheck=False)
        growing[:] = 0.5

    def raise_error():
        raise KeyError("hostile")

    def other_thread(coder):
        seen = []
        thread = threading.Thread(target=lambda: seen.append(_call(coder.finish_encoding)))
        thread.start()
        thread.join()
        assert seen == ["Already borrowed"]

    return [
        ("symbols call back", lambda c: c.encode_steps(rows, Hostile(c.finish_encoding)),
         RuntimeError, "Already borrowed"),
        ("symbols raise", lambda c: c.encode_steps(rows, Hostile(raise_error)), KeyError, None),
        ("symbols resize probs", lambda c: c.encode_steps(growing, Hostile(grow, [0] * 40)),
         None, lambda: (np.full((40, 2), 0.5), [0] * 40)),
        ("symbols run a thread", lambda c: c.encode_steps(rows, Hostile(lambda: other_thread(c))),
         None, lambda: (rows, [0, 1])),
        ("probs call back", lambda c: c.decode_steps(Hostile(c.finish_encoding)), RuntimeError,
         "Already borrowed"),
        ("probs raise", lambda c: c.encode_steps(Hostile(raise_error), [0, 1]), KeyError, None),
    ]


def _call(method):
    try:
        method()
    except RuntimeError as error:
        return str(error)


@pytest.mark.parametrize("name, call, error, message", hostile_cases(),
                         ids=[case[0] for case in hostile_cases()])
def test_hostile_arguments(name, call, error, message):
    coder = ArithmeticCoder()
    coder.encode_step(np.array([0.25, 0.75], np.float32), 1)
    fresh = ArithmeticCoder()
    fresh.encode_step(np.array([0.25, 0.75], np.float32), 1)
    if error is None:
        call(coder)  # codes what the arguments hold once converted
        rows, symbols = message()
        fresh.encode_steps(rows, symbols)
    else:
        with pytest.raises(error, match=message):
            call(coder)
    assert coder.finish_encoding() == fresh.finish_encoding()
