"""Compression and decompression: the text's symbols split into chunks that the model
predicts in lock-step, one batched call a step, and coded in one stream.

Every chunk starts from an empty context (<|endoftext|>). At step s, each chunk that
still has tokens feeds the model its previous symbol, and the step's rows of logits, one
per such chunk in chunk order, become probability vectors that `encode_steps` codes. The
decoder makes exactly the same calls: a step's vectors depend only on earlier symbols, so
it knows all of them before it decodes any of the step's symbols with `decode_steps`.
"""

from __future__ import annotations

import math
import re
import time
import zlib
from typing import TYPE_CHECKING, Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:  # numpy.typing is NumPy 1.20 and newer
    import numpy.typing as npt

from _vantor import ArithmeticCoder

from . import container
from .container import KNOWN_MIXING, MATCH_MODEL, PLAIN_MODEL, STORED, TOKENS, Header
from .errors import FormatError, RefusedError
from .legacy import LegacyPredictor
from .mixing import Mixer
from .probabilities import code_length_bits, probabilities
from .runtime import END_OF_TEXT, Model, Session

WINDOW_LOG2 = 12  # 4096 positions a chunk; past that the context restarts
KEEP_LOG2 = 10  # with its last 1024 tokens, evaluated in one call
# Bytes that must be spelled out one symbol each (binary data, invalid UTF-8): past this
# share of the input the model is not run (a step per byte is slow and gains nothing), the
# bytes are stored as they are.
MAX_FALLBACK_SHARE = 0.25
# Default chunking: every chunk starts from an empty context, which costs a few hundred
# bits, so a chunk gets at least this many tokens; and each chunk's cache takes about
# 23 KB a cell (94 MB at 4096 cells), which bounds their number.
TOKENS_PER_CHUNK = 8192
MAX_DEFAULT_CHUNKS = 8


class Progress(NamedTuple):
    tokens: int  # coded so far
    total_tokens: int
    bytes: int  # of the original, coded so far
    total_bytes: int


ProgressCallback = Callable[[Progress], None]
ModelArgument = Union[None, str, Model]


class Stats:
    """Where the time of one run went, and the ideal code length of the coded vectors."""

    def __init__(self, measure_ideal: bool = False, measure_plain: bool = False) -> None:
        self.tokens = 0
        self.chunks = 0
        # probability_seconds: the model's logits to the coded vectors, mixing included;
        # mixing_seconds: what mixing adds (measured when the plain model is coded beside).
        self.model_seconds = self.probability_seconds = self.coder_seconds = 0.0
        self.mixing_seconds = 0.0
        self.ideal_bits = 0.0
        self.fallback_bytes = 0
        self.mode = STORED
        self.measure_ideal = measure_ideal
        self.ideal_seconds = 0.0  # spent measuring, not compressing
        # The same run's symbols coded with the model alone as well, for comparison.
        self.measure_plain = measure_plain
        self.plain_bytes = 0  # the plain model's file, header included
        self.plain_seconds = 0.0  # spent coding the plain model beside


