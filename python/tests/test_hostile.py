"""The module under hostile input: each case raises the exception its kind
calls for, with a message that says why; nothing aborts the interpreter."""

import os
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest

import grouptrace
from conftest import make_params

DEEP = "[" * 100_000 + "]" * 100_000
JSON_PARAMETERS = ('{"nNodes": %s, "nSessions": 3, "maxTrans": 400, "currTrans": 0, "avgSize": 6, '
                   '"nQoSLevels": 1, "maxBand": 512, "minBand": 64, "minDelay": 5, "maxDelay": 50, '
                   '"minHops": 1, "maxHops": 6, "orderedJoinLeave": 0}')


@pytest.fixture
def runs(tmp_path, program):
    """A classic and a timed run of the program, each with its manifest."""
    stream = "".join(f"{v}\n" for v in make_params().to_dict().values())
    (tmp_path / "p").write_text(stream)
    for args in (["-s", "9", "-o", "t", "--manifest", "m.json"],
                 ["--model", "dynamic", "--duration", "500", "-o", "tt", "--manifest", "tm.json"]):
        subprocess.run([program, "-p", "p", *args], cwd=tmp_path, check=True)
    return tmp_path


def sha_of(manifest):
    text = manifest.read_text()
    at = text.index('"sha256": "') + len('"sha256": "')
    return text[at:at + 64]


# What read(trace, manifest=) holds against the trace: what verify holds.
MANIFEST_FAULTS = [
    ("a timed manifest without its duration", "tt", "tm.json", '"duration": "500",', "",
     'has no "duration"'),
    ("a hash that is no hash", "t", "m.json", '"sha256": "', '"sha256": "zz', "64 lowercase"),
    ("another trace's hash", "t", "m.json", None, None, "sha256 "),
    ("another size", "t", "m.json", '"bytes": ', '"bytes": 1', "bytes where it records"),
    ("another form", "t", "m.json", '"format": "trace"', '"format": "csv"', "where it records a csv"),
    ("a number too large", "t", "m.json", '"bytes": ', '"bytes": 1e400, "x": ', "too large to hold"),
    ("a key given twice", "t", "m.json", '"bytes": ', '"bytes": 1, "bytes": ', "given twice"),
    ("nesting past any record", "t", "m.json", '"bytes": ', f'"x": {DEEP}, "bytes": ',
     "nested over 32 deep"),
    ("a manifest of over 1 MiB", "t", "m.json", '"bytes": ', '"x": "' + "x" * (1 << 20) + '", "bytes": ',
     "over 1 MiB"),
]


@pytest.mark.parametrize("what,trace,manifest,old,new,message", MANIFEST_FAULTS,
                         ids=[f[0] for f in MANIFEST_FAULTS])
def test_a_manifest_that_does_not_describe_the_trace_is_refused(runs, what, trace, manifest, old,
                                                               new, message):
    text = (runs / manifest).read_text()
    if old is None:  # the hash of another trace, one digit off
        sha = sha_of(runs / manifest)
        old, new = sha, ("0" if sha[0] != "0" else "1") + sha[1:]
    assert old in text
    (runs / "edited.json").write_text(text.replace(old, new, 1))
    with pytest.raises(ValueError, match=message):
        grouptrace.read(runs / trace, manifest=runs / "edited.json")


def test_a_trace_changed_in_place_does_not_match_its_manifest(runs):
    text = bytearray((runs / "t").read_bytes())
    at = text.rindex(b" : 1 : ") + 7  # the last join's band, a digit
    text[at] = ord("2") if text[at] == ord("1") else ord("1")
    (runs / "t").write_bytes(bytes(text))
    with pytest.raises(ValueError, match="sha256"):
        grouptrace.read(runs / "t", manifest=runs / "m.json")


def crafted(state, at, fmt, value):
    rows = bytearray(state[4])
    struct.pack_into(fmt, rows, at, value)
    return state[:4] + (bytes(rows),) + state[5:]


def setstate(state):
    trace = grouptrace.Trace.__new__(grouptrace.Trace)
    trace.__setstate__(state)
    return trace


