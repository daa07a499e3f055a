#!/usr/bin/python3
"""Acceptance ratio against offered load for the study's routings, with intervals.

Runs grouptrace-ns3-study over a range of target group sizes (avgSize, the
offered load: more members means more reservations on the same links) for each
routing and a number of replications. Replication i generates the trace with
seed i and runs the study with --RngRun=i, so the network's chords and delays
vary too, and every routing sees the same traces and networks: their
differences are paired. For each point it reports the mean acceptance with a
95% confidence interval (Student's t over the replications), and for each
routing against the baseline the mean paired difference with its interval;
it draws the means and intervals as an SVG.

  ns3/plot_acceptance.py --study build/grouptrace-ns3-study --params ns3/study.params \\
      -o acceptance.svg --report acceptance.md -- --capacity=2000

Arguments after -- go to every study run (which always gets --stream=0: the
admission decisions do not depend on the packets). Needs numpy and scipy.
"""

import argparse
import concurrent.futures
import csv
import json
import math
import os
import subprocess
import sys
import tempfile
from xml.sax.saxutils import escape

import numpy
import scipy.stats

ROUTINGS = {
    # name: label, colour, dash pattern, marker
    "delay": ("least-delay graft (baseline)", "#1f5fa8", "", "circle"),
    "hops": ("fewest hops", "#d9620b", "6,4", "square"),
    "spt": ("shortest-path tree", "#2a8a3e", "2,3", "diamond"),
    "cost": ("fewest new links", "#8e3ca0", "9,3,2,3", "triangle"),
}
CONFIDENCE = 0.95


def interval(values, confidence=CONFIDENCE):
    """The mean of the values and the two ends of its Student's t confidence interval."""
    values = numpy.asarray(values, dtype=float)
    mean = float(values.mean())
    if len(values) < 2:
        return mean, math.nan, math.nan
    half = (scipy.stats.t.ppf((1 + confidence) / 2, len(values) - 1) *
            values.std(ddof=1) / math.sqrt(len(values)))
    return mean, mean - half, mean + half


def paired(baseline, other, confidence=CONFIDENCE):
    """The interval of other - baseline, replication by replication."""
    return interval(numpy.asarray(other, dtype=float) - numpy.asarray(baseline, dtype=float),
                    confidence)


def verdict(low, high):
    """What a paired interval says of the routing against the baseline."""
    if low > 0:
        return "admits more"
    if high < 0:
        return "admits fewer"
    return "no significant difference"


def parameter_values(path):
    """The 13 values of a parameter file, each line's first word."""
    values = []
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            words = line.split()
            if words:
                values.append(words[0])
    if len(values) < 13:
        sys.exit(f"{path}: expected 13 values, found {len(values)}")
    return values[:13]


def acceptance(study, params_path, seed, routing, extra, scratch):
    summary = os.path.join(scratch, f"{os.path.basename(params_path)}-{seed}-{routing}.json")
    command = [study, f"--params={params_path}", f"--seed={seed}", f"--RngRun={seed}",
               f"--routing={routing}", "--stream=0", f"--json={summary}"] + extra
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed (status {result.returncode}):\n{result.stderr}")
    with open(summary, encoding="utf-8") as stream:
        return json.load(stream)["acceptance_ratio"]


def nice_ticks(low, high, count=6):
    """Round values from low to high, about count of them, 1, 2 or 5 times a power of ten apart."""
    raw = (high - low) / count
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(f * magnitude for f in (1, 2, 5, 10) if f * magnitude >= raw)
    first = math.ceil(low / step - 1e-9)
    return [k * step for k in range(first, int(math.floor(high / step + 1e-9)) + 1)]


def marker(shape, x, y, colour):
    if shape == "circle":
        return f'<circle cx="{x:.1f}" cy="{y:.1f}" r="4.5" fill="{colour}"/>'
    if shape == "diamond":
        return (f'<polygon points="{x:.1f},{y - 5.5:.1f} {x + 5.5:.1f},{y:.1f} {x:.1f},'
                f'{y + 5.5:.1f} {x - 5.5:.1f},{y:.1f}" fill="{colour}"/>')
    if shape == "triangle":
        return (f'<polygon points="{x:.1f},{y - 5.5:.1f} {x + 5:.1f},{y + 4:.1f} '
                f'{x - 5:.1f},{y + 4:.1f}" fill="{colour}"/>')
    return f'<rect x="{x - 4:.1f}" y="{y - 4:.1f}" width="8" height="8" fill="{colour}"/>'


