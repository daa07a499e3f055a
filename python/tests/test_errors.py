"""Faulty traces, files that cannot be read or written, and runs that stop early."""

import os
import stat
import subprocess
import sys
import threading
import warnings

import pytest

import grouptrace
from conftest import KEYWORDS, case, make_params


def request_lines(lines):
    """1-based numbers of the request lines, in order."""
    return [i + 1 for i, line in enumerate(lines) if line.startswith("U : ")]


def corruptions():
    lines = case("009").text.decode().splitlines(keepends=True)
    requests = request_lines(lines)
    sources = {}
    for line in lines:
        if line.startswith("S : "):
            session, source = map(int, line[4:].split(" : "))
            sources[session] = source

    def changed(number, text):
        out = list(lines)
        out[number - 1] = text
        return out

    # A leave in the join-leave phase, made to name its session's source.
    leave = next(n for n in requests[len(requests) // 2:] if " : 2 : 0 : 0 : 0" in lines[n - 1])
    node, session = map(int, lines[leave - 1][4:].split(" : ")[:2])
    yield "source leaves", leave, changed(leave, f"U : {sources[session]} : {session} : 2 : 0 : 0 : 0\n")
    middle = requests[len(requests) // 3]
    yield "garbled number", middle, changed(middle, lines[middle - 1].replace(" : ", " : x", 1))
    yield "unknown type", requests[5], changed(requests[5], lines[requests[5] - 1].replace(" : 1 : ", " : 3 : ", 1))
    yield "truncated", len(lines) - 3, lines[:len(lines) - 4]
    summary = lines[-1].replace(" J: ", " J: 1")
    yield "summary count", len(lines), lines[:-1] + [summary]


CORRUPTIONS = list(corruptions())


@pytest.mark.parametrize("name, line, lines", CORRUPTIONS, ids=[c[0] for c in CORRUPTIONS])
def test_a_faulty_line_raises_trace_error_on_that_line(name, line, lines, tmp_path, inspect_program):
    path = tmp_path / "bad.trace"
    path.write_text("".join(lines))
    with pytest.raises(grouptrace.TraceError) as raised:
        grouptrace.read(path)
    error = raised.value
    assert error.line == line
    assert str(error) == f"line {line}: {error.reason}"
    assert isinstance(error, ValueError)
    # The same verdict as the checking tool's.
    result = subprocess.run([inspect_program, "check", str(path)], capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stderr == f"{path}:{line}: {error.reason}\n"

    # Chunks before the fault are handed out; the fault ends the iteration.
    chunks = grouptrace.iter_read(path, chunk_size=1)
    before = sum(1 for n in request_lines(lines) if n < line)
    for _ in range(before):
        next(chunks)
    with pytest.raises(grouptrace.TraceError) as again:
        next(chunks)
    assert (again.value.line, again.value.reason) == (line, error.reason)
    with pytest.raises(StopIteration):
        next(chunks)


def test_bytes_that_are_not_text_are_shown_escaped(tmp_path):
    path = tmp_path / "binary.trace"
    path.write_bytes(b"// Print Group requests GRP: \xff\xfe\n")
    with pytest.raises(grouptrace.TraceError) as raised:
        grouptrace.read(path)
    assert raised.value.line == 1 and "GRP: \\xff\\xfe" in raised.value.reason
    with pytest.raises(grouptrace.ParameterError, match=r"expected a number, found \"\\xff"):
        grouptrace.Parameters.from_stream(b"\xff\n")


def test_files_that_cannot_be_read(tmp_path):
    missing = tmp_path / "missing.trace"
    with pytest.raises(FileNotFoundError) as raised:
        grouptrace.read(missing)
    assert raised.value.filename == str(missing)
    with pytest.raises(FileNotFoundError):
        grouptrace.iter_read(missing)
    with pytest.raises(IsADirectoryError):
        grouptrace.read(tmp_path)
    with pytest.raises(grouptrace.TraceError, match="^line 1: "):
        grouptrace.read(os.devnull)
    with pytest.raises(ValueError, match="chunk_size"):
        grouptrace.iter_read(case("000").out, chunk_size=0)


def test_a_write_that_cannot_happen_names_the_path(tmp_path):
    params = make_params()
    target = tmp_path / "no" / "such" / "dir.trace"
    with pytest.raises(FileNotFoundError) as raised:
        grouptrace.write_trace(params, 1, target)
    assert raised.value.filename == str(target)
    with pytest.raises(FileNotFoundError):
        grouptrace.generate(params).write(target)
    with pytest.raises(ValueError, match="'trace', 'csv' or 'jsonl'"):
        grouptrace.write_trace(params, 1, tmp_path / "x", format="xml")
    assert os.listdir(tmp_path) == []


def leftovers(directory):
    return [name for name in os.listdir(directory) if ".tmp-" in name]


# Runs the code in an interpreter of its own, bounded in memory, file size and
# time: code that fails to stop would otherwise take the machine's memory or disk.
LIMITS = """
import resource, signal
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 20, 256 << 20))
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
import grouptrace

class Stop(Exception):
    pass

def stop(signum, frame):
    raise Stop()

signal.signal(signal.SIGALRM, stop)
# Two billion requests: only the signal can end this in time.
params = grouptrace.Parameters(nodes=1000, sessions=10, max_trans=2**31 - 1, curr_trans=0,
    avg_size=6, qos_levels=1, max_band=512, min_band=64, min_delay=5, max_delay=50,
    min_hops=1, max_hops=6, ordered=0)
signal.setitimer(signal.ITIMER_REAL, 0.2)
"""


def interrupted(statement):
    code = LIMITS + f"try:\n    {statement}\nexcept Stop:\n    print('stopped')\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return result.stdout + result.stderr


def test_an_interrupted_run_stops():
    assert interrupted("grouptrace.generate(params, 7)") == "stopped\n"


def test_an_interrupted_write_keeps_the_previous_file(tmp_path):
    path = tmp_path / "run.trace"
    path.write_text("the previous trace\n")
    os.chmod(path, 0o640)
    assert interrupted(f"grouptrace.write_trace(params, 7, {str(path)!r})") == "stopped\n"
    assert path.read_text() == "the previous trace\n"
    assert leftovers(tmp_path) == []

    # A complete write replaces it and keeps its permissions.
    small = make_params()
    grouptrace.write_trace(small, 7, path)
    assert path.read_text() == grouptrace.generate(small, 7).text()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert leftovers(tmp_path) == []


def test_links_and_pipes_are_written_through(tmp_path):
    params = make_params()
    expected = grouptrace.generate(params, 3).text()
    target = tmp_path / "target.trace"
    target.write_text("old\n")
    link = tmp_path / "link.trace"
    link.symlink_to(target.name)
    grouptrace.write_trace(params, 3, link)
    assert link.is_symlink() and target.read_text() == expected
    dangling = tmp_path / "dangling.trace"
    dangling.symlink_to("created.trace")
    grouptrace.write_trace(params, 3, dangling)
    assert dangling.is_symlink() and (tmp_path / "created.trace").read_text() == expected

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    grouptrace.generate(params, 3).write(fifo)
    reader.join(10)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert received == [expected.encode()]
    assert leftovers(tmp_path) == []


def test_a_stalled_run_warns_and_still_finishes_its_trace(program):
    params = make_params(nodes=1, sessions=2, max_trans=5)
    with pytest.warns(grouptrace.StalledRunWarning, match="cannot progress") as warned:
        trace = grouptrace.generate(params, 4)
    assert warned[0].filename == __file__  # the caller's line, not the module's
    stream = "".join(f"{getattr(params, k)}\n" for k in KEYWORDS)
    result = subprocess.run([program, "4"], input=stream.encode(), capture_output=True)
    assert result.returncode == 1
    assert trace.text().encode() == result.stdout
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(grouptrace.generate(make_params(), 4)) > 0
