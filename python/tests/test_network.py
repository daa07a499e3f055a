import subprocess

import pytest

import grouptrace

# A slow spoke 0-1 beside a fast detour 0-2-3-1, and a tail 3-4.
RING = "5 5\n0 0 0\n1 0 0\n2 0 0\n3 0 0\n4 0 0\n0 1 100\n0 2 1\n2 3 1\n3 1 1\n3 4 7\n"
STREAM = "5\n3\n60\n0\n3\n1\n500\n10\n1\n50\n1\n6\n0\n"
OPTIONS = {
    "delay_bound": "slack:1:2",
    "hop_bound": "slack:1:3",
    "band": "per-session",
    "placement": "affinity:-2",
}


@pytest.fixture
def ring(tmp_path):
    path = tmp_path / "ring.inet"
    path.write_text(RING)
    return path


@pytest.mark.parametrize("model", [None, "dynamic-1", "dynamic-2"])
def test_keywords_make_the_programs_trace(ring, tmp_path, program, model):
    params = grouptrace.Parameters.from_stream(STREAM)
    timed = {} if model is None else {"dynamics": grouptrace.Dynamics(duration=7200, model=model)}
    trace = grouptrace.generate(params, 9, topology=ring, **OPTIONS, **timed)
    fmt = "csv" if model else "trace"
    args = [program, "9", "--topology", str(ring), "--format", fmt]
    if model:
        args += ["--model", model, "--duration", "7200"]
    for keyword, value in OPTIONS.items():
        args += ["--" + keyword.replace("_", "-"), value]
    made = subprocess.run(args, input=STREAM.encode(), capture_output=True, check=True)
    assert trace.text(fmt).encode() == made.stdout
    assert trace.text(fmt) != grouptrace.generate(params, 9, topology=ring, **timed).text(fmt)
    grouptrace.write_trace(params, 9, tmp_path / "t.csv", "csv", topology=str(ring), **OPTIONS,
                           **timed)
    assert (tmp_path / "t.csv").read_text() == trace.text("csv")


def test_refusals(ring):
    params = grouptrace.Parameters.from_stream(STREAM)
    with pytest.raises(TypeError, match="unexpected keyword argument 'placment'"):
        grouptrace.generate(params, placment="uniform")
    with pytest.raises(TypeError, match="takes a str"):
        grouptrace.generate(params, topology=ring, delay_bound=1.5)
    with pytest.raises(ValueError, match="give the network with --topology"):
        grouptrace.generate(params, hop_bound="slack:1:1")
    with pytest.raises(ValueError, match="0 <= LO <= HI"):
        grouptrace.generate(params, topology=ring, delay_bound="slack:2:1")
    ring.write_text(RING.replace("3 4 7", "3 4 -7"))
    with pytest.raises(grouptrace.TopologyError) as caught:
        grouptrace.generate(params, topology=ring)
    assert (caught.value.filename, caught.value.line) == (str(ring), 11)
    assert "negative" in caught.value.reason
    small = grouptrace.Parameters.from_stream("4" + STREAM[1:])
    ring.write_text(RING)
    with pytest.raises(grouptrace.TopologyError, match="5 nodes, but nNodes is 4"):
        grouptrace.generate(small, topology=ring)
