"""Time per step of vantor against one read of the vector and against its peers.

    python benchmarks/run.py [--quick] [--json PATH] [--plot PATH]

Every figure is a median over repetitions, measured in this thread's CPU time (the
thread-scaling figure, which needs wall time, excepted), and every comparison is made in
the same run on the same arrays:

- per step: `encode_step` and `decode_step` in a Python loop, against `probs.max()` on
  the same array (NumPy's one read of it: the floor a step can hope for), the peer
  `constriction` building its categorical model from the same probabilities every step,
  and a pure-Python coder;
- per symbol of a batch: `encode_steps` and `decode_steps` over many rows, new rows for
  each repetition, against the single step in a loop and against the peer's batch form;
- the cost of a call at n = 2 (against `p.item(0)`, a call that does almost nothing), by
  position and by keyword;
- one and two threads, each with its own coder, on long batches.

The C++ engine benchmark (built here) adds the engine alone against a vector read of the
same buffer in C++. The table is printed; JSON and a plot are written under build/
unless paths are given.
"""

import argparse
import itertools
import json
import os
import platform
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pure_python_coder import PurePythonDecoder, PurePythonEncoder  # noqa: E402

from _vantor import ArithmeticCoder  # noqa: E402

try:
    import ml_dtypes
except ImportError:
    ml_dtypes = None
try:
    import constriction
except ImportError:
    constriction = None

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES = [2, 16, 256, 4096, 65536, 262144]
DTYPES = {"float32": np.float32, "float16": np.float16, "float64": np.float64}
if ml_dtypes is not None:
    DTYPES["bfloat16"] = ml_dtypes.bfloat16


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def package_version(name):
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:  # not installed, or no metadata
        return "not installed"


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def cpu_ns_per(runs, count, repeats, warm=False):
    """{name: median over `repeats` rounds of this thread's CPU time of run(), divided by
    `count`} for the (name, run) pairs. Each round runs every contender once, in turn, so
    that a change in the machine's speed (a shared machine's can move by half within
    seconds) meets them all alike instead of the one whose turn it was. With `warm`, an
    untimed run comes before each timed one, so that it finds its array in the cache as a
    caller's steps on one vector would, not where the contender before it left the cache."""
    times = {name: [] for name, _ in runs}
    for _ in range(repeats):
        for name, run in runs:
            if warm:
                run()
            start = time.thread_time_ns()
            run()
            times[name].append((time.thread_time_ns() - start) / count)
    return {name: median(values) for name, values in times.items()}


def probabilities(rng, rows, n, dtype):
    p = rng.dirichlet(np.ones(n), size=rows)
    return p.astype(dtype)


def as_peer_probs(probs):
    # constriction reads float32 or float64 probabilities only.
    return probs if probs.dtype in (np.float32, np.float64) else probs.astype(np.float32)


# ---------------------------------------------------------------------------------------
# One step per call

def step_coders(probs, symbols):
    """(name, run) for every per-step contender on one vector; run() does len(symbols) steps."""
    encoder_stream = ArithmeticCoder()
    for s in symbols:
        encoder_stream.encode_step(probs, s)
    stream = encoder_stream.finish_encoding()

    def encode():
        step = ArithmeticCoder().encode_step
        for s in symbols:
            step(probs, s)

    def decode():
        coder = ArithmeticCoder()
        coder.start_decoding(stream)
        step = coder.decode_step
        for _ in symbols:
            step(probs)

    def floor():
        for _ in symbols:
            probs.max()

    out = [("encode_step", encode), ("decode_step", decode), ("probs.max()", floor)]
    if constriction is not None:
        Categorical = constriction.stream.model.Categorical
        peer_probs = as_peer_probs(probs)

        def peer_encode():
            encoder = constriction.stream.queue.RangeEncoder()
            for s in symbols:
                encoder.encode(s, Categorical(peer_probs, perfect=False))

        out.append(("constriction encode", peer_encode))
    if len(probs) <= 4096:
        def pure_python():
            encoder = PurePythonEncoder()
            for s in symbols:
                encoder.encode(probs, s)

        out.append(("pure Python encode", pure_python))
    return out


