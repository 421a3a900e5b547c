#!/usr/bin/env python3
"""A byte compressor driven by an adaptive context model, built on vantor.

    python examples/compress.py compress IN OUT [--force]
    python examples/compress.py decompress IN OUT [--force]
    python examples/compress.py               # demonstration on a built-in input

For every byte the model predicts a probability vector over the 256 byte values, blending
the byte counts seen after the last 0 to 5 bytes; the coder turns the actual byte into
bits. The decompressor runs the same model on the bytes it has decoded so far, so it
predicts the same vectors and gets the bytes back.

The file starts with a header (magic, format version, length, model settings, CRC-32 of
the original), so that a foreign or damaged file is reported instead of decoded wrong.
"""

import argparse
import bz2
import lzma
import os
import struct
import sys
import tempfile
import time
import zlib

import numpy as np

from vantor import ArithmeticCoder

MAGIC = b"VNTR"
# Version 2: the blend is summed per order (version 1 chained it order by order, which
# rounds differently).
VERSION = 2
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
    count). Unrolled, the blend gives byte b the probability

        u + (sum over orders k of weight_k * count_k(b))

    where weight_k is 1 / (total_k + escapes_k) times the escape shares
    escapes_j / (total_j + escapes_j) of all the longer orders j, and u is the product of
    all the escape shares divided by 256. The weights are a few scalars per byte; the
    counts are where the work is.

    Orders 0 and 1 have at most 257 contexts between them: their counts are dense rows of
    one array, weighted and added as whole vectors. Longer contexts are many and most are
    followed by few bytes: their counts are kept sparse and added byte by byte, until a
    context has been followed by DENSE_FROM different bytes; from then on it also keeps a
    dense row, added as a whole vector. Both ways do the same additions (adding a zero
    count changes nothing), so the vector does not depend on which way is taken.

    Only element-wise IEEE double operations (NumPy's or Python's, which round alike) in a
    fixed order and exact integers are used, never a vectorised reduction (whose rounding
    depends on the machine's SIMD width), so that compressor and decompressor compute
    bit-identical vectors on any machine.
    """

    MAX_ORDER = 6
    DENSE_FROM = 8
    DENSE_ROWS = 1 << 14  # 2 KiB each, 32 MiB in all

    def __init__(self, order=5, escape=3.0, count_limit=255):
        if not 0 <= order <= self.MAX_ORDER:
            raise ValueError(f"order must be 0 to {self.MAX_ORDER}")
        self.order = order
        self.escape = escape
        self.limit = count_limit
        # Each context keeps scale = total + escapes, where escapes is `escape` times its
        # number of distinct bytes: multiples of a quarter, exact whatever the order of
        # the additions.
        # Orders 0 and 1: row 0 is the empty context, row 1 + b the context "the last byte
        # was b". The counts are kept as floats for NumPy and as ints for the updates.
        self.rows = np.zeros((257, 256))
        self.row_views = list(self.rows)
        self.row_cells = self.rows.reshape(-1)
        self.row_counts = [0] * (257 * 256)
        self.row_scale = [0.0] * 257
        self.row_escapes = [0.0] * 257
        # Orders 2 and up: context -> [scale, escapes, {byte: count}, dense row or None],
        # one dict per order. A context is the last k bytes as one integer, the most
        # recent in the low byte.
        self.tables = [{} for _ in range(order + 1)]
        self.dense_left = self.DENSE_ROWS
        self.masks = [(1 << 8 * k) - 1 for k in range(order + 1)]
        self.context = 0
        self.seen = 0  # bytes in the context so far, up to `order`
        self._found = None

    def _find(self):
        """The dense rows and the sparse entries, longest context first, of the current
        contexts."""
        h = self.context
        tables = self.tables
        masks = self.masks
        chain = []
        for k in range(self.seen, 1, -1):
            table = tables[k]
            context = h & masks[k]
            entry = table.get(context)
            if entry is None:
                entry = table[context] = [0.0, 0.0, {}, None]
            chain.append(entry)
        self._found = (1 + (h & 255), 0) if self.seen else (0,), chain
        return self._found

    def probabilities(self):
        """The probability vector (float64) for the next byte."""
        rows, chain = self._found or self._find()
        # From the longest context down: each order's weight, then the product of the
        # escape shares so far.
        above = 1.0
        sparse = []
        for scale, escapes, counts, row in chain:
            if scale:
                sparse.append((counts, row, above / scale))
                above = above * escapes / scale
        dense = []
        for r in rows:
            scale = self.row_scale[r]
            if scale:
                dense.append((self.row_views[r], above / scale))
                above = above * self.row_escapes[r] / scale
        if dense:
            row, weight = dense.pop()
            p = row * weight
            for row, weight in dense:
                p += row * weight
            p += above / 256
        else:
            p = np.full(256, above / 256)
        for counts, row, weight in sparse:
            if row is None:
                for byte, count in counts.items():
                    p[byte] += count * weight
            else:
                p += row * weight
        return p

    def update(self, byte):
        """Counts `byte` in the current contexts and moves on past it."""
        rows, chain = self._found or self._find()
        self._found = None
        escape = self.escape
        limit = self.limit
        row_counts = self.row_counts
        for r in rows:
            cell = 256 * r + byte
            count = row_counts[cell] = row_counts[cell] + 1
            self.row_cells[cell] = count
            if count == 1:
                self.row_escapes[r] += escape
                self.row_scale[r] += 1 + escape
            elif count <= limit:
                self.row_scale[r] += 1
            else:
                # Halve old evidence so the model keeps adapting.
                row = self.row_views[r]
                np.floor_divide(row + 1, 2, out=row)
                row_counts[256 * r:256 * r + 256] = halved = row.astype(int).tolist()
                self.row_scale[r] = sum(halved) + self.row_escapes[r]
        for entry in chain:
            counts = entry[2]
            count = counts[byte] = counts.get(byte, 0) + 1
            row = entry[3]
            if count == 1:
                entry[1] += escape
                entry[0] += 1 + escape
                if row is None and len(counts) >= self.DENSE_FROM and self.dense_left:
                    self.dense_left -= 1
                    row = entry[3] = np.zeros(256)
                    row[list(counts)] = list(counts.values())
            elif count <= limit:
                entry[0] += 1
            else:
                for b in counts:
                    counts[b] = (counts[b] + 1) // 2
                entry[0] = sum(counts.values()) + entry[1]
                if row is not None:
                    row[list(counts)] = list(counts.values())
            if row is not None:
                row[byte] = counts[byte]
        if self.order:
            self.context = (self.context << 8 | byte) & self.masks[self.order]
            if self.seen < self.order:
                self.seen += 1


PROGRESS_STEP = 1 << 15


def progress(done, total, start, stream=sys.stderr):
    """A progress bar on standard error, only when it is a terminal and the input large."""
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
    predict, learn, encode = model.probabilities, model.update, coder.encode_step
    start = time.perf_counter()
    for done in range(0, len(data), PROGRESS_STEP):
        if show_progress:
            progress(done, len(data), start)
        for byte in data[done:done + PROGRESS_STEP]:
            encode(predict(), byte)
            learn(byte)
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
    predict, learn, decode = model.probabilities, model.update, coder.decode_step
    out = bytearray()
    start = time.perf_counter()
    for done in range(0, length, PROGRESS_STEP):
        if show_progress:
            progress(done, length, start)
        for _ in range(min(PROGRESS_STEP, length - done)):
            byte = decode(predict())
            out.append(byte)
            learn(byte)
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


class UsageError(Exception):
    """A mistake in what the command line asks for; its text is one line."""


def describe(error):
    """The operating system's reason for `error`, in lower case as in its other messages."""
    reason = error.strerror or str(error)
    return reason[:1].lower() + reason[1:]


def check_paths(source, target, force):
    """Refuses, before any work is done, what would fail or destroy data."""
    if os.path.isdir(source):
        raise UsageError(f"{source}: is a directory")
    if not os.path.exists(source):
        raise UsageError(f"{source}: no such file")
    if os.path.isdir(target):
        raise UsageError(f"{target}: is a directory")
    folder = os.path.dirname(target) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"{target}: directory {folder} does not exist")
    if os.path.exists(target):
        if os.path.samefile(source, target):
            raise UsageError(f"{target}: is the input file; choose another output")
        if not force:
            raise UsageError(f"{target}: already exists (use --force to replace it)")