def test_pickles_of_every_protocol_and_crafted_states():
    params = make_params()
    classic = grouptrace.generate(params, 3)
    timed = grouptrace.generate(params, 3, grouptrace.Dynamics(duration=500))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(params, protocol)) == params
        assert pickle.loads(pickle.dumps(timed.dynamics, protocol)) == timed.dynamics
        for trace in (classic, timed):
            assert pickle.loads(pickle.dumps(trace, protocol)).text() == trace.text()

    # A state is bytes anyone can write: it is taken only as a sound trace.
    state = classic.__getstate__()
    # A generated trace records all its values; states pickled before the
    # model version (14 items) and before the record (15) still load.
    assert state[15] == (True, False, True, True)
    assert timed.__getstate__()[15] == (True, True, True, True)
    for old in (state[:14], state[:15]):
        assert setstate(old).text() == classic.text()
    session, kind = 20, 29  # offsets in a row of REQUEST_DTYPE
    faults = [
        (crafted(state, session, "<i", 99), "session 99 is not in the session table"),
        (crafted(state, kind, "<B", 7), "kind 7"),
        (state[:6] + (state[6] + 1,) + state[7:], "the summary counts J"),
        (("x",) * 14, "not the state of a grouptrace.Trace"),
        (state[:13], "not the state of a grouptrace.Trace"),
        (state[:15] + ((True, False),), "not the state of a grouptrace.Trace"),
    ]
    for bad, message in faults:
        with pytest.raises(ValueError, match=message):
            setstate(bad)


# Each refusal of a value of the wrong type or range, in the module's own terms.
REFUSALS = [
    (lambda t, p: t.text(format=5), TypeError, "format must be a str"),
    (lambda t, p: grouptrace.generate(p, 1, dynamics=5), TypeError, "dynamics must be a"),
    (lambda t, p: grouptrace.Dynamics(duration=[1]), TypeError, "takes a number or a text"),
    (lambda t, p: grouptrace.Dynamics(duration=1, join_rate=-1), ValueError,
     "^join_rate must not be negative"),
    (lambda t, p: grouptrace.Dynamics(duration=-1), ValueError, "^duration must not be negative"),
    (lambda t, p: grouptrace.Dynamics(duration=1, holding="exp:0"), ValueError,
     r"^holding \(exp:MEAN"),
    (lambda t, p: grouptrace.Dynamics(duration=1, hold="exp:60"), TypeError,
     "unexpected keyword argument 'hold'"),
    (lambda t, p: grouptrace.Parameters.from_stream(5), TypeError, "takes str or bytes, got int"),
    (lambda t, p: grouptrace.Parameters.from_stream(JSON_PARAMETERS % "1e400"), ValueError,
     "the number 1e400 is too large to hold"),
    (lambda t, p: grouptrace.Parameters.from_stream(JSON_PARAMETERS % DEEP), ValueError,
     "nested over 32 deep"),
    (lambda t, p: grouptrace.Parameters.from_stream(JSON_PARAMETERS % "0"),
     grouptrace.ParameterError, "nNodes"),
    (lambda t, p: grouptrace.generate(p, 1, topology="/dev/zero"), grouptrace.TopologyError,
     "over 256 MiB"),
]


@pytest.mark.parametrize("call,error,message", REFUSALS, ids=range(len(REFUSALS)))
def test_values_of_the_wrong_type_or_range_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call(grouptrace.generate(make_params(), 1), make_params())


def test_hostile_looking_inputs_read_soundly(tmp_path):
    # NumPy's numbers are numbers; a JSON file may open with a mark and blanks.
    assert grouptrace.Dynamics(duration=np.int64(500)) == grouptrace.Dynamics(duration=500)
    assert grouptrace.Dynamics(duration=np.float32(0.5)) == grouptrace.Dynamics(duration=0.5)
    json = "\ufeff \n\t" + JSON_PARAMETERS % "40"
    assert grouptrace.Parameters.from_stream(json) == make_params()
    assert grouptrace.Parameters.from_stream(json.encode()) == make_params()

    # A named pipe is opened once: its form is told from the bytes read.
    trace = grouptrace.generate(make_params(), 4)
    for form in ("trace", "jsonl"):
        fifo = tmp_path / f"fifo-{form}"
        os.mkfifo(fifo)
        feeder = subprocess.Popen([sys.executable, "-c",
                                   "import sys; open(sys.argv[1], 'w').write(sys.stdin.read())",
                                   str(fifo)], stdin=subprocess.PIPE, text=True)
        feeder.stdin.write(trace.text(form))
        feeder.stdin.close()
        assert grouptrace.read(fifo).text(form) == trace.text(form)
        assert feeder.wait(timeout=60) == 0

    # A line nested past any record is refused on its line.
    lines = trace.text("jsonl").splitlines()
    lines[-2] = '{"phase":"end-of-session","kind":"leave","node":' + DEEP + "}"
    (tmp_path / "deep.jsonl").write_text("\n".join(lines) + "\n")
    with pytest.raises(grouptrace.TraceError, match="nested over 32 deep") as caught:
        grouptrace.read(tmp_path / "deep.jsonl")
    assert caught.value.line == len(lines) - 1
