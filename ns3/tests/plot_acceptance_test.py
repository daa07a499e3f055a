"""The sweep's statistics: Student's t intervals, differences paired by
replication, and what the report concludes from them, through the script's
own main() over a stand-in for the study."""

import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

import numpy
import scipy.stats

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "plot_acceptance.py")
found = importlib.util.spec_from_file_location("plot_acceptance", SCRIPT)
plot = importlib.util.module_from_spec(found)
found.loader.exec_module(plot)

# Stands in for the study: its acceptance depends on the seed a lot and on
# the routing a little, so that only a pairing by seed sees the difference.
FAKE_STUDY = """#!/usr/bin/python3
import json, sys
args = dict(a[2:].split("=", 1) for a in sys.argv[1:] if "=" in a)
seed = int(args["seed"])
assert args["RngRun"] == args["seed"] and args["stream"] == "0"
ratio = 0.5 + 0.03 * (seed % 7) + {"delay": 0.0, "hops": 0.01, "spt": -0.004}[args["routing"]]
ratio += 0.002 * (seed % 2) if args["routing"] == "spt" else 0
with open(args["json"], "w") as out:
    json.dump({"acceptance_ratio": ratio}, out)
"""


class Statistics(unittest.TestCase):
    def test_interval_is_students_t(self):
        values = [0.71, 0.69, 0.74, 0.70, 0.66, 0.72]
        mean, low, high = plot.interval(values)
        expected = scipy.stats.t.interval(0.95, len(values) - 1, loc=numpy.mean(values),
                                          scale=scipy.stats.sem(values))
        self.assertAlmostEqual(mean, numpy.mean(values))
        self.assertAlmostEqual(low, expected[0])
        self.assertAlmostEqual(high, expected[1])

    def test_report_pairs_replications_and_says_what_the_intervals_show(self):
        with tempfile.TemporaryDirectory() as scratch:
            study = os.path.join(scratch, "study")
            with open(study, "w", encoding="utf-8") as out:
                out.write(FAKE_STUDY)
            os.chmod(study, 0o755)
            params = os.path.join(scratch, "p.params")
            with open(params, "w", encoding="utf-8") as out:
                out.write("\n".join(["40", "10", "600", "0", "10", "1", "500", "100", "20",
                                     "100", "3", "12", "0"]) + "\n")
            svg = os.path.join(scratch, "a.svg")
            report = os.path.join(scratch, "a.md")
            subprocess.run([sys.executable, SCRIPT, "--study", study, "--params", params,
                            "--sizes", "4", "--seeds", "6", "--routings", "delay,hops,spt",
                            "--jobs", "3", "-o", svg, "--report", report],
                           check=True, capture_output=True)
            with open(report, encoding="utf-8") as stream:
                text = stream.read()
            with open(svg, encoding="utf-8") as stream:
                picture = stream.read()
        # Unpaired, the routings' intervals overlap; paired, hops is 0.01
        # above the baseline in every replication, and spt's -0.004 or -0.002
        # straddle nothing either.
        self.assertIn("| 4 | +0.010 [+0.010, +0.010] admits more | -0.003 [-0.004, -0.002] "
                      "admits fewer |", text)
        self.assertIn("mean of 6 paired replications", picture)
        self.assertEqual(picture.count("<polyline"), 3)

    def test_verdict(self):
        self.assertEqual(plot.verdict(0.001, 0.02), "admits more")
        self.assertEqual(plot.verdict(-0.02, -0.001), "admits fewer")
        self.assertEqual(plot.verdict(-0.001, 0.001), "no significant difference")
        self.assertEqual(plot.verdict(0.0, 0.01), "no significant difference")


if __name__ == "__main__":
    unittest.main()
