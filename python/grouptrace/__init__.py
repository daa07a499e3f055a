"""Synthetic multicast group-membership request traces.

generate() runs the generator in-process and write_trace() streams a run to a
file; read() and iter_read() read a stored trace, checking it as
``grouptrace-inspect check`` does. Requests come as NumPy structured arrays
(REQUEST_DTYPE) with the fields

    phase    u1  0 beef-up, 1 join-leave, 2 end-of-session
    kind     u1  1 join, 2 leave
    node     i4
    session  i4
    band     f8  0 for a leave
    delay    f8  0 for a leave
    hops     i4  0 for a leave

Example::

    import grouptrace

    p = grouptrace.Parameters(nodes=100, sessions=4, max_trans=1000, curr_trans=0,
                              avg_size=8, qos_levels=1, max_band=512, min_band=64,
                              min_delay=5, max_delay=50, min_hops=1, max_hops=6,
                              ordered=0)
    trace = grouptrace.generate(p, seed=7)
    joins = trace.requests[trace.requests["kind"] == 1]
    trace.write("run.trace")        # what `grouptrace 7` writes for p
"""

from grouptrace._grouptrace import (
    MODEL_VERSION,
    REQUEST_DTYPE,
    TIMED_REQUEST_DTYPE,
    Dynamics,
    Parameters,
    ParameterError,
    StalledRunWarning,
    Trace,
    TopologyError,
    TraceChunks,
    TraceError,
    generate,
    iter_read,
    read,
    write_trace,
)

from grouptrace import _grouptrace

__version__ = _grouptrace.__version__

__all__ = [
    "MODEL_VERSION",
    "REQUEST_DTYPE",
    "TIMED_REQUEST_DTYPE",
    "Dynamics",
    "Parameters",
    "ParameterError",
    "StalledRunWarning",
    "Trace",
    "TopologyError",
    "TraceChunks",
    "TraceError",
    "generate",
    "iter_read",
    "read",
    "write_trace",
]
