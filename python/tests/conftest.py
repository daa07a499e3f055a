import os
import pathlib
import re

import pytest

import grouptrace

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = pathlib.Path(os.environ.get("GROUPTRACE_GOLDEN_DIR", HERE.parents[1] / "tests" / "golden"))

KEYWORDS = ["nodes", "sessions", "max_trans", "curr_trans", "avg_size", "qos_levels", "max_band",
            "min_band", "min_delay", "max_delay", "min_hops", "max_hops", "ordered"]


def atoi(text):
    """The seed argument as the program reads it: C's atoi."""
    match = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", text)
    return int(match.group(1)) if match else 0


class GoldenCase:
    def __init__(self, out):
        self.name = out.stem
        self.out = out
        self.stream = out.with_suffix(".params").read_bytes()
        args = out.with_suffix(".args")
        self.seed = atoi(args.read_text()) if args.exists() else 0
        self.params = grouptrace.Parameters.from_stream(self.stream)
        self.text = out.read_bytes()

    def __repr__(self):
        return self.name


GOLDEN_CASES = [GoldenCase(out) for out in sorted(GOLDEN.glob("*.out"))]
assert GOLDEN_CASES, f"no stored traces in {GOLDEN}"


def make_params(**overrides):
    """A small random-order scenario, changed where the test says."""
    values = dict(nodes=40, sessions=3, max_trans=400, curr_trans=0, avg_size=6, qos_levels=1,
                  max_band=512, min_band=64, min_delay=5, max_delay=50, min_hops=1, max_hops=6,
                  ordered=0)
    values.update(overrides)
    return grouptrace.Parameters(**values)


@pytest.fixture(params=GOLDEN_CASES, ids=lambda case: case.name)
def golden(request):
    return request.param


def tool(variable, name):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} names the built {name}; CTest sets it")
    return path


@pytest.fixture
def program():
    return tool("GROUPTRACE_BINARY", "grouptrace")


@pytest.fixture
def inspect_program():
    return tool("GROUPTRACE_INSPECT", "grouptrace-inspect")


def case(name):
    """The stored trace of that name."""
    return next(c for c in GOLDEN_CASES if c.name == name)
