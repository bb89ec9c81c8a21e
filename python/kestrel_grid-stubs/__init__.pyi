"""Type stubs for the kestrel_grid extension module."""

from typing import (
    Iterable,
    Any,
    Dict,
    List,
    Literal,
    NoReturn,
    Optional,
    Protocol,
    Sequence,
    SupportsFloat,
    SupportsIndex,
    Tuple,
    Union,
    final,
    overload,
)

from typing_extensions import disjoint_base

__all__ = [
    "VisibilityGraph",
    "HorizontalVisibilityGraph",
    "build_visibility_graph",
    "build_horizontal_visibility_graph",
    "indices_are_visible",
    "indices_are_horizontally_visible",
    "subseries_between",
    "build_subgraph_between",
    "build_horizontal_subgraph_between",
    "segment_is_visible",
    "horizontal_window_motif_scores",
    "GraphArray",
    "visibility_degrees",
    "horizontal_visibility_degrees",
    "visibility_edge_array",
    "horizontal_visibility_edge_array",
    "build_graph",
    "graph_degrees",
    "graph_edge_array",
]

# A sample: a number that converts to float without parsing text (int, float, bool,
# Fraction, Decimal, numpy scalars, any object with __float__ or __index__).
_Sample = Union[SupportsFloat, SupportsIndex]

class _Series(Protocol):
    """A series the module reads: any non-str sequence of samples (list, tuple, range,
    array.array, a one-dimensional numpy array, a pandas Series). Iterators and generators
    are refused at run time, so the protocol asks for indexing."""

    def __len__(self) -> int: ...
    def __getitem__(self, __index: int) -> _Sample: ...

# A point (x, y): a tuple (lists and arrays are refused at run time).
_Point = Tuple[_Sample, _Sample]
_Segment = Tuple[_Point, _Point]

@final
class GraphArray:
    """A numeric array held by this object: int64 or float64, one or two dimensions.
    numpy.asarray(a) wraps it without copying; len(a) and a.tobytes() work without numpy.
    A graph's edge and vertex exports share the graph's storage and are read-only."""

    # Made by the module only: calling the class raises TypeError.
    def __new__(cls, *args: Any, **kwargs: Any) -> NoReturn: ...
    def __len__(self) -> int: ...
    def tobytes(self) -> bytes: ...
    @property
    def __array_interface__(self) -> Dict[str, Any]: ...
    @property
    def shape(self) -> Union[Tuple[int], Tuple[int, int]]: ...
    @property
    def typestr(self) -> str: ...

@final
class VisibilityGraph:
    """Visibility graph with vertices and undirected edges."""

    def __new__(cls) -> VisibilityGraph: ...
    def add_vertex(self, x: _Sample, y: _Sample) -> int: ...
    def add_edge(self, v1: SupportsIndex, v2: SupportsIndex) -> None: ...
    def remove_vertex(self, index: SupportsIndex) -> None: ...
    def remove_edge(self, v1: SupportsIndex, v2: SupportsIndex) -> bool: ...
    def node_count(self) -> int: ...
    def edge_count(self) -> int: ...
    def edges_array(self) -> GraphArray: ...
    def vertices_array(self) -> GraphArray: ...
    def degrees_array(self) -> GraphArray: ...
    @property
    def vertices(self) -> List[Tuple[float, float]]: ...
    @property
    def edges(self) -> List[Tuple[int, int]]: ...
    @property
    def x_unit(self) -> Optional[str]: ...
    @property
    def x_origin(self) -> Optional[str]: ...

@final
class HorizontalVisibilityGraph:
    """Horizontal visibility graph wrapper that reuses the core graph structure."""

    def __new__(cls) -> HorizontalVisibilityGraph: ...
    def add_vertex(self, x: _Sample, y: _Sample) -> int: ...
    def add_edge(self, v1: SupportsIndex, v2: SupportsIndex) -> None: ...
    def remove_vertex(self, index: SupportsIndex) -> None: ...
    def remove_edge(self, v1: SupportsIndex, v2: SupportsIndex) -> bool: ...
    def node_count(self) -> int: ...
    def edge_count(self) -> int: ...
    def edges_array(self) -> GraphArray: ...
    def vertices_array(self) -> GraphArray: ...
    def degrees_array(self) -> GraphArray: ...
    @property
    def vertices(self) -> List[Tuple[float, float]]: ...
    @property
    def edges(self) -> List[Tuple[int, int]]: ...
    @property
    def x_unit(self) -> Optional[str]: ...
    @property
    def x_origin(self) -> Optional[str]: ...

