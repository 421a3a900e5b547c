"""Arithmetic coding driven by a probability vector supplied afresh at every step.

`ArithmeticCoder` is the class of the extension module `_vantor`, the same object under
both names.
"""

from _vantor import ArithmeticCoder

from ._version import __version__ as __version__

__all__ = ["ArithmeticCoder"]
