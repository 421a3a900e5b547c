"""Time per step of vantor against its peers, for every element type and vector length.

    python benchmarks/run.py [--quick] [--json results.json] [--plot results.png]

Prints a table, writes JSON and draws a log-log plot of time per step against vector
length, one line per coder. Beside each measurement, in the same run: `probs.sum()` on the
same array (a one-read bandwidth proxy), the peer `constriction` (its range coder with a
categorical model built from the same probabilities every step) and a pure-Python coder.
The C++ engine benchmark adds the ratio of a step to a plain vectorised sum in C++.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
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


def median_per_call(run, calls, repeats):
    """Median over `repeats` of the time per call of `run(calls)`, in nanoseconds."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        run(calls)
        times.append((time.perf_counter_ns() - start) / calls)
    times.sort()
    return times[len(times) // 2]


def calls_for(n, budget):
    return max(5, min(20000, int(budget * 2e5 / max(n, 64))))


def vantor_encode(probs, symbols):
    def run(calls):
        coder = ArithmeticCoder()
        step = coder.encode_step
        for i in range(calls):
            step(probs, symbols[i])
    return run


def vantor_decode(probs, symbols):
    encoder = ArithmeticCoder()
    for s in symbols:
        encoder.encode_step(probs, s)
    stream = encoder.finish_encoding()

    def run(calls):
        coder = ArithmeticCoder()
        coder.start_decoding(stream)
        step = coder.decode_step
        for _ in range(calls):
            step(probs)
    return run


def constriction_probs(probs):
    # constriction's categorical model takes float64 or float32 probabilities.
    return probs if probs.dtype in (np.float32, np.float64) else probs.astype(np.float64)


def constriction_encode(probs, symbols):
    Categorical = constriction.stream.model.Categorical

    def run(calls):
        encoder = constriction.stream.queue.RangeEncoder()
        for i in range(calls):
            encoder.encode(symbols[i], Categorical(constriction_probs(probs), perfect=False))
    return run


def constriction_decode(probs, symbols):
    Categorical = constriction.stream.model.Categorical
    encoder = constriction.stream.queue.RangeEncoder()
    for s in symbols:
        encoder.encode(s, Categorical(constriction_probs(probs), perfect=False))
    compressed = encoder.get_compressed()

    def run(calls):
        decoder = constriction.stream.queue.RangeDecoder(compressed)
        for _ in range(calls):
            decoder.decode(Categorical(constriction_probs(probs), perfect=False))
    return run


def python_encode(probs, symbols):
    def run(calls):
        encoder = PurePythonEncoder()
        for i in range(calls):
            encoder.encode(probs, symbols[i])
    return run


def python_decode(probs, symbols):
    encoder = PurePythonEncoder()
    for s in symbols:
        encoder.encode(probs, s)
    stream = encoder.finish()

    def run(calls):
        decoder = PurePythonDecoder(stream)
        for _ in range(calls):
            decoder.decode(probs)
    return run


def numpy_sum(probs, symbols):
    def run(calls):
        for _ in range(calls):
            probs.sum()
    return run


def coders():
    out = [("vantor encode_step", vantor_encode), ("vantor decode_step", vantor_decode),
           ("probs.sum()", numpy_sum)]
    if constriction is not None:
        out += [("constriction encode", constriction_encode),
                ("constriction decode", constriction_decode)]
    out += [("pure Python encode", python_encode), ("pure Python decode", python_decode)]
    return out


def engine_benchmark():
    """The C++ engine's own figures, including the ratio to a plain vectorised C++ sum."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, "build", "bench")
    try:
        subprocess.run(["cmake", "-S", root, "-B", build, "-DVANTOR_BUILD_BENCHMARKS=ON",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", build, "--target", "engine_bench"], check=True,
                       capture_output=True)
        return subprocess.run([os.path.join(build, "engine_bench")], check=True,
                              capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        return f"engine benchmark unavailable: {error}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few repetitions (smoke run)")
    parser.add_argument("--json", default=os.path.join(os.path.dirname(__file__), "results.json"))
    parser.add_argument("--plot", default=os.path.join(os.path.dirname(__file__), "results.png"))
    parser.add_argument("--no-engine", action="store_true", help="skip the C++ benchmark")
    args = parser.parse_args()
    repeats, budget = (3, 0.05) if args.quick else (9, 1.0)

    print(f"CPU: {cpu_name()}")
    print(f"NumPy {np.__version__}, Python {platform.python_version()}, "
          f"constriction {package_version('constriction')}")
    engine = "" if args.no_engine else engine_benchmark()
    if engine:
        print("C++ engine (dispatch path on the first line):")
        print(engine)

    results = []
    rng = np.random.default_rng(2026)
    for dtype_name, dtype in DTYPES.items():
        print(f"\n{dtype_name}: median ns per step")
        names = [name for name, _ in coders()]
        print(f"{'n':>8} " + " ".join(f"{name:>20}" for name in names))
        for n in SIZES:
            probs = rng.dirichlet(np.ones(n)).astype(dtype)
            calls = calls_for(n, budget)
            symbols = [int(s) for s in rng.integers(0, n, size=calls)]
            row = {}
            for name, make in coders():
                if name.startswith("pure Python") and n > 4096 and args.quick:
                    continue
                row[name] = median_per_call(make(probs, symbols), calls, repeats)
            results.append({"dtype": dtype_name, "n": n, "ns_per_step": row})
            print(f"{n:>8} " + " ".join(
                f"{row[name]:>20.0f}" if name in row else f"{'-':>20}" for name in names))
        sums = {r["n"]: r["ns_per_step"] for r in results if r["dtype"] == dtype_name}
        big = sums[SIZES[-1]]
        print(f"n={SIZES[-1]}: encode/sum {big['vantor encode_step'] / big['probs.sum()']:.2f}, "
              f"decode/sum {big['vantor decode_step'] / big['probs.sum()']:.2f}")

    with open(args.json, "w") as f:
        json.dump({"cpu": cpu_name(), "numpy": np.__version__, "engine": engine,
                   "results": results}, f, indent=1)
    print(f"\nwrote {args.json}")
    try:
        plot(results, args.plot)
        print(f"wrote {args.plot}")
    except ImportError:
        print("matplotlib not installed: no plot")


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dtypes = sorted({r["dtype"] for r in results}, key=list(DTYPES).index)
    fig, axes = plt.subplots(1, len(dtypes), figsize=(5 * len(dtypes), 4.5), sharey=True)
    axes = np.atleast_1d(axes)
    for ax, dtype in zip(axes, dtypes):
        rows = [r for r in results if r["dtype"] == dtype]
        for name in rows[0]["ns_per_step"]:
            points = [(r["n"], r["ns_per_step"][name]) for r in rows if name in r["ns_per_step"]]
            ax.loglog(*zip(*points), marker="o", label=name)
        ax.set_title(dtype)
        ax.set_xlabel("vector length n")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("time per step (ns)")
    axes[-1].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
