"""How the module behaves as a Python citizen: arrays, pandas, threads."""

import subprocess
import sys
import threading

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


# Run in a child, each call in a thread while this one feeds or drains the
# named pipe it works on, through Python code that needs the GIL: a call that
# held it while it waits on the pipe would wait forever.
GIL_CHECK = r"""
import os, sys, threading, grouptrace
fifo, call = sys.argv[1], sys.argv[2]
p = grouptrace.Parameters(nodes=1000, sessions=20, max_trans=100_000, curr_trans=0, avg_size=10,
                          qos_levels=1, max_band=512, min_band=64, min_delay=5, max_delay=50,
                          min_hops=1, max_hops=6, ordered=0)
trace = grouptrace.generate(p, 1)
text = trace.text().encode()
assert len(text) > 4 << 20, "more than any pipe holds"
os.mkfifo(fifo)
calls = {
    "read": lambda: grouptrace.read(fifo).text().encode(),
    "iter_read": lambda: sum(len(c) for c in grouptrace.iter_read(fifo, chunk_size=1000)),
    "write_trace": lambda: grouptrace.write_trace(p, 1, fifo),
    "Trace.write": lambda: trace.write(fifo),
}
result = []
worker = threading.Thread(target=lambda: result.append(calls[call]()))
worker.start()
if call in ("read", "iter_read"):
    with open(fifo, "wb") as f:
        f.write(text)
else:
    with open(fifo, "rb") as f:
        assert f.read() == text
worker.join()
assert result[0] in (text, len(trace.requests), None), result[0]
"""


@pytest.mark.parametrize("call", ["read", "iter_read", "write_trace", "Trace.write"])
def test_reads_and_writes_let_other_threads_run_while_they_wait(tmp_path, call):
    # The time limit only ends a child that hangs; nothing is timed.
    subprocess.run([sys.executable, "-c", GIL_CHECK, str(tmp_path / "fifo"), call], check=True,
                   timeout=60)


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