def step_table(rng, quick):
    repeats = 3 if quick else 9
    results = []
    for dtype_name, dtype in DTYPES.items():
        print(f"\n{dtype_name}: ns per step (one call each)")
        for n in SIZES:
            probs = probabilities(rng, 1, n, dtype)[0]
            calls = max(3, min(2000 if quick else 20000, int(2e6 / max(n, 256))))
            symbols = [int(s) for s in rng.integers(0, n, calls)]
            runs = [(name, run) for name, run in step_coders(probs, symbols)
                    if not (name == "pure Python encode" and quick and n > 256)]
            ours = runs[:3]
            if dtype is not np.float32:
                # The same vector as float32, in the same turns: the narrower types are
                # compared with it side by side, not with a row measured at another time.
                narrow = probs.astype(np.float32)
                ours += [(f"float32 {name}", run) for name, run in step_coders(narrow, symbols)[:2]]
            # The steps and their floor in turns; each peer on its own, as its work between
            # theirs would leave the cache and the clock as no caller of ours would.
            row = cpu_ns_per(ours, calls, repeats, warm=True)
            for peer in runs[3:]:
                row.update(cpu_ns_per([peer], calls, repeats))
            results.append({"dtype": dtype_name, "n": n, "ns_per_step": row})
            floor = row["probs.max()"]
            print(f"  n={n:>7}: " + ", ".join(f"{k} {v:,.0f}" for k, v in row.items()) +
                  f"  | encode/max {row['encode_step'] / floor:.2f},"
                  f" decode/max {row['decode_step'] / floor:.2f}")
    return results


# ---------------------------------------------------------------------------------------
# Many steps per call

def batch_coders(batches):
    """(name, run) for the batch contenders; each run() codes the next of `batches` (pairs of
    rows and symbols, all of one shape), so that no repetition replays rows whose branches
    the processor has learnt: the engine's step at n = 2 took 10 ns on a few thousand rows
    coded again and again, and 25 ns on rows never seen before."""
    streams = []
    for probs, symbols in batches:
        encoder = ArithmeticCoder()
        encoder.encode_steps(probs, symbols)
        streams.append(encoder.finish_encoding())
    ours = [(p, s, s.tolist(), stream) for (p, s), stream in zip(batches, streams)]

    # Each contender goes through every batch once, from its own start, so that no two code
    # the same rows in one round (the first would bring them into the cache for the next).
    def turns(items, start):
        start %= len(items)
        return itertools.cycle(items[start:] + items[:start]).__next__

    encode_batch, decode_batch, loop_batch, decode_loop_batch = (turns(ours, k) for k in range(4))

    def encode():
        probs, symbols, _, _ = encode_batch()
        ArithmeticCoder().encode_steps(probs, symbols)

    def decode():
        probs, _, _, stream = decode_batch()
        coder = ArithmeticCoder()
        coder.start_decoding(stream)
        coder.decode_steps(probs)

    def loop():
        probs, _, symbol_list, _ = loop_batch()
        step = ArithmeticCoder().encode_step
        for row, s in zip(probs, symbol_list):
            step(row, s)

    def decode_loop():
        probs, _, _, stream = decode_loop_batch()
        coder = ArithmeticCoder()
        coder.start_decoding(stream)
        step = coder.decode_step
        for row in probs:
            step(row)

    out = [("encode_steps", encode), ("decode_steps", decode), ("encode_step loop", loop),
           ("decode_step loop", decode_loop)]
    if constriction is not None:
        model = constriction.stream.model.Categorical(perfect=False)
        peer_batches = []
        for probs, symbols in batches:
            peer_probs, peer_symbols = as_peer_probs(probs), symbols.astype(np.int32)
            peer = constriction.stream.queue.RangeEncoder()
            peer.encode(peer_symbols, model, peer_probs)
            peer_batches.append((peer_probs, peer_symbols, peer.get_compressed()))
        peer_encode_batch, peer_decode_batch = turns(peer_batches, 4), turns(peer_batches, 5)

        def peer_encode():
            peer_probs, peer_symbols, _ = peer_encode_batch()
            constriction.stream.queue.RangeEncoder().encode(peer_symbols, model, peer_probs)

        def peer_decode():
            peer_probs, _, compressed = peer_decode_batch()
            constriction.stream.queue.RangeDecoder(compressed).decode(model, peer_probs)

        out += [("constriction batch encode", peer_encode),
                ("constriction batch decode", peer_decode)]
    return out


