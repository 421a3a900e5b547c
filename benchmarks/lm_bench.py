#!/usr/bin/env python3
"""vantor.lm measured side by side in one run: the defaults against the first text
compressor (lm_compress_v1.py beside this file) and against one chunk, bits per byte and
throughput by chunk count, the model's ideal code length, xz, bzip2 and zstd, and a
decode in another process with another thread count.

    pip install '.[lm]'
    python benchmarks/lm_bench.py [--text FILE] [--chunks 1,16,64] [--markdown MD]
    python benchmarks/lm_bench.py --mixing [--markdown MD]

The default text is six licences from /usr/share/common-licenses (119 KB of English).
Throughput is the compression's, from the input's bytes to the compressed file, with the
model loaded and its runtime fingerprint made beforehand.

--mixing measures the match model against the model alone instead, on three kinds of
text: English, a text with long repeats and a log. Each text is compressed once with the
defaults while a second coder codes the same run's model vectors alone, so that both
sizes come from the same model calls.
"""

import argparse
import importlib.util
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional

import numpy as np

import vantor.lm as lm
from vantor.lm import codec

HERE = os.path.dirname(os.path.abspath(__file__))
LICENCES = ["GPL-3", "Apache-2.0", "MPL-2.0", "GFDL-1.3", "Artistic", "LGPL-2.1"]
OTHERS = [("xz -9e", ["xz", "-9e", "-c"]), ("bzip2 -9", ["bzip2", "-9", "-c"]),
          ("zstd -19", ["zstd", "-19", "--ultra", "-q", "-c"])]


LICENCE_FOLDER = "/usr/share/common-licenses"
# Two versions each of two licences: every text comes back, changed here and there, 20 to
# 26 KB after its first version, beyond the model's window.
VERSIONS = ["GFDL-1.2", "LGPL-2", "GFDL-1.3", "LGPL-2.1"]
LOG = "/var/log/dpkg.log"
LOG_BYTES = 6000


def licences(names: List[str]) -> bytes:
    return b"".join(open(os.path.join(LICENCE_FOLDER, name), "rb").read() for name in names)


def default_text() -> bytes:
    return licences(LICENCES)


def log_text() -> bytes:
    """The last whole lines of the package log, about LOG_BYTES."""
    data = open(LOG, "rb").read()[-LOG_BYTES:]
    return data[data.index(b"\n") + 1:]


