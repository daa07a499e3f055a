import os
from typing import Dict, Iterator, Literal, Optional, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt
import pandas

__version__: str

_Number = Union[SupportsIndex, SupportsFloat]
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Format = Literal["trace", "csv", "jsonl"]
_TopologyFormat = Literal["inet", "orbis", "rocketfuel", "graphml"]
_Band = Literal["per-join", "per-session"]

# phase u1, kind u1, node i4, session i4, band f8, delay f8, hops i4
REQUEST_DTYPE: np.dtype[np.void]
TIMED_REQUEST_DTYPE: np.dtype[np.void]
MODEL_VERSION: str

class Dynamics:
    def __init__(
        self,
        *,
        duration: Union[float, str],
        holding: Optional[str] = ...,
        popularity: Optional[str] = ...,
        join_rate: Union[float, str, None] = ...,
        diurnal: Union[float, str, None] = ...,
        start: Optional[str] = ...,
        end: Optional[str] = ...,
        model: Optional[str] = ...,
    ) -> None: ...
    @property
    def duration(self) -> str: ...
    @property
    def holding(self) -> str: ...
    @property
    def popularity(self) -> str: ...
    @property
    def join_rate(self) -> Optional[str]: ...
    @property
    def diurnal(self) -> str: ...
    @property
    def start(self) -> str: ...
    @property
    def end(self) -> str: ...
    @property
    def model(self) -> str: ...
    def to_dict(self) -> Dict[str, Optional[str]]: ...

class TraceError(ValueError):
    line: int
    reason: str
    filename: Optional[str]

class TopologyError(ValueError):
    line: int
    reason: str
    filename: str

class ParameterError(ValueError):
    line: int
    parameter: str

class StalledRunWarning(RuntimeWarning): ...

class Parameters:
    def __init__(
        self,
        *,
        nodes: _Number,
        sessions: _Number,
        max_trans: _Number,
        curr_trans: _Number,
        avg_size: _Number,
        qos_levels: _Number,
        max_band: _Number,
        min_band: _Number,
        min_delay: _Number,
        max_delay: _Number,
        min_hops: _Number,
        max_hops: _Number,
        ordered: _Number,
    ) -> None: ...
    @staticmethod
    def from_stream(text: Union[str, bytes]) -> Parameters: ...
    def to_dict(self) -> Dict[str, int]: ...
    def replace(self, **changes: _Number) -> Parameters: ...
    @property
    def nodes(self) -> int: ...
    @property
    def sessions(self) -> int: ...
    @property
    def max_trans(self) -> int: ...
    @property
    def curr_trans(self) -> int: ...
    @property
    def avg_size(self) -> int: ...
    @property
    def qos_levels(self) -> int: ...
    @property
    def max_band(self) -> int: ...
    @property
    def min_band(self) -> int: ...
    @property
    def min_delay(self) -> int: ...
    @property
    def max_delay(self) -> int: ...
    @property
    def min_hops(self) -> int: ...
    @property
    def max_hops(self) -> int: ...
    @property
    def ordered(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Trace:
    @property
    def requests(self) -> npt.NDArray[np.void]: ...
    @property
    def sources(self) -> npt.NDArray[np.int32]: ...
    @property
    def trans(self) -> int: ...
    @property
    def joins(self) -> int: ...
    @property
    def leaves(self) -> int: ...
    @property
    def avg_size(self) -> int: ...
    @property
    def ordered(self) -> int: ...
    @property
    def parameters(self) -> Optional[Parameters]: ...
    @property
    def seed(self) -> Optional[int]: ...
    @property
    def dynamics(self) -> Optional[Dynamics]: ...
    @property
    def model(self) -> str: ...
    @property
    def duration(self) -> Optional[float]: ...
    @property
    def blocked(self) -> int: ...
    def text(self, format: Optional[_Format] = None) -> str: ...
    def write(self, path: _Path, format: Optional[_Format] = None) -> None: ...
    def to_pandas(self) -> pandas.DataFrame: ...
    def __len__(self) -> int: ...

class TraceChunks(Iterator[npt.NDArray[np.void]]):
    def __iter__(self) -> TraceChunks: ...
    def __next__(self) -> npt.NDArray[np.void]: ...

def generate(
    params: Parameters,
    seed: SupportsIndex = 0,
    dynamics: Optional[Dynamics] = None,
    *,
    topology: Optional[_Path] = None,
    topology_format: Optional[_TopologyFormat] = None,
    delay_bound: Optional[str] = None,
    hop_bound: Optional[str] = None,
    band: Optional[_Band] = None,
    placement: Optional[str] = None,
) -> Trace: ...
def read(path: _Path, manifest: Optional[_Path] = None) -> Trace: ...
def iter_read(path: _Path, chunk_size: int = 1_000_000) -> TraceChunks: ...
def write_trace(
    params: Parameters,
    seed: SupportsIndex,
    path: _Path,
    format: Optional[_Format] = None,
    dynamics: Optional[Dynamics] = None,
    *,
    topology: Optional[_Path] = None,
    topology_format: Optional[_TopologyFormat] = None,
    delay_bound: Optional[str] = None,
    hop_bound: Optional[str] = None,
    band: Optional[_Band] = None,
    placement: Optional[str] = None,
) -> None: ...