def batch_table(rng, quick):
    repeats = 3 if quick else 11
    results = []
    for dtype_name, dtype in DTYPES.items():
        print(f"\n{dtype_name}: ns per symbol, many rows per call, new rows each repetition")
        for n in SIZES:
            rows = max(16, min(2000 if quick else 20000, (1 << 22) // n))
            batches = [(probabilities(rng, rows, n, dtype), rng.integers(0, n, rows))
                       for _ in range(repeats)]
            row = cpu_ns_per(batch_coders(batches), rows, repeats)
            results.append({"dtype": dtype_name, "n": n, "rows": rows, "ns_per_symbol": row})
            print(f"  n={n:>7} ({rows} rows): " +
                  ", ".join(f"{k} {v:,.1f}" for k, v in row.items()))
    return results


# ---------------------------------------------------------------------------------------
# The cost of a call, and threads

def call_costs(quick):
    p = np.array([0.5, 0.5], np.float32)
    coder = ArithmeticCoder()
    calls, repeats = (20000, 5) if quick else (200000, 9)

    def loop(body):
        def run():
            for _ in range(calls):
                body()
        return run

    figures = cpu_ns_per([
        ("p.item(0)", loop(lambda: p.item(0))),
        ("empty lambda", loop(lambda: None)),
        ("encode_step(p, s)", loop(lambda: coder.encode_step(p, 1))),
        ("encode_step(probs=p, symbol=s)", loop(lambda: coder.encode_step(probs=p, symbol=1))),
    ], calls, repeats)
    print("\ncall cost at n = 2, ns per call (the loop's own cost included in each):")
    for name, value in figures.items():
        print(f"  {name}: {value:.0f}")
    return figures


def thread_scaling(rng, quick):
    rows, n = (1024, 1024) if quick else (4096, 1024)
    probs = probabilities(rng, rows, n, np.float32)
    symbols = rng.integers(0, n, rows)
    batches = 3 if quick else 10

    def work():
        coder = ArithmeticCoder()
        for _ in range(batches):
            coder.encode_steps(probs, symbols)

    def seconds(threads):
        pool = [threading.Thread(target=work) for _ in range(threads)]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return time.perf_counter() - start

    # One and two threads in turns, the best of each: wall time takes every slow spell of a
    # shared machine, and one that fell on all the one-thread runs showed 3 times on 2 cores.
    best = {1: float("inf"), 2: float("inf")}
    for _ in range(5):
        for threads in best:
            best[threads] = min(best[threads], seconds(threads))
    one, two = (threads * batches * rows / best[threads] for threads in (1, 2))
    print(f"\nthreads, own coders, {rows} x {n} float32 batches: 1 thread {one / 1e6:.2f} M"
          f" symbols/s, 2 threads {two / 1e6:.2f} M symbols/s ({two / one:.2f} x)")
    return {"rows": rows, "n": n, "one_thread": one, "two_threads": two}


def engine_benchmark():
    """The C++ engine's own figures, against a vector read of the same buffer in C++."""
    build = os.path.join(ROOT, "build", "bench")
    try:
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DVANTOR_BUILD_BENCHMARKS=ON",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", build, "--target", "engine_bench"], check=True,
                       capture_output=True)
        return subprocess.run([os.path.join(build, "engine_bench")], check=True,
                              capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        return f"engine benchmark unavailable: {error}"


def engine_step_ns(engine, n):
    """The engine's float32 step at `n` (encode, decode ns) from its table, or None."""
    for line in engine.splitlines():
        fields = line.split()
        if len(fields) == 9 and fields[0] == "float32" and fields[1] == str(n):
            return float(fields[7]), float(fields[8])
    return None


def summary(steps, batches, calls, threads, engine=""):
    """The ratios the project tracks, from this run's figures."""
    def step(dtype, n):
        return next(r["ns_per_step"] for r in steps if r["dtype"] == dtype and r["n"] == n)

    def batch(dtype, n):
        return next(r["ns_per_symbol"] for r in batches if r["dtype"] == dtype and r["n"] == n)

    big = SIZES[-1]
    f32 = step("float32", big)
    lines = [
        f"float32 n={big}: encode_step / probs.max() {f32['encode_step'] / f32['probs.max()']:.2f}",
        f"float32 n={big}: decode_step / probs.max() {f32['decode_step'] / f32['probs.max()']:.2f}",
    ]
    for dtype in ("float16", "bfloat16"):
        if dtype in DTYPES:
            half = step(dtype, big)
            lines.append(f"{dtype} n={big}: step / float32 step, encode "
                         f"{half['encode_step'] / half['float32 encode_step']:.2f}, decode "
                         f"{half['decode_step'] / half['float32 decode_step']:.2f}")
    f64 = step("float64", big)
    lines.append(f"float64 n={big}: encode_step / its probs.max() "
                 f"{f64['encode_step'] / f64['probs.max()']:.2f}, decode_step "
                 f"{f64['decode_step'] / f64['probs.max()']:.2f}")
    short, sixteen = engine_step_ns(engine, 2), engine_step_ns(engine, 16)
    if short and sixteen:
        lines.append(f"engine float32 step n=16 / n=2: encode {sixteen[0] / short[0]:.2f}, "
                     f"decode {sixteen[1] / short[1]:.2f}")
    lines.append(f"encode_step(p, s) / p.item(0) at n=2: "
                 f"{calls['encode_step(p, s)'] / calls['p.item(0)']:.2f}")
    lines.append(f"keyword call / positional call at n=2: "
                 f"{calls['encode_step(probs=p, symbol=s)'] / calls['encode_step(p, s)']:.2f}")
    for n in SIZES:
        b = batch("float32", n)
        if "constriction batch encode" in b:
            lines.append(f"float32 n={n}: encode_steps / peer batch "
                         f"{b['encode_steps'] / b['constriction batch encode']:.2f}, "
                         f"decode_steps / peer batch "
                         f"{b['decode_steps'] / b['constriction batch decode']:.2f}")
        if n >= 4096:
            # Against the same rows stepped one call at a time: what batching gains or loses.
            lines.append(f"float32 n={n}: encode_steps / encode_step loop "
                         f"{b['encode_steps'] / b['encode_step loop']:.2f}, decode_steps / "
                         f"decode_step loop {b['decode_steps'] / b['decode_step loop']:.2f}")
    lines.append(f"2 threads / 1 thread: {threads['two_threads'] / threads['one_thread']:.2f}")
    print("\nsummary (ratios within this run):")
    for line in lines:
        print("  " + line)
    return lines


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions and calls")
    parser.add_argument("--json", default=os.path.join(ROOT, "build", "benchmarks", "results.json"),
                        help="where to write the figures")
    parser.add_argument("--plot", default=os.path.join(ROOT, "build", "benchmarks", "results.png"),
                        help="where to draw the plot (needs matplotlib)")
    parser.add_argument("--no-engine", action="store_true", help="skip the C++ engine benchmark")
    args = parser.parse_args()

    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores")
    print(f"NumPy {np.__version__}, Python {platform.python_version()}, "
          f"constriction {package_version('constriction')}")
    engine = "" if args.no_engine else engine_benchmark()
    if engine:
        print("C++ engine:")
        print(engine)
    rng = np.random.default_rng(2026)
    steps = step_table(rng, args.quick)
    batches = batch_table(rng, args.quick)
    calls = call_costs(args.quick)
    threads = thread_scaling(rng, args.quick)
    lines = summary(steps, batches, calls, threads, engine)

    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"cpu": cpu_name(), "numpy": np.__version__, "engine": engine,
                   "steps": steps, "batches": batches, "calls": calls, "threads": threads,
                   "summary": lines}, f, indent=1)
    print(f"\nwrote {args.json}")
    try:
        plot(steps, batches, args.plot)
        print(f"wrote {args.plot}")
    except ImportError:
        print("matplotlib not installed: no plot")


def plot(steps, batches, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dtypes = [d for d in DTYPES if any(r["dtype"] == d for r in steps)]
    fig, axes = plt.subplots(1, len(dtypes), figsize=(5 * len(dtypes), 4.8), sharey=True)
    axes = np.atleast_1d(axes)
    for ax, dtype in zip(axes, dtypes):
        for results, key, suffix in ((steps, "ns_per_step", ""), (batches, "ns_per_symbol", "")):
            rows = [r for r in results if r["dtype"] == dtype]
            for name in rows[0][key]:
                if name in ("encode_step loop", "decode_step loop") or name.startswith("float32 "):
                    continue
                points = [(r["n"], r[key][name]) for r in rows if name in r[key]]
                ax.loglog(*zip(*points), marker="o" if key == "ns_per_step" else "s",
                          linestyle="-" if key == "ns_per_step" else "--", label=name + suffix)
        ax.set_title(dtype)
        ax.set_xlabel("vector length n")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("ns per step (one call) or per symbol (batch, dashed)")
    axes[-1].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