def first_compressor() -> Any:
    spec = importlib.util.spec_from_file_location(
        "lm_compress_v1", os.path.join(HERE, "lm_compress_v1.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def other_size(command: List[str], data: bytes) -> Optional[int]:
    if shutil.which(command[0]) is None:
        return None
    return len(subprocess.run(command, input=data, check=True, capture_output=True).stdout)


def run_new(model: lm.Model, data: bytes, chunks: Optional[int]) -> Dict[str, Any]:
    stats = lm.Stats(measure_ideal=True)
    symbols, _ = codec.to_symbols(model, data)
    count = min(chunks or codec.default_chunks(len(symbols)), len(symbols))
    chunk_tokens = tuple(len(part) for part in codec.split_chunks(symbols, count))
    codec.fingerprint(model, chunk_tokens, codec.WINDOW_LOG2, codec.KEEP_LOG2)
    start = time.perf_counter()
    blob = lm.compress(data, model=model, chunks=chunks, stats=stats)
    seconds = time.perf_counter() - start - stats.ideal_seconds
    header = lm.parse_header(blob)
    return dict(name="vantor.lm" + ("" if chunks is None else f" --chunks {chunks}"),
                chunks=len(header.chunk_tokens), tokens=stats.tokens, size=len(blob),
                header=header.size, ideal=stats.ideal_bits / 8, seconds=seconds,
                model_seconds=stats.model_seconds,
                probability_seconds=stats.probability_seconds,
                coder_seconds=stats.coder_seconds, blob=blob)


def run_first(first: Any, model: lm.Model, data: bytes) -> Dict[str, Any]:
    old = first.open_model(model.path, threads=model.threads)
    old.fingerprint()
    stats = first.Stats()
    start = time.perf_counter()
    blob = first.compress(old, data, stats=stats)
    seconds = time.perf_counter() - start
    return dict(name="first compressor", chunks=1, tokens=stats.tokens, size=len(blob),
                header=len(blob) - len(first.parse_header(blob)["payload"]), ideal=None,
                seconds=seconds, model_seconds=stats.model_seconds,
                probability_seconds=stats.probability_seconds,
                coder_seconds=stats.coder_seconds, blob=blob)


def decode_elsewhere(blob: bytes, data: bytes, threads: int) -> float:
    """Seconds for `vantor-lm -d` in a fresh process with `threads` threads; the output
    must be the original."""
    with tempfile.NamedTemporaryFile(suffix=".vlm") as f:
        f.write(blob)
        f.flush()
        start = time.perf_counter()
        result = subprocess.run([sys.executable, "-m", "vantor.lm", "-d", "-c", "-q", "-T",
                                 str(threads), f.name], capture_output=True, check=True)
        seconds = time.perf_counter() - start
    if result.stdout != data:
        raise SystemExit("the decode in another process did not give the original back")
    return seconds


def run_mixing(model: lm.Model, name: str, data: bytes, decode: bool) -> List[str]:
    """One row of the mixing table: both sizes, the change and the times per token; with
    `decode`, the mixed file is also decoded in another process with one thread."""
    stats = lm.Stats(measure_plain=True)
    symbols, _ = codec.to_symbols(model, data)
    count = min(codec.default_chunks(len(symbols)), len(symbols))
    chunk_tokens = tuple(len(part) for part in codec.split_chunks(symbols, count))
    codec.fingerprint(model, chunk_tokens, codec.WINDOW_LOG2, codec.KEEP_LOG2)
    start = time.perf_counter()
    blob = lm.compress(data, model=model, stats=stats)
    seconds = time.perf_counter() - start - stats.plain_seconds
    if lm.parse_header(blob).mixing != lm.container.MATCH_MODEL:
        raise SystemExit(f"{name}: not coded with the match model")
    decoded = f"byte-exact, {decode_elsewhere(blob, data, 1):.0f} s" if decode else "-"
    per_token = 1000 / stats.tokens
    return [name, str(len(data)), str(stats.tokens), str(stats.chunks),
            str(stats.plain_bytes), str(len(blob)),
            f"{100 * (len(blob) / stats.plain_bytes - 1):+.2f}%",
            f"{8 * stats.plain_bytes / len(data):.3f}", f"{8 * len(blob) / len(data):.3f}",
            f"{stats.model_seconds * per_token:.2f}", f"{stats.mixing_seconds * per_token:.3f}",
            f"{100 * stats.mixing_seconds / stats.model_seconds:.2f}%",
            f"{stats.tokens / seconds:.1f}", decoded]


def mixing_report(model: lm.Model) -> str:
    texts = [("six licences (English)", default_text()),
             ("two versions of two licences (long repeats)", licences(VERSIONS)),
             (f"the package log, last {LOG_BYTES // 1000} KB", log_text())]
    rows = []
    for i, (name, data) in enumerate(texts):
        print(f"{name} ...", file=sys.stderr, flush=True)
        rows.append(run_mixing(model, name, data, decode=i == len(texts) - 1))
    return table(["text", "bytes in", "tokens", "chunks", "model alone (bytes)",
                  "with the match model (bytes)", "change", "bits/byte alone",
                  "bits/byte mixed", "model ms/token", "mixing ms/token",
                  "mixing / model", "tokens/s mixed", "decoded elsewhere"], rows)


def table(header: List[str], rows: List[List[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1)]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--text", help="the text to measure (default: six licences)")
    parser.add_argument("--chunks", default="1,16,64",
                        help="chunk counts measured beside the default (comma-separated)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--no-first", action="store_true",
                        help="leave out the first compressor (the slowest run)")
    parser.add_argument("--mixing", action="store_true",
                        help="measure the match model against the model alone instead")
    parser.add_argument("--markdown", help="also write the report to this file")
    args = parser.parse_args()
    if args.mixing:
        return finish(args, mixing_report(lm.Model(threads=args.threads)))
    data = open(args.text, "rb").read() if args.text else default_text()
    name = os.path.basename(args.text) if args.text else "six licences"
    model = lm.Model(threads=args.threads)
    runs = []
    if not args.no_first:
        print("the first compressor ...", file=sys.stderr, flush=True)
        runs.append(run_first(first_compressor(), model, data))
    for chunks in [None] + [int(c) for c in args.chunks.split(",") if c]:
        print(f"chunks {chunks or 'default'} ...", file=sys.stderr, flush=True)
        runs.append(run_new(model, data, chunks))
    default = next(r for r in runs if r["name"] == "vantor.lm")
    other_threads = 1 if args.threads != 1 else 2
    print(f"decoding with {other_threads} thread(s) in another process ...",
          file=sys.stderr, flush=True)
    decode_seconds = decode_elsewhere(default["blob"], data, other_threads)
    others = {label: other_size(command, data) for label, command in OTHERS}

    def bpb(size: Optional[float]) -> str:
        return "n/a" if size is None else f"{8 * size / len(data):.3f}"

    rows = []
    for r in runs:
        rows.append([r["name"], str(r["chunks"]), str(r["size"]), bpb(r["size"]),
                     bpb(r["ideal"]) if r["ideal"] else "-",
                     f"{r['size'] - r['header'] - r['ideal']:+.1f}" if r["ideal"] else "-",
                     f"{r['tokens'] / r['seconds']:.1f}", f"{len(data) / r['seconds']:.0f}",
                     f"{1000 * r['probability_seconds'] / r['tokens']:.2f}",
                     f"{1000 * r['model_seconds'] / r['tokens']:.2f}"])
    sizes = table(["run", "chunks", "bytes", "bits/byte", "ideal bits/byte",
                   "payload − ideal (bytes)", "tokens/s", "bytes/s",
                   "probabilities ms/token", "model ms/token"], rows)
    general = table(["compressor", "bytes", "bits/byte"],
                    [[label, str(size), bpb(size)] for label, size in others.items()])
    verdicts = []
    if not args.no_first:
        old = runs[0]
        verdicts.append(f"- throughput, defaults against the first compressor: "
                        f"{old['seconds'] / default['seconds']:.2f}× (target ≥ 3)")
        verdicts.append(f"- bytes, defaults against the first compressor: "
                        f"{default['size'] / old['size']:.4f}× (target ≤ 1.02)")
    one = next((r for r in runs if r["name"] == "vantor.lm --chunks 1"), None)
    if one is not None:
        verdicts.append(f"- throughput, default chunking ({default['chunks']}) against "
                        f"--chunks 1: {one['seconds'] / default['seconds']:.2f}× "
                        f"(target ≥ 1.5)")
    for r in runs[1 if not args.no_first else 0:]:
        over = (r["size"] - r["header"]) / r["ideal"] - 1
        verdicts.append(f"- {r['name']}: payload {100 * over:+.3f}% against the ideal for "
                        f"its chunking, header {r['header']} bytes (target ≤ 0.5% + header)")
    verdicts.append(f"- decoded in another process with {other_threads} thread(s): "
                    f"byte-exact, {decode_seconds:.1f} s "
                    f"({default['tokens'] / decode_seconds:.1f} tokens/s with loading)")
    finish(args, "\n\n".join([
        f"{name}: {len(data)} bytes, {default['tokens']} tokens; {args.threads} threads.",
        sizes, general, "\n".join(verdicts)]))


def finish(args: argparse.Namespace, body: str) -> None:
    import llama_cpp

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    report = body + "\n\n" + (
        f"Model {os.path.basename(lm.default_model_path())}, llama-cpp-python "
        f"{llama_cpp.__version__}, NumPy {np.__version__}, Python "
        f"{platform.python_version()}, {platform.machine()}, {os.cpu_count()} cores, "
        f"{args.threads} threads, OMP_WAIT_POLICY {os.environ.get('OMP_WAIT_POLICY')}, "
        f"load average {load:.1f} at the end.\n")
    print(report)
    if args.markdown:
        command = " ".join(["python benchmarks/lm_bench.py"] + sys.argv[1:])
        with open(args.markdown, "w") as f:
            f.write(f"# vantor.lm, measured\n\nMade by `{command}`.\n\n{report}")


if __name__ == "__main__":
    main()
