"""Helpers for the probability-array tests: the process-wide array borrow registry, reached
through its capsule the way another extension module reaches it (a record of a version, a
state pointer and four C functions), and running code in a fresh interpreter."""

import ctypes
import os

import numpy as np

from support import run_python as run_fresh

HERE = os.path.dirname(os.path.abspath(__file__))
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"

CAPSULE_NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"

# The functions are called with the interpreter lock held, as every participant does.
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def multiarray():
    if int(np.__version__.split(".")[0]) >= 2:
        import numpy._core.multiarray as module
    else:
        import numpy.core.multiarray as module
    return module


class Registry:
    """The registry record stored on NumPy's multiarray module."""

    def __init__(self):
        capsule = getattr(multiarray(), CAPSULE_NAME.decode())
        self._capsule = capsule
        self.record = Record.from_address(_get_pointer(capsule, CAPSULE_NAME))

    def acquire(self, array):
        return self.record.acquire(self.record.flags, array)

    def acquire_mut(self, array):
        return self.record.acquire_mut(self.record.flags, array)

    def release(self, array):
        self.record.release(self.record.flags, array)

    def release_mut(self, array):
        self.record.release_mut(self.record.flags, array)


def install_record(record):
    """Stores `record` as the registry capsule on NumPy's multiarray module, as another
    extension would; returns the capsule's name buffer, which must outlive the capsule."""
    name = ctypes.create_string_buffer(CAPSULE_NAME)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    setattr(multiarray(), CAPSULE_NAME.decode(),
            new_capsule(ctypes.addressof(record), ctypes.addressof(name), None))
    return name


def check_panic(info, message):
    """`info` (from pytest.raises) holds a PanicException carrying `message`."""
    assert type(info.value).__module__ == "pyo3_runtime"
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message


def encode(probs, symbols):
    from _vantor import ArithmeticCoder

    coder = ArithmeticCoder()
    for symbol in symbols:
        coder.encode_step(probs, symbol)
    return coder.finish_encoding()


def run_python(code):
    """Runs `code` in a fresh interpreter that can import these helpers."""
    return run_fresh(f"import sys; sys.path.insert(0, {HERE!r})", code)
