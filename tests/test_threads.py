"""Coders under threads: one coder shared by many threads, many coders at once, the lazy
process-wide set-up raced on a fresh interpreter, and re-entrance from argument
conversions."""

import itertools
import json
import sys
import threading
import time

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from array_support import run_python
from reference_coder import ReferenceCoder

ALREADY_BORROWED = "Already borrowed"


@pytest.fixture
def fast_switching():
    # Threads change hands as often as the interpreter allows, inside calls too.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(count, target):
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # reported by the test, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    if errors:
        raise errors[0]


class Sequenced:
    """A symbol that takes its sequence number while the coder is held for the call, so
    the numbers give the order in which the coder ran the steps. Sleeping inside gives
    the interpreter lock to other threads, which meet the held coder."""

    counter = itertools.count()

    def __init__(self, value):
        self.value, self.sequence = value, None

    def __index__(self):
        self.sequence = next(Sequenced.counter)
        time.sleep(1e-4)
        return self.value


THREADS = 4
CALLS = 400


def test_threads_share_one_coder(fast_switching):
    coder = ArithmeticCoder()
    rng = np.random.default_rng(7)
    vectors = [rng.dirichlet(np.ones(n)).astype(dtype)
               for n in (2, 3, 17, 300) for dtype in (np.float32, np.float64)]
    done, refused = [], []

    def hammer(index):
        local = np.random.default_rng(index)
        for _ in range(CALLS):
            probs = vectors[local.integers(len(vectors))]
            symbol = Sequenced(int(local.integers(len(probs))))
            try:
                coder.encode_step(probs, symbol)
            except RuntimeError as error:
                assert str(error) == ALREADY_BORROWED
                assert symbol.sequence is None  # refused before the symbol was looked at
                refused.append(error)
            else:
                done.append((symbol.sequence, probs, symbol.value))

    run_threads(THREADS, hammer)
    assert len(done) + len(refused) == THREADS * CALLS
    assert refused, "no call met the coder in use: the test exercised nothing"
    done.sort(key=lambda step: step[0])
    stream = coder.finish_encoding()

    reference = ReferenceCoder()
    for _, probs, symbol in done:
        reference.encode(probs, symbol)
    assert stream == reference.finish()
    decoder = ArithmeticCoder()
    decoder.start_decoding(stream)
    assert [decoder.decode_step(p) for _, p, _ in done] == [s for _, _, s in done]


def test_threads_each_with_own_coders(fast_switching):
    rng = np.random.default_rng(11)
    jobs = []
    for _ in range(8):
        vectors = [rng.dirichlet(np.ones(n)).astype(np.float32)
                   for n in rng.integers(2, 600, size=150)]
        symbols = [int(rng.integers(len(v))) for v in vectors]
        jobs.append((vectors, symbols))
    expected = []
    for vectors, symbols in jobs:
        coder = ArithmeticCoder()
        for probs, symbol in zip(vectors, symbols):
            coder.encode_step(probs, symbol)
        expected.append(coder.finish_encoding())
    results = [None] * len(jobs)

    def work(index):
        vectors, symbols = jobs[index]
        for _ in range(3):
            encoder = ArithmeticCoder()
            for probs, symbol in zip(vectors, symbols):
                encoder.encode_step(probs, symbol)
            stream = encoder.finish_encoding()
            decoder = ArithmeticCoder()
            decoder.start_decoding(stream)
            assert [decoder.decode_step(p) for p in vectors] == symbols
        results[index] = stream

    run_threads(len(jobs), work)
    assert results == expected


# A fresh interpreter whose threads all make their first call at the same moment: the
# NumPy access, the registry and PanicException are set up by whichever thread gets
# there, while the others wait for it.
FIRST_USE_RACE = """
    import json, sys, threading
    sys.setswitchinterval(1e-6)
    import numpy as np
    from _vantor import ArithmeticCoder
    from array_support import Registry

    threads = 8
    barrier = threading.Barrier(threads)
    results = [None] * threads
    probs32 = np.array([0.25, 0.5, 0.25], np.float32)
    strided = np.array([0.25, 0.0, 0.5, 0.0, 0.25], np.float32)[::2]

    def first_call(index):
        barrier.wait()
        coder = ArithmeticCoder()
        try:
            kind = index % 4
            if kind == 0:
                coder.encode_step(probs32, 1)
            elif kind == 1:
                coder.encode_step([0.25, 0.5, 0.25], 1)  # through numpy.array
            elif kind == 2:
                coder.start_decoding(b"\\x40")
                results[index] = coder.decode_step(probs32)
                return
            else:
                coder.encode_step(strided, 1)  # the first failure creates PanicException
            results[index] = coder.finish_encoding().hex()
        except BaseException as error:
            results[index] = type(error).__module__ + "." + type(error).__name__

    workers = [threading.Thread(target=first_call, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    registry = Registry()
    # One registry for all, and it is free again.
    assert registry.acquire_mut(probs32) == 0
    registry.release_mut(probs32)
    print(json.dumps([results, registry.record.version]))
"""


