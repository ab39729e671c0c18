#!/usr/bin/env python3
"""Overhead of the Python package against the same work in C++.

Runs the Google Benchmark cases of python_overhead_bench.cpp (CDlt.CalDlt
on 100 points; the calculator's projection of 1,000,000 points) and times
the same calls from Python with time.perf_counter (and process_time for
the CPU time), medians of several runs on both sides, and prints the
absolute times and the ratios Python / C++ against the bars (1.3 and 1.2). Both sides come from one Release tree:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \\
        -DCOLLINEAR_BUILD_BENCH=ON
    cmake --build build-bench --target python_overhead_bench _collinear
    /usr/bin/python3 bench/python_overhead.py --build build-bench
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time


def scene(n):
    """The points of python_overhead_bench.cpp's ScenePoint, (n, 3)."""
    import numpy as np

    i = np.arange(n, dtype=np.float64)
    return np.column_stack(
        (np.fmod(i * 7.31, 100.0) - 50.0, np.fmod(i * 3.77, 80.0) - 40.0, np.fmod(i * 1.93, 10.0))
    )


def cpp_medians(exe, repetitions):
    """Median (real, CPU) time per iteration in seconds, by benchmark name."""
    out = subprocess.run(
        [exe, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True,
    ).stdout
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            k = scale[b["time_unit"]]
            medians[b["run_name"]] = (b["real_time"] * k, b["cpu_time"] * k)
    return medians


def python_medians(repetitions):
    import numpy as np

    import collinear as c

    cam = c.camera(3000.0, (2010.5, 1490.2), (4000, 3000), (3.0, -4.0, 120.0), np.eye(3))
    pts = scene(100)
    px, _ = c.project(cam, pts)
    obj = [c.CXYZ(f"P{i}", *pts[i]) for i in range(100)]
    img = [c.CXYZ(f"P{i}", px[i, 0], -px[i, 1], 0.0) for i in range(100)]
    dlt = c.CDlt()
    if dlt.Create(obj, img, 0.0) != 1 or dlt.CalDlt() != 1:
        sys.exit("python_overhead: the DLT scene does not solve")
    million = scene(1_000_000)

    def timed(call, calls):
        real, cpu = [], []
        for _ in range(repetitions):
            t0, c0 = time.perf_counter(), time.process_time()
            for _ in range(calls):
                call()
            real.append((time.perf_counter() - t0) / calls)
            cpu.append((time.process_time() - c0) / calls)
        return statistics.median(real), statistics.median(cpu)

    return timed(dlt.CalDlt, 2000), timed(lambda: c.project(cam, million), 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-bench", help="Release tree")
    parser.add_argument("--repetitions", type=int, default=7)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import collinear

    if not collinear.__file__.startswith(build):
        sys.exit(f"python_overhead: collinear comes from {collinear.__file__}, not {build}")
    cpp = cpp_medians(os.path.join(build, "bench", "python_overhead_bench"), args.repetitions)
    py_dlt, py_project = python_medians(args.repetitions)
    rows = [
        ("CDlt.CalDlt, 100 points", py_dlt, cpp["BM_CalDlt100"], 1.3, 1e6, "us"),
        ("project, 1,000,000 points", py_project, cpp["BM_Project1M"], 1.2, 1e3, "ms"),
    ]
    # On a shared machine the wall clock also counts the time other
    # processes hold the cores; CPU time is the cost of the call itself.
    print(f"{'case':<27}{'clock':<6}{'Python':>12}{'C++':>12}{'ratio':>8}  bar")
    for name, p, q, bar, k, unit in rows:
        for clock, i in (("wall", 0), ("cpu", 1)):
            ratio = p[i] / q[i]
            verdict = "within" if ratio <= bar else "ABOVE"
            print(f"{name:<27}{clock:<6}{p[i] * k:>9.2f} {unit}{q[i] * k:>9.2f} {unit}"
                  f"{ratio:>8.3f}  {bar} ({verdict})")
    print(f"medians of {args.repetitions} runs on each side")


if __name__ == "__main__":
    main()
