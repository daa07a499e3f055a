#!/usr/bin/env python3
"""Figures of placement by locality, drawn from runs of the program.

usage: bench/placement_figures.py [BUILD_DIR] [OUT_DIR]

Needs python3-networkx and python3-scipy (Debian) and BUILD_DIR/grouptrace
(default build). Writes to OUT_DIR (default docs):

  placement-tree-cost.svg  the links of each group's shortest-path tree per
      member, L(m) / (m u), against the group's size m, for uniform placement,
      affinity:1 and affinity:-1, on two networks: as3000, the AS-level model
      of Elmokashfi, Kvalbein and Dovrolis (IEEE/ACM ToN 2010) as networkx's
      random_internet_as_graph makes it with 3,000 nodes and seed 1, and
      bench/networks/isp30.orbis, 30 routers drawn by hand. u is the mean hop
      distance from a source to the other nodes. The band is L(m)/u = m^e for
      e from 0.66 to 0.70 (Chalmers and Almeroth's measurements), the dashed
      line e = 0.8 (Chuang and Sirbu); each series' fitted e is in its legend.
  placement-classes.svg  the hop distance to the session's tree of every
      joining node in runs with churn on as3000, against the law
      n_k exp(-BETA k) / sum_j n_j exp(-BETA j) at each join (n_k the
      non-members at distance k then), for BETA = 1 and -1, with the
      chi-square test of the counts.

Every run is the program's, with a fixed seed, through --topology and
--placement; the groups are read back from its CSV. Prints the numbers each
figure shows. Takes a few minutes.
"""

import csv
import io
import math
import os
import subprocess
import sys
import tempfile
from collections import deque

import networkx as nx
from scipy import stats

HERE = os.path.dirname(os.path.abspath(__file__))
PLACEMENTS = [
    ("uniform", "uniform", "#1f5fa8", ""),
    ("affinity:1", "affinity:1", "#15803d", "6,3"),
    ("affinity:-1", "affinity:-1", "#c2410c", "2,3"),
]


def as3000(path):
    graph = nx.random_internet_as_graph(3000, seed=1)
    with open(path, "w") as out:
        out.write("# as3000: networkx.random_internet_as_graph(3000, seed=1)\n")
        for a, b in sorted(graph.edges()):
            out.write(f"{a} {b}\n")


