"""threads= reaches the module from every public function that builds a graph: the
result is the same for any count, and a bad count is refused with the module's words."""

import numpy as np
import pandas as pd
import pytest

import kestrel_grid_tools as kt

SERIES = np.random.default_rng(4).normal(size=3000).cumsum()
SERIES[[5, 700]] = np.nan
LAYERS = np.random.default_rng(5).random((3, 400))
LONG = pd.DataFrame({"series": np.repeat([1, 2], 300), "time": np.tile(np.arange(300), 2),
                     "value": np.random.default_rng(6).random(600)})

CALLS = {
    "degrees": lambda t: kt.degrees(SERIES, threads=t),
    "visibility_graph": lambda t: kt.visibility_graph(SERIES, threads=t).edges_array().tobytes(),
    "summarize": lambda t: kt.summarize(SERIES, window=3, threads=t),
    "motif_profile": lambda t: kt.motif_profile(SERIES, "natural", threads=t),
    "directed_degrees": lambda t: kt.directed_degrees(SERIES, threads=t),
    "irreversibility": lambda t: kt.irreversibility(SERIES, threads=t),
    "degree_entropy": lambda t: kt.degree_entropy(SERIES, threads=t),
    "joint_degree_entropy": lambda t: kt.joint_degree_entropy(SERIES, threads=t),
    "difference_degrees": lambda t: kt.difference_degrees(SERIES, threads=t),
    # Also checks the eigenvalue solver starts from the same vector every time.
    "graph_index_complexity": lambda t: kt.graph_index_complexity(SERIES, threads=t),
    "edge_overlap": lambda t: kt.edge_overlap(LAYERS, threads=t),
    "interlayer_mutual_information": lambda t: kt.interlayer_mutual_information(LAYERS, threads=t),
    "edge_penetrations": lambda t: kt.edge_penetrations(kt.as_record(SERIES),
                                                        kt.Options(penetrable=2, threads=t)),
    "visibility_edges": lambda t: kt.visibility_edges(SERIES, weight="distance", threads=t),
    "feature_vector": lambda t: kt.feature_vector(SERIES, threads=t),
    "features_frame": lambda t: kt.features_frame(LONG, threads=t),
    "fit_degree_tail": lambda t: kt.fit_degree_tail(SERIES, threads=t),
    "VisibilityFeatures": lambda t: kt.VisibilityFeatures(threads=t).fit_transform(LAYERS),
}


def _same(a, b):
    if isinstance(a, tuple):
        return all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, pd.DataFrame):
        return a.equals(b)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (bytes, str)) or hasattr(a, "__dataclass_fields__"):
        return a == b
    return np.array_equal(np.asarray(a), np.asarray(b), equal_nan=True)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_every_thread_count_gives_the_same_result_and_a_bad_one_is_refused(name):
    call = CALLS[name]
    one = call(1)
    for threads in (2, 3, None):
        assert _same(one, call(threads)), threads
    with pytest.raises(ValueError, match="threads must be >= 1, not 0"):
        call(0)
