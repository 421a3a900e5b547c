"""Inputs of any size: the input is cut into frames of a bounded size, each compressed on
its own and written as soon as it is done, and a compressed file is read one frame at a
time. Memory holds the model and one frame, whatever the input's length."""

from __future__ import annotations

import io
import os
import re
from typing import Any, BinaryIO, Callable, Iterator, Optional, Union

from . import container, parallel
from .codec import (KEEP_LOG2, WINDOW_LOG2, ModelArgument, Progress, ProgressCallback, Stats,
                    check_model, check_options, compress_frame, decode_frame, open_model)
from .container import Header, Readable
from .errors import FormatError
from .runtime import Model, default_model_path, file_sha256

FRAME_SIZE = 4 << 20  # a few megabytes: long enough that a frame's start costs little
MIN_FRAME_SIZE = 1 << 10
# A frame ends at a line's end when one falls in its last part, so that no token is cut.
LINE_SEARCH = 1 << 12
# Where a stream's model comes from: as for `compress`, or a function that opens it when a
# frame first needs it (for decoding, given the frame's header, so that it can refuse).
Opener = Callable[[], Model]
FrameOpener = Callable[[Header], Model]
_UNITS = {"": 1, "B": 1, "K": 1 << 10, "KIB": 1 << 10, "KB": 1000, "M": 1 << 20,
          "MIB": 1 << 20, "MB": 1000 ** 2, "G": 1 << 30, "GIB": 1 << 30, "GB": 1000 ** 3}


def parse_size(text: str) -> int:
    """A size such as 8KiB, 4MiB, 1MB or 65536, in bytes."""
    found = re.fullmatch(r"\s*(\d+)\s*([A-Za-z]*)\s*", text)
    if found is None or found.group(2).upper() not in _UNITS:
        raise ValueError(f"not a size: {text!r} (use a number with B, KiB, MiB or GiB)")
    return int(found.group(1)) * _UNITS[found.group(2).upper()]


def check_frame_size(frame_size: int) -> int:
    if not MIN_FRAME_SIZE <= frame_size <= container.MAX_FRAME:
        raise ValueError(f"the frame size must be from {MIN_FRAME_SIZE} bytes to "
                         f"{container.MAX_FRAME >> 20} MiB, not {frame_size}")
    return frame_size


def split_frames(source: Readable, frame_size: int) -> Iterator[bytes]:
    """The input in frames of at most `frame_size` bytes, read as they are needed. A frame
    ends after the last line break in its final LINE_SEARCH bytes, if there is one, or else
    before a UTF-8 sequence it would cut."""
    carry = b""
    while True:
        block = carry + container.read_exactly(source, frame_size - len(carry))
        if len(block) < frame_size:  # the end of the input
            if block:
                yield block
            return
        cut = block.rfind(b"\n", max(0, frame_size - LINE_SEARCH)) + 1
        if cut == 0:
            cut = frame_size
            for back in range(1, 4):  # at most three continuation bytes
                if block[frame_size - back] & 0xC0 != 0x80:
                    if block[frame_size - back] >= 0xC0:
                        cut = frame_size - back
                    break
        carry = block[cut:]
        yield block[:cut]


class _Progress:
    """Progress over the whole input from each frame's own."""

    def __init__(self, callback: Optional[ProgressCallback], total_bytes: int) -> None:
        self.callback, self.total_bytes = callback, total_bytes
        self.tokens = self.bytes = 0

    def frame(self, progress: Progress) -> None:
        if self.callback is not None:
            self.callback(Progress(self.tokens + progress.tokens,
                                   self.tokens + progress.total_tokens,
                                   self.bytes + progress.bytes,
                                   max(self.total_bytes, self.bytes + progress.total_bytes)))

    def done(self, tokens: int, size: int) -> None:
        self.tokens += tokens
        self.bytes += size


