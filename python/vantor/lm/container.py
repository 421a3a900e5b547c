"""The file format: a sequence of independent frames, each a header that says everything
the decoder must repeat, then the coder's stream for one stretch of the original.

A frame (version 3), in order:
    magic "VNLM", version, mode, mixing, log2 of the context window, log2 of the tokens
    kept when the context restarts (one byte each after the magic);
    LEB128 varints: the original length, the number of chunks B, each chunk's token count,
    the payload's length;
    CRC-32 of the original, the first 8 bytes of the model file's SHA-256, 8 bytes of the
    runtime's logits fingerprint for this batch shape, and a CRC-32 of all the header
    bytes before it;
    the payload: the coder's stream, or the original as it is when the frame is stored.
Since a frame says where it ends, files concatenate: two files one after the other are a
file of the frames of both.

Version 2 (the previous single-unit files) is a frame without the payload's length: its
payload runs to the end of the file.

Version 1 (the first text compressor's files) has no mixing, chunk count, keep field or
header CRC: one chunk, its token count, and a quarter of the window kept. It is read so
that those files still decode.

Hashes are cut to 8 bytes: they tell models and runtimes apart, a cryptographic
guarantee is not the point, and every byte of header is a byte of the compressed size on
short texts.
"""

import struct
import zlib
from typing import Callable, Iterator, NamedTuple, Optional, Protocol, Tuple


from .errors import FormatError

MAGIC = b"VNLM"
VERSION = 3
SINGLE_VERSION = 2
LEGACY_VERSION = 1
STORED, TOKENS = 0, 1
# What predicts the tokens: the model alone, or the model corrected by a match model.
PLAIN_MODEL = 0
MATCH_MODEL = 1
KNOWN_MIXING = (PLAIN_MODEL, MATCH_MODEL)
ID_BYTES = 8
MIN_WINDOW_LOG2, MAX_WINDOW_LOG2 = 4, 13  # the model was trained on 8192 positions
MAX_CHUNKS = 4096
# A chunk's cache holds the window, or fewer cells when no chunk is that long (never fewer
# than MIN_CELLS, which the fingerprint probe needs); all chunks together hold at most
# MAX_CELLS, so that no header asks for more memory than a real run could have used
# (about 12 GB with SmolLM2-135M).
MIN_CELLS = 64
MAX_CELLS = 1 << 19
# No frame holds more of the original than this, so that no header asks for more memory
# than a real frame needs.
MAX_FRAME = 1 << 30

_HEAD_V1 = struct.Struct("<4sBBB")  # magic, version, mode, window_log2
_TAIL_V1 = struct.Struct("<I8s8s")  # CRC-32 of the original, model id, fingerprint
_HEAD = struct.Struct("<4sBBBBB")  # magic, version, mode, mixing, window_log2, keep_log2
_TAIL = struct.Struct("<I8s8s")
_HEADER_CRC = struct.Struct("<I")

CORRUPT = "truncated or corrupted header"


class Header(NamedTuple):
    version: int
    mode: int
    mixing: int
    window_log2: int
    keep_log2: int
    length: int
    chunk_tokens: Tuple[int, ...]
    crc: int
    model_id: bytes
    fingerprint: bytes
    size: int  # bytes of header: the payload starts there
    payload_size: Optional[int] = None  # None: to the end of the file (versions 1 and 2)

    @property
    def tokens(self) -> int:
        return sum(self.chunk_tokens)


def cells(chunk_tokens: Tuple[int, ...], window_log2: int) -> int:
    """The cache cells of each chunk's sequence."""
    return min(1 << window_log2, max(max(chunk_tokens), MIN_CELLS))


def put_varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def pack_header(mode: int, length: int, crc: int, model_id: bytes, fingerprint: bytes,
                chunk_tokens: Tuple[int, ...] = (), window_log2: int = 0,
                keep_log2: int = 0, mixing: int = PLAIN_MODEL, payload_size: int = 0,
                version: int = VERSION) -> bytes:
    """A frame's header (`version` 2 writes the previous single-unit layout, for tests)."""
    head = (_HEAD.pack(MAGIC, version, mode, mixing, window_log2, keep_log2) +
            put_varint(length) + put_varint(len(chunk_tokens)) +
            b"".join(put_varint(n) for n in chunk_tokens) +
            (put_varint(payload_size) if version == VERSION else b"") +
            _TAIL.pack(crc, model_id[:ID_BYTES], fingerprint[:ID_BYTES]))
    return head + _HEADER_CRC.pack(zlib.crc32(head))


def stored(data: bytes) -> bytes:
    """The frame that holds `data` as it is."""
    return pack_header(STORED, len(data), zlib.crc32(data), bytes(ID_BYTES),
                       bytes(ID_BYTES), payload_size=len(data)) + data


Take = Callable[[int], bytes]


class Readable(Protocol):
    """What frames are read from: a binary file, standard input, or the like."""

    def read(self, n: int = -1) -> bytes: ...


def parse_header(blob: bytes) -> Header:
    """The header of the frame (or file of version 1 or 2) at the start of `blob`;
    FormatError when it is not one or is damaged."""
    pos = 0

    def take(n: int) -> bytes:
        nonlocal pos
        pos += n
        return blob[pos - n:pos]

    return read_header(take)


