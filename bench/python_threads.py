#!/usr/bin/python3
"""A sweep of many runs in threads, side by side: 1 thread against N threads.

Each run owns its draw stream and generate, write_trace and read release the
GIL and take no lock, so a ThreadPoolExecutor over many parameter sets should
use every core. Target on a 2-core machine: 2 threads finish the batch at
least 1.7 times as fast as 1. Each side is the fastest of several batches,
alternating, since a shared machine only ever adds time.

usage: bench/python_threads.py [BUILD_DIR] [--runs N] [--threads N]
  BUILD_DIR  a build configured with -DGROUPTRACE_PYTHON=ON (default: build)
"""

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

# A batch of sweeps over seeds and group sizes: 1000 nodes, 20 sessions, about
# 100,000 requests each, so a run takes some tens of milliseconds.
BASE = dict(nodes=1000, sessions=20, max_trans=100_000, curr_trans=0, avg_size=10,
            qos_levels=1, max_band=512, min_band=64, min_delay=5, max_delay=50,
            min_hops=1, max_hops=6, ordered=0)


def batch(grouptrace, workers, jobs, directory):
    """Generates, writes and reads back every job; the sum of requests as a check."""
    def one(job):
        size, seed = job
        params = grouptrace.Parameters(**dict(BASE, avg_size=size))
        trace = grouptrace.generate(params, seed)
        path = os.path.join(directory, f"{size}-{seed}-{workers}.trace")
        grouptrace.write_trace(params, seed, path)
        back = grouptrace.read(path)
        os.unlink(path)
        assert len(back.requests) == len(trace.requests)
        return len(trace.requests)

    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        total = sum(pool.map(one, jobs))
    return time.perf_counter() - start, total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import grouptrace

    jobs = [(size, seed) for size in (5, 10, 20, 40) for seed in range(6)]
    best = {1: None, args.threads: None}
    totals = set()
    with tempfile.TemporaryDirectory() as directory:
        for _ in range(args.runs):
            for workers in best:
                seconds, total = batch(grouptrace, workers, jobs, directory)
                totals.add(total)
                if best[workers] is None or seconds < best[workers]:
                    best[workers] = seconds
    assert len(totals) == 1, "the same batch gave different traces"
    one, many = best[1], best[args.threads]
    print(f"{len(jobs)} runs (generate, write_trace, read), {totals.pop():,} requests each batch")
    print(f"1 thread:   {one:.3f} s")
    print(f"{args.threads} threads: {many:.3f} s")
    print(f"speed-up:   {one / many:.2f}x on {os.cpu_count()} cores (target 1.7x with 2 threads on 2)")


if __name__ == "__main__":
    main()