def compress_stream(source: Readable, target: BinaryIO, *,
                    model: Union[ModelArgument, Opener] = None,
                    chunks: Optional[int] = None, threads: Optional[int] = None,
                    progress: Optional[ProgressCallback] = None,
                    window_log2: int = WINDOW_LOG2, keep_log2: int = KEEP_LOG2,
                    plain: bool = False, frame_size: int = FRAME_SIZE,
                    stats: Optional[Stats] = None, total_bytes: int = 0, jobs: int = 1,
                    client: Any = None) -> int:
    """Compresses `source` into `target` frame by frame; the bytes written. Options as
    for `compress`; `total_bytes`, the input's size when known, only serves `progress`."""
    check_options(chunks, window_log2, keep_log2)
    check_frame_size(frame_size)
    stats = stats if stats is not None else Stats()
    if jobs > 1 or client is not None:
        return _compress_elsewhere(source, target, model, chunks, threads, progress,
                                   window_log2, keep_log2, plain, frame_size, stats,
                                   total_bytes, jobs, client)
    opened: Optional[Model] = None

    def open_lm() -> Model:
        nonlocal opened
        if opened is None:
            opened = model() if callable(model) else open_model(model, threads)
        return opened

    overall = _Progress(progress, total_bytes)
    written = 0
    for data in split_frames(source, frame_size):
        tokens = stats.tokens
        frame = compress_frame(data, open_lm, chunks=chunks, progress=overall.frame,
                               window_log2=window_log2, keep_log2=keep_log2, plain=plain,
                               stats=stats)
        target.write(frame)
        target.flush()  # each frame leaves as soon as it is done
        written += len(frame)
        overall.done(stats.tokens - tokens, len(data))
    if written == 0:  # an empty input is one empty frame
        frame = container.stored(b"")
        stats.plain_bytes += len(frame)
        target.write(frame)
        written = len(frame)
    return written


