"""Arithmetic coding driven by a probability vector supplied afresh at every step."""

from typing import Any, Iterable, SupportsIndex, Union, final

import numpy as np
import numpy.typing as npt

__all__ = ["ArithmeticCoder"]

@final
class ArithmeticCoder:
    """An encoder and a decoder in one object; each method call has the coder to itself."""

    def __init__(self) -> None: ...
    def start_decoding(self, input_bytes: bytes) -> None:
        """Load a stream to decode (copied); resets the interval, keeps encoder output."""
    def encode_step(self, probs: Any, symbol: SupportsIndex) -> None:
        """Code `symbol` against the frequency table made from `probs`.

        `probs` is a 1-D float32, float16, bfloat16 or float64 array read in place, or
        anything `numpy.array(probs, "float32")` turns into a 1-D array.
        """
    def decode_step(self, probs: Any) -> int:
        """Decode the next symbol with the same vector the encoder was given."""
    def finish_encoding(self) -> bytes:
        """Terminate the stream and return everything encoded so far."""
    def encode_steps(
        self, probs: Any, symbols: Union[npt.NDArray[np.integer[Any]], Iterable[SupportsIndex]]
    ) -> None:
        """Code ``symbols[i]`` against row ``i`` of `probs`, as `encode_step` would, all in one
        call; a refused row changes nothing.

        `probs` is a 2-D float32, float16, bfloat16 or float64 array whose rows are each
        contiguous (read in place), or anything `numpy.array(probs, "float32")` turns into a
        2-D array.
        """
    def decode_steps(self, probs: Any) -> npt.NDArray[np.int64]:
        """Decode one symbol per row of `probs`, as `decode_step` would, all in one call."""
