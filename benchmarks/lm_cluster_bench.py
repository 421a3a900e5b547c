#!/usr/bin/env python3
"""vantor.lm's frames on a Dask LocalCluster of one worker and of two, side by side in one
run: seconds, throughput, and that both give the same bytes.

    pip install '.[lm,cluster]'
    python benchmarks/lm_cluster_bench.py [--kib 16] [--frame-kib 4] [--markdown MD]

The text is the start of the six licences from /usr/share/common-licenses. Each worker is
one process with one thread and one llama.cpp thread, so two workers use two cores.
"""

import argparse
import os
import platform
import sys
import time

from distributed import Client, LocalCluster

import vantor.lm as lm

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from lm_bench import default_text, table  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kib", type=int, default=16, help="KiB of text")
    parser.add_argument("--frame-kib", type=int, default=4, help="frame size in KiB")
    parser.add_argument("--chunks", type=int, default=2, help="chunks in each frame")
    parser.add_argument("--markdown", help="also write the report to this file")
    args = parser.parse_args()
    data = default_text()[:args.kib << 10]
    rows, blobs = [], []
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            # A first tiny run loads the model on every worker and checks them.
            lm.compress(b"warm up\n", client=client, threads=1)
            print(f"{workers} worker(s) ...", file=sys.stderr, flush=True)
            stats = lm.Stats()
            start = time.perf_counter()
            blob = lm.compress(data, client=client, threads=1, chunks=args.chunks,
                               frame_size=args.frame_kib << 10, stats=stats)
            seconds = time.perf_counter() - start
        blobs.append(blob)
        rows.append([str(workers), f"{seconds:.1f}", f"{len(data) / seconds:.0f}",
                     f"{stats.tokens / seconds:.1f}", str(len(blob))])
    if blobs[0] != blobs[1]:
        raise SystemExit("one worker and two gave different bytes")
    report = "\n\n".join([
        f"{len(data)} bytes of the six licences, frames of {args.frame_kib} KiB, "
        f"{args.chunks} chunks a frame, one llama.cpp thread a worker.",
        table(["workers", "seconds", "bytes/s", "tokens/s", "compressed bytes"], rows),
        f"Both gave the same {len(blobs[0])} bytes. Python {platform.python_version()}, "
        f"{platform.machine()}, {os.cpu_count()} cores."]) + "\n"
    print(report)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(report)


if __name__ == "__main__":
    main()
