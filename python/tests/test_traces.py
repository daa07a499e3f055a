"""Traces made and read through the module against the program's stored output."""

import io
import json
import subprocess
import numpy as np
import pandas
import pytest

import grouptrace
from conftest import KEYWORDS, case, make_params

PHASES = {"beef-up": 0, "join-leave": 1, "end-of-session": 2}
KINDS = {"join": 1, "leave": 2}


def as_written(values):
    """Band and delay as the trace text holds them: six significant digits."""
    return np.array([float(f"{v:.6g}") for v in values])


def test_generate_writes_the_programs_trace(golden, tmp_path):
    trace = grouptrace.generate(golden.params, seed=golden.seed)
    assert trace.text().encode() == golden.text
    trace.write(tmp_path / "trace")
    assert (tmp_path / "trace").read_bytes() == golden.text
    grouptrace.write_trace(golden.params, golden.seed, str(tmp_path / "streamed"))
    assert (tmp_path / "streamed").read_bytes() == golden.text


def test_read_gives_the_generated_trace(golden):
    made = grouptrace.generate(golden.params, seed=golden.seed)
    read = grouptrace.read(golden.out)
    assert (read.trans, read.joins, read.leaves) == (made.trans, made.joins, made.leaves)
    assert (read.avg_size, read.ordered) == (made.avg_size, made.ordered)
    assert read.sources.tolist() == made.sources.tolist()
    assert len(read) == len(made) == made.joins + made.leaves
    for field in ("phase", "kind", "node", "session", "hops"):
        assert read.requests[field].tolist() == made.requests[field].tolist(), field
    for field in ("band", "delay"):
        assert read.requests[field].tolist() == as_written(made.requests[field]).tolist(), field
    # Values of a million and more are rounded in the text, and still written back as they were.
    assert read.text().encode() == golden.text


def test_trace_columns_follow_the_summary(golden):
    trace = grouptrace.generate(golden.params, seed=golden.seed)
    r = trace.requests
    assert r.dtype == grouptrace.REQUEST_DTYPE and r.dtype.itemsize == 32
    joins, leaves = r[r["kind"] == 1], r[r["kind"] == 2]
    assert (len(joins), len(leaves)) == (trace.joins, trace.leaves)
    assert len(joins) + len(leaves) == len(r)
    assert (leaves["band"] == 0).all() and (leaves["delay"] == 0).all() and (leaves["hops"] == 0).all()
    assert (np.diff(r["phase"].astype(int)) >= 0).all()
    assert trace.trans == golden.params.curr_trans + len(r)
    assert len(trace.sources) == golden.params.sessions
    summary = golden.text.decode().splitlines()[-1].split()
    assert [int(summary[i]) for i in (2, 4, 6)] == [trace.trans, trace.joins, trace.leaves]


@pytest.mark.parametrize("chunk_size", [1, 7, 1_000_000])
def test_iter_read_yields_the_requests_in_bounded_chunks(chunk_size):
    path = case("009").out
    whole = grouptrace.read(path).requests
    chunks = list(grouptrace.iter_read(path, chunk_size=chunk_size))
    assert all(len(c) == chunk_size for c in chunks[:-1])
    assert 0 < len(chunks[-1]) <= chunk_size
    assert all(c.dtype == grouptrace.REQUEST_DTYPE for c in chunks)
    # NumPy copies fields, not the spare bytes, into an array of this dtype.
    joined = np.concatenate(chunks, dtype=grouptrace.REQUEST_DTYPE)
    assert joined.dtype == whole.dtype and np.array_equal(joined, whole)
    # Each chunk owns its rows: changing one leaves the next read alone.
    chunks[0]["node"] = -1
    assert np.array_equal(grouptrace.read(path).requests, whole)


def test_iter_read_of_a_trace_with_exactly_one_chunk_ends_without_an_empty_one():
    trace = grouptrace.read(case("000").out)
    chunks = list(grouptrace.iter_read(case("000").out, chunk_size=len(trace)))
    assert [len(c) for c in chunks] == [len(trace)]


def csv_requests(text):
    frame = pandas.read_csv(io.StringIO(text))
    sources = frame[frame["phase"] == "sessions"]
    requests = frame[frame["phase"] != "sessions"]
    return sources, requests