def read_header(take: Take) -> Header:
    """The header whose bytes `take(n)` gives in order (fewer at the end of the input)."""
    read = bytearray()

    def exactly(n: int) -> bytes:
        part = take(n)
        read.extend(part)
        if len(part) < n:
            raise FormatError(CORRUPT)
        return part

    def varint() -> int:
        n = shift = 0
        for _ in range(10):
            (byte,) = exactly(1)
            n |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                return n
        raise FormatError(CORRUPT)

    start = take(5)
    read.extend(start)
    if len(start) < 5 or start[:4] != MAGIC:
        raise FormatError("not a vantor-lm file (bad magic)")
    version = start[4]
    if version == LEGACY_VERSION:
        return _read_v1(exactly, varint)._replace(size=len(read))
    if version not in (SINGLE_VERSION, VERSION):
        raise FormatError(f"unsupported format version {version} (this version of vantor "
                          f"reads {LEGACY_VERSION} to {VERSION})")
    mode, mixing, window_log2, keep_log2 = exactly(_HEAD.size - 5)
    length = varint()
    count = varint()
    if count > MAX_CHUNKS:
        raise FormatError(CORRUPT)
    chunk_tokens = tuple(varint() for _ in range(count))
    payload_size = varint() if version == VERSION else None
    crc, model_id, fingerprint = _TAIL.unpack(exactly(_TAIL.size))
    signed = zlib.crc32(read)
    (header_crc,) = _HEADER_CRC.unpack(exactly(_HEADER_CRC.size))
    if header_crc != signed:
        raise FormatError(CORRUPT)
    header = Header(version, mode, mixing, window_log2, keep_log2, length, chunk_tokens,
                    crc, model_id, fingerprint, len(read), payload_size)
    _check_fields(header)
    return header


def read_frames(stream: Readable) -> Iterator[Tuple[int, Header, bytes]]:
    """Each frame of `stream` in order: its offset, header and payload, read one frame at
    a time. A file of version 1 or 2 is one unit that runs to the end."""
    offset = 0
    while True:
        first = stream.read(1)
        if not first:
            if offset == 0:  # an empty file is no file of ours
                raise FormatError("not a vantor-lm file (bad magic)")
            return
        pending = [first]

        def take(n: int) -> bytes:
            part = pending.pop() if pending else b""
            return part + read_exactly(stream, n - len(part))

        try:
            header = read_header(take)
            if header.payload_size is None:
                if offset:
                    raise FormatError("a single-unit file cannot follow a frame")
                payload = stream.read()
            else:
                payload = read_exactly(stream, header.payload_size)
                if len(payload) < header.payload_size:
                    raise FormatError("the compressed data is damaged: the frame is cut short")
        except FormatError as error:
            raise FormatError(f"frame at byte {offset}: {error}") from None
        yield offset, header, payload
        offset += header.size + len(payload)


def read_exactly(stream: Readable, n: int) -> bytes:
    """Up to `n` bytes, fewer only at the end; read in pieces, so that a damaged length
    never makes us allocate more than the input holds."""
    parts = []
    while n > 0:
        part = stream.read(min(n, 1 << 20))
        if not part:
            break
        parts.append(part)
        n -= len(part)
    return b"".join(parts)


def _read_v1(exactly: Take, varint: Callable[[], int]) -> Header:
    mode, window_log2 = exactly(_HEAD_V1.size - 5)
    length = varint()
    count = varint()
    crc, model_id, fingerprint = _TAIL_V1.unpack(exactly(_TAIL_V1.size))
    header = Header(LEGACY_VERSION, mode, PLAIN_MODEL, window_log2,
                    max(window_log2 - 2, 0), length, (count,) if mode == TOKENS else (),
                    crc, model_id, fingerprint, 0)
    if mode == STORED and count != 0:
        raise FormatError("corrupted header: invalid fields")
    _check_fields(header)
    return header


# The coder gives every symbol at least 2^-32 of its table: a token costs at most 32 bits,
# and the stream's end a few bytes.
MAX_BYTES_PER_TOKEN = 4
MAX_STREAM_END = 16


def _check_fields(header: Header) -> None:
    payload_size = header.payload_size  # None: a single-unit file
    if payload_size is not None and header.length > MAX_FRAME:
        ok = False
    elif header.mode == STORED:
        ok = not header.chunk_tokens and payload_size in (None, header.length)
    elif payload_size is not None and \
            payload_size > MAX_BYTES_PER_TOKEN * header.tokens + MAX_STREAM_END:
        ok = False
    elif header.mode == TOKENS:
        # Every token the compressor writes carries at least one byte.
        ok = (MIN_WINDOW_LOG2 <= header.window_log2 <= MAX_WINDOW_LOG2 and
              header.keep_log2 < header.window_log2 and bool(header.chunk_tokens) and
              all(n > 0 for n in header.chunk_tokens) and header.tokens <= header.length and
              len(header.chunk_tokens) * cells(header.chunk_tokens, header.window_log2) <=
              MAX_CELLS)
    else:
        ok = False
    if not ok:
        raise FormatError("corrupted header: invalid fields")
