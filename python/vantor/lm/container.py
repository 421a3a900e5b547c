"""The file format: a header that says everything the decoder must repeat, then the
coder's stream.

Version 2, in order:
    magic "VNLM", version, mode, mixing, log2 of the context window, log2 of the tokens
    kept when the context restarts (one byte each after the magic);
    LEB128 varints: the original length, the number of chunks B, each chunk's token count;
    CRC-32 of the original, the first 8 bytes of the model file's SHA-256, 8 bytes of the
    runtime's logits fingerprint for this batch shape, and a CRC-32 of all the header
    bytes before it;
    the coder's stream (empty when the original is stored: it follows as it is).

Version 1 (the first text compressor's files) has no mixing, chunk count, keep field or
header CRC: one chunk, its token count, and a quarter of the window kept. It is read so
that those files still decode.

Hashes are cut to 8 bytes: they tell models and runtimes apart, a cryptographic
guarantee is not the point, and every byte of header is a byte of the compressed size on
short texts.
"""

import struct
import zlib
from typing import NamedTuple, Tuple

from .errors import FormatError

MAGIC = b"VNLM"
VERSION = 2
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


def get_varint(blob: bytes, pos: int) -> Tuple[int, int]:
    n = shift = 0
    for i in range(pos, min(pos + 10, len(blob))):
        n |= (blob[i] & 0x7F) << shift
        shift += 7
        if not blob[i] & 0x80:
            return n, i + 1
    raise FormatError(CORRUPT)


def pack_header(mode: int, length: int, crc: int, model_id: bytes, fingerprint: bytes,
                chunk_tokens: Tuple[int, ...] = (), window_log2: int = 0,
                keep_log2: int = 0, mixing: int = PLAIN_MODEL) -> bytes:
    head = (_HEAD.pack(MAGIC, VERSION, mode, mixing, window_log2, keep_log2) +
            put_varint(length) + put_varint(len(chunk_tokens)) +
            b"".join(put_varint(n) for n in chunk_tokens) +
            _TAIL.pack(crc, model_id[:ID_BYTES], fingerprint[:ID_BYTES]))
    return head + _HEADER_CRC.pack(zlib.crc32(head))


def stored(data: bytes) -> bytes:
    """The file that holds `data` as it is."""
    return pack_header(STORED, len(data), zlib.crc32(data), bytes(ID_BYTES),
                       bytes(ID_BYTES)) + data


def parse_header(blob: bytes) -> Header:
    """The header of the file `blob`; FormatError when it is not one or is damaged."""
    if len(blob) < 5 or blob[:4] != MAGIC:
        raise FormatError("not a vantor-lm file (bad magic)")
    version = blob[4]
    if version == LEGACY_VERSION:
        return _parse_v1(blob)
    if version != VERSION:
        raise FormatError(f"unsupported format version {version} (this version of vantor "
                          f"reads {LEGACY_VERSION} and {VERSION})")
    if len(blob) < _HEAD.size:
        raise FormatError(CORRUPT)
    _, _, mode, mixing, window_log2, keep_log2 = _HEAD.unpack_from(blob)
    length, pos = get_varint(blob, _HEAD.size)
    count, pos = get_varint(blob, pos)
    if count > MAX_CHUNKS:
        raise FormatError(CORRUPT)
    chunk_tokens = []
    for _ in range(count):
        n, pos = get_varint(blob, pos)
        chunk_tokens.append(n)
    end = pos + _TAIL.size + _HEADER_CRC.size
    if len(blob) < end:
        raise FormatError(CORRUPT)
    crc, model_id, fingerprint = _TAIL.unpack_from(blob, pos)
    (header_crc,) = _HEADER_CRC.unpack_from(blob, pos + _TAIL.size)
    if header_crc != zlib.crc32(blob[:pos + _TAIL.size]):
        raise FormatError(CORRUPT)
    header = Header(version, mode, mixing, window_log2, keep_log2, length,
                    tuple(chunk_tokens), crc, model_id, fingerprint, end)
    _check_fields(header)
    return header


def _parse_v1(blob: bytes) -> Header:
    if len(blob) < _HEAD_V1.size:
        raise FormatError(CORRUPT)
    _, version, mode, window_log2 = _HEAD_V1.unpack_from(blob)
    length, pos = get_varint(blob, _HEAD_V1.size)
    count, pos = get_varint(blob, pos)
    if len(blob) < pos + _TAIL_V1.size:
        raise FormatError(CORRUPT)
    crc, model_id, fingerprint = _TAIL_V1.unpack_from(blob, pos)
    header = Header(version, mode, PLAIN_MODEL, window_log2, max(window_log2 - 2, 0),
                    length, (count,) if mode == TOKENS else (), crc, model_id, fingerprint,
                    pos + _TAIL_V1.size)
    if mode == STORED and count != 0:
        raise FormatError("corrupted header: invalid fields")
    _check_fields(header)
    return header


def _check_fields(header: Header) -> None:
    if header.mode == STORED:
        ok = not header.chunk_tokens
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