@pytest.mark.parametrize("attempt", range(4))
def test_first_use_raced_by_threads(attempt):
    result = run_python(FIRST_USE_RACE)
    assert result.returncode == 0, result.stderr
    results, version = json.loads(result.stdout)
    single = ArithmeticCoder()
    single.encode_step(np.array([0.25, 0.5, 0.25], np.float32), 1)
    stream = single.finish_encoding().hex()
    decoder = ArithmeticCoder()
    decoder.start_decoding(b"\x40")
    symbol = decoder.decode_step(np.array([0.25, 0.5, 0.25], np.float32))
    assert results == [stream, stream, symbol, "pyo3_runtime.PanicException"] * 2
    assert version == 1


INNER_CALLS = {
    "encode_step": lambda coder: coder.encode_step(np.array([1.0], np.float32), 0),
    "decode_step": lambda coder: coder.decode_step(np.array([1.0], np.float32)),
    "finish_encoding": lambda coder: coder.finish_encoding(),
    "start_decoding": lambda coder: coder.start_decoding(b"\x01"),
}


class ArrayThatReenters:
    """`probs` whose conversion calls the coder in use, on this thread or on another."""

    def __init__(self, coder, inner, swallow, other_thread):
        self.coder, self.inner = coder, inner
        self.swallow, self.other_thread = swallow, other_thread
        self.seen = []

    def _call(self):
        try:
            self.inner(self.coder)
        except RuntimeError as error:
            self.seen.append(str(error))
            return error
        self.seen.append("no error")
        return None

    def __array__(self, dtype=None, copy=None):
        if self.other_thread:
            # join() gives up the interpreter lock while the coder is held.
            holder = []
            thread = threading.Thread(target=lambda: holder.append(self._call()))
            thread.start()
            thread.join()
            error = holder[0]
        else:
            error = self._call()
        if error is not None and not self.swallow:
            raise error
        return np.array([0.25, 0.75])


@pytest.mark.parametrize("other_thread", [False, True], ids=["same thread", "other thread"])
@pytest.mark.parametrize("swallow", [True, False], ids=["caught", "propagated"])
@pytest.mark.parametrize("inner", INNER_CALLS.values(), ids=INNER_CALLS.keys())
@pytest.mark.parametrize("method", ["encode_step", "decode_step"])
def test_array_conversion_reenters(method, inner, swallow, other_thread):
    coder, twin = ArithmeticCoder(), ArithmeticCoder()
    for c in (coder, twin):
        c.start_decoding(b"\x9a\xbc")
    probs = ArrayThatReenters(coder, inner, swallow, other_thread)
    call = {"encode_step": lambda c, p: c.encode_step(p, 1),
            "decode_step": lambda c, p: c.decode_step(p)}[method]
    if swallow:
        result = call(coder, probs)
        assert result == call(twin, np.array([0.25, 0.75], np.float32))
    else:
        with pytest.raises(RuntimeError) as caught:
            call(coder, probs)
        assert str(caught.value) == ALREADY_BORROWED
    assert probs.seen == [ALREADY_BORROWED]
    # Free again, and only the outer call (when it went through) touched the state.
    assert coder.finish_encoding() == twin.finish_encoding()


# Python code run by the interpreter in the middle of the one-time set-up, on the thread
# doing it: a garbage-collector callback that uses a coder (a finaliser or a signal
# handler would do the same). Collections run at every allocation here.
SETUP_REENTERED = """
    import gc, json
    from _vantor import ArithmeticCoder

    inner = []
    def use_a_coder(phase, info):
        if phase != "start" or inner and inner[-1] == "running":
            return
        inner.append("running")
        try:
            ArithmeticCoder().encode_step([0.5, 0.5], 1)
            inner[-1] = "ok"
        except BaseException as error:
            inner[-1] = type(error).__name__ + ": " + str(error)

    coder = ArithmeticCoder()
    gc.callbacks.append(use_a_coder)
    gc.set_threshold(1)
    # The first step imports NumPy and sets up its access, collecting all the while.
    coder.encode_step([0.5, 0.5], 1)
    gc.callbacks.remove(use_a_coder)
    gc.set_threshold(700)
    print(json.dumps([coder.finish_encoding().hex(), sorted(set(inner))]))
"""

REENTERED = "RuntimeError: _vantor was used again by the thread that is setting it up"


def test_setup_reentered_on_its_own_thread():
    # Waiting for the set-up there would wait on itself (the process hung): the inner use
    # is refused instead, and the set-up goes on.
    result = run_python(SETUP_REENTERED)
    assert result.returncode == 0, result.stderr
    stream, inner = json.loads(result.stdout)
    assert stream == "a0"
    assert REENTERED in inner
    assert set(inner) <= {REENTERED, "ok"}
