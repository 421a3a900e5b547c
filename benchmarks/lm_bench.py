#!/usr/bin/env python3
"""vantor.lm measured side by side in one run: the defaults against the first text
compressor (lm_compress_v1.py beside this file) and against one chunk, bits per byte and
throughput by chunk count, the model's ideal code length, xz, bzip2 and zstd, and a
decode in another process with another thread count.

    pip install '.[lm]'
    python benchmarks/lm_bench.py [--text FILE] [--chunks 1,16,64] [--markdown MD]

The default text is six licences from /usr/share/common-licenses (119 KB of English).
Throughput is the compression's, from the input's bytes to the compressed file, with the
model loaded and its runtime fingerprint made beforehand.
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


def default_text() -> bytes:
    folder = "/usr/share/common-licenses"
    return b"".join(open(os.path.join(folder, name), "rb").read() for name in LICENCES)


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
    parser.add_argument("--markdown", help="also write the report to this file")
    args = parser.parse_args()
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
    import llama_cpp

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    report = "\n\n".join([
        f"{name}: {len(data)} bytes, {default['tokens']} tokens; {args.threads} threads.",
        sizes, general, "\n".join(verdicts),
        f"Model {os.path.basename(model.path)}, llama-cpp-python {llama_cpp.__version__}, "
        f"NumPy {np.__version__}, Python {platform.python_version()}, "
        f"{platform.machine()}, {os.cpu_count()} cores, OMP_WAIT_POLICY "
        f"{os.environ.get('OMP_WAIT_POLICY')}, load average {load:.1f} at the end."]) + "\n"
    print(report)
    if args.markdown:
        command = " ".join(["python benchmarks/lm_bench.py"] + sys.argv[1:])
        with open(args.markdown, "w") as f:
            f.write(f"# vantor.lm, measured\n\nMade by `{command}`.\n\n{report}")


if __name__ == "__main__":
    main()
