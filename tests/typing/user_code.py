# A user's code as a type checker sees it with vantor installed: scripts/test runs mypy on
# it and expects exactly the two errors marked below, which show that the types of both
# `vantor` and `_vantor` were found (an untyped module would let everything through).
import numpy as np

import _vantor
import vantor

probs = np.array([0.5, 0.25, 0.25], dtype=np.float32)
encoder = vantor.ArithmeticCoder()
encoder.encode_step(probs, 2)
encoder.encode_step(probs, np.uint8(1))
stream: bytes = encoder.finish_encoding()
version: str = vantor.__version__

decoder = _vantor.ArithmeticCoder()
decoder.start_decoding(stream)
symbol: int = decoder.decode_step(probs)

encoder.encode_step(probs, "2")  # expected error: a str is not a symbol
wrong: str = decoder.decode_step(probs)  # expected error: a symbol is an int

rows = np.full((3, 2), 0.5, dtype=np.float32)
encoder.encode_steps(rows, [0, 1, 1])
encoder.encode_steps(rows, np.array([0, 1, 1], dtype=np.uint16))
symbols: "np.ndarray" = decoder.decode_steps(rows)
