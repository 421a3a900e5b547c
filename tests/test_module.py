"""The module and the ArithmeticCoder type as the interpreter sees them."""

import gc
import sys
import weakref

import pytest

import _vantor
from _vantor import ArithmeticCoder
from support import run_python


def test_module_surface():
    assert _vantor.__all__ == ["ArithmeticCoder"]
    assert type(_vantor.__all__) is list
    assert _vantor.__doc__ == ""
    assert _vantor.ArithmeticCoder is ArithmeticCoder
    assert "PanicException" not in dir(_vantor)


def test_type_surface():
    assert ArithmeticCoder.__module__ == "builtins"
    assert ArithmeticCoder.__name__ == ArithmeticCoder.__qualname__ == "ArithmeticCoder"
    assert repr(ArithmeticCoder) == "<class 'builtins.ArithmeticCoder'>"
    # Before 3.10 the interpreter drops the signature from a heap type's doc at creation.
    assert ArithmeticCoder.__text_signature__ == ("()" if sys.version_info >= (3, 10) else None)
    assert ArithmeticCoder.__bases__ == (object,)


@pytest.mark.parametrize(
    "method, signature",
    [
        ("start_decoding", "($self, input_bytes)"),
        ("encode_step", "($self, probs, symbol)"),
        ("decode_step", "($self, probs)"),
        ("finish_encoding", "($self)"),
    ],
)
def test_method_signatures(method, signature):
    assert getattr(ArithmeticCoder, method).__text_signature__ == signature


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (ArithmeticCoder,), {})


def test_instances_are_bare():
    coder = ArithmeticCoder()
    with pytest.raises(TypeError):
        weakref.ref(coder)
    with pytest.raises(AttributeError):
        coder.extra = 1
    assert not hasattr(coder, "__dict__")
    assert not gc.is_tracked(coder)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "ArithmeticCoder.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "ArithmeticCoder.__new__() takes 0 positional arguments but 2 were given"),
        ((1,), {"x": 1}, "ArithmeticCoder.__new__() takes 0 positional arguments but 1 was given"),
        ((), {"x": 1}, "ArithmeticCoder.__new__() got an unexpected keyword argument 'x'"),
        ((), {"b": 1, "a": 2}, "ArithmeticCoder.__new__() got an unexpected keyword argument 'b'"),
    ],
)
def test_constructor_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        ArithmeticCoder(*args, **kwargs)
    assert str(caught.value) == message


def test_second_initialisation_is_refused():
    result = run_python(
        """
        import importlib, sys
        import _vantor
        first = _vantor
        del sys.modules["_vantor"]
        try:
            importlib.import_module("_vantor")
        except ImportError as error:
            print(error)
        print(first.ArithmeticCoder().finish_encoding())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
        "interpreter process",
        "b'@'",
    ]


def test_instances_release_the_type():
    gc.collect()
    before = sys.getrefcount(ArithmeticCoder)
    for _ in range(1000):
        coder = ArithmeticCoder()
        coder.start_decoding(b"\x01\x02")  # both buffers own storage now
        del coder
    assert sys.getrefcount(ArithmeticCoder) == before


def test_finish_appends_a_termination_each_time():
    coder = ArithmeticCoder()
    assert coder.finish_encoding() == b"\x40"
    assert coder.finish_encoding() == b"\x40\x50"


class Bytes(bytes):
    pass


@pytest.mark.parametrize("stream", [b"", b"\x00", b"\xff" * 100, Bytes(b"\x5f\x10")])
def test_start_decoding_accepts_bytes(stream):
    assert ArithmeticCoder().start_decoding(stream) is None


@pytest.mark.parametrize(
    "stream, name",
    [
        (bytearray(b"\x01"), "bytearray"),
        (memoryview(b"\x01"), "memoryview"),
        ("\x01", "str"),
        (None, "NoneType"),
        ([1], "list"),
    ],
)
def test_start_decoding_refuses_other_objects(stream, name):
    with pytest.raises(TypeError) as caught:
        ArithmeticCoder().start_decoding(stream)
    assert str(caught.value) == f"argument 'input_bytes': '{name}' object cannot be cast as 'bytes'"
