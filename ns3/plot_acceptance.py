#!/usr/bin/env python3
"""Acceptance ratio against offered load for the study's routing algorithms.

Runs grouptrace-ns3-study over a range of target group sizes (avgSize, the
offered load: more members means more reservations on the same links) for each
routing and several replications, and draws the mean acceptance ratio with the
range over the replications as an SVG. Replication i generates the trace with
seed i and runs the study with --RngRun=i, so the network's chords and delays
vary too. Only the standard library is used.

  ns3/plot_acceptance.py --study build/grouptrace-ns3-study --params ns3/study.params \\
      -o acceptance.svg -- --capacity=1000 --maxLinkDelay=5

Arguments after -- go to every study run.
"""

import argparse
import csv
import math
import os
import re
import subprocess
import sys
import tempfile
from xml.sax.saxutils import escape

ROUTINGS = [
    # name, label, colour, dash pattern, marker
    ("delay", "least delay (baseline)", "#1f5fa8", "", "circle"),
    ("hops", "fewest hops", "#d9620b", "6,4", "square"),
]


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


def acceptance(study, params_path, seed, routing, extra):
    command = [study, f"--params={params_path}", f"--seed={seed}", f"--RngRun={seed}",
               f"--routing={routing}", "--stream=0"] + extra
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    match = re.search(r"^acceptance ratio ([0-9.]+)$", result.stdout, re.M)
    if result.returncode != 0 or not match:
        sys.exit(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return float(match.group(1))


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
    return f'<rect x="{x - 4:.1f}" y="{y - 4:.1f}" width="8" height="8" fill="{colour}"/>'


def draw(results, sizes, title, note, path):
    width, height = 720, 450
    left, right, top, bottom = 78, 24, 52, 104
    plot_w, plot_h = width - left - right, height - top - bottom
    pad = max(1, (max(sizes) - min(sizes)) / 20)
    x_low, x_high = min(sizes) - pad, max(sizes) + pad
    lowest = min(low for series in results.values() for _, low, _ in series.values())
    y_low = max(0.0, (int(lowest * 10) - 1) / 10)
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
        out.append(f'<text x="{left}" y="{height - 30 + 16 * number}" font-size="12" '
                   f'fill="#444444">{escape(line)}</text>')
    for index, (name, label, colour, dash, shape) in enumerate(ROUTINGS):
        series = results[name]
        points = [(sx(size), sy(series[size][0])) for size in sizes]
        dash_attribute = f' stroke-dasharray="{dash}"' if dash else ""
        out.append('<polyline fill="none" stroke-width="2" stroke="' + colour + '"' +
                   dash_attribute + ' points="' +
                   " ".join(f"{x:.1f},{y:.1f}" for x, y in points) + '"/>')
        for size, (x, y) in zip(sizes, points):
            mean, low, high = series[size]
            offset = (index - 0.5) * 5  # keep the two ranges apart
            out.append(f'<line x1="{x + offset:.1f}" y1="{sy(low):.1f}" x2="{x + offset:.1f}" '
                       f'y2="{sy(high):.1f}" stroke="{colour}" stroke-width="1.5"/>')
            out.append(marker(shape, x, y, colour))
        legend_y = top + plot_h - 44 + index * 22
        legend_x = left + 16
        out.append(f'<line x1="{legend_x}" y1="{legend_y}" x2="{legend_x + 34}" y2="{legend_y}" '
                   f'stroke="{colour}" stroke-width="2"{dash_attribute}/>')
        out.append(marker(shape, legend_x + 17, legend_y, colour))
        out.append(f'<text x="{legend_x + 44}" y="{legend_y + 5}">{escape(label)}</text>')
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as stream:
        stream.write("\n".join(out) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--study", required=True, help="the grouptrace-ns3-study program")
    parser.add_argument("--params", required=True, help="the base parameter file")
    parser.add_argument("--sizes", default="2,6,10,14,18,24,32",
                        help="avgSize values, comma-separated")
    parser.add_argument("--seeds", type=int, default=5, help="replications per point")
    parser.add_argument("-o", "--output", required=True, help="the SVG to write")
    parser.add_argument("--csv", help="also write every run's result here")
    parser.add_argument("extra", nargs="*", help="arguments for every study run (after --)")
    args = parser.parse_args()

    sizes = sorted({int(word) for word in args.sizes.split(",")})
    base = parameter_values(args.params)
    results = {name: {} for name, *_ in ROUTINGS}
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for size in sizes:
            values = list(base)
            values[4] = str(size)  # avgSize
            params_path = os.path.join(scratch, f"avg{size}.params")
            with open(params_path, "w", encoding="utf-8") as stream:
                stream.write("\n".join(values) + "\n")
            for name, *_ in ROUTINGS:
                ratios = [acceptance(args.study, params_path, seed, name, args.extra)
                          for seed in range(1, args.seeds + 1)]
                rows += [(size, name, seed, ratio) for seed, ratio in enumerate(ratios, 1)]
                results[name][size] = (sum(ratios) / len(ratios), min(ratios), max(ratios))
                print(f"avgSize {size:3d}  {name:5s}  mean acceptance {results[name][size][0]:.3f}"
                      f"  (min {min(ratios):.3f}, max {max(ratios):.3f})")
    if args.csv:
        with open(args.csv, "w", newline="", encoding="utf-8") as stream:
            writer = csv.writer(stream)
            writer.writerow(["avgSize", "routing", "seed", "acceptance"])
            writer.writerows(rows)
    title = "Join acceptance of the QoS multicast controller"
    note = [f"{base[0]} nodes, {base[1]} sessions, maxTrans {base[2]}, band {base[7]}-{base[6]} "
            f"kbit/s, delay {base[8]}-{base[9]} ms, hops {base[10]}-{base[11]}",
            f"mean of {args.seeds} runs, bars from the least to the greatest; study options: "
            f"{' '.join(args.extra) or 'none'}"]
    draw(results, sizes, title, note, args.output)


if __name__ == "__main__":
    main()
