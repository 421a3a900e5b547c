#!/usr/bin/env python3
"""A byte compressor driven by an adaptive context model, built on vantor.

    python examples/compress.py compress IN OUT
    python examples/compress.py decompress IN OUT
    python examples/compress.py               # demonstration on a built-in input

For every byte the model predicts a probability vector over the 256 byte values, blending
the byte counts seen after the last 0 to 5 bytes; the coder turns the actual byte into bits. The
decompressor runs the same model on the bytes it has decoded so far, so it predicts the
same vectors and gets the bytes back.

The file starts with a header (magic, format version, length, model settings, CRC-32 of
the original), so that a foreign or damaged file is reported instead of decoded wrong.
"""

import argparse
import bz2
import lzma
import struct
import sys
import time
import zlib

import numpy as np

from _vantor import ArithmeticCoder

MAGIC = b"VNTR"
VERSION = 1
# magic, version, order, escape weight in quarters, count limit, original length, the
# CRC-32 of the original, then the CRC-32 of all the fields before it (a damaged length
# must not send the decoder off decoding gigabytes)
HEADER = struct.Struct("<4sBBBHQI")
HEADER_CHECK = struct.Struct("<I")


class FormatError(Exception):
    """The input is not a stream this program wrote, or it was damaged."""


class ContextModel:
    """Blends the byte counts seen after the last 0, 1, ..., `order` bytes.

    Each order interpolates between its own counts and the blend of the orders below it,
    trusting its counts more the more often the context was seen, and less the more
    different bytes followed it (Witten-Bell style, with `escape` weighting the distinct
    count). Counts are kept sparse: most long contexts are followed by few bytes.

    Only element-wise NumPy operations and exact integers are used, never a float
    reduction, so that compressor and decompressor compute bit-identical vectors on any
    machine (a vectorised sum could round differently elsewhere).
    """

    MAX_ORDER = 6

    def __init__(self, order=5, escape=3.0, count_limit=255):
        if not 0 <= order <= self.MAX_ORDER:
            raise ValueError(f"order must be 0 to {self.MAX_ORDER}")
        self.order = order
        self.escape = escape
        self.limit = count_limit
        # context bytes -> {byte: count}, one dict per order
        self.tables = [{} for _ in range(order + 1)]
        self.history = b""
        self._uniform = np.full(256, 1.0 / 256)

    def _contexts(self):
        h = self.history
        return [h[len(h) - k:] if k else b"" for k in range(min(self.order, len(h)) + 1)]

    def probabilities(self):
        p = self._uniform
        for k, context in enumerate(self._contexts()):
            counts = self.tables[k].get(context)
            if not counts:
                continue
            total = sum(counts.values())
            escape = self.escape * len(counts)
            p = p * (escape / (total + escape))
            p[list(counts)] += np.fromiter(counts.values(), np.float64, len(counts)) / (
                total + escape)
        return p.astype(np.float32)

    def update(self, byte):
        for k, context in enumerate(self._contexts()):
            counts = self.tables[k].setdefault(context, {})
            counts[byte] = counts.get(byte, 0) + 1
            if counts[byte] > self.limit:
                # Halve old evidence so the model keeps adapting.
                for b in counts:
                    counts[b] = (counts[b] + 1) // 2
        self.history = (self.history + bytes((byte,)))[-self.order:] if self.order else b""


def progress(done, total, start, stream=sys.stderr):
    if total < 1 << 16 or not stream.isatty():
        return
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - start, 1e-9) / 1024
    stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {100 * done // total:3d}% "
                 f"{rate:7.1f} KiB/s")
    if done == total:
        stream.write("\n")
    stream.flush()


def compress(data, order=5, escape_quarters=12, count_limit=255, show_progress=False):
    model = ContextModel(order, escape_quarters / 4, count_limit)
    coder = ArithmeticCoder()
    start = time.perf_counter()
    for i, byte in enumerate(data):
        coder.encode_step(model.probabilities(), byte)
        model.update(byte)
        if show_progress and i % 4096 == 0:
            progress(i, len(data), start)
    if show_progress:
        progress(len(data), len(data), start)
    header = HEADER.pack(MAGIC, VERSION, order, escape_quarters, count_limit, len(data),
                         zlib.crc32(data))
    return header + HEADER_CHECK.pack(zlib.crc32(header)) + coder.finish_encoding()


def decompress(blob, show_progress=False):
    if len(blob) < HEADER.size + HEADER_CHECK.size or blob[:4] != MAGIC:
        raise FormatError("not a vantor compressed file (bad magic)")
    magic, version, order, escape_quarters, count_limit, length, crc = HEADER.unpack_from(blob)
    if version != VERSION:
        raise FormatError(f"unsupported format version {version} (this program reads {VERSION})")
    (header_crc,) = HEADER_CHECK.unpack_from(blob, HEADER.size)
    if zlib.crc32(blob[:HEADER.size]) != header_crc:
        raise FormatError("corrupted header: checksum mismatch")
    if order > ContextModel.MAX_ORDER or escape_quarters == 0 or count_limit < 2:
        raise FormatError("corrupted header: invalid model settings")
    model = ContextModel(order, escape_quarters / 4, count_limit)
    coder = ArithmeticCoder()
    coder.start_decoding(blob[HEADER.size + HEADER_CHECK.size:])
    out = bytearray()
    start = time.perf_counter()
    for i in range(length):
        byte = coder.decode_step(model.probabilities())
        out.append(byte)
        model.update(byte)
        if show_progress and i % 4096 == 0:
            progress(i, length, start)
    if show_progress:
        progress(length, length, start)
    if zlib.crc32(out) != crc:
        raise FormatError("checksum mismatch: the compressed data is damaged")
    return bytes(out)


def default_input():
    """A few dozen kilobytes of English prose and code that every Python install has."""
    import inspect
    import textwrap

    return (inspect.getsource(textwrap) + inspect.getdoc(inspect)).encode("utf-8")


def demonstrate():
    data = default_input()
    start = time.perf_counter()
    packed = compress(data, show_progress=True)
    elapsed_c = time.perf_counter() - start
    start = time.perf_counter()
    restored = decompress(packed, show_progress=True)
    elapsed_d = time.perf_counter() - start
    assert restored == data, "round trip failed"
    rows = [("original", len(data)), ("vantor, order-5 model", len(packed)),
            ("zlib -9", len(zlib.compress(data, 9))), ("bz2 -9", len(bz2.compress(data, 9))),
            ("lzma -9e", len(lzma.compress(data, preset=9 | lzma.PRESET_EXTREME)))]
    print(f"{'':24}{'bytes':>10}{'bits/byte':>12}")
    for name, size in rows:
        print(f"{name:24}{size:>10}{8 * size / len(data):>12.3f}")
    print(f"round trip verified; compress {elapsed_c:.2f} s, decompress {elapsed_d:.2f} s "
          f"({len(data) / 1024 / elapsed_c:.0f} KiB/s)")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Compress bytes with a context model and vantor.")
    sub = parser.add_subparsers(dest="command")
    for name in ("compress", "decompress"):
        p = sub.add_parser(name)
        p.add_argument("input")
        p.add_argument("output")
    args = parser.parse_args(argv)
    if args.command is None:
        demonstrate()
        return 0
    with open(args.input, "rb") as f:
        data = f.read()
    try:
        result = compress(data, show_progress=True) if args.command == "compress" else \
            decompress(data, show_progress=True)
    except FormatError as error:
        print(f"{args.input}: {error}", file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
