#!/usr/bin/env python3
"""Cost per request against group size, measured and drawn as a small SVG.

usage: bench/group_cost_plot.py [BUILD_DIR] [OUT.svg]

Runs BUILD_DIR/grouptrace (default build-bench/fast) into /dev/null for 4
sessions whose groups are brought to 10 .. 1,000,000 members, in two kinds of
network: one of 10^8 nodes, where every group is sparse and kept in the tree,
and one of twice the group size, where the groups are half full and kept as
bits. Each point is the fastest of three runs, its wall time divided by the
requests of the trace (the beef-up joins included). Prints the table and the
load average, and writes OUT.svg (default docs/group-cost.svg).
"""

import os
import subprocess
import sys
import time

SIZES = [10, 100, 1000, 10000, 100000, 1000000]
REQUESTS = 3000000  # join-leave requests after the beef-up
SERIES = [
    ("sparse in 10^8 nodes (tree)", lambda size: 100000000, "#1f5fa8", ""),
    ("half full (bits)", lambda size: 2 * size, "#c2410c", "6,4"),
]


def params(nodes, size):
    max_trans = 4 * (size - 1) + REQUESTS
    return "\n".join(str(v) for v in (nodes, 4, max_trans, 0, size, 1, 512, 64, 5, 50, 1, 6, 0)) + "\n"


def measure(binary, nodes, size):
    text = params(nodes, size).encode()
    summary = subprocess.run([binary, "7"], input=text, stdout=subprocess.PIPE, check=True).stdout
    last = summary.rstrip().rsplit(b"\n", 1)[-1].split()
    requests = int(last[4]) + int(last[6])
    best = None
    for _ in range(3):
        with open(os.devnull, "wb") as sink:
            start = time.perf_counter()
            subprocess.run([binary, "7"], input=text, stdout=sink, check=True)
            elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best * 1e9 / requests


def svg(points, load):
    width, height = 560, 340
    left, right, top, bottom = 64, 40, 36, 52
    plot_w, plot_h = width - left - right, height - top - bottom
    ymax = max(v for series in points.values() for _, v in series)
    step = 50 if ymax <= 300 else 100
    ytop = step * (int(ymax // step) + 1)
    lo, hi = 1, 6  # log10 of the group sizes

    def x(size):
        import math

        return left + (math.log10(size) - lo) / (hi - lo) * plot_w

    def y(v):
        return top + plot_h - v / ytop * plot_h

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{width / 2}" y="20" text-anchor="middle" font-size="14">'
        f"Cost per request against group size (4 sessions)</text>",
    ]
    for v in range(0, ytop + 1, step):
        out.append(f'<line x1="{left}" y1="{y(v):.1f}" x2="{width - right}" y2="{y(v):.1f}" '
                   f'stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v}</text>')
    for size in SIZES:
        label = f"{size:,}"
        out.append(f'<line x1="{x(size):.1f}" y1="{top}" x2="{x(size):.1f}" y2="{top + plot_h}" '
                   f'stroke="#eee"/>')
        out.append(f'<text x="{x(size):.1f}" y="{top + plot_h + 16}" text-anchor="middle">'
                   f"{label}</text>")
    out.append(f'<line x1="{left}" y1="{top + plot_h}" x2="{width - right}" y2="{top + plot_h}" '
               f'stroke="black"/>')
    out.append(f'<line x1="{left}" y1="{top}" x2="{left}" y2="{top + plot_h}" stroke="black"/>')
    out.append(f'<text x="{left + plot_w / 2}" y="{height - 12}" text-anchor="middle">'
               f"members per group (log scale); load average {load}</text>")
    out.append(f'<text transform="translate(16 {top + plot_h / 2}) rotate(-90)" '
               f'text-anchor="middle">ns per request</text>')
    for i, (name, _, colour, dash) in enumerate(SERIES):
        series = points[name]
        path = " ".join(f"{x(s):.1f},{y(v):.1f}" for s, v in series)
        dash_attr = f' stroke-dasharray="{dash}"' if dash else ""
        out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="2"'
                   f"{dash_attr}/>")
        for s, v in series:
            if i == 0:
                out.append(f'<circle cx="{x(s):.1f}" cy="{y(v):.1f}" r="3.5" fill="{colour}"/>')
            else:
                out.append(f'<rect x="{x(s) - 3.5:.1f}" y="{y(v) - 3.5:.1f}" width="7" height="7" '
                           f'fill="{colour}"/>')
        ly = top + 14 + 18 * i
        out.append(f'<line x1="{left + 14}" y1="{ly - 4}" x2="{left + 44}" y2="{ly - 4}" '
                   f'stroke="{colour}" stroke-width="2"{dash_attr}/>')
        out.append(f'<text x="{left + 50}" y="{ly}">{name}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench/fast"
    target = sys.argv[2] if len(sys.argv) > 2 else "docs/group-cost.svg"
    binary = os.path.join(build, "grouptrace")
    points = {name: [] for name, _, _, _ in SERIES}
    print(f"{'members':>9} " + " ".join(f"{name:>30}" for name, _, _, _ in SERIES) + "  (ns/request)")
    for size in SIZES:
        row = []
        for name, nodes, _, _ in SERIES:
            cost = measure(binary, nodes(size), size)
            points[name].append((size, cost))
            row.append(cost)
        print(f"{size:>9} " + " ".join(f"{v:>30.0f}" for v in row), flush=True)
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"load average {load}")
    with open(target, "w") as f:
        f.write(svg(points, load))


if __name__ == "__main__":
    main()