def draw(results, routings, sizes, title, note, path):
    """results[routing][size] = (mean, low, high)."""
    width, height = 760, 496
    left, right, top, bottom = 78, 24, 52, 128
    plot_w, plot_h = width - left - right, height - top - bottom
    pad = max(1, (max(sizes) - min(sizes)) / 20)
    x_low, x_high = min(sizes) - pad, max(sizes) + pad
    lows = [low if not math.isnan(low) else mean
            for series in results.values() for mean, low, _ in series.values()]
    y_low = max(0.0, math.floor(min(lows) * 10 - 0.5) / 10)
    y_high = 1.0

    def sx(value):
        return left + (value - x_low) / (x_high - x_low) * plot_w

    def sy(value):
        return top + (y_high - value) / (y_high - y_low) * plot_h

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="14">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{width / 2}" y="28" text-anchor="middle" font-size="17">'
           f'{escape(title)}</text>']
    for tick in nice_ticks(y_low, y_high):
        y = sy(tick)
        out.append(f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" '
                   'stroke="#dddddd"/>')
        out.append(f'<text x="{left - 8}" y="{y + 5:.1f}" text-anchor="end">{tick:.2f}</text>')
    for tick in nice_ticks(x_low, x_high):
        x = sx(tick)
        out.append(f'<line x1="{x:.1f}" y1="{top + plot_h}" x2="{x:.1f}" y2="{top + plot_h + 5}" '
                   'stroke="black"/>')
        out.append(f'<text x="{x:.1f}" y="{top + plot_h + 22}" text-anchor="middle">'
                   f'{tick:g}</text>')
    out.append(f'<rect x="{left}" y="{top}" width="{plot_w}" height="{plot_h}" fill="none" '
               'stroke="black"/>')
    out.append(f'<text x="{left + plot_w / 2}" y="{top + plot_h + 48}" text-anchor="middle">'
               'target group size avgSize (offered load)</text>')
    out.append(f'<text transform="translate(22 {top + plot_h / 2}) rotate(-90)" '
               'text-anchor="middle">acceptance ratio (admitted / joins)</text>')
    for number, line in enumerate(note):
        out.append(f'<text x="{left}" y="{height - 16 * len(note) + 16 * number - 6}" '
                   f'font-size="12" fill="#444444">{escape(line)}</text>')
    for index, name in enumerate(routings):
        label, colour, dash, shape = ROUTINGS[name]
        series = results[name]
        # The routings' bars side by side, not over each other.
        offset = (index - (len(routings) - 1) / 2) * 5
        points = [(sx(size) + offset, sy(series[size][0])) for size in sizes]
        dash_attribute = f' stroke-dasharray="{dash}"' if dash else ""
        out.append('<polyline fill="none" stroke-width="2" stroke="' + colour + '"' +
                   dash_attribute + ' points="' +
                   " ".join(f"{x:.1f},{y:.1f}" for x, y in points) + '"/>')
        for size, (x, y) in zip(sizes, points):
            _, low, high = series[size]
            if not math.isnan(low):
                for y1, y2 in ((sy(low), sy(high)), (sy(low), sy(low)), (sy(high), sy(high))):
                    half = 0 if y1 != y2 else 3
                    out.append(f'<line x1="{x - half:.1f}" y1="{y1:.1f}" x2="{x + half:.1f}" '
                               f'y2="{y2:.1f}" stroke="{colour}" stroke-width="1.5"/>')
            out.append(marker(shape, x, y, colour))
        legend_y = top + plot_h - 22 * len(routings) + index * 22
        legend_x = left + 16
        out.append(f'<line x1="{legend_x}" y1="{legend_y}" x2="{legend_x + 34}" y2="{legend_y}" '
                   f'stroke="{colour}" stroke-width="2"{dash_attribute}/>')
        out.append(marker(shape, legend_x + 17, legend_y, colour))
        out.append(f'<text x="{legend_x + 44}" y="{legend_y + 5}">{escape(label)}</text>')
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as stream:
        stream.write("\n".join(out) + "\n")


