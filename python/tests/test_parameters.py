"""Parameters take the program's rules: truncation to 32 bits, the same refusals and messages."""

import math
import subprocess

import pytest

import grouptrace
from conftest import KEYWORDS, case, make_params


def test_keywords_hold_the_stream_in_order():
    stream = case("011").stream.decode()
    params = grouptrace.Parameters.from_stream(stream)
    assert [getattr(params, k) for k in KEYWORDS] == [
        40, 2, 1500, 0, 2, 4, -794512863, 1777594720, 1184851108, -940364241, -2, -4, 5]
    assert grouptrace.Parameters(**{k: getattr(params, k) for k in KEYWORDS}) == params
    assert eval(repr(params), {"Parameters": grouptrace.Parameters}) == params
    assert grouptrace.Parameters.from_stream(stream.encode()) == params
    assert params != make_params() and params != 5 and len({params, make_params(), params}) == 2


@pytest.mark.parametrize("value, expected", [
    (2.9, 2), (-2.9, -2), (-0.5, 0), (True, 1), (False, 0), (2147483647, 2147483647),
    (-2147483648.9, -2147483648), (2147483647.9, 2147483647), (7.0, 7),
])
def test_values_are_truncated_toward_zero(value, expected):
    assert make_params(max_band=value).max_band == expected


@pytest.mark.parametrize("value, shown", [
    (1e10, "1e+10"), (2147483648.0, "2147483648"), (-2147483649.0, "-2147483649"),
    (math.inf, "inf"), (2**31, "2147483648"), (-(2**31) - 1, "-2147483649"),
    (10**50, "1" + "0" * 39 + "..."),
])
def test_values_outside_32_bits_are_refused(value, shown):
    with pytest.raises(grouptrace.ParameterError) as raised:
        make_params(max_trans=value)
    assert str(raised.value) == f"maxTrans (max_trans): {shown} is outside the signed 32-bit range"
    assert (raised.value.line, raised.value.parameter) == (3, "max_trans")
    assert isinstance(raised.value, ValueError)


def test_nan_is_refused():
    with pytest.raises(grouptrace.ParameterError, match=r"^minHops \(min_hops\): nan is not a number$"):
        make_params(min_hops=math.nan)


@pytest.mark.parametrize("value", ["5", b"5", None, [5], 1j])
def test_non_numbers_are_refused_with_type_error(value):
    with pytest.raises(TypeError, match=r"^avgSize \(avg_size\): expected a number, got "):
        make_params(avg_size=value)


@pytest.mark.parametrize("keyword, value, message", [
    ("nodes", 0, "nNodes (nodes): a network needs at least 1 node, got 0"),
    ("nodes", 0.9, "nNodes (nodes): a network needs at least 1 node, got 0"),
    ("sessions", -3, "nSessions (sessions): a scenario needs at least 1 session, got -3"),
])
def test_scenario_checks_name_the_keyword(keyword, value, message):
    with pytest.raises(grouptrace.ParameterError) as raised:
        make_params(**{keyword: value})
    assert str(raised.value) == message


def test_all_thirteen_keywords_are_required():
    values = {k: 1 for k in KEYWORDS if k not in ("sessions", "ordered")}
    with pytest.raises(TypeError, match=r"missing: sessions, ordered$"):
        grouptrace.Parameters(**values)
    with pytest.raises(TypeError, match="unexpected keyword argument 'node'"):
        grouptrace.Parameters(node=1, **{k: 1 for k in KEYWORDS})
    with pytest.raises(TypeError, match="keyword arguments only"):
        grouptrace.Parameters(1, **{k: 1 for k in KEYWORDS})


def test_attributes_are_read_only():
    params = make_params()
    with pytest.raises(AttributeError):
        params.nodes = 5


@pytest.mark.parametrize("stream", [
    "3\n2\n6\n",                                  # ends early
    "3\n2\nabc\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n",  # not a number
    "3\n2\n6\n0\n2\n1\n1e10\n10\n1\n5\n1\n4\n1\n",  # beyond 32 bits
    "0\n2\n6\n0\n2\n1\n100\n10\n1\n5\n1\n4\n1\n",   # no node
    "",
])
def test_stream_errors_read_as_the_programs(stream, program):
    with pytest.raises(grouptrace.ParameterError) as raised:
        grouptrace.Parameters.from_stream(stream)
    result = subprocess.run([program], input=stream.encode(), capture_output=True)
    assert result.returncode == 2
    assert result.stderr.decode() == f"grouptrace: {raised.value}\n"
    assert f"value {raised.value.line} (" in str(raised.value)


def test_from_stream_reads_comments_blank_lines_and_crlf():
    assert grouptrace.Parameters.from_stream(case("000").stream) == grouptrace.Parameters.from_stream(
        "\n3 nodes\r\n2\r\n6\n0\n2e0\n1\n100.7\n10\n1\n5\n1\n4\n1")


def test_seeds_outside_32_bits_are_refused():
    params = make_params()
    for seed in (2**31, -(2**31) - 1):
        with pytest.raises(ValueError, match="outside the signed 32-bit range"):
            grouptrace.generate(params, seed=seed)
    with pytest.raises(TypeError):
        grouptrace.generate(params, seed=1.5)
    assert grouptrace.generate(params, seed=-(2**31)).text() != grouptrace.generate(params, seed=0).text()
