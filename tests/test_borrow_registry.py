"""The process-wide array borrow registry, driven through its capsule as another extension
would drive it, and shared with other extensions of the same kind."""

import json

import numpy as np
import pytest

from _vantor import ArithmeticCoder
from array_support import ALREADY_BORROWED, Registry, check_panic, encode, run_python


@pytest.fixture
def registry():
    # The first step of the process finds or creates the registry.
    encode(np.array([1.0], np.float32), [0])
    return Registry()


@pytest.mark.parametrize("held, used, conflict", [
    (slice(0, 8), slice(0, 8), True),
    (slice(2, 6), slice(0, 4), True),
    (slice(6, 8), slice(0, 4), False),
], ids=["same array", "overlapping view", "disjoint view"])
def test_exclusive_borrow_elsewhere(registry, held, used, conflict):
    base = np.full(8, 0.125, np.float32)
    assert registry.acquire_mut(base[held]) == 0
    try:
        if conflict:
            with pytest.raises(BaseException) as info:
                ArithmeticCoder().encode_step(base[used], 0)
            check_panic(info, ALREADY_BORROWED)
        else:
            ArithmeticCoder().encode_step(base[used], 0)
    finally:
        registry.release_mut(base[held])
    # Once given back, the array is free again.
    ArithmeticCoder().encode_step(base[used], 0)


def test_shared_borrows_are_counted(registry):
    probs = np.array([0.5, 0.5], np.float32)
    assert registry.acquire(probs) == 0
    # Our step takes a second shared borrow and gives it back.
    assert encode(probs, [1]) == b"\xa0"
    assert registry.acquire_mut(probs) == -1
    assert registry.acquire(probs) == 0
    registry.release(probs)
    assert registry.acquire_mut(probs) == -1
    registry.release(probs)
    assert registry.acquire_mut(probs) == 0
    assert registry.acquire(probs) == -1
    registry.release_mut(probs)


def test_interleaved_views_do_not_conflict(registry):
    base = np.zeros(8, np.float32)
    even, odd = base[0::2], base[1::2]
    assert registry.acquire_mut(even) == 0
    assert registry.acquire_mut(odd) == 0
    registry.release_mut(odd)
    assert registry.acquire(odd) == 0
    registry.release(odd)
    registry.release_mut(even)
    # Elements 0 to 3 and 2 to 5 share two elements.
    assert registry.acquire_mut(base[0:4]) == 0
    assert registry.acquire_mut(base[2:6]) == -1
    assert registry.acquire(base[2:6]) == -1
    registry.release_mut(base[0:4])


def test_zero_strides_conflict_only_at_the_same_element(registry):
    # Views whose every stride is 0 reach one element each; their base is the bytearray.
    memory = bytearray(16)
    def view(offset):
        return np.ndarray((3,), np.float32, buffer=memory, offset=offset, strides=(0,))
    assert registry.acquire_mut(view(0)) == 0
    assert registry.acquire_mut(view(2)) == 0
    assert registry.acquire_mut(view(0)) == -1
    registry.release_mut(view(2))
    registry.release_mut(view(0))
    assert registry.acquire_mut(np.frombuffer(memory, np.uint8)) == 0
    registry.release_mut(np.frombuffer(memory, np.uint8))


def test_exclusive_borrow_needs_a_writeable_array(registry):
    probs = np.zeros(2, np.float32)
    probs.setflags(write=False)
    assert registry.acquire_mut(probs) == -2


def test_stray_releases_change_nothing(registry):
    base = np.zeros(4, np.float32)
    registry.release(base)
    registry.release_mut(base)
    assert registry.acquire(base) == 0
    # Neither an exclusive release of another key nor of a shared one drops the borrow.
    registry.release_mut(base[0:2])
    registry.release_mut(base)
    assert registry.acquire_mut(base) == -1
    registry.release(base)
    assert registry.acquire_mut(base) == 0
    registry.release_mut(base)


@pytest.mark.parametrize("probs", [
    np.zeros(4, np.float32)[::2],
    np.zeros((2, 2), np.float32),
], ids=["not contiguous", "not a vector"])
def test_nothing_is_held_after_a_failed_step(registry, probs):
    with pytest.raises(BaseException):
        ArithmeticCoder().encode_step(probs, 0)
    base = probs.base if probs.base is not None else probs
    assert registry.acquire_mut(base) == 0
    registry.release_mut(base)


