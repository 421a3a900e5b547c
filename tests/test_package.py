"""The installed distribution: the package users import is the extension module's class
under the distribution's name and version."""

import importlib.metadata

import _vantor
import vantor


def test_package_is_the_module_under_the_distribution_name():
    assert vantor.ArithmeticCoder is _vantor.ArithmeticCoder
    assert vantor.__version__ == importlib.metadata.version("vantor")
