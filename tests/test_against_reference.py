"""The module's streams, symbols and refusals equal those of the plain-Python reference."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from _vantor import ArithmeticCoder
from reference_coder import ReferenceCoder, Refused

try:
    import ml_dtypes
except ImportError:  # bfloat16 is only there when a package registers it
    ml_dtypes = None

DTYPES = [np.float32, np.float16, np.float64]
if ml_dtypes is not None:
    DTYPES.append(ml_dtypes.bfloat16)

dtypes = st.sampled_from(DTYPES)

# Mostly well-formed probabilities, with the values that stress the quantiser mixed in.
element = st.one_of(
    st.floats(0, 1, allow_subnormal=True),
    st.sampled_from([0.0, -0.0, -1.0, float("nan"), float("inf"), -float("inf"), 1e-40, 5e9]),
)


@st.composite
def vectors(draw, dtype, total=None):
    n = draw(st.integers(1, 40))
    if draw(st.booleans()):
        weights = np.array(draw(st.lists(st.floats(0.01, 1), min_size=n, max_size=n)))
        scale = total if total is not None else draw(st.sampled_from([1.0, 0.7, 1.3]))
        values = weights / weights.sum() * scale
    else:
        values = np.array(draw(st.lists(element, min_size=n, max_size=n)))
    with np.errstate(all="ignore"):
        return values.astype(dtype)


@st.composite
def steps(draw):
    dtype = draw(dtypes)
    out = []
    for _ in range(draw(st.integers(0, 25))):
        v = draw(vectors(dtype))
        out.append((v, draw(st.integers(0, len(v)))))  # len(v) is out of range
    return out


def encode_both(step_list):
    coder, reference = ArithmeticCoder(), ReferenceCoder()
    coded = []
    for probs, symbol in step_list:
        try:
            reference.encode(probs, symbol)
        except Refused:
            with pytest.raises((ValueError, IndexError)):
                coder.encode_step(probs, symbol)
            continue
        coder.encode_step(probs, symbol)
        coded.append((probs, symbol))
    return coder.finish_encoding(), reference.finish(), coded


@given(steps())
def test_streams_equal_the_reference_and_decode_back(step_list):
    stream, expected, coded = encode_both(step_list)
    assert stream == expected
    decoder = ArithmeticCoder()
    decoder.start_decoding(stream)
    assert [decoder.decode_step(p) for p, _ in coded] == [s for _, s in coded]


@given(st.binary(max_size=24), dtypes.flatmap(lambda d: st.lists(vectors(d), max_size=20)))
def test_arbitrary_streams_decode_as_the_reference_does(stream, vector_list):
    coder, reference = ArithmeticCoder(), ReferenceCoder()
    coder.start_decoding(stream)
    reference.start(stream)
    for probs in vector_list:
        try:
            expected = reference.decode(probs)
        except Refused:
            with pytest.raises(ValueError):
                coder.decode_step(probs)
            return
        assert coder.decode_step(probs) == expected


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("n", [2, 3, 100, 4097])
def test_long_random_round_trip(dtype, n):
    rng = np.random.default_rng(n)
    coder, reference = ArithmeticCoder(), ReferenceCoder()
    vectors_used, symbols = [], []
    for _ in range(200):
        probs = rng.dirichlet(np.ones(n)).astype(dtype)
        symbol = int(rng.integers(n))
        try:
            reference.encode(probs, symbol)
        except Refused:
            continue
        coder.encode_step(probs, symbol)
        vectors_used.append(probs)
        symbols.append(symbol)
    stream = coder.finish_encoding()
    assert stream == reference.finish()
    decoder = ArithmeticCoder()
    decoder.start_decoding(stream)
    assert [decoder.decode_step(p) for p in vectors_used] == symbols