FOREIGN_RECORD = """
    import ctypes, json
    import numpy as np
    from array_support import ACQUIRE, RELEASE, CAPSULE_NAME, Record, install_record, multiarray
    from _vantor import ArithmeticCoder

    calls, answer = [], [0]
    def operation(name, result=None):
        def call(flags, array):
            calls.append([name, flags, array is probs])
            return answer[0] if result is None else result
        return call

    class VersionTwo(ctypes.Structure):
        _fields_ = Record._fields_ + [("private", ctypes.c_uint64)]

    functions = [ACQUIRE(operation("acquire")), ACQUIRE(operation("acquire_mut")),
                 RELEASE(operation("release", 0)), RELEASE(operation("release_mut", 0))]
    record = VersionTwo(2, 1234, *functions, 99)
    name = install_record(record)

    probs = np.array([0.5, 0.5], np.float32)
    outcomes = []
    for answer[0] in (0, -1, 7):
        coder = ArithmeticCoder()
        try:
            coder.encode_step(probs, 1)
            outcomes.append(coder.finish_encoding().hex())
        except BaseException as error:
            outcomes.append(str(error))
    print(json.dumps([calls, outcomes]))
"""


def test_foreign_record_of_a_later_version_is_used():
    result = run_python(FOREIGN_RECORD)
    assert result.returncode == 0, result.stderr
    calls, outcomes = json.loads(result.stdout)
    assert outcomes == ["a0", ALREADY_BORROWED,
                        "Unexpected return code 7 from borrow checking API"]
    assert calls == [["acquire", 1234, True], ["release", 1234, True],
                     ["acquire", 1234, True], ["acquire", 1234, True]]


def test_attribute_that_is_not_a_capsule_is_an_internal_failure():
    result = run_python("""
        import numpy as np
        from array_support import CAPSULE_NAME, Registry, multiarray
        from _vantor import ArithmeticCoder
        probs = np.array([0.5, 0.5], np.float32)
        setattr(multiarray(), CAPSULE_NAME.decode(), 5)
        try:
            ArithmeticCoder().encode_step(probs, 1)
        except BaseException as error:
            print(error)
        # Nothing was kept: the next step looks again and creates the registry.
        delattr(multiarray(), CAPSULE_NAME.decode())
        ArithmeticCoder().encode_step(probs, 1)
        print(Registry().record.version)
        """)
    assert result.stdout.split("\n") == [
        "Interal borrow checking API error: PyErr { type: <class 'TypeError'>, value: "
        "TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), traceback: None }",
        "1", ""], result.stderr


@pytest.mark.parametrize("first", ["constriction", "vantor"])
def test_registry_is_shared_with_constriction(first):
    pytest.importorskip("constriction")
    result = run_python(f"""
        import numpy as np
        import constriction
        from array_support import Registry
        from _vantor import ArithmeticCoder

        message = np.array([6, 10, -4, 2], np.int32)
        means = np.array([2.3, 6.1, -8.5, 4.1])
        stds = np.array([4.1, 7.1, 3.0, 5.5])
        def use_constriction():
            coder = constriction.stream.stack.AnsCoder()
            model = constriction.stream.model.QuantizedGaussian(-50, 50)
            coder.encode_reverse(message, model, means, stds)
            return coder.get_compressed().tolist()
        probs = np.array([0.5, 0.5], np.float32)
        def use_vantor():
            coder = ArithmeticCoder()
            coder.encode_step(probs, 1)
            return coder.finish_encoding()

        uses = [use_constriction, use_vantor]
        if {first!r} == "vantor":
            uses.reverse()
        results = {{use.__name__: use() for use in uses}}
        assert results == {{"use_constriction": [4040058649, 9], "use_vantor": b"\\xa0"}}
        # One registry: a borrow announced in it holds for both extensions.
        registry = Registry()
        for use, array in [(use_constriction, means), (use_vantor, probs)]:
            assert registry.acquire_mut(array) == 0
            try:
                use()
            except BaseException as error:
                print(type(error).__name__, error)
            registry.release_mut(array)
            use()
        """)
    assert result.stdout.split("\n") == [
        "PanicException called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"] * 2 + [""], \
        result.stderr


INTERLEAVED = """
    import json
    import numpy as np
    import constriction
    from array_support import Registry
    from _vantor import ArithmeticCoder

    # One float64 array read by both: a probability vector for each.
    probs = np.array([0.125, 0.5, 0.375])
    other = np.array([0.25, 0.75], np.float32)
    symbols = np.array([0, 1, 2, 1, 1], np.int32)
    model = constriction.stream.model.Categorical(perfect=False)

    def use_constriction():
        coder = constriction.stream.queue.RangeEncoder()
        coder.encode(symbols, model, np.tile(probs, (len(symbols), 1)))
        coder.encode(symbols[:2], constriction.stream.model.Categorical(probs, perfect=False))
        return coder.get_compressed().tolist()

    def use_vantor():
        coder = ArithmeticCoder()
        for s in symbols.tolist():
            coder.encode_step(probs, s)
            coder.encode_step(other, 1)
        stream = coder.finish_encoding()
        decoder = ArithmeticCoder()
        decoder.start_decoding(stream)
        assert [decoder.decode_step(p) for s in symbols.tolist() for p in (probs, other)] \\
            == [x for s in symbols.tolist() for x in (s, 1)]
        return stream.hex()

    uses = [use_constriction, use_vantor]
    if {first!r} == "vantor":
        uses.reverse()
    results = set()
    for _ in range(300):
        results.add(tuple(json.dumps(use()) for use in uses))
    registry = Registry()
    free = []
    for array in (probs, other):
        free.append(registry.acquire_mut(array))
        registry.release_mut(array)
    print(json.dumps([len(results), free]))
"""


