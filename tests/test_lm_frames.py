"""Frames without the model: cutting the input, reading frames one at a time from a
stream, concatenated files, and damage named by frame. (Frames coded with the model are
in test_lm.py.)"""

import io
import zlib

import pytest

import vantor.lm as lm
from vantor.lm import container
from vantor.lm.frames import LINE_SEARCH, parse_size, split_frames


def frames_of(data, size):
    return list(split_frames(io.BytesIO(data), size))


LINES = b"".join(b"line %d says something about %d\n" % (i, i * i) for i in range(3000))


@pytest.mark.parametrize("data, size", [
    (LINES, 4096),
    (LINES, 1 << 20),  # one frame
    (b"x" * 10000, 1024),  # no line breaks: cut at the size
    ("é€😀".encode() * 2000, 1024),  # multibyte characters across every boundary
    (b"\n" * 4096, 1024),
    (b"", 1024),
])
def test_frames_cover_the_input_and_cut_between_lines_or_characters(data, size):
    frames = frames_of(data, size)
    assert b"".join(frames) == data
    assert all(0 < len(f) <= size for f in frames)
    for frame in frames[:-1]:
        frame.decode("utf-8")  # no character is cut
        if b"\n" in data[:size]:
            assert frame.endswith(b"\n")
    if LINE_SEARCH < size and data is LINES:
        assert all(len(f) > size - LINE_SEARCH for f in frames[:-1])


@pytest.mark.parametrize("text, size", [("8KiB", 8192), ("4MiB", 4 << 20), ("1MB", 10 ** 6),
                                        ("65536", 65536), (" 2 kib ", 2048), ("3G", 3 << 30)])
def test_sizes(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "KiB", "1.5MiB", "4 MiBs", "-1"])
def test_sizes_refused(text):
    with pytest.raises(ValueError, match="not a size"):
        parse_size(text)


def test_concatenated_files_decode_to_the_concatenated_inputs():
    first, second = container.stored(b"first part, "), container.stored(b"second part")
    assert lm.decompress(first + second) == b"first part, second part"
    assert lm.decompress(first + container.stored(b"")) == b"first part, "


def test_a_damaged_frame_is_named_with_where_it_starts():
    good = container.stored(b"intact")
    bad = bytearray(container.stored(b"changed"))
    bad[-1] ^= 1
    with pytest.raises(lm.FormatError, match=rf"frame 2 \(at byte {len(good)}\): checksum"):
        lm.decompress(good + bytes(bad))
    with pytest.raises(lm.FormatError, match=rf"frame at byte {len(good)}: .*bad magic"):
        lm.decompress(good + b"garbage")
    with pytest.raises(lm.FormatError, match="frame at byte 0: .*cut short"):
        lm.decompress(container.stored(b"intact")[:-2])


def test_a_single_unit_file_cannot_follow_a_frame():
    single = container.pack_header(container.STORED, 3, zlib.crc32(b"abc"), bytes(8),
                                   bytes(8), version=container.SINGLE_VERSION) + b"abc"
    assert lm.decompress(single) == b"abc"
    with pytest.raises(lm.FormatError, match="cannot follow a frame"):
        lm.decompress(container.stored(b"x") + single)


def test_a_frame_claiming_a_huge_payload_reads_only_what_is_there():
    # A stored frame of the largest length with its CRC mended: the reader must not
    # allocate the gigabyte the header claims before it finds the input ends.
    huge = container.pack_header(container.STORED, container.MAX_FRAME, 0, bytes(8),
                                 bytes(8), payload_size=container.MAX_FRAME)
    with pytest.raises(lm.FormatError, match="cut short"):
        lm.decompress(huge + b"a little")
    too_big = container.pack_header(container.STORED, container.MAX_FRAME + 1, 0, bytes(8),
                                    bytes(8), payload_size=container.MAX_FRAME + 1)
    with pytest.raises(lm.FormatError, match="invalid fields"):
        lm.decompress(too_big)