def _worker_threads(threads: Optional[int], jobs: int, client: Any) -> Optional[int]:
    """llama.cpp's threads in each worker: as asked, or a pool's share of the machine."""
    if client is None and not threads:
        return max(1, (os.cpu_count() or 1) // jobs)
    return threads


def _compress_elsewhere(source: Readable, target: BinaryIO, model: Union[ModelArgument, Opener],
                        chunks: Optional[int], threads: Optional[int],
                        progress: Optional[ProgressCallback], window_log2: int,
                        keep_log2: int, plain: bool, frame_size: int, stats: Stats,
                        total_bytes: int, jobs: int, client: Any) -> int:
    if callable(model):
        model = model()
    job = parallel.job_for(model, _worker_threads(threads, jobs, client), chunks,
                           window_log2, keep_log2, plain)
    runner = parallel.runner_for(jobs, client, job, model)
    written = done_tokens = done_bytes = 0
    try:
        calls = ((parallel.compress_job, (job, data))
                 for data in split_frames(source, frame_size))
        for frame, tokens, size in parallel.in_order(runner, calls):
            target.write(frame)
            target.flush()
            written += len(frame)
            done_tokens += tokens
            done_bytes += size
            stats.tokens += tokens
            if progress is not None:
                progress(Progress(done_tokens, done_tokens, done_bytes,
                                  max(total_bytes, done_bytes)))
    finally:
        runner.close()
    if written == 0:
        frame = container.stored(b"")
        target.write(frame)
        written = len(frame)
    return written


def compress(data: bytes, *, model: ModelArgument = None, chunks: Optional[int] = None,
             threads: Optional[int] = None, progress: Optional[ProgressCallback] = None,
             window_log2: int = WINDOW_LOG2, keep_log2: int = KEEP_LOG2,
             plain: bool = False, frame_size: int = FRAME_SIZE,
             stats: Optional[Stats] = None, jobs: int = 1, client: Any = None) -> bytes:
    """The compressed file for `data`: one frame per `frame_size` bytes of it, each coded
    with the model, or stored where that does not pay.

    `model` is a `Model` opened once for many calls, the path of a GGUF file, or None for
    the default model; `chunks` the number of chunks coded in lock-step in each frame (by
    default from its length); `threads` llama.cpp's threads; `progress` is called after
    every step with a `Progress`; `plain` codes with the model alone, without the match
    model that corrects it; `stats` (a `Stats`) collects timings and, if asked, the ideal
    length and the plain model's size (not with `jobs` or `client`). `jobs` codes frames
    in that many worker processes, each with its own model; `client`, a
    `dask.distributed.Client`, on its cluster's workers. Either gives the same bytes."""
    target = io.BytesIO()
    compress_stream(io.BytesIO(bytes(data)), target, model=model, chunks=chunks,
                    threads=threads, progress=progress, window_log2=window_log2,
                    keep_log2=keep_log2, plain=plain, frame_size=frame_size, stats=stats,
                    total_bytes=len(data), jobs=jobs, client=client)
    return target.getvalue()


class _ModelFor:
    """The model each frame needs: opened at the first frame that uses one, after its
    file's hash was checked against the frame's, and checked again for every later
    frame (concatenated files may come from other models)."""

    def __init__(self, model: Union[ModelArgument, FrameOpener],
                 threads: Optional[int]) -> None:
        self.model, self.threads = model, threads
        self.opened: Optional[Model] = model if isinstance(model, Model) else None

    def __call__(self, header: Header) -> Model:
        if callable(self.model):
            return self.model(header)
        if self.opened is None:
            path = self.model if isinstance(self.model, str) else default_model_path()
            sha256 = file_sha256(path)
            check_model(header, sha256, path)
            self.opened = open_model(path, self.threads, sha256)
        else:
            check_model(header, self.opened.sha256, self.opened.path)
            if self.threads:
                self.opened.threads = self.threads
        return self.opened


def decompress_stream(source: Readable, target: BinaryIO, *,
                      model: Union[ModelArgument, FrameOpener] = None,
                      threads: Optional[int] = None,
                      progress: Optional[ProgressCallback] = None,
                      stats: Optional[Stats] = None, jobs: int = 1,
                      client: Any = None) -> int:
    """Decompresses `source` into `target` frame by frame; the bytes written. A frame that
    is damaged is named, with the byte where it starts."""
    stats = stats if stats is not None else Stats()
    if jobs > 1 or client is not None:
        return _decompress_elsewhere(source, target, model, threads, progress, jobs, client)
    model_for = _ModelFor(model, threads)
    overall = _Progress(progress, 0)
    written = 0
    for index, (offset, header, payload) in enumerate(container.read_frames(source)):
        try:
            data = decode_frame(header, payload, model_for, overall.frame, stats)
        except FormatError as error:
            raise FormatError(f"frame {index + 1} (at byte {offset}): {error}") from None
        target.write(data)
        written += len(data)
        overall.done(header.tokens, len(data))
    return written


def _decompress_elsewhere(source: Readable, target: BinaryIO,
                          model: Union[ModelArgument, FrameOpener], threads: Optional[int],
                          progress: Optional[ProgressCallback], jobs: int,
                          client: Any) -> int:
    if callable(model):
        raise ValueError("decoding elsewhere takes a model path or Model, not a function")
    job = parallel.job_for(model, _worker_threads(threads, jobs, client))
    runner = parallel.runner_for(jobs, client, job, model)
    written = 0
    try:
        calls = ((parallel.decompress_job,
                  (job, header, payload, f"frame {index + 1} (at byte {offset})"))
                 for index, (offset, header, payload)
                 in enumerate(container.read_frames(source)))
        for data in parallel.in_order(runner, calls):
            target.write(data)
            written += len(data)
            if progress is not None:
                progress(Progress(0, 0, written, written))
    finally:
        runner.close()
    return written


def decompress(blob: bytes, *, model: ModelArgument = None, threads: Optional[int] = None,
               progress: Optional[ProgressCallback] = None,
               stats: Optional[Stats] = None, jobs: int = 1, client: Any = None) -> bytes:
    """The original of the compressed file `blob`. `model` as for `compress`: it is
    opened only when a frame needs one (a stored frame does not), and a model file whose
    hash differs from the frame's is refused before llama.cpp loads it."""
    target = io.BytesIO()
    decompress_stream(io.BytesIO(bytes(blob)), target, model=model, threads=threads,
                      progress=progress, stats=stats, jobs=jobs, client=client)
    return target.getvalue()
