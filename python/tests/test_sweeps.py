"""What a sweep over many runs needs: parameters that change, copy and pickle,
traces that know what made them and travel between processes, and runs in
threads that proceed at once."""

import copy
import multiprocessing
import os
import pickle
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

import grouptrace
from conftest import GOLDEN_CASES, make_params


def test_parameters_replace_round_trip_pickle_and_copy():
    p = make_params()
    q = p.replace(nodes=80, ordered=1)
    assert (q.nodes, q.ordered, p.nodes, p.ordered) == (80, 1, 40, 0)
    assert q.replace(nodes=40, ordered=0) == p
    assert list(p.to_dict()) == [k for k in p.to_dict()]  # stream order
    assert grouptrace.Parameters(**p.to_dict()) == p
    for clone in (pickle.loads(pickle.dumps(p)), copy.copy(p), copy.deepcopy(p)):
        assert clone == p and hash(clone) == hash(p)
    with pytest.raises(TypeError, match="bogus"):
        p.replace(bogus=1)
    with pytest.raises(grouptrace.ParameterError, match="nodes"):
        p.replace(nodes=0)
    with pytest.raises(TypeError):
        p.replace(3)


def test_a_trace_knows_its_run_and_pickles_exactly(tmp_path):
    case = GOLDEN_CASES[-1]
    trace = grouptrace.generate(case.params, case.seed)
    assert trace.parameters == case.params and trace.seed == case.seed
    clone = pickle.loads(pickle.dumps(trace))
    assert clone.text().encode() == case.text
    assert (clone.parameters, clone.seed) == (case.params, case.seed)
    assert (clone.sources == trace.sources).all() and (clone.requests == trace.requests).all()
    assert copy.copy(trace) is trace and copy.deepcopy(trace) is trace
    path = tmp_path / "run.trace"
    trace.write(path)
    read = grouptrace.read(path)
    assert read.parameters is None and read.seed is None
    assert pickle.loads(pickle.dumps(read)).text() == trace.text()


def test_a_state_of_another_shape_is_refused():
    trace = grouptrace.generate(make_params(), 1)
    state = list(trace.__getstate__())
    state[4] = state[4][:-1]  # a row cut short
    fresh = grouptrace.Trace.__new__(grouptrace.Trace)
    with pytest.raises(ValueError, match="partial row"):
        fresh.__setstate__(tuple(state))


def _requests(params):
    return len(grouptrace.generate(params, 3))


def test_a_process_pool_runs_a_sweep():
    sweep = [make_params(avg_size=size) for size in (2, 4, 6, 8)]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        counts = pool.map(_requests, sweep)
    assert counts == [len(grouptrace.generate(p, 3)) for p in sweep]


def test_threads_run_at_once_and_each_gets_the_programs_trace():
    jobs = [case for case in GOLDEN_CASES for _ in range(4)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        texts = list(pool.map(lambda c: grouptrace.generate(c.params, c.seed).text(), jobs))
    assert [t.encode() for t in texts] == [c.text for c in jobs]


def test_sources_cannot_be_made_writeable():
    trace = grouptrace.generate(make_params(), 2)
    with pytest.raises(ValueError):
        trace.sources.flags.writeable = True
    assert trace.sources.base is not None


def test_text_that_is_not_unicode_is_a_value_error():
    with pytest.raises(ValueError, match="not valid Unicode"):
        grouptrace.Parameters.from_stream("10\ud800\n")


def test_a_faulty_file_names_itself(tmp_path):
    path = tmp_path / "bad.trace"
    path.write_text("not a trace\n")
    with pytest.raises(grouptrace.TraceError) as raised:
        grouptrace.read(path)
    assert raised.value.filename == str(path)
    with pytest.raises(grouptrace.TraceError) as raised:
        list(grouptrace.iter_read(path))
    assert raised.value.filename == str(path)


def test_a_stalled_run_turned_error_leaves_the_file_as_it_was(tmp_path):
    path = tmp_path / "kept.trace"
    path.write_text("before\n")
    stalled = make_params(nodes=1, sessions=2, max_trans=5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(grouptrace.StalledRunWarning):
            grouptrace.write_trace(stalled, 4, path)
    assert path.read_text() == "before\n"
    assert sorted(os.listdir(tmp_path)) == ["kept.trace"]
    # Let through, the warning leaves the finished trace in place, as before.
    with pytest.warns(grouptrace.StalledRunWarning):
        grouptrace.write_trace(stalled, 4, path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert path.read_text() == grouptrace.generate(stalled, 4).text()


def test_a_read_trace_with_its_manifest_knows_its_run(tmp_path, program):
    import subprocess
    stream = "".join(f"{v}\n" for v in make_params().to_dict().values())
    (tmp_path / "p").write_text(stream)
    subprocess.run([program, "-s", "9", "-p", str(tmp_path / "p"), "-o", str(tmp_path / "t"),
                    "--manifest", str(tmp_path / "m.json")], check=True)
    read = grouptrace.read(tmp_path / "t", manifest=tmp_path / "m.json")
    assert (read.parameters, read.seed) == (make_params(), 9)
    assert read.text() == grouptrace.generate(make_params(), 9).text()
    other = tmp_path / "u"
    grouptrace.generate(make_params(), 10).write(other)
    with pytest.raises(ValueError, match="manifest"):
        grouptrace.read(other, manifest=tmp_path / "m.json")