@pytest.mark.parametrize("name", ["004", "007", "011"])
def test_csv_holds_the_requests_exactly(name, tmp_path):
    golden = case(name)
    trace = grouptrace.generate(golden.params, seed=golden.seed)
    path = tmp_path / "run.csv"
    grouptrace.write_trace(golden.params, golden.seed, path, format="csv")
    text = path.read_text()
    assert trace.text("csv") == text
    sources, requests = csv_requests(text)
    assert (sources["kind"] == "source").all()
    assert sources["node"].tolist() == trace.sources.tolist()
    assert sources["session"].tolist() == list(range(len(trace.sources)))
    r = trace.requests
    assert requests["phase"].map(PHASES).tolist() == r["phase"].tolist()
    assert requests["kind"].map(KINDS).tolist() == r["kind"].tolist()
    for field in ("node", "session"):
        assert requests[field].tolist() == r[field].tolist()
    # A leave's requirements are empty in CSV; a join's are exact, a million and more included.
    for field in ("band", "delay", "hops"):
        assert requests[field].fillna(0).tolist() == r[field].tolist(), field
    assert requests.loc[requests["kind"] == "leave", ["band", "delay", "hops"]].isna().all().all()


@pytest.mark.parametrize("name", ["000", "008", "011"])
def test_json_lines_match_the_reader(name, tmp_path):
    golden = case(name)
    read = grouptrace.read(golden.out)
    path = tmp_path / "run.jsonl"
    grouptrace.write_trace(golden.params, golden.seed, path, format="jsonl")
    objects = [json.loads(line) for line in path.read_text().splitlines()]
    header, summary = objects[0], objects[-1]
    assert header == {"kind": "header", "avgSize": read.avg_size, "orderedJoinLeave": read.ordered}
    assert summary == {"kind": "summary", "trans": read.trans, "joins": read.joins, "leaves": read.leaves}
    sources = [o for o in objects if o.get("kind") == "source"]
    assert [(o["session"], o["node"]) for o in sources] == list(enumerate(read.sources.tolist()))
    requests = [o for o in objects if o.get("kind") in KINDS]
    assert len(objects) == 2 + len(sources) + len(requests)
    assert len(requests) == len(read)
    for o, row in zip(requests, read.requests):
        assert (PHASES[o["phase"]], KINDS[o["kind"]], o["node"], o["session"]) == (
            row["phase"], row["kind"], row["node"], row["session"])
        if o["kind"] == "join":
            assert as_written([o["band"], o["delay"]]).tolist() == [row["band"], row["delay"]]
            assert o["hops"] == row["hops"]
        else:
            assert set(o) == {"phase", "kind", "node", "session"}


def test_a_read_trace_converts_as_the_generated_one_does():
    golden = case("009")
    made = grouptrace.generate(golden.params, golden.seed)
    read = grouptrace.read(golden.out)
    for form in ("csv", "jsonl"):
        assert read.text(form) == made.text(form)


def test_a_run_without_requests(program, tmp_path):
    params = make_params(avg_size=0, max_trans=0)
    trace = grouptrace.generate(params, 9)
    assert len(trace) == 0 and trace.requests.dtype == grouptrace.REQUEST_DTYPE
    assert (trace.trans, trace.joins, trace.leaves) == (0, 0, 0)
    stream = "".join(f"{getattr(params, k)}\n" for k in KEYWORDS).encode()
    expected = subprocess.run([program, "9"], input=stream, capture_output=True, check=True).stdout
    assert trace.text().encode() == expected
    path = tmp_path / "empty.trace"
    trace.write(path)
    assert len(grouptrace.read(path)) == 0 and list(grouptrace.iter_read(path)) == []
    assert len(trace.to_pandas()) == 0


def grown_pipe_capacity():
    """What this process may grow a pipe to; 0 where the system refuses."""
    import fcntl
    import os

    read_end, write_end = os.pipe()
    try:
        return fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 1 << 20)
    except OSError:
        return 0
    finally:
        os.close(read_end)
        os.close(write_end)


def test_write_trace_grows_a_named_pipe_as_the_program_does(golden, tmp_path):
    import fcntl
    import os
    import threading

    capacity = grown_pipe_capacity()
    if capacity == 0:
        pytest.skip("this system refuses larger pipes")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = {}

    def drain():
        fd = os.open(fifo, os.O_RDONLY)
        chunks = []
        while chunk := os.read(fd, 65536):
            chunks.append(chunk)
        received["capacity"] = fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
        received["bytes"] = b"".join(chunks)
        os.close(fd)

    reader = threading.Thread(target=drain)
    reader.start()
    grouptrace.write_trace(golden.params, golden.seed, str(fifo))
    reader.join()
    assert received["bytes"] == golden.text
    assert received["capacity"] == capacity
