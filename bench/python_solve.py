"""solve() from Python against the same solve in C++ alone, and the cost of voltage_mag().

    python bench/python_solve.py --cpp build/bench/bench_single_solve [--network PATH] [--repeats N]

The C++ program runs the steps of solve() (fresh copy of the template buses, linear initial
guess, Newton solve with the cached solver) without the interpreter; the difference of the two
medians is what the binding adds. Runs alternate between the two sides so that both see the same
machine load.
"""

import argparse
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

from quillmere import PowerFlowModel

DEFAULT_NETWORK = (Path(__file__).resolve().parents[1].parent / "shared" / "data" / "networks"
                   / "case_ACTIVSg10k.json")


def python_solves(model, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        model.solve()
        times.append((time.perf_counter() - start) * 1e3)
    return times


def cpp_median(program, network, repeats):
    out = subprocess.run([program, str(network), str(repeats)], check=True, capture_output=True,
                         text=True).stdout
    return float(re.search(r"solve_median_ms (\S+)", out).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpp", required=True, help="the bench_single_solve program")
    parser.add_argument("--network", default=str(DEFAULT_NETWORK))
    parser.add_argument("--repeats", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not Path(args.network).exists():
        print(f"skipped: {args.network} not found")
        return 0

    model = PowerFlowModel.from_pgm_json(args.network)
    model.solve()  # fills the caches, as the C++ side's cold solve does
    py, cpp = [], []
    for _ in range(args.rounds):
        py.append(statistics.median(python_solves(model, args.repeats)))
        cpp.append(cpp_median(args.cpp, args.network, args.repeats))
    py_ms, cpp_ms = statistics.median(py), statistics.median(cpp)

    calls = 2000
    start = time.perf_counter()
    for _ in range(calls):
        model.voltage_mag()
    mag_us = (time.perf_counter() - start) / calls * 1e6
    calls = 200_000
    start = time.perf_counter()
    for _ in range(calls):
        model.n_nodes
    call_ns = (time.perf_counter() - start) / calls * 1e9

    print(f"network: {args.network} ({model.n_nodes} buses)")
    print(f"solve() from Python: median {py_ms:.3f} ms over {args.rounds} x {args.repeats} solves")
    print(f"same solve in C++:   median {cpp_ms:.3f} ms")
    print(f"binding overhead:    {(py_ms - cpp_ms) / cpp_ms * 100:+.2f} %  (target < 5 %)")
    print(f"voltage_mag():       {mag_us:.1f} us per call ({mag_us * 1e3 / model.n_nodes:.1f} ns "
          f"per bus)")
    print(f"n_nodes:             {call_ns:.0f} ns per read (thread check, borrow, result)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