def read_orbis(path):
    """Adjacency lists of an Orbis file numbered from 0."""
    links = []
    with open(path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                a, b = map(int, line.split()[:2])
                links.append((a, b))
    n = 1 + max(max(a, b) for a, b in links)
    adjacency = [[] for _ in range(n)]
    for a, b in links:
        adjacency[a].append(b)
        adjacency[b].append(a)
    return adjacency


def bfs(adjacency, sources):
    dist = [-1] * len(adjacency)
    parent = [-1] * len(adjacency)
    queue = deque(sources)
    for s in sources:
        dist[s] = 0
    while queue:
        x = queue.popleft()
        for w in adjacency[x]:
            if dist[w] < 0:
                dist[w] = dist[x] + 1
                parent[w] = x
                queue.append(w)
    return dist, parent


def run(binary, network, nodes, sessions, size, trans, placement, seed):
    params = [nodes, sessions, trans, 0, size, 1, 512, 64, 5, 50, 1, 6, 0]
    stream = "".join(f"{v}\n" for v in params)
    args = [binary, str(seed), "--topology", network, "--placement", placement, "--format", "csv"]
    out = subprocess.run(args, input=stream.encode(), stdout=subprocess.PIPE, check=True).stdout
    return list(csv.DictReader(io.StringIO(out.decode())))


def tree_costs(binary, network, adjacency, sizes, sessions, placement):
    """(m, mean L(m) / (m u)) over the sessions' groups after the beef-up."""
    n = len(adjacency)
    points = []
    for m in sizes:
        rows = run(binary, network, n, sessions, m + 1, 0, placement, 7)
        sources = {}
        members = {}
        for r in rows:
            if r["kind"] == "source":
                sources[int(r["session"])] = int(r["node"])
            elif r["phase"] == "beef-up" and r["kind"] == "join":
                members.setdefault(int(r["session"]), []).append(int(r["node"]))
        ratios = []
        for s, source in sources.items():
            group = members.get(s, [])
            if len(group) != m:
                continue
            dist, parent = bfs(adjacency, [source])
            mean_unicast = sum(dist) / (n - 1)
            on_tree = {source}
            for v in group:
                while v not in on_tree:
                    on_tree.add(v)
                    v = parent[v]
            ratios.append((len(on_tree) - 1) / (m * mean_unicast))
        points.append((m, sum(ratios) / len(ratios)))
    return points


def fitted_exponent(points, m_max):
    """e in L(m)/u = c m^e, by least squares of log(L/u) on log m."""
    xs = [math.log(m) for m, _ in points if 2 <= m <= m_max]
    ys = [math.log(y * m) for m, y in points if 2 <= m <= m_max]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def class_law(binary, network, adjacency, beta):
    """Observed and expected counts of the joining nodes' distance classes, and
    those uniform placement would have at the same joins."""
    n = len(adjacency)
    rows = run(binary, network, n, 8, 60, 6000, f"affinity:{beta}", 11)
    trees = {}
    observed, expected, alike = {}, {}, {}
    for r in rows:
        s, v = int(r["session"]), int(r["node"])
        if r["kind"] == "source":
            trees[s] = {v}
        elif r["kind"] == "leave":
            trees[s].discard(v)
        elif r["kind"] == "join":
            dist, _ = bfs(adjacency, list(trees[s]))
            counts = {}
            for d in dist:
                if d > 0:
                    counts[d] = counts.get(d, 0) + 1
            total = sum(c * math.exp(-beta * k) for k, c in counts.items())
            free = sum(counts.values())
            for k, c in counts.items():
                expected[k] = expected.get(k, 0) + c * math.exp(-beta * k) / total
                alike[k] = alike.get(k, 0) + c / free
            observed[dist[v]] = observed.get(dist[v], 0) + 1
            trees[s].add(v)
    return observed, expected, alike


def chi_square(observed, expected):
    """Chi-square of the counts, classes expected fewer than 5 times pooled."""
    cells, o, e = [], 0, 0.0
    for k in sorted(set(observed) | set(expected)):
        o += observed.get(k, 0)
        e += expected.get(k, 0)
        if e >= 5:
            cells.append((o, e))
            o, e = 0, 0.0
    if e > 0 and cells:
        last_o, last_e = cells.pop()
        cells.append((last_o + o, last_e + e))
    statistic = sum((o - e) ** 2 / e for o, e in cells)
    df = len(cells) - 1
    return statistic, df, stats.chi2.sf(statistic, df)


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


class Panel:
    """A plot area inside an SVG, with log or linear axes."""

    def __init__(self, x0, y0, w, h, xr, yr, xlog, ylog):
        self.x0, self.y0, self.w, self.h = x0, y0, w, h
        self.xr, self.yr, self.xlog, self.ylog = xr, yr, xlog, ylog
        self.parts = []

    def x(self, v):
        lo, hi = self.xr
        f = (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) if self.xlog else (v - lo) / (hi - lo)
        return self.x0 + f * self.w

    def y(self, v):
        lo, hi = self.yr
        f = (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) if self.ylog else (v - lo) / (hi - lo)
        return self.y0 + self.h - f * self.h

    def add(self, text):
        self.parts.append(text)

    def frame(self, title, xlabel, ylabel, xticks, yticks):
        a = self.add
        a(f'<rect x="{self.x0}" y="{self.y0}" width="{self.w}" height="{self.h}" fill="none" stroke="#444"/>')
        for t in xticks:
            px = self.x(t)
            a(f'<line x1="{px:.1f}" y1="{self.y0}" x2="{px:.1f}" y2="{self.y0 + self.h}" stroke="#e5e7eb"/>')
            a(f'<text x="{px:.1f}" y="{self.y0 + self.h + 16}" text-anchor="middle" font-size="11">{t:g}</text>')
        for t in yticks:
            py = self.y(t)
            a(f'<line x1="{self.x0}" y1="{py:.1f}" x2="{self.x0 + self.w}" y2="{py:.1f}" stroke="#e5e7eb"/>')
            a(f'<text x="{self.x0 - 6}" y="{py + 4:.1f}" text-anchor="end" font-size="11">{t:g}</text>')
        a(f'<text x="{self.x0 + self.w / 2}" y="{self.y0 - 10}" text-anchor="middle" font-size="13" font-weight="bold">{esc(title)}</text>')
        a(f'<text x="{self.x0 + self.w / 2}" y="{self.y0 + self.h + 34}" text-anchor="middle" font-size="12">{esc(xlabel)}</text>')
        cx, cy = self.x0 - 44, self.y0 + self.h / 2
        a(f'<text x="{cx}" y="{cy}" text-anchor="middle" font-size="12" transform="rotate(-90 {cx} {cy})">{esc(ylabel)}</text>')

    def line(self, points, colour, dash="", width=2):
        path = " ".join(f"{self.x(x):.1f},{self.y(y):.1f}" for x, y in points)
        d = f' stroke-dasharray="{dash}"' if dash else ""
        self.add(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="{width}"{d}/>')

    def dots(self, points, colour):
        for x, y in points:
            self.add(f'<circle cx="{self.x(x):.1f}" cy="{self.y(y):.1f}" r="3" fill="{colour}"/>')

    def band(self, lower, upper, colour):
        path = " ".join(f"{self.x(x):.1f},{self.y(y):.1f}" for x, y in lower + upper[::-1])
        self.add(f'<polygon points="{path}" fill="{colour}" stroke="none"/>')

    def legend(self, entries, x, y):
        for i, (label, colour, dash) in enumerate(entries):
            yy = y + 16 * i
            d = f' stroke-dasharray="{dash}"' if dash else ""
            self.add(f'<line x1="{x}" y1="{yy}" x2="{x + 24}" y2="{yy}" stroke="{colour}" stroke-width="2"{d}/>')
            self.add(f'<text x="{x + 30}" y="{yy + 4}" font-size="11">{esc(label)}</text>')


def svg(width, height, panels, note):
    body = "\n".join(p for panel in panels for p in panel.parts)
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif">\n'
        f'<rect width="{width}" height="{height}" fill="white"/>\n{body}\n'
        f'<text x="12" y="{height - 10}" font-size="10" fill="#555">{esc(note)}</text>\n</svg>\n'
    )


def tree_cost_panel(x0, title, results, m_max, xr, yr, xticks, yticks):
    panel = Panel(x0, 40, 330, 300, xr, yr, True, True)
    panel.frame(title, "group size m (members besides the source)", "L(m) / (m u)", xticks, yticks)
    ms = [xr[0] * (xr[1] / xr[0]) ** (i / 40) for i in range(41)]
    panel.band([(m, m ** (0.66 - 1)) for m in ms], [(m, m ** (0.70 - 1)) for m in ms], "#e5e7eb")
    panel.line([(m, m ** (0.8 - 1)) for m in ms], "#111", "5,4", 1)
    legend = [("m^0.8 (Chuang-Sirbu)", "#111", "5,4"), ("m^0.66 to m^0.70, measured", "#d1d5db", "")]
    for (label, _, colour, dash), points in zip(PLACEMENTS, results):
        panel.line(points, colour, dash)
        panel.dots(points, colour)
        legend.append((f"{label}: e = {fitted_exponent(points, m_max):.2f}", colour, dash))
    panel.legend(legend, x0 + 10, 40 + 300 + 52)
    return panel


def class_panel(x0, beta, observed, expected, alike):
    total = sum(observed.values())
    ks = sorted(set(observed) | set(expected))
    top = max(max(observed.get(k, 0), expected.get(k, 0), alike.get(k, 0)) for k in ks) / total
    ymax = math.ceil(top * 10) / 10
    panel = Panel(x0, 40, 330, 300, (ks[0] - 0.6, ks[-1] + 0.6), (0, ymax), False, False)
    panel.frame(f"affinity:{beta}", "hop distance of the joining node to the tree",
                "share of joins", ks, [i / 10 for i in range(int(ymax * 10) + 1)])
    for k in ks:
        share = observed.get(k, 0) / total
        x = panel.x(k)
        panel.add(f'<rect x="{x - 12:.1f}" y="{panel.y(share):.1f}" width="24" '
                  f'height="{panel.y(0) - panel.y(share):.1f}" fill="#93c5fd"/>')
    panel.dots([(k, expected.get(k, 0) / total) for k in ks], "#111")
    for k in ks:
        panel.add(f'<circle cx="{panel.x(k):.1f}" cy="{panel.y(alike.get(k, 0) / total):.1f}" r="4" '
                  f'fill="none" stroke="#c2410c" stroke-width="1.5"/>')
    statistic, df, p = chi_square(observed, expected)
    panel.add(f'<rect x="{x0 + 10}" y="{40 + 300 + 46}" width="14" height="10" fill="#93c5fd"/>')
    panel.add(f'<text x="{x0 + 30}" y="{40 + 300 + 55}" font-size="11">observed, {total} joins</text>')
    panel.add(f'<circle cx="{x0 + 17}" cy="{40 + 300 + 67}" r="3" fill="#111"/>')
    panel.add(f'<text x="{x0 + 30}" y="{40 + 300 + 71}" font-size="11">expected: the law at each join, summed</text>')
    panel.add(f'<circle cx="{x0 + 17}" cy="{40 + 300 + 83}" r="4" fill="none" stroke="#c2410c" '
              f'stroke-width="1.5"/>')
    panel.add(f'<text x="{x0 + 30}" y="{40 + 300 + 87}" font-size="11">uniform placement at the same joins</text>')
    panel.add(f'<text x="{x0 + 10}" y="{40 + 300 + 107}" font-size="11">'
              f'observed against expected: chi-square {statistic:.1f}, df {df}, p = {p:.2f}'
              '</text>')
    return panel, (statistic, df, p)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    out_dir = sys.argv[2] if len(sys.argv) > 2 else "docs"
    binary = os.path.join(build, "grouptrace")
    isp30 = os.path.join(HERE, "networks", "isp30.orbis")
    with tempfile.TemporaryDirectory() as tmp:
        as_path = os.path.join(tmp, "as3000.orbis")
        as3000(as_path)
        as_adj, isp_adj = read_orbis(as_path), read_orbis(isp30)

        big_sizes = [1, 2, 3, 5, 8, 13, 20, 32, 50, 80, 128, 200, 320, 500]
        small_sizes = [1, 2, 3, 4, 5, 6, 8, 10, 12, 15, 18, 22, 26]
        big = [tree_costs(binary, as_path, as_adj, big_sizes, 30, p) for _, p, _, _ in PLACEMENTS]
        small = [tree_costs(binary, isp30, isp_adj, small_sizes, 200, p) for _, p, _, _ in PLACEMENTS]
        for name, results, m_max in (("as3000", big, 300), ("isp30", small, 8)):
            for (label, *_), points in zip(PLACEMENTS, results):
                print(f"{name} {label}: e = {fitted_exponent(points, m_max):.3f}; "
                      + " ".join(f"{m}:{y:.3f}" for m, y in points))
        panels = [
            tree_cost_panel(70, "as3000: 3,000 nodes, AS-level model", big, 300, (1, 500),
                            (0.1, 1.5), [1, 10, 100, 500], [0.1, 0.2, 0.5, 1]),
            tree_cost_panel(480, "isp30: 30 routers drawn by hand", small, 8, (1, 26),
                            (0.2, 1.5), [1, 2, 5, 10, 20], [0.2, 0.5, 1]),
        ]
        note = (f"Groups grown by the beef-up phase, seed 7, 30 sessions a size (as3000) or 200 "
                f"(isp30); e fitted over m = 2..300 and 2..8; networkx {nx.__version__}")
        with open(os.path.join(out_dir, "placement-tree-cost.svg"), "w") as f:
            f.write(svg(830, 500, panels, note))

        panels = []
        for x0, beta in ((70, 1), (480, -1)):
            observed, expected, alike = class_law(binary, as_path, as_adj, beta)
            panel, (statistic, df, p) = class_panel(x0, beta, observed, expected, alike)
            panels.append(panel)
            print(f"classes affinity:{beta}: observed {dict(sorted(observed.items()))}; expected "
                  + str({k: round(v, 1) for k, v in sorted(expected.items())})
                  + f"; chi-square {statistic:.2f}, df {df}, p {p:.3f}")
        note = ("Every join of one run on as3000: 8 sessions, avgSize 60, maxTrans 6000, joins and "
                "leaves at random, seed 11")
        with open(os.path.join(out_dir, "placement-classes.svg"), "w") as f:
            f.write(svg(830, 490, panels, note))


if __name__ == "__main__":
    main()