def default_chunks(tokens: int) -> int:
    """How many chunks `tokens` tokens are split into by default."""
    return max(1, min(MAX_DEFAULT_CHUNKS, tokens // TOKENS_PER_CHUNK))


def split_utf8(data: bytes) -> Iterator[Tuple[bool, bytes]]:
    """Alternating runs of valid UTF-8 and of bytes that are not, in order."""
    text = data.decode("utf-8", "surrogateescape")
    for i, part in enumerate(re.split("([\udc80-\udcff]+)", text)):
        if part:
            yield i % 2 == 0, part.encode("utf-8", "surrogateescape")


def to_symbols(model: Model, data: bytes) -> Tuple[List[int], int]:
    """Symbols whose bytes are exactly `data`, and how many bytes were spelled out one
    symbol per byte."""
    tokens = model.tokenize(data)
    if tokens is not None and model.detokenize(tokens) == data:
        return tokens, 0
    # Line by line, so that one odd character costs its line, not the file; within a
    # line that does not come back as it was, the valid UTF-8 stretches are tokenized on
    # their own and everything else is spelled out byte by byte.
    symbols: List[int] = []
    spelled = 0
    for line in data.splitlines(keepends=True):
        line_tokens = model.tokenize(line)
        if line_tokens is not None and model.detokenize(line_tokens) == line:
            symbols += line_tokens
            continue
        for is_text, run in split_utf8(line):
            if is_text:
                run_tokens = model.tokenize(run) or []
                if model.detokenize(run_tokens) == run:
                    symbols += run_tokens
                    continue
            symbols += [model.byte_symbols[b] for b in run]
            spelled += len(run)
    return symbols, spelled


def split_chunks(symbols: Sequence[int], chunks: int) -> List[Sequence[int]]:
    """`chunks` contiguous stretches of near-equal length, the longer ones first."""
    size, more = divmod(len(symbols), chunks)
    out, start = [], 0
    for j in range(chunks):
        end = start + size + (j < more)
        out.append(symbols[start:end])
        start = end
    return out


class LockStep:
    """The schedule of model calls both sides repeat: for each step, the chunks that
    still have tokens, and their logits."""

    def __init__(self, model: Model, chunk_tokens: Sequence[int], window_log2: int,
                 keep_log2: int) -> None:
        self.model = model
        self.counts = list(chunk_tokens)
        self.window = 1 << window_log2
        self.keep = 1 << keep_log2
        self.session: Session = model.session(
            len(self.counts), container.cells(tuple(chunk_tokens), window_log2))
        self.session.clear()
        self.step = 0
        self.history: List[List[int]] = [[] for _ in self.counts]
        self.model_seconds = 0.0

    def _token(self, symbol: int) -> int:
        return symbol if symbol < self.model.n_vocab else self.model.stand_in

    def logits(self) -> Tuple[List[int], npt.NDArray[np.float32]]:
        """The chunks coded at this step, and one row of logits for each."""
        start = time.perf_counter()
        session = self.session
        active = [j for j, n in enumerate(self.counts) if n > self.step]
        restarted = {}
        feeds = []
        for j in active:
            if session.positions[j] < self.window:
                history = self.history[j]
                feeds.append((j, [self._token(history[-1]) if history else END_OF_TEXT]))
                continue
            # The context is full: start again from <|endoftext|> and the last tokens of
            # the chunk (the one just seen included), in one call of its own.
            session.clear(j)
            kept = [END_OF_TEXT] + [self._token(t) for t in self.history[j][-self.keep:]]
            restarted[j] = session.evaluate([(j, kept)])[0]
        rows = session.evaluate(feeds) if feeds else np.empty((0, self.model.n_vocab),
                                                              np.float32)
        if restarted:
            merged = np.empty((len(active), self.model.n_vocab), np.float32)
            singles = iter(rows)
            for i, j in enumerate(active):
                merged[i] = restarted[j] if j in restarted else next(singles)
            rows = merged
        self.model_seconds += time.perf_counter() - start
        return active, rows

    def advance(self, active: Sequence[int], symbols: Sequence[int]) -> None:
        for j, symbol in zip(active, symbols):
            history = self.history[j]
            history.append(symbol)
            if len(history) > 4 * self.keep:  # only the last `keep` are ever fed again
                del history[:-self.keep]
        self.step += 1


def vectors(mixer: Optional[Mixer], active: Sequence[int], logits: npt.NDArray[np.float32],
            extra: int) -> npt.NDArray[np.float32]:
    """The step's probability vectors: the model's, or the model's corrected by the
    mixer."""
    if mixer is None:
        return probabilities(logits, extra)
    return mixer.vectors(active, logits, extra)


def _code_plain(coder: ArithmeticCoder, logits: npt.NDArray[np.float32], extra: int,
                symbols: Sequence[int], stats: Stats) -> float:
    """Codes the step with the model alone; the seconds its vectors took."""
    start = time.perf_counter()
    probs = probabilities(logits, extra)
    seconds = time.perf_counter() - start
    coder.encode_steps(probs, symbols)
    stats.plain_seconds += time.perf_counter() - start
    return seconds


def fingerprint(model: Model, chunk_tokens: Tuple[int, ...], window_log2: int,
                keep_log2: int) -> bytes:
    """The runtime fingerprint for the batch shape of a run with these chunks."""
    return model.fingerprint(len(chunk_tokens), container.cells(chunk_tokens, window_log2),
                             1 << keep_log2)[:container.ID_BYTES]


def open_model(model: ModelArgument, threads: Optional[int] = None,
               sha256: Optional[bytes] = None) -> Model:
    if isinstance(model, Model):
        if threads:
            model.threads = threads
        return model
    return Model(model, threads=threads, sha256=sha256)


def check_options(chunks: Optional[int], window_log2: int, keep_log2: int) -> None:
    if chunks is not None and not 1 <= chunks <= container.MAX_CHUNKS:
        raise ValueError(f"chunks must be from 1 to {container.MAX_CHUNKS}, not {chunks}")
    if not container.MIN_WINDOW_LOG2 <= window_log2 <= container.MAX_WINDOW_LOG2 or \
            not 0 <= keep_log2 < window_log2:
        raise ValueError(f"window_log2 must be from {container.MIN_WINDOW_LOG2} to "
                         f"{container.MAX_WINDOW_LOG2} and keep_log2 below it")


def compress_frame(data: bytes, open_lm: Callable[[], Model], *, chunks: Optional[int],
                   progress: Optional[ProgressCallback], window_log2: int, keep_log2: int,
                   plain: bool, stats: Stats, version: int = container.VERSION) -> bytes:
    """The frame for `data`: coded with the model that `open_lm()` gives, or stored where
    that does not pay. `version` 2 writes the previous single-unit layout (for tests)."""
    stored = container.stored(data)
    if not data:
        stats.plain_bytes += len(stored)
        return stored
    lm = open_lm()
    symbols, fallback_bytes = to_symbols(lm, data)
    stats.fallback_bytes += fallback_bytes
    if fallback_bytes > MAX_FALLBACK_SHARE * len(data) or \
            lm.detokenize(symbols) != data:
        stats.plain_bytes += len(stored)
        return stored
    count = min(chunks or default_chunks(len(symbols)), len(symbols))
    parts = split_chunks(symbols, count)
    chunk_tokens = tuple(len(part) for part in parts)
    if count * container.cells(chunk_tokens, window_log2) > container.MAX_CELLS:
        raise ValueError(f"{count} chunks of {chunk_tokens[0]} tokens need more than "
                         f"{container.MAX_CELLS} cache cells: use fewer chunks or a "
                         f"smaller window")
    schedule = LockStep(lm, chunk_tokens, window_log2, keep_log2)
    mixer = None if plain else Mixer(count)
    coder = ArithmeticCoder()
    plain_coder = ArithmeticCoder() if stats.measure_plain else None
    clock = time.perf_counter
    done_tokens = done_bytes = 0
    for step in range(chunk_tokens[0]):
        active, logits = schedule.logits()
        step_symbols = [parts[j][step] for j in active]
        if plain_coder is not None and step % 2:
            # Alternately first and second, so that neither gains from the other's reads.
            plain_seconds = _code_plain(plain_coder, logits, lm.extra, step_symbols, stats)
        t0 = clock()
        probs = vectors(mixer, active, logits, lm.extra)
        t1 = clock()
        coder.encode_steps(probs, step_symbols)
        t2 = clock()
        if mixer is not None:
            mixer.learn(active, step_symbols)
        t3 = clock()
        stats.probability_seconds += t1 - t0 + t3 - t2
        stats.coder_seconds += t2 - t1
        if plain_coder is not None:
            if not step % 2:
                plain_seconds = _code_plain(plain_coder, logits, lm.extra, step_symbols,
                                            stats)
            stats.mixing_seconds += t1 - t0 + t3 - t2 - plain_seconds
        if stats.measure_ideal:
            t5 = clock()
            if mixer is None:
                for row, symbol in zip(logits, step_symbols):
                    stats.ideal_bits += code_length_bits(row, symbol)
            else:  # the mixture's own vectors are the ideal's
                for i, symbol in enumerate(step_symbols):
                    stats.ideal_bits -= math.log2(float(probs[i, symbol]))
            stats.ideal_seconds += clock() - t5
        schedule.advance(active, step_symbols)
        if progress is not None:
            done_tokens += len(active)
            done_bytes += sum(len(lm.pieces[s]) for s in step_symbols)
            progress(Progress(done_tokens, len(symbols), done_bytes, len(data)))
    stats.model_seconds += schedule.model_seconds
    stats.tokens += len(symbols)
    stats.chunks = max(stats.chunks, count)
    payload = coder.finish_encoding()
    header = container.pack_header(
        TOKENS, len(data), zlib.crc32(data), lm.sha256,
        fingerprint(lm, chunk_tokens, window_log2, keep_log2), chunk_tokens, window_log2,
        keep_log2, PLAIN_MODEL if mixer is None else MATCH_MODEL, len(payload), version)
    if plain_coder is not None:
        stats.plain_bytes += min(len(header) + len(plain_coder.finish_encoding()),
                                 len(stored))
    if len(header) + len(payload) >= len(stored):
        return stored
    stats.mode = TOKENS
    return header + payload


def check_model(header: Header, model_sha256: bytes, path: str) -> None:
    if header.model_id != model_sha256[:container.ID_BYTES]:
        raise RefusedError(
            f"compressed with another model: its SHA-256 begins {header.model_id.hex()}, "
            f"the model {path} has {model_sha256[:container.ID_BYTES].hex()}")


def _runtime_refused() -> RefusedError:
    return RefusedError("compressed with another build of the model runtime: logits "
                        "fingerprint differs")


def _damaged() -> FormatError:
    return FormatError("checksum mismatch: the compressed data is damaged")


def decode_frame(header: Header, payload: bytes, open_lm: Callable[[Header], Model],
                 progress: Optional[ProgressCallback], stats: Stats) -> bytes:
    """The original of one frame; `open_lm(header)` gives the model it was made with (or
    refuses)."""
    if header.mode == STORED:
        if len(payload) != header.length or zlib.crc32(payload) != header.crc:
            raise _damaged()
        return payload
    if header.mixing not in KNOWN_MIXING:
        raise RefusedError(f"compressed with mixing version {header.mixing}, which this "
                           f"version of vantor does not know")
    lm = open_lm(header)
    if header.version == container.LEGACY_VERSION:
        symbols = _decode_legacy(lm, header, payload, progress, stats)
    else:
        symbols = _decode(lm, header, payload, progress, stats)
    data = lm.detokenize(symbols)
    if len(data) != header.length or zlib.crc32(data) != header.crc:
        raise _damaged()
    return data


def _check_piece(lm: Model, symbol: int, size: int, header: Header) -> int:
    piece = lm.pieces[symbol]
    size += len(piece)
    if size > header.length or not piece:
        # More bytes than the original had, or a token the compressor never writes.
        raise _damaged()
    return size


def _decode(lm: Model, header: Header, payload: bytes,
            progress: Optional[ProgressCallback], stats: Stats) -> List[int]:
    count = len(header.chunk_tokens)
    if header.fingerprint != fingerprint(lm, header.chunk_tokens, header.window_log2,
                                         header.keep_log2):
        raise _runtime_refused()
    schedule = LockStep(lm, header.chunk_tokens, header.window_log2, header.keep_log2)
    mixer = Mixer(count) if header.mixing == MATCH_MODEL else None
    coder = ArithmeticCoder()
    coder.start_decoding(payload)
    chunks: List[List[int]] = [[] for _ in range(count)]
    clock = time.perf_counter
    size = done = 0
    for _ in range(max(header.chunk_tokens)):
        active, logits = schedule.logits()
        t0 = clock()
        probs = vectors(mixer, active, logits, lm.extra)
        t1 = clock()
        try:
            step_symbols = coder.decode_steps(probs).tolist()
        except ValueError:
            raise FormatError("the compressed data is damaged") from None
        t2 = clock()
        for j, symbol in zip(active, step_symbols):
            size = _check_piece(lm, symbol, size, header)
            chunks[j].append(symbol)
        if mixer is not None:
            mixer.learn(active, step_symbols)
        stats.probability_seconds += t1 - t0 + clock() - t2
        stats.coder_seconds += t2 - t1
        schedule.advance(active, step_symbols)
        if progress is not None:
            done += len(active)
            progress(Progress(done, header.tokens, size, header.length))
    stats.model_seconds += schedule.model_seconds
    stats.tokens += header.tokens
    stats.chunks = max(stats.chunks, count)
    stats.mode = TOKENS
    return [symbol for chunk in chunks for symbol in chunk]


def _decode_legacy(lm: Model, header: Header, payload: bytes,
                   progress: Optional[ProgressCallback], stats: Stats) -> List[int]:
    predictor = LegacyPredictor(lm, header.window_log2)
    if header.fingerprint != predictor.fingerprint():
        raise _runtime_refused()
    coder = ArithmeticCoder()
    coder.start_decoding(payload)
    count = header.tokens
    symbols: List[int] = []
    size = 0
    start = time.perf_counter()
    logits = predictor.start()
    for i in range(count):
        try:
            symbol = coder.decode_step(probabilities(logits, lm.extra))
        except ValueError:
            raise FormatError("the compressed data is damaged") from None
        size = _check_piece(lm, symbol, size, header)
        symbols.append(symbol)
        if i + 1 < count:
            logits = predictor.advance(symbol)
        if progress is not None:
            progress(Progress(i + 1, count, size, header.length))
    stats.model_seconds += time.perf_counter() - start
    stats.tokens += count
    stats.chunks = max(stats.chunks, 1)
    stats.mode = TOKENS
    return symbols