def report(ratios, routings, baseline, sizes, replications):
    """A Markdown account: each point's interval, each routing's paired difference."""
    lines = [f"Mean acceptance ratio over {replications} replications, with its "
             f"{CONFIDENCE:.0%} confidence interval (Student's t):", "",
             "| avgSize | " + " | ".join(routings) + " |",
             "|---:|" + "---|" * len(routings)]
    for size in sizes:
        cells = ["{:.3f} [{:.3f}, {:.3f}]".format(*interval(ratios[name][size]))
                 for name in routings]
        lines.append(f"| {size} | " + " | ".join(cells) + " |")
    others = [name for name in routings if name != baseline]
    lines += ["", f"Paired difference from `{baseline}` (the same traces and networks), mean and "
              f"{CONFIDENCE:.0%} interval:", "",
              "| avgSize | " + " | ".join(others) + " |", "|---:|" + "---|" * len(others)]
    for size in sizes:
        cells = []
        for name in others:
            mean, low, high = paired(ratios[baseline][size], ratios[name][size])
            cells.append(f"{mean:+.3f} [{low:+.3f}, {high:+.3f}] {verdict(low, high)}")
        lines.append(f"| {size} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--study", required=True, help="the grouptrace-ns3-study program")
    parser.add_argument("--params", required=True, help="the base parameter file")
    parser.add_argument("--sizes", default="2,4,8,16,24,32",
                        help="avgSize values, comma-separated")
    parser.add_argument("--seeds", type=int, default=20, help="replications per point")
    parser.add_argument("--routings", default=",".join(ROUTINGS),
                        help="routings to compare, comma-separated; the first is the baseline")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="study runs at once")
    parser.add_argument("-o", "--output", required=True, help="the SVG to write")
    parser.add_argument("--csv", help="also write every run's result here")
    parser.add_argument("--report", help="also write the intervals as Markdown here")
    parser.add_argument("extra", nargs="*", help="arguments for every study run (after --)")
    args = parser.parse_args()

    sizes = sorted({int(word) for word in args.sizes.split(",")})
    routings = args.routings.split(",")
    unknown = [name for name in routings if name not in ROUTINGS]
    if unknown:
        sys.exit(f"--routings: no routing {', '.join(unknown)}; known: {', '.join(ROUTINGS)}")
    if args.seeds < 2:
        sys.exit("--seeds: an interval needs at least 2 replications")
    base = parameter_values(args.params)
    seeds = range(1, args.seeds + 1)
    with tempfile.TemporaryDirectory() as scratch:
        runs = {}
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for size in sizes:
                values = list(base)
                values[4] = str(size)  # avgSize
                params_path = os.path.join(scratch, f"avg{size}.params")
                with open(params_path, "w", encoding="utf-8") as stream:
                    stream.write("\n".join(values) + "\n")
                for name in routings:
                    for seed in seeds:
                        runs[size, name, seed] = pool.submit(
                            acceptance, args.study, params_path, seed, name, args.extra, scratch)
        ratios = {name: {size: [runs[size, name, seed].result() for seed in seeds]
                         for size in sizes} for name in routings}
    results = {name: {size: interval(ratios[name][size]) for size in sizes} for name in routings}
    text = report(ratios, routings, routings[0], sizes, args.seeds)
    print(text, end="")
    if args.report:
        with open(args.report, "w", encoding="utf-8") as stream:
            stream.write(text)
    if args.csv:
        with open(args.csv, "w", newline="", encoding="utf-8") as stream:
            writer = csv.writer(stream)
            writer.writerow(["avgSize", "routing", "seed", "acceptance"])
            for size in sizes:
                for name in routings:
                    writer.writerows((size, name, seed, ratio)
                                     for seed, ratio in zip(seeds, ratios[name][size]))
    title = "Join acceptance of the QoS multicast controller"
    note = [f"{base[0]} nodes, {base[1]} sessions, maxTrans {base[2]}, band {base[7]}-{base[6]} "
            f"kbit/s, delay {base[8]}-{base[9]} ms, hops {base[10]}-{base[11]}",
            f"study options: {' '.join(args.extra) or 'none'}",
            f"mean of {args.seeds} paired replications; bars: {CONFIDENCE:.0%} confidence "
            "interval of the mean (Student's t)"]
    draw(results, routings, sizes, title, note, args.output)


if __name__ == "__main__":
    main()
