"""Decoding of format version 1, written by the first text compressor: one sequence, one
token per call through llama-cpp-python's high-level `Llama`, with the settings that
compressor used, so that its logits come back bit for bit."""

from __future__ import annotations

import hashlib
from typing import TYPE_CHECKING, List

import numpy as np

if TYPE_CHECKING:  # numpy.typing is NumPy 1.20 and newer
    import numpy.typing as npt

from .container import ID_BYTES
from .errors import SetupError
from .runtime import END_OF_TEXT, PROBE, Model


class LegacyPredictor:
    """The model's view of one text, restarts included, as version 1 evaluated it."""

    def __init__(self, model: Model, window_log2: int) -> None:
        llama_cpp = model._llama_cpp
        self._llama_cpp = llama_cpp
        self.model = model
        self.window = 1 << window_log2
        self.keep = self.window // 4
        try:
            self.llm = llama_cpp.Llama(model_path=model.path, n_ctx=self.window,
                                       n_batch=self.window, n_threads=model.threads,
                                       n_threads_batch=model.threads, logits_all=False,
                                       verbose=False)
        except (ValueError, RuntimeError, OSError) as error:
            raise SetupError(f"cannot load the model {model.path}: {error}") from None
        self.history: List[int] = []

    def _evaluate(self, symbol: int) -> npt.NDArray[np.float32]:
        model = self.model
        self.llm.eval([symbol if symbol < model.n_vocab else model.stand_in])
        row = self._llama_cpp.llama_get_logits_ith(self.llm.ctx, -1)
        return np.ctypeslib.as_array(row, shape=(model.n_vocab,)).copy()

    def fingerprint(self) -> bytes:
        digest = hashlib.sha256()
        self.llm.reset()
        for token in [END_OF_TEXT] + (self.model.tokenize(PROBE) or []):
            digest.update(self._evaluate(token).astype("<f4").tobytes())
        return digest.digest()[:ID_BYTES]

    def start(self) -> npt.NDArray[np.float32]:
        """The logits for the first token."""
        self.llm.reset()
        self.history = []
        return self._evaluate(END_OF_TEXT)

    def advance(self, token: int) -> npt.NDArray[np.float32]:
        """The logits for the token after `token`."""
        self.history.append(token)
        if self.llm.n_tokens < self.window:
            return self._evaluate(token)
        # The context is full: start again from <|endoftext|> and the last quarter of the
        # text (the token just seen included), one token at a time.
        self.llm.reset()
        for t in [END_OF_TEXT] + self.history[-self.keep:-1]:
            self._evaluate(t)
        return self._evaluate(self.history[-1])
