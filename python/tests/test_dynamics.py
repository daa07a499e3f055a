"""The timed model from Python: the same bytes as the program, times in the
arrays, and the options refused as the program refuses them."""

import os
import pathlib
import pickle
import shlex
import signal
import threading

import pytest

import grouptrace
from conftest import GOLDEN, make_params

STORED = sorted((GOLDEN / "dynamic").glob("*.out"))


def stored_run(out):
    """The parameters, seed, Dynamics and format a stored timed trace was made with."""
    args = shlex.split(out.with_suffix(".args").read_text())
    options = dict(zip(args[::2], args[1::2]))
    keywords = {k.lstrip("-").replace("-", "_"): v for k, v in options.items()
                if k not in ("--model", "--format", "-s")}
    keywords["model"] = {"dynamic": grouptrace.MODEL_VERSION}.get(options["--model"],
                                                                 options["--model"])
    return (grouptrace.Parameters.from_stream(out.with_suffix(".params").read_bytes()),
            int(options["-s"]), grouptrace.Dynamics(**keywords), options.get("--format", "csv"))


@pytest.mark.parametrize("out", STORED, ids=lambda p: p.stem)
def test_generate_and_write_give_the_stored_timed_traces(out, tmp_path):
    params, seed, dynamics, fmt = stored_run(out)
    trace = grouptrace.generate(params, seed, dynamics=dynamics)
    assert trace.text(fmt).encode() == out.read_bytes()
    assert (trace.model, trace.dynamics, trace.seed) == (dynamics.model, dynamics, seed)
    written = tmp_path / "run"
    grouptrace.write_trace(params, seed, written, format=fmt, dynamics=dynamics)
    assert written.read_bytes() == out.read_bytes()
    clone = pickle.loads(pickle.dumps(trace))
    assert clone.text(fmt) == trace.text(fmt) and clone.dynamics == dynamics
    # Read back from its stored form, the same requests and times.
    read = grouptrace.read(out)
    # CSV does not record the version.
    assert read.model == (dynamics.model if fmt == "jsonl" else "dynamic")
    assert pickle.loads(pickle.dumps(read)).text(fmt) == read.text(fmt)
    # A state pickled before a trace kept what its form recorded reads the same.
    old = grouptrace.Trace.__new__(grouptrace.Trace)
    old.__setstate__(read.__getstate__()[:15])
    assert old.text(fmt) == read.text(fmt)
    assert (read.requests["time"] == trace.requests["time"]).all()
    assert (read.requests["node"] == trace.requests["node"]).all()


def test_timed_arrays_frames_and_defaults():
    dynamics = grouptrace.Dynamics(duration=600, holding="lognormal:4:1", popularity="zipf:1")
    trace = grouptrace.generate(make_params(ordered=0), 3, dynamics=dynamics)
    assert trace.requests.dtype == grouptrace.TIMED_REQUEST_DTYPE
    times = trace.requests["time"]
    assert (times[1:] >= times[:-1]).all() and times.min() >= 0 and times.max() <= 600
    assert trace.duration == 600.0
    frame = trace.to_pandas()
    assert list(frame.columns)[0] == "time" and (frame["time"].to_numpy() == times).all()
    assert trace.text().startswith("time,phase,kind,node,session,band,delay,hops\n")
    with pytest.raises(ValueError, match="no place for the times"):
        trace.text("trace")
    classic = grouptrace.generate(make_params(), 3)
    assert classic.model == "classic" and classic.duration is None and classic.dynamics is None
    assert classic.requests.dtype == grouptrace.REQUEST_DTYPE


@pytest.mark.parametrize("keywords, message", [
    (dict(holding="exp:5"), "duration"),
    (dict(duration=-1), "duration"),
    (dict(duration=60, holding="pareto:10:1"), "SHAPE"),
    (dict(duration=60, diurnal=1), "below 1"),
    (dict(duration=60, popularity="powerlaw:1"), "popularity"),
    (dict(duration=60, holding="weibull:1:2"), "holding"),
])
def test_bad_options_are_refused_naming_them(keywords, message):
    with pytest.raises((ValueError, TypeError), match=message):
        grouptrace.Dynamics(**keywords)


def test_parameters_the_timed_model_cannot_take_are_refused():
    with pytest.raises(ValueError, match="orderedJoinLeave"):
        grouptrace.generate(make_params(ordered=1), 1, dynamics=grouptrace.Dynamics(duration=60))


@pytest.mark.parametrize("write", [False, True])
def test_ctrl_c_stops_a_start_that_writes_nothing_for_days(write, tmp_path):
    # dynamic-1 counts the 10^14 members of this start one by one; nothing is
    # written meanwhile, so only the run's own polls can let the signal in.
    dynamics = grouptrace.Dynamics(duration=0, join_rate=1e10, holding="exp:10000",
                                   model="dynamic-1")
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            if write:
                grouptrace.write_trace(make_params(ordered=0), 1, tmp_path / "t.csv",
                                       dynamics=dynamics)
            else:
                grouptrace.generate(make_params(ordered=0), 1, dynamics=dynamics)
    finally:
        timer.cancel()
    assert list(tmp_path.iterdir()) == []


def test_model_versions_are_chosen_as_on_the_command_line():
    newest = grouptrace.Dynamics(duration=60)
    assert newest.model == grouptrace.MODEL_VERSION == "dynamic-2"
    first = grouptrace.Dynamics(duration=60, model="dynamic-1")
    assert first != newest and first.to_dict()["model"] == "dynamic-1"
    assert pickle.loads(pickle.dumps(first)) == first
    params = make_params(ordered=0)
    assert grouptrace.generate(params, 4, dynamics=first).model == "dynamic-1"
    assert (grouptrace.generate(params, 4, dynamics=first).text()
            != grouptrace.generate(params, 4, dynamics=newest).text())
    with pytest.raises(ValueError, match="dynamic-1"):
        grouptrace.Dynamics(duration=60, model="dynamic-9")