def write_replacing(target, data):
    """Writes `data` to a new file beside `target` and renames it over `target`, so that
    a failed write never leaves a half-written or destroyed file."""
    folder = os.path.dirname(target) or "."
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".compress-")
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
            # mkstemp makes the file private; give it the mode a new file gets.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def build_parser():
    parser = argparse.ArgumentParser(
        prog=os.path.basename(sys.argv[0]) or "compress.py",
        description="Compress files with an adaptive context model and vantor's arithmetic "
        "coder. Without arguments, runs a demonstration on a built-in text: compresses, "
        "decompresses, verifies the round trip and compares the size with zlib, bz2 and "
        "lzma.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name, verb, what in [("compress", "Compress", "the file to compress"),
                             ("decompress", "Decompress", "a file written by compress")]:
        command = commands.add_parser(
            name, help=f"{verb.lower()} INPUT into OUTPUT",
            description=f"{verb} INPUT into OUTPUT. OUTPUT must not be INPUT, and an "
            "existing OUTPUT is replaced only with --force. Progress goes to standard "
            "error when it is a terminal.")
        command.add_argument("input", metavar="INPUT", help=what)
        command.add_argument("output", metavar="OUTPUT", help="the file to write")
        command.add_argument("-f", "--force", action="store_true",
                             help="replace OUTPUT if it exists")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        demonstrate()
        return 0
    try:
        check_paths(args.input, args.output, args.force)
        try:
            with open(args.input, "rb") as f:
                data = f.read()
        except OSError as error:
            raise UsageError(f"{args.input}: {describe(error)}") from None
        if args.command == "compress":
            result = compress(data, show_progress=True)
        else:
            try:
                result = decompress(data, show_progress=True)
            except FormatError as error:
                raise UsageError(f"{args.input}: {error}") from None
        try:
            write_replacing(args.output, result)
        except OSError as error:
            raise UsageError(f"{args.output}: {describe(error)}") from None
    except UsageError as error:
        print(f"{parser.prog}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"\n{parser.prog}: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
