"""How `probs` is accepted: the element kinds read in place, the conversion of everything
else to float32, and the contiguity requirement with its failure report."""

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from array_support import (ALREADY_BORROWED, NOT_CONTIGUOUS, Registry, check_panic, encode,
                           run_python)

NOT_A_VECTOR = "'ndarray' object cannot be converted to 'PyArray<T, D>'"

# float64 and float32 quantise 0.1 and 0.9 differently; this sequence shows it in the stream.
SYMBOLS = [0, 1] * 9


class Subclass(np.ndarray):
    pass


def bfloat16_array(values):
    ml_dtypes = pytest.importorskip("ml_dtypes")
    return np.array(values, dtype=ml_dtypes.bfloat16)


IN_PLACE = {
    "float32": lambda v: np.array(v, np.float32),
    "float16": lambda v: np.array(v, np.float16),
    "bfloat16": bfloat16_array,
    "float64": lambda v: np.array(v, np.float64),
    "float32 subclass": lambda v: np.array(v, np.float32).view(Subclass),
}


@pytest.fixture
def registry():
    encode(np.array([1.0], np.float32), [0])
    return Registry()


@pytest.mark.parametrize("make", IN_PLACE.values(), ids=IN_PLACE.keys())
def test_kinds_are_read_in_place(make, registry):
    probs = make([0.1, 0.9])
    # The caller's own array is borrowed, not a converted copy of it.
    assert registry.acquire_mut(probs) == 0
    try:
        with pytest.raises(BaseException) as info:
            ArithmeticCoder().encode_step(probs, 0)
        check_panic(info, ALREADY_BORROWED)
    finally:
        registry.release_mut(probs)
    # Each element is read at its own precision: the same values widened give the same stream.
    assert encode(probs, SYMBOLS) == encode(probs.astype(np.float64), SYMBOLS)


def test_float64_is_not_rounded_to_float32():
    assert encode(np.array([0.1, 0.9]), SYMBOLS) == bytes.fromhex("02d02d03")
    assert encode(np.array([0.1, 0.9], np.float32), SYMBOLS) == bytes.fromhex("02d02d0480")


def test_read_only_array_is_accepted():
    probs = np.array([0.1, 0.9], np.float32)
    probs.setflags(write=False)
    assert encode(probs, SYMBOLS) == encode(np.array([0.1, 0.9], np.float32), SYMBOLS)


CONVERTED = {
    "list of floats": ([0.1, 0.9], [0.1, 0.9]),
    "list of ints": ([0, 1], [0.0, 1.0]),
    "int32 array": (np.array([1, 0], np.int32), [1.0, 0.0]),
    "big-endian float32": (np.array([0.1, 0.9], ">f4"), [0.1, 0.9]),
    "non-native float64": (np.array([0.1, 0.9], ">f8"), [0.1, 0.9]),
}


@pytest.mark.parametrize("probs, values", CONVERTED.values(), ids=CONVERTED.keys())
def test_other_inputs_are_converted_to_float32(probs, values, registry):
    expected = encode(np.array(values, np.float32), SYMBOLS)
    if isinstance(probs, np.ndarray):
        # A copy is read, so a borrow of the original does not stand in the way.
        assert registry.acquire_mut(probs) == 0
    try:
        assert encode(probs, SYMBOLS) == expected
    finally:
        if isinstance(probs, np.ndarray):
            registry.release_mut(probs)


@pytest.mark.parametrize(
    "probs",
    [np.full((2, 2), 0.25, np.float32), np.array(1.0, np.float32), 1.0, [[0.5], [0.5]]],
    ids=["2-d", "0-d", "float", "nested list"])
def test_not_a_vector_is_a_type_error(probs):
    with pytest.raises(TypeError) as info:
        ArithmeticCoder().encode_step(probs, 0)
    assert str(info.value) == NOT_A_VECTOR
    coder = ArithmeticCoder()
    coder.start_decoding(b"")
    with pytest.raises(TypeError, match="PyArray<T, D>"):
        coder.decode_step(probs)


def test_conversion_error_passes_unchanged():
    with pytest.raises(ValueError, match="could not convert string to float"):
        ArithmeticCoder().encode_step(["a", "b"], 0)


def test_one_element_step_two_slice_is_contiguous():
    probs = np.array([1.0, 0.0], np.float32)[::2]
    assert encode(probs, [0, 0]) == encode(np.array([1.0], np.float32), [0, 0])


@pytest.mark.parametrize("view", [slice(None, None, 2), slice(None, None, -1)],
                         ids=["step 2", "reversed"])
def test_non_contiguous_fails_and_leaves_the_coder_as_it_was(view):
    probs = np.array([0.1, 0.4, 0.2, 0.3], np.float32)[view]
    encoder = ArithmeticCoder()
    encoder.encode_step(probs.copy(), 1)
    with pytest.raises(BaseException) as info:
        encoder.encode_step(probs, 0)
    check_panic(info, NOT_CONTIGUOUS)
    encoder.encode_step(probs.copy(), 0)
    stream = encoder.finish_encoding()
    assert stream == encode(probs.copy(), [1, 0])

    decoder = ArithmeticCoder()
    decoder.start_decoding(stream)
    with pytest.raises(BaseException) as info:
        decoder.decode_step(probs)
    check_panic(info, NOT_CONTIGUOUS)
    assert [decoder.decode_step(probs.copy()) for _ in range(2)] == [1, 0]


@pytest.mark.parametrize("method, location", [("encode_step(probs, 0)", "src\\lib:135:44"),
                                              ("decode_step(probs)", "src\\lib:177:44")])
def test_non_contiguous_report_names_the_method_location(method, location):
    result = run_python(f"""
        import numpy as np
        from _vantor import ArithmeticCoder
        coder = ArithmeticCoder()
        coder.start_decoding(b"")
        probs = np.array([0.25, 0.25, 0.25, 0.25], np.float32)[::2]
        try:
            coder.{method}
        except BaseException as error:
            print(type(error).__name__)
        """)
    assert result.stdout == "PanicException\n", result.stderr
    lines = result.stderr.split("\n")
    assert lines[0] == ""
    assert lines[1].startswith("thread '<unnamed>' (")
    assert lines[1].endswith(f") panicked at {location}:")
    assert lines[2] == NOT_CONTIGUOUS


def test_bfloat16_is_looked_up_again_after_a_miss():
    pytest.importorskip("ml_dtypes")
    result = run_python("""
        import numpy as np
        from _vantor import ArithmeticCoder
        from array_support import Registry
        # No bfloat16 is known yet: an int32 vector reaches the lookup, which misses.
        ArithmeticCoder().encode_step(np.array([1, 0], np.int32), 0)
        import ml_dtypes
        probs = np.array([0.1, 0.9], ml_dtypes.bfloat16)
        registry = Registry()
        assert registry.acquire_mut(probs) == 0
        try:
            ArithmeticCoder().encode_step(probs, 0)
        except BaseException as error:
            print(error)
        """)
    assert result.stdout == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed\n", \
        result.stderr