def build_visibility_graph(time_series: _Series, skip_adjacent: Optional[bool] = None) -> VisibilityGraph: ...
def build_horizontal_visibility_graph(
    time_series: _Series, skip_adjacent: Optional[bool] = None
) -> HorizontalVisibilityGraph: ...
def indices_are_visible(time_series: _Series, i: SupportsIndex, j: SupportsIndex) -> bool: ...
def indices_are_horizontally_visible(time_series: _Series, i: SupportsIndex, j: SupportsIndex) -> bool: ...
def subseries_between(time_series: _Series, i: SupportsIndex, j: SupportsIndex) -> List[float]: ...
def build_subgraph_between(
    time_series: _Series, i: SupportsIndex, j: SupportsIndex, skip_adjacent: Optional[bool] = None
) -> VisibilityGraph: ...
def build_horizontal_subgraph_between(
    time_series: _Series, i: SupportsIndex, j: SupportsIndex, skip_adjacent: Optional[bool] = None
) -> HorizontalVisibilityGraph: ...
def segment_is_visible(p1: _Point, p2: _Point, obstacles: Sequence[_Segment]) -> bool: ...
def horizontal_window_motif_scores(
    time_series: _Series, window_size: SupportsIndex, skip_adjacent: Optional[bool] = None
) -> List[int]: ...
def visibility_degrees(
    time_series: _Series, skip_adjacent: Optional[bool] = None, *, threads: Optional[SupportsIndex] = None
) -> GraphArray: ...
def horizontal_visibility_degrees(
    time_series: _Series, skip_adjacent: Optional[bool] = None, *, threads: Optional[SupportsIndex] = None
) -> GraphArray: ...
def visibility_edge_array(
    time_series: _Series, skip_adjacent: Optional[bool] = None, *, threads: Optional[SupportsIndex] = None
) -> GraphArray: ...
def horizontal_visibility_edge_array(
    time_series: _Series, skip_adjacent: Optional[bool] = None, *, threads: Optional[SupportsIndex] = None
) -> GraphArray: ...

# build_graph, graph_degrees and graph_edge_array: kind picks the rule (and the graph
# class); x (positions, the same kinds of input as the series), penetrable, skip_adjacent,
# exact, missing, decimals and threads are keyword-only.
_Kind = Literal["natural", "horizontal"]
_Missing = Literal["raise", "omit", "keep"]

@overload
def build_graph(
    time_series: _Series,
    kind: Literal["natural"] = "natural",
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    threads: Optional[SupportsIndex] = None,
) -> VisibilityGraph: ...
@overload
def build_graph(
    time_series: _Series,
    kind: Literal["horizontal"],
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    threads: Optional[SupportsIndex] = None,
) -> HorizontalVisibilityGraph: ...
@overload
def build_graph(
    time_series: _Series,
    kind: _Kind,
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    threads: Optional[SupportsIndex] = None,
) -> Union[VisibilityGraph, HorizontalVisibilityGraph]: ...
def graph_degrees(
    time_series: _Series,
    kind: _Kind = "natural",
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    threads: Optional[SupportsIndex] = None,
) -> GraphArray: ...
def graph_edge_array(
    time_series: _Series,
    kind: _Kind = "natural",
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    threads: Optional[SupportsIndex] = None,
) -> GraphArray: ...

# Private: the reader of decimal text behind the command line's bulk input path.
def _read_columns(
    data: bytes, width: SupportsIndex, delimiter: str, decimal: str, columns: Iterable[SupportsIndex]
) -> Optional[Tuple[Tuple[GraphArray, ...], Tuple[int, ...]]]: ...

# Private: the count tables behind the many-series features and the graph measures.
def _natural_edges_from(
    time_series: _Series,
    kind: _Kind = "natural",
    *,
    x: Optional[_Series] = None,
    penetrable: SupportsIndex = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: _Missing = "raise",
    decimals: Optional[SupportsIndex] = None,
    first_high: SupportsIndex,
) -> GraphArray: ...
def _block_tables(
    values: Any, length: SupportsIndex, natural: bool, skip_adjacent: bool, measures: bool
) -> Tuple[Any, ...]: ...

@disjoint_base
class _StreamUpdate:
    """What one call of a stream added to the graph: edges, positions, degrees and
    settled, made as numpy arrays when first read."""

    def __new__(cls, edges: Any, positions: Any, degrees: Any, settled: Any) -> _StreamUpdate: ...
    @property
    def edges(self) -> Any: ...
    @property
    def positions(self) -> Any: ...
    @property
    def degrees(self) -> Any: ...
    @property
    def settled(self) -> Any: ...

@final
class _HorizontalStreamState:
    """The state of a horizontal visibility stream: the records and NaN samples with
    their degrees, appended to one sample or piece at a time."""

    def __new__(
        cls, skip_adjacent: bool = False, update_type: Optional[type] = None
    ) -> _HorizontalStreamState: ...
    def __len__(self) -> int: ...
    def append(self, value: _Sample, /) -> Any: ...
    def extend(self, values: _Series, *, edges: bool = True) -> Any: ...
    def join_outward(self, values: _Series, positions: bytes) -> Any: ...
    def pending(self) -> Tuple[Any, Any]: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes, /) -> None: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    @property
    def skip_adjacent(self) -> bool: ...
    @property
    def pending_count(self) -> int: ...
