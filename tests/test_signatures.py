"""Every method of ArithmeticCoder as the interpreter describes it, against the type stub.

The module makes each method's parser and __text_signature__ from one description; the stub
is written by hand. A parameter renamed, added or dropped in either place, a method missing
from one of them, or a result of another type than the stub promises fails here.
"""

import ast
import inspect
import pathlib

import numpy as np
import pytest

from _vantor import ArithmeticCoder

import _vantor

# The stub the wheel installed beside the module, or else the source tree's.
INSTALLED_STUB = pathlib.Path(_vantor.__file__).parent / "_vantor-stubs" / "__init__.pyi"
SOURCE_STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "_vantor-stubs" / "__init__.pyi"
STUB = INSTALLED_STUB if INSTALLED_STUB.exists() else SOURCE_STUB


STUB_TEXT = STUB.read_text()


def stub_methods():
    """{name: ast.FunctionDef} of the stub's ArithmeticCoder, __init__ included."""
    tree = ast.parse(STUB_TEXT, filename=str(STUB))
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)
              and node.name == "ArithmeticCoder"]
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


STUB_METHODS = stub_methods()
METHODS = sorted(name for name in STUB_METHODS if not name.startswith("_"))


def stub_parameters(name):
    """(name, kind) of each parameter after self, as inspect names the kinds."""
    args = STUB_METHODS[name].args
    assert args.args[0].arg == "self"
    kinds = [(a.arg, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    kinds += [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args[1:]]
    if args.vararg is not None:
        kinds.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    kinds += [(a.arg, inspect.Parameter.KEYWORD_ONLY) for a in args.kwonlyargs]
    if args.kwarg is not None:
        kinds.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    defaults = len(args.defaults) + sum(d is not None for d in args.kw_defaults)
    assert defaults == 0, "the module's parameters are all required"
    return kinds


def module_parameters(name):
    signature = inspect.signature(getattr(ArithmeticCoder, name))
    parameters = list(signature.parameters.values())
    assert parameters[0].name == "self"
    assert all(p.default is inspect.Parameter.empty for p in parameters)
    return [(p.name, p.kind) for p in parameters[1:]]


def test_the_module_and_the_stub_have_the_same_methods():
    public = {name for name in dir(ArithmeticCoder) if not name.startswith("_")}
    assert public == set(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_parameters_match_the_stub(name):
    assert module_parameters(name) == stub_parameters(name)


def test_the_constructor_takes_nothing_in_either_place():
    assert stub_parameters("__init__") == []
    with pytest.raises(TypeError):
        ArithmeticCoder(None)


# One call of each method on a coder ready for it, by the stub's parameter names, so that a
# name the module does not know fails the call too.
PROBS = np.array([0.5, 0.25, 0.25], dtype=np.float32)
ROWS = np.stack([PROBS, PROBS])
ARGUMENTS = {
    "start_decoding": {"input_bytes": b"\x5f\x10"},
    "encode_step": {"probs": PROBS, "symbol": 1},
    "decode_step": {"probs": PROBS},
    "finish_encoding": {},
    "encode_steps": {"probs": ROWS, "symbols": [0, 2]},
    "decode_steps": {"probs": ROWS},
}

# The stub's return annotations, as the checks of a result they stand for.
RESULT_CHECKS = {
    "None": lambda result: result is None,
    "bytes": lambda result: type(result) is bytes,
    "int": lambda result: type(result) is int,
    "npt.NDArray[np.int64]": lambda result: type(result) is np.ndarray
    and result.dtype == np.int64 and result.ndim == 1,
}


@pytest.mark.parametrize("name", METHODS)
def test_results_are_of_the_type_the_stub_returns(name):
    assert [p for p, _ in stub_parameters(name)] == list(ARGUMENTS[name])
    coder = ArithmeticCoder()
    if name.startswith("decode"):
        coder.start_decoding(b"\x5f\x10")
    result = getattr(coder, name)(**ARGUMENTS[name])
    returns = ast.get_source_segment(STUB_TEXT, STUB_METHODS[name].returns)
    assert returns in RESULT_CHECKS, f"no check for the stub's return type {returns}"
    assert RESULT_CHECKS[returns](result), f"{name} returned {result!r}, the stub says {returns}"