@pytest.mark.parametrize("first", ["constriction", "vantor"])
def test_interleaved_use_with_constriction_leaves_no_borrow(first):
    pytest.importorskip("constriction")
    result = run_python(INTERLEAVED.format(first=first))
    assert result.returncode == 0, result.stderr
    # Every round gave the same results, and nothing is borrowed at the end.
    assert json.loads(result.stdout) == [1, [0, 0]]


# The registry record is wrapped, before our first use, in one whose functions first do
# the real work and then probe it: while our shared borrow is held, an exclusive borrow of
# the same array through the record is refused; once given back, it is granted.
PROBED_RECORD = """
    import ctypes, json
    import numpy as np
    import constriction
    from array_support import ACQUIRE, RELEASE, CAPSULE_NAME, Record, Registry, install_record, multiarray
    from _vantor import ArithmeticCoder

    # constriction creates the registry; its record does the real work.
    constriction.stream.model.Categorical(np.array([0.5, 0.5]), perfect=False)
    constriction.stream.queue.RangeEncoder().encode(
        np.array([0], np.int32), constriction.stream.model.Categorical(np.array([0.5, 0.5]),
                                                                       perfect=False))
    real = Registry()
    probes = []

    def acquire(flags, array):
        code = real.acquire(array)
        if code == 0:
            probes.append(["held", real.acquire_mut(array)])
        return code

    def release(flags, array):
        probes.append(["before release", real.acquire_mut(array)])
        real.release(array)
        granted = real.acquire_mut(array)
        probes.append(["after release", granted])
        if granted == 0:
            real.release_mut(array)

    functions = [ACQUIRE(acquire), real.record.acquire_mut, RELEASE(release),
                 real.record.release_mut]
    record = Record(1, real.record.flags, *functions)
    name = install_record(record)

    base = np.array([0.25, 0.25, 0.5, 0.0], np.float32)
    coder = ArithmeticCoder()
    coder.encode_step(base[:3], 2)
    coder.start_decoding(b"\\x80")
    coder.decode_step(base[1:])
    print(json.dumps(probes))
"""


def test_exclusive_borrow_during_our_call_is_refused():
    pytest.importorskip("constriction")
    result = run_python(PROBED_RECORD)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [
        ["held", -1], ["before release", -1], ["after release", 0]] * 2


class TakesExclusiveBorrow:
    """A symbol whose conversion, inside our call, borrows `array` exclusively through the
    registry (as another extension writing to it would) and optionally uses constriction
    on another array, which must not be disturbed by our call in progress."""

    def __init__(self, registry, array):
        self.registry, self.array, self.code = registry, array, None

    def __index__(self):
        self.code = self.registry.acquire_mut(self.array)
        import constriction
        coder = constriction.stream.queue.RangeEncoder()
        coder.encode(np.array([1], np.int32),
                     constriction.stream.model.Categorical(np.array([0.5, 0.5]), perfect=False))
        return 1


@pytest.mark.parametrize("held", [slice(0, 4), slice(1, 3), slice(2, 4)],
                         ids=["same array", "overlapping view", "disjoint view"])
def test_exclusive_borrow_taken_inside_our_call(registry, held, capfd):
    pytest.importorskip("constriction")
    base = np.array([0.25, 0.75, 0.5, 0.5], np.float32)
    probs = base[0:2]
    symbol = TakesExclusiveBorrow(registry, base[held])
    coder = ArithmeticCoder()
    try:
        if held.start < 2:
            with pytest.raises(BaseException) as info:
                coder.encode_step(probs, symbol)
            check_panic(info, ALREADY_BORROWED)
        else:
            coder.encode_step(probs, symbol)
    finally:
        assert symbol.code == 0
        registry.release_mut(base[held])
    capfd.readouterr()
    # Given back: the array is free, and the coder coded only the step that went through.
    assert registry.acquire_mut(base) == 0
    registry.release_mut(base)
    expected = ArithmeticCoder()
    if held.start >= 2:
        expected.encode_step(probs, 1)
    assert coder.finish_encoding() == expected.finish_encoding()
