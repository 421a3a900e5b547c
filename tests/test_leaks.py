"""Nothing is kept behind: memory stays flat over many steps and many coders, every
reference a call takes is given back, and the registry holds no borrow afterwards.

VANTOR_LEAK_STEPS sets the number of steps of the long runs (200 000 by default); for a
soak run:  VANTOR_LEAK_STEPS=1000000 python -m pytest tests/test_leaks.py
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from array_support import Registry, encode

STEPS = int(os.environ.get("VANTOR_LEAK_STEPS", "200000"))
PAGE = os.sysconf("SC_PAGE_SIZE")
# ASan keeps freed memory in quarantine, so the resident size grows without a leak there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Almost all of the table for symbol 0: the stream grows by about one bit per 700 000
# steps, so the output buffer stays at its first size however long the run.
SKEWED = np.array([1 - 2.0**-20, 2.0**-20], np.float32)
SKEWED_LIST = [1 - 2.0**-20, 2.0**-20]
STRIDED = np.repeat(SKEWED, 2)[::2]


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Reenter:
    def __init__(self, coder):
        self.coder = coder

    def __index__(self):
        try:
            self.coder.finish_encoding()
        except RuntimeError:
            pass
        return 0


def step_mix(count):
    """`count` calls through every way a step can go: in place, converted, refused by the
    engine, refused at the symbol, re-entered, and decoding, on long-lived coders."""
    encoder, decoder = ArithmeticCoder(), ArithmeticCoder()
    decoder.start_decoding(b"\x00" * 8)
    reenter = Reenter(encoder)
    for i in range(count // 8):
        encoder.encode_step(SKEWED, 0)
        encoder.encode_step(SKEWED_LIST, 0)
        encoder.encode_step(SKEWED, reenter)
        assert decoder.decode_step(SKEWED) == 0
        assert decoder.decode_step(probs=SKEWED) == 0
        try:
            encoder.encode_step(SKEWED, 2)
        except IndexError:
            pass
        try:
            encoder.encode_step(SKEWED, -1)
        except OverflowError:
            pass
        try:
            encoder.encode_step(SKEWED, 1.5)
        except TypeError:
            pass
    return encoder, decoder


SKEWED_ROWS = np.tile(SKEWED, (1000, 1))
ZEROS = np.zeros(1000, np.int64)


def batch_mix(count):
    """`count` steps in batches of 1000 rows: coded, decoded, refused at the last row."""
    encoder, decoder = ArithmeticCoder(), ArithmeticCoder()
    decoder.start_decoding(b"\x00" * 8)
    refused = ZEROS.copy()
    refused[-1] = 2
    for _ in range(count // 3000):
        encoder.encode_steps(SKEWED_ROWS, ZEROS)
        assert not decoder.decode_steps(SKEWED_ROWS).any()
        try:
            encoder.encode_steps(SKEWED_ROWS, refused)
        except IndexError:
            pass
    return encoder, decoder


def coder_churn(count):
    """`count` coders created and dropped, each having used both of its buffers."""
    for i in range(count):
        coder = ArithmeticCoder()
        coder.encode_step(SKEWED, 0)
        coder.start_decoding(b"\x01\x02\x03")
        coder.decode_step(SKEWED)
        coder.finish_encoding()


def panics(count, capfd):
    """Internal failures (each with a report on standard error), captured away."""
    coder = ArithmeticCoder()
    for _ in range(count):
        try:
            coder.encode_step(STRIDED, 0)
        except BaseException:
            pass
    capfd.readouterr()


WORKLOADS = {
    "steps": lambda capfd, share: step_mix(STEPS // share),
    "batch steps": lambda capfd, share: batch_mix(5 * STEPS // share),
    "coders": lambda capfd, share: coder_churn(STEPS // share),
    "internal failures": lambda capfd, share: panics(STEPS // 200 // share, capfd),
}


@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine grows the resident size")
@pytest.mark.parametrize("workload", WORKLOADS.values(), ids=WORKLOADS.keys())
def test_resident_memory_stays_flat(workload, capfd):
    workload(capfd, 1)  # first run: caches, arenas and the process-wide set-up
    gc.collect()
    before = resident()
    for _ in range(3):
        workload(capfd, 1)
    gc.collect()
    growth = resident() - before
    # Even 8 bytes kept per call would be several megabytes here.
    assert growth < 2 * 2**20, f"resident size grew by {growth} bytes"


@pytest.mark.parametrize("workload", WORKLOADS.values(), ids=WORKLOADS.keys())
def test_python_memory_stays_flat(workload, capfd):
    # Traced allocations are counted exactly, so a quarter of the run shows any growth.
    workload(capfd, 4)
    gc.collect()
    tracemalloc.start()
    try:
        workload(capfd, 4)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        workload(capfd, 4)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 64 * 2**10, f"traced Python memory grew by {growth} bytes"


class ArrayLike:
    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def reference_paths():
    """(name, call, objects whose reference counts the call must give back)."""
    float32 = np.array([0.25, 0.75], np.float32)
    float64 = np.array([0.25, 0.75])
    strided = np.array([0.25, 0.0, 0.75, 0.0], np.float32)[::2]
    given = np.array([0.25, 0.75])
    like = ArrayLike(given)
    values = [0.25, 0.75]
    big = 2**63 + 12345
    stream = bytes(range(200))
    held = np.array([0.5, 0.5], np.float32)
    decoder = ArithmeticCoder()
    decoder.start_decoding(b"\x55" * 64)
    coder = ArithmeticCoder()
    rows = np.array([[0.25, 0.75], [0.5, 0.5]], np.float32)
    columns = np.asfortranarray(rows)
    row_list = rows.tolist()
    symbols = np.array([1, 0])
    symbol_list = [1, big % 2]
    refused = np.array([0, 7])

    def borrowed_elsewhere():
        registry = Registry()
        assert registry.acquire_mut(held) == 0
        try:
            coder.encode_step(held, 0)
        finally:
            registry.release_mut(held)

    return [
        ("in place", lambda: coder.encode_step(float32, 1), [float32]),
        ("float64 in place", lambda: decoder.decode_step(float64), [float64]),
        ("converted list", lambda: coder.encode_step(values, 0), [values]),
        ("__array__", lambda: coder.encode_step(like, 0), [like, given]),
        ("refused symbol", lambda: coder.encode_step(float32, 5), [float32]),
        ("big symbol", lambda: coder.encode_step(float32, big), [float32, big]),
        ("not contiguous", lambda: coder.encode_step(strided, 0), [strided, strided.base]),
        ("borrowed elsewhere", borrowed_elsewhere, [held]),
        ("stream", lambda: decoder.start_decoding(stream), [stream]),
        ("finish", coder.finish_encoding, [coder]),
        ("batch", lambda: coder.encode_steps(rows, symbols), [rows, symbols]),
        ("batch of lists", lambda: coder.encode_steps(row_list, symbol_list),
         [row_list, symbol_list, big]),
        ("batch refused row", lambda: coder.encode_steps(rows, refused), [rows, refused]),
        ("batch bad symbol", lambda: coder.encode_steps(rows, [0, like]), [rows, like]),
        ("batch columns", lambda: coder.encode_steps(columns, symbols), [columns, symbols]),
        ("batch decode", lambda: decoder.decode_steps(rows), [rows]),
    ]


@pytest.mark.parametrize("index", range(len(reference_paths())),
                         ids=[name for name, _, _ in reference_paths()])
def test_references_come_back(index, capfd):
    encode(np.array([1.0], np.float32), [0])  # the process-wide set-up is done
    _, call, objects = reference_paths()[index]
    watched = objects + [ArithmeticCoder]

    def run():
        try:
            call()
        except BaseException:
            pass

    run()
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    for _ in range(200):
        run()
    gc.collect()
    capfd.readouterr()
    assert [sys.getrefcount(x) for x in watched] == counts


def test_registry_holds_nothing_after_calls(capfd):
    encode(np.array([1.0], np.float32), [0])
    registry = Registry()
    base = np.array([0.25, 0.0, 0.75, 0.0, 0.5, 0.5], np.float32)
    coder = ArithmeticCoder()
    decoder = ArithmeticCoder()
    decoder.start_decoding(b"\x12\x34")
    views = [base[0:2], base[4:6], base[0:4:2], base[::-1], base[2:4]]
    for view in views:
        for call in (lambda: coder.encode_step(view, 1), lambda: coder.encode_step(view, 9),
                     lambda: decoder.decode_step(view)):
            try:
                call()
            except BaseException:
                pass
    capfd.readouterr()
    # An exclusive borrow of the whole array conflicts with any borrow left behind.
    assert registry.acquire_mut(base) == 0
    registry.release_mut(base)
