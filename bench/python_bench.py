#!/usr/bin/python3
"""Measures the Python module against its two yardsticks, side by side in one run.

  read:      grouptrace.read of a ~140 MB trace against pandas.read_csv of the
             same requests in grouptrace's CSV form (target: 5 times faster);
  generate:  grouptrace.generate against the program writing the same run to
             /dev/null (target: within 1.5 times its time).

Each measurement is the fastest of several runs, alternating between the two
sides, since a shared machine only ever adds time; CPU time (user + system,
of this process or of the program) is shown beside wall time, as other work
on the machine inflates it less. The files live in a temporary directory and
are read from the page cache.

usage: bench/python_bench.py [BUILD_DIR] [--runs N]
  BUILD_DIR  a build configured with -DGROUPTRACE_PYTHON=ON (default: build)
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

# 1000 nodes, 100 sessions, groups of 10, bandwidth 64..512, delay 5..50,
# hops 1..6, random order: about 2.9 million requests, 143 MB of trace.
PARAMS = [1000, 100, 2_900_000, 0, 10, 1, 512, 64, 5, 50, 1, 6, 0]
SEED = 7


def cpu_seconds():
    """CPU time of this process and of the children it has waited for."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(action):
    """Times making the result, not giving it back: it is dropped after the clock stops."""
    start, cpu = time.perf_counter(), cpu_seconds()
    result = action()
    times = time.perf_counter() - start, cpu_seconds() - cpu
    del result
    return times


def side_by_side(runs, *actions):
    """The fastest wall and CPU times of each action, running them in turn."""
    best = [(float("inf"), float("inf"))] * len(actions)
    for _ in range(runs):
        for i, action in enumerate(actions):
            wall, cpu = timed(action)
            best[i] = (min(best[i][0], wall), min(best[i][1], cpu))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import grouptrace
    import pandas

    program = os.path.join(build, "grouptrace")
    params = grouptrace.Parameters(
        **dict(zip(["nodes", "sessions", "max_trans", "curr_trans", "avg_size", "qos_levels",
                    "max_band", "min_band", "min_delay", "max_delay", "min_hops", "max_hops",
                    "ordered"], PARAMS)))
    stream = "".join(f"{v}\n" for v in PARAMS).encode()

    with tempfile.TemporaryDirectory() as work:
        trace_path = os.path.join(work, "run.trace")
        csv_path = os.path.join(work, "run.csv")
        params_path = os.path.join(work, "run.params")
        with open(params_path, "wb") as f:
            f.write(stream)
        with open(params_path, "rb") as stdin, open(trace_path, "wb") as stdout:
            subprocess.run([program, str(SEED)], stdin=stdin, stdout=stdout, check=True)
        grouptrace.write_trace(params, SEED, csv_path, format="csv")
        trace_bytes = os.path.getsize(trace_path)
        csv_bytes = os.path.getsize(csv_path)

        # The two readers must agree before their times mean anything.
        trace = grouptrace.read(trace_path)
        frame = pandas.read_csv(csv_path)
        frame = frame[frame["phase"] != "sessions"]
        assert len(frame) == len(trace) and (frame["node"].to_numpy() == trace.requests["node"]).all()
        requests = len(trace)
        del trace, frame

        read_best, csv_best, chunk_best = side_by_side(
            args.runs,
            lambda: grouptrace.read(trace_path),
            lambda: pandas.read_csv(csv_path),
            lambda: sum(len(c) for c in grouptrace.iter_read(trace_path)))

        def run_program():
            with open(params_path, "rb") as stdin, open(os.devnull, "wb") as stdout:
                subprocess.run([program, str(SEED)], stdin=stdin, stdout=stdout, check=True)

        program_best, generate_best = side_by_side(
            args.runs, run_program, lambda: grouptrace.generate(params, SEED))

    mb = 1e6

    def row(name, times, size=None):
        wall, cpu = times
        rate = f"{size / mb / wall:6.0f} MB/s  {requests / wall / 1e6:5.1f} M requests/s" if size else ""
        print(f"{name:26} {wall:6.3f} s  cpu {cpu:6.3f} s  {rate}")

    def ratio(slow, fast):
        return f"{slow[0] / fast[0]:.2f}x wall, {slow[1] / fast[1]:.2f}x cpu"

    print(f"workload: {requests:,} requests, trace {trace_bytes / mb:.1f} MB, "
          f"CSV {csv_bytes / mb:.1f} MB; fastest of {args.runs} runs")
    row("grouptrace.read", read_best, trace_bytes)
    row("grouptrace.iter_read", chunk_best, trace_bytes)
    row("pandas.read_csv of the CSV", csv_best, csv_bytes)
    print(f"  read_csv takes {ratio(csv_best, read_best)} of read's time (target: at least 5x)")
    row(f"grouptrace {SEED} > /dev/null", program_best)
    row("grouptrace.generate", generate_best)
    print(f"  generate takes {ratio(generate_best, program_best)} of the program's time "
          f"(target: at most 1.5x)")

if __name__ == "__main__":
    main()
