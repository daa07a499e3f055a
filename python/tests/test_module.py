"""How the module behaves as a Python citizen: arrays, pandas, threads."""

import subprocess
import sys
import threading
import time

import pytest

import grouptrace
from conftest import case, make_params


def test_requests_are_read_only_and_outlive_their_trace():
    trace = grouptrace.generate(case("009").params, case("009").seed)
    requests, text = trace.requests, trace.text()
    with pytest.raises(ValueError):
        requests["node"][0] = 5
    with pytest.raises(ValueError):
        trace.sources[0] = 5
    del trace
    assert requests.base is not None and requests["session"].max() == 2
    assert grouptrace.read(case("009").out).text() == text


def test_to_pandas_gives_one_column_per_field_with_the_csv_words():
    trace = grouptrace.generate(make_params(), 5)
    frame = trace.to_pandas()
    assert list(frame.columns) == list(grouptrace.REQUEST_DTYPE.names)
    for name in ("node", "session", "band", "delay", "hops"):
        assert frame[name].dtype == trace.requests.dtype[name]
        assert (frame[name].to_numpy() == trace.requests[name]).all()
    # Phase and kind read as the CSV form writes them.
    assert list(frame["phase"].cat.categories) == ["beef-up", "join-leave", "end-of-session"]
    assert list(frame["kind"].cat.categories) == ["join", "leave"]
    csv = trace.text("csv").splitlines()[1 + len(trace.sources):]
    assert [line.split(",")[:2] for line in csv] == \
        [[str(p), str(k)] for p, k in zip(frame["phase"], frame["kind"])]

    # Group sizes over the run, as the Python page of docs/ shows them.
    frame["size"] = 1 + frame["kind"].map({"join": 1, "leave": -1}).astype(int) \
        .groupby(frame["session"]).cumsum()
    final = frame.groupby("session")["size"].last()
    members = {s: {int(trace.sources[s])} for s in range(len(trace.sources))}
    for row in trace.requests:
        (members[row["session"]].add if row["kind"] == 1 else members[row["session"]].remove)(row["node"])
    assert final.to_dict() == {s: len(m) for s, m in members.items()}
    assert (frame.groupby("session")["size"].min() >= 1).all()


def test_pandas_is_imported_only_for_to_pandas():
    code = ("import sys, grouptrace\n"
            "p = grouptrace.Parameters(nodes=5, sessions=1, max_trans=9, curr_trans=0, avg_size=2,"
            " qos_levels=1, max_band=9, min_band=1, min_delay=1, max_delay=9, min_hops=1,"
            " max_hops=9, ordered=0)\n"
            "t = grouptrace.generate(p)\n"
            "assert 'pandas' not in sys.modules\n"
            "t.to_pandas()\n"
            "assert 'pandas' in sys.modules\n")
    subprocess.run([sys.executable, "-c", code], check=True)


def longest_pause(work):
    """How long this thread went without the GIL while another ran work, and how long work took."""
    took = []

    def run():
        start = time.perf_counter()
        work()
        took.append(time.perf_counter() - start)

    worker = threading.Thread(target=run)
    longest = 0.0
    last = time.perf_counter()
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    return longest, took[0]


def test_runs_reads_and_writes_leave_the_interpreter_free(tmp_path):
    # Big enough to take a good part of a second.
    params = make_params(nodes=1000, sessions=50, max_trans=1_500_000)
    path = tmp_path / "big.trace"
    grouptrace.write_trace(params, 1, path)
    trace = grouptrace.read(path)
    for work in (lambda: grouptrace.generate(params, 1), lambda: grouptrace.read(path),
                 lambda: trace.write(tmp_path / "copy.trace"),
                 lambda: grouptrace.write_trace(params, 1, tmp_path / "other.trace"),
                 lambda: sum(len(c) for c in grouptrace.iter_read(path, chunk_size=10**7))):
        pause, took = longest_pause(work)
        # Holding the GIL would stop this thread for the whole call.
        assert took > 0.05 and pause < took / 2, (pause, took)


def test_threads_generate_the_same_traces():
    params = make_params(max_trans=20_000)
    expected = {seed: grouptrace.generate(params, seed).text() for seed in range(4)}
    results = {}
    threads = [threading.Thread(target=lambda s=s: results.__setitem__(s, grouptrace.generate(params, s).text()))
               for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def test_the_stubs_describe_the_module():
    import ast
    import pathlib
    import re

    stubs = ast.parse((pathlib.Path(grouptrace.__file__).parent / "__init__.pyi").read_text())
    names = {}
    for node in stubs.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
    public = {n for n in names if not n.startswith("_")}
    assert public == set(grouptrace.__all__)
    for name, node in names.items():
        if name.startswith("_") and name != "__version__":
            continue
        runtime = getattr(grouptrace, name)
        if isinstance(node, ast.ClassDef):
            members = {m.name for m in node.body if isinstance(m, ast.FunctionDef)}
            assert members <= set(dir(runtime)), (name, members - set(dir(runtime)))
        elif isinstance(node, ast.FunctionDef):
            signature = runtime.__doc__.splitlines()[0]
            assert re.findall(r"[(,] ?(\w+):", signature) == [a.arg for a in node.args.args], signature
