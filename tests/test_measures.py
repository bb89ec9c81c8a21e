"""Graph measures against independent brute-force computations on the literal models
(windows enumerated, degrees counted from explicit edge lists, edge sets intersected),
and against the closed forms of i.i.d. series."""

from __future__ import annotations

import math
from collections import Counter
from itertools import permutations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")

import kestrel_grid_tools as kgt  # noqa: E402
from kestrel_grid_tools import measures as m  # noqa: E402

from models import INDEX, horizontal_blocks, model_edges, natural_blocks  # noqa: E402

PROPERTY = settings(max_examples=150, deadline=None)
# Ties, plateaus, signed zeros and infinities: the cases where a window's motif is
# decided by the rule's tie handling rather than by the order of distinct values.
TIED = st.lists(st.sampled_from([0.0, -0.0, 1.0, 2.0, 3.0, math.inf, -math.inf]), max_size=40)
REAL = st.lists(st.floats(-1e6, 1e6, allow_nan=False), max_size=40)
FAMILIES = st.one_of(TIED, REAL)
# Extra edges of a window of 4 -> motif label.
LABEL4 = {(): 1, ((0, 3),): 2, ((0, 2),): 3, ((1, 3),): 4, ((0, 2), (0, 3)): 5,
          ((0, 3), (1, 3)): 6, ((0, 2), (1, 3)): 7, ((0, 2), (0, 3), (1, 3)): 8}


def window_label(window, kind):
    extra = tuple(sorted(e for e in model_edges(window, None, kind) if e[1] - e[0] > 1))
    if len(window) == 3:
        return 2 if extra else 1
    return LABEL4[extra]


def brute_profile(values, kind, size):
    labels = {3: 2, 4: 6 if kind == "horizontal" else 8}[size]
    windows = len(values) - size + 1
    if windows <= 0:
        return [math.nan] * labels
    counts = Counter(window_label(values[t:t + size], kind) for t in range(windows))
    return [counts[label] / windows for label in range(1, labels + 1)]


@PROPERTY
@given(values=FAMILIES, kind=st.sampled_from(["horizontal", "natural"]), size=st.sampled_from([3, 4]))
def test_motif_profile_counts_every_window_as_its_own_graph(values, kind, size):
    got = m.motif_profile(values, kind, size).tolist()
    want = brute_profile(values, kind, size)
    assert np.array_equal(got, want, equal_nan=True)


def test_iid_profiles_are_the_shares_of_the_orderings():
    for size in (3, 4):
        counts = Counter(window_label(list(map(float, order)), "horizontal")
                         for order in permutations(range(size)))
        total = math.factorial(size)
        labels = 2 if size == 3 else 6
        assert m.iid_motif_profile(size).tolist() == [counts[k] / total for k in range(1, labels + 1)]


def _sigma(p, windows, reach):
    # Windows of `reach` samples overlapping fewer than `reach` places apart are
    # dependent, so the count's variance is at most (2 reach - 1) N p (1 - p).
    return math.sqrt((2 * reach - 1) * p * (1 - p) / windows)


@pytest.mark.parametrize("size", [3, 4])
def test_iid_noise_follows_the_closed_form_profile_within_five_sigma(size):
    n = 200_000
    values = np.random.default_rng(7).random(n)
    got = m.motif_profile(values, "horizontal", size)
    for share, law in zip(got.tolist(), m.iid_motif_profile(size).tolist()):
        assert abs(share - law) <= 5 * _sigma(law, n - size + 1, size)


def test_iid_noise_degree_entropy_and_irreversibility_follow_their_laws():
    n = 200_000
    values = np.random.default_rng(11).normal(size=n)
    # The law (1/3)(2/3)^(k-2): H = log 3 + E[k - 2] log(3/2) with E[k - 2] = 2. The
    # plug-in entropy of n samples is within a few sqrt(Var(log P(k)) / n) of it.
    law = math.log(3) + 2 * math.log(1.5)
    spread = math.sqrt(2 * 3 / 1 * math.log(1.5) ** 2 / n)  # Var(k) log(3/2)^2 / n, Var(k) = 6
    assert abs(m.degree_entropy(values, "horizontal") - law) <= 5 * spread
    # D(P_out || P_in) of a reversible series: the plug-in estimate over K shared bins
    # is of order K / n.
    out_in = m.directed_degrees(values)
    bins = min(np.bincount(out_in[0]).size, np.bincount(out_in[1]).size)
    assert abs(m.irreversibility(values)) <= 10 * bins / n
    # The chaotic logistic map is irreversible: far above that bound.
    x = np.empty(20_000)
    x[0] = 0.3
    for t in range(1, x.size):
        x[t] = 4 * x[t - 1] * (1 - x[t - 1])
    assert m.irreversibility(x) > 0.3


def kl(p_counts, q_counts):
    tp, tq = sum(p_counts.values()), sum(q_counts.values())
    return sum((c / tp) * math.log((c / tp) / (q_counts[k] / tq))
               for k, c in p_counts.items() if q_counts.get(k, 0) > 0)


@PROPERTY
@given(values=FAMILIES)
def test_irreversibility_is_the_divergence_of_the_explicit_degree_lists(values):
    edges = model_edges(values, None, "horizontal")
    n = len(values)
    out_degree = [sum(1 for a, _ in edges if a == i) for i in range(n)]
    in_degree = [sum(1 for _, b in edges if b == i) for i in range(n)]
    want = kl(Counter(out_degree), Counter(in_degree)) if n else math.nan
    pairs = (kl(Counter((out_degree[a], out_degree[b]) for a, b in edges),
                Counter((in_degree[b], in_degree[a]) for a, b in edges)) if edges else math.nan)
    assert m.irreversibility(values) == pytest.approx(want, abs=1e-12, nan_ok=True)
    assert m.irreversibility(values, pairs=True) == pytest.approx(pairs, abs=1e-12, nan_ok=True)
    assert m.directed_degrees(values)[0].tolist() == in_degree
    assert m.directed_degrees(values)[1].tolist() == out_degree


def entropy(counter):
    total = sum(counter.values())
    return -sum(c / total * math.log(c / total) for c in counter.values()) if total else math.nan


@PROPERTY
@given(values=FAMILIES, kind=st.sampled_from(["horizontal", "natural"]))
def test_entropies_and_difference_degrees_from_explicit_edge_lists(values, kind):
    n = len(values)
    edges = model_edges(values, None, kind)
    degree = [sum(i in e for e in edges) for i in range(n)]
    assert m.degree_entropy(values, kind) == pytest.approx(entropy(Counter(degree)), abs=1e-12, nan_ok=True)
    joint = entropy(Counter((degree[a], degree[b]) for a, b in edges))
    assert m.joint_degree_entropy(values, kind) == pytest.approx(joint, abs=1e-12, nan_ok=True)
    natural, horizontal = set(model_edges(values, None)), set(model_edges(values, None, "horizontal"))
    assert horizontal <= natural
    difference = [sum(i in e for e in natural - horizontal) for i in range(n)]
    assert m.difference_degrees(values).tolist() == difference


LAYERS = st.integers(1, 4).flatmap(
    lambda count: st.integers(0, 25).flatmap(
        lambda n: st.lists(st.lists(st.sampled_from([0.0, 1.0, 2.0, 3.5, -1.0]), min_size=n, max_size=n),
                           min_size=count, max_size=count)))


@PROPERTY
@given(layers=LAYERS, kind=st.sampled_from(["horizontal", "natural"]))
def test_overlap_and_mutual_information_from_explicit_edge_sets(layers, kind):
    sets = [set(model_edges(row, None, kind)) for row in layers]
    union = set().union(*sets)
    want = sum(map(len, sets)) / (len(sets) * len(union)) if union else math.nan
    assert m.edge_overlap(np.array(layers), kind) == pytest.approx(want, rel=1e-15, nan_ok=True)
    n = len(layers[0])
    degree = [[sum(i in e for e in s) for i in range(n)] for s in sets]
    got = m.interlayer_mutual_information(np.array(layers), kind)
    for a in range(len(layers)):
        for b in range(len(layers)):
            if n == 0:
                assert math.isnan(got[a, b])
                continue
            pa, pb = Counter(degree[a]), Counter(degree[b])
            joint = Counter(zip(degree[a], degree[b]))
            mi = sum(c / n * math.log((c / n) / (pa[k] / n * pb[kk] / n)) for (k, kk), c in joint.items())
            assert got[a, b] == pytest.approx(mi, abs=1e-12)


def test_layers_from_wide_and_long_frames_agree_with_the_array():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    array = rng.normal(size=(3, 50))
    wide = pd.DataFrame(array.T, columns=["a", "b", "c"])
    # Channels out of order, each written backwards in time, rows then shuffled.
    long = pd.DataFrame({"channel": np.repeat(["b", "a", "c"], 50),
                         "time": np.tile(np.arange(50)[::-1], 3),
                         "value": np.concatenate([array[1][::-1], array[0][::-1], array[2][::-1]])})
    long = long.iloc[rng.permutation(len(long))]
    for data in (wide, long):
        layers, names = m.as_layers(data)
        assert names == ["a", "b", "c"]
        assert np.array_equal(layers, array)
        assert m.edge_overlap(data) == m.edge_overlap(array)
    with pytest.raises(ValueError) as error:
        m.as_layers(long.iloc[1:])
    assert str(error.value).startswith("every channel needs the same number of samples, got ")


@PROPERTY
@given(values=FAMILIES, kind=st.sampled_from(["horizontal", "natural"]), penetrable=st.integers(0, 3))
def test_penetrations_count_the_blockers_of_every_edge(values, kind, penetrable):
    blocks = horizontal_blocks if kind == "horizontal" else natural_blocks
    edges, weights = m.visibility_edges(values, kind, penetrable=penetrable, weight="penetrations")
    want = model_edges(values, None, kind, penetrable)
    assert [tuple(e) for e in edges.tolist()] == want
    assert weights.tolist() == [sum(blocks(values, INDEX, a, k, b) for k in range(a + 1, b)) for a, b in want]


@PROPERTY
@given(values=st.lists(st.floats(-100, 100), max_size=30),
       bounds=st.tuples(st.floats(-2, 2), st.floats(-2, 2)))
def test_weight_bounds_and_view_angles_keep_what_the_definitions_keep(values, bounds):
    low, high = sorted(bounds)
    edges = model_edges(values, None)
    slope = {(a, b): (values[b] - values[a]) / (b - a) for a, b in edges}
    got, weights = m.visibility_edges(values, weight="slope", min_weight=low, max_weight=high)
    assert [tuple(e) for e in got.tolist()] == [e for e in edges if low < slope[e] < high]
    assert weights.tolist() == [slope[e] for e in edges if low < slope[e] < high]
    got, _ = m.visibility_edges(values, view_angle=(low, high))
    assert [tuple(e) for e in got.tolist()] == [e for e in edges if low <= math.atan(slope[e]) <= high]


@pytest.mark.parametrize("call, message", [
    (lambda: m.visibility_edges([1.0], min_weight=0), "min_weight and max_weight bound the edges' weight: give weight="),
    (lambda: m.visibility_edges([1.0], view_angle=(1, 0)), "view_angle must have low <= high, not (1, 0)"),
    (lambda: m.visibility_edges([1.0], view_angle=1), "view_angle must be two numbers (low, high), not 1"),
    (lambda: m.motif_profile([1.0], size=5), "size must be 3 or 4, not 5"),
    (lambda: m.motif_profile([1.0], size=True), "size must be 3 or 4, not True"),
    (lambda: m.visibility_edges([1.0], weight="blockers"),
     "weight must be one of " + ", ".join(map(repr, m.EDGE_WEIGHTS)) + ", got 'blockers'"),
    (lambda: kgt.features_frame(np.zeros((1, 3)), penetrable=1, measures=True),
     "the measures belong to the ordinary graph: give penetrable=0 and skip_adjacent=False"),
])
def test_mistakes_are_refused_by_name(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize("kind", ["horizontal", "natural"])
def test_one_feature_vector_everywhere(kind):
    pytest.importorskip("dask")
    rng = np.random.default_rng(5)
    rows = rng.normal(size=(12, 80))
    rows[2, 7] = np.nan
    names = list(m.feature_names(kind))
    frame = kgt.features_frame(rows, kind, measures=True)
    lazy = kgt.series_features(rows, kind, measures=True).compute()
    assert np.array_equal(frame[names].to_numpy(), lazy[names].to_numpy(), equal_nan=True)
    direct = np.array([[m.feature_vector(row, kind)[name] for name in names] for row in rows])
    assert np.array_equal(frame[names].to_numpy(), direct, equal_nan=True)
    plain = kgt.features_frame(rows, kind)
    assert frame[list(plain.columns)].equals(plain)
    row = m.feature_vector(rows[0], kind)
    assert row["degree_entropy"] == m.degree_entropy(rows[0], kind)
    assert row["irreversibility"] == m.irreversibility(rows[0])
    assert [row[f"motif_{k}"] for k in range(1, 7 if kind == "horizontal" else 9)] == \
        m.motif_profile(rows[0], kind).tolist()


def test_the_transformer_works_in_a_pipeline_and_keeps_no_state():
    pytest.importorskip("sklearn")
    from sklearn.base import clone
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    rng = np.random.default_rng(2)
    noise = rng.random((20, 300))
    chaos = np.empty((20, 300))
    chaos[:, 0] = rng.random(20)
    for t in range(1, 300):
        chaos[:, t] = 4 * chaos[:, t - 1] * (1 - chaos[:, t - 1])
    X, y = np.vstack([noise, chaos]), np.repeat([0, 1], 20)
    transformer = kgt.VisibilityFeatures()
    assert transformer.get_feature_names_out().tolist() == list(m.feature_names("horizontal"))
    fitted = clone(transformer).fit(X[:3])
    assert vars(fitted) == vars(transformer)
    assert np.array_equal(fitted.transform(X), kgt.VisibilityFeatures().transform(X))
    scores = cross_val_score(make_pipeline(kgt.VisibilityFeatures(), StandardScaler(), LogisticRegression()), X, y, cv=4)
    assert scores.min() == 1.0
    ragged = kgt.VisibilityFeatures("natural").transform([X[0], X[1][:100]])
    assert np.array_equal(ragged[1], kgt.VisibilityFeatures("natural").transform(X[1:2, :100])[0])


# Layouts of many series that are not one series per row, as time-series libraries hand
# them out (built from pandas), with what the refusal says of them.
LONG_INDEX = [list(range(50)), list(range(150))]


@pytest.mark.parametrize("make, message", [
    (lambda pd: pd.DataFrame({"c0": np.arange(7500.0)}, index=pd.MultiIndex.from_product(LONG_INDEX)),
     "got a frame of shape (7500, 1) with a 2-level MultiIndex, one row per sample: pivot it to "
     "one row per series, e.g. X[column].unstack()"),
    (lambda pd: pd.DataFrame({"c0": [pd.Series(np.arange(150.0))] * 4}),
     "got a frame of shape (4, 1) whose cells hold series"),
    (lambda pd: np.zeros((4, 2, 150)), "got an array of shape (4, 2, 150)"),
    (lambda pd: np.arange(150.0), "got an array of shape (150,) (for one series pass [X])"),
    (lambda pd: np.zeros((4, 2)), "series 0 has 2 samples"),
    (lambda pd: [np.zeros(5), np.zeros(1)], "series 1 has 1 samples"),
])
def test_the_transformer_refuses_what_is_not_one_series_per_row(make, message):
    pytest.importorskip("sklearn")
    X = make(pytest.importorskip("pandas"))
    for call in (kgt.VisibilityFeatures().fit, kgt.VisibilityFeatures().transform):
        with pytest.raises(ValueError) as caught:
            call(X)
        assert str(caught.value) == (
            "expected a 2-D array-like of shape (n_series, n_samples), one series per row with "
            f"at least 3 samples, or a list of 1-d series; {message}")


def test_in_out_degrees_of_a_graph_follow_its_directed_edges():
    graph = kgt.visibility_graph([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0])
    for direction in kgt.DIRECTIONS:
        edges = kgt.directed_edges(graph, direction).tolist()
        in_degree, out_degree = kgt.in_out_degrees(graph, direction)
        assert in_degree.tolist() == [sum(t == i for _, t in edges) for i in range(7)]
        assert out_degree.tolist() == [sum(s == i for s, _ in edges) for i in range(7)]


# --- the command line -------------------------------------------------------------------

def run_cli(tmp_path, capsys, *args):
    from kestrel_grid_tools.cli import main

    code = main([str(tmp_path / "s.txt"), *map(str, args)])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


SERIES = [3.0, 1.0, 2.5, 4.0, 0.5, 2.0, 2.0, 3.0, 1.5, 5.0]


@pytest.fixture
def series_file(tmp_path):
    (tmp_path / "s.txt").write_text("".join(f"{v!r}\n" for v in SERIES))
    return tmp_path


@pytest.mark.parametrize("kind", ["horizontal", "natural"])
def test_cli_measures_and_profile_are_the_functions(series_file, capsys, kind):
    code, out, _ = run_cli(series_file, capsys, "--kind", kind, "--output", "measures", "--rule", "float")
    assert code == 0
    fields = dict(line.split(": ", 1) for line in out.splitlines())
    assert {name: fields[name] for name in m.feature_names(kind)} == \
        {name: repr(value) for name, value in m.feature_vector(SERIES, kind).items()}
    code, out, _ = run_cli(series_file, capsys, "--kind", kind, "--output", "profile", "--motif-size", "3",
                           "--format", "tsv")
    header, *rows = out.splitlines()
    assert header == ("motif\tedges\tshare\tiid" if kind == "horizontal" else "motif\tedges\tshare")
    assert [row.split("\t")[:3] for row in rows] == [
        [str(k), name, repr(share)] for k, (name, share) in
        enumerate(zip(m.motif_labels(kind, 3), m.motif_profile(SERIES, kind, 3).tolist()), 1)]


@pytest.mark.parametrize("args", [
    ["--penetrable", "2", "--weight", "penetrations"],
    ["--weight", "slope", "--min-weight", "-0.5", "--max-weight", "1", "--directed", "top_to_bottom"],
    ["--kind", "horizontal", "--weight", "angle", "--view-angle", "-0.5", "0.25"],
])
def test_cli_filtered_edges_are_visibility_edges(series_file, capsys, args):
    code, out, _ = run_cli(series_file, capsys, "--output", "edges", "--rule", "float", *args)
    assert code == 0
    options = dict(zip(args[::2], args[1::2]))
    edges, weights = m.visibility_edges(
        SERIES, options.get("--kind", "natural"), weight=options.get("--weight"),
        direction=options.get("--directed", "left_to_right"), penetrable=int(options.get("--penetrable", 0)),
        min_weight=float(options["--min-weight"]) if "--min-weight" in options else None,
        max_weight=float(options["--max-weight"]) if "--max-weight" in options else None,
        view_angle=(-0.5, 0.25) if "--view-angle" in args else None)
    rows = [row.split(",") for row in out.splitlines()[1:]]
    assert [[int(a), int(b)] for a, b, _ in rows] == edges.tolist()
    assert [float(w) for _, _, w in rows] == weights.tolist()


@pytest.mark.parametrize("args, message", [
    (["--output", "edges", "--min-weight", "1"], "--min-weight bounds the edges' weight: give --weight NAME"),
    (["--output", "summary", "--weight", "slope", "--max-weight", "1"], "--max-weight applies to --output edges only"),
    (["--output", "summary", "--weight", "penetrations"], "--weight penetrations applies to --output edges only"),
    (["--output", "degrees", "--view-angle", "0", "1"], "--view-angle applies to --output edges only"),
    (["--output", "edges", "--view-angle", "1", "0"], "--view-angle 1.0 0.0: LOW must be at most HIGH"),
    (["--output", "measures", "--penetrable", "1"],
     "--output measures belongs to the ordinary graph: drop --penetrable and --skip-adjacent"),
    (["--output", "summary", "--motif-size", "3"], "--motif-size applies to --output profile only"),
])
def test_cli_refuses_the_new_options_out_of_place(series_file, capsys, args, message):
    code, _, err = run_cli(series_file, capsys, *args)
    assert code == 2
    assert err.splitlines()[-1] == f"kestrel-grid: error: {message}"


@pytest.mark.parametrize("dense", [4, 1 << 22])
def test_a_batch_gives_every_series_the_bits_it_has_alone(monkeypatch, dense):
    # A tiny dense-table limit sends the counts through the sort and the series groups.
    monkeypatch.setattr(m, "_DENSE_TABLE", dense)
    rng = np.random.default_rng(9)
    rows = [rng.normal(size=size) for size in (0, 1, 3, 4, 50, 200, 7)] + [np.arange(30.0) % 4]
    for kind in ("horizontal", "natural"):
        edges = [np.asarray(kgt.features.record_edges(kgt.as_record(r), kgt.Options(kind))) for r in rows]
        flat = [np.asarray(kgt.features.record_edges(kgt.as_record(r), kgt.Options("horizontal"))) for r in rows]
        batch = m.batch_measures(kind, [r.size for r in rows], edges, flat)
        alone = np.array([list(m.feature_vector(r, kind).values()) for r in rows])
        assert np.array_equal(batch, alone, equal_nan=True)


def test_adapters_keep_the_edges_strictly_inside_the_weight_bounds():
    pytest.importorskip("networkx")
    pytest.importorskip("scipy")
    graph = kgt.visibility_graph([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0])
    slopes = dict(zip(map(tuple, kgt.directed_edges(graph).tolist()), kgt.edge_weights(graph, "slope").tolist()))
    # Both bounds are slopes of edges, which lie on the bounds and so are left out.
    inside = {e: w for e, w in slopes.items() if -1.5 < w < 3.0}
    assert 0 < len(inside) < len(slopes) and {-1.5, 3.0} <= set(slopes.values())
    nx_graph = kgt.to_networkx(graph, weight="slope", min_weight=-1.5, max_weight=3.0)
    assert {tuple(e): w for *e, w in nx_graph.edges(data="weight")} == inside
    ig_graph = kgt.to_igraph(graph, weight="slope", min_weight=-1.5, max_weight=3.0)
    assert dict(zip(map(tuple, ig_graph.get_edgelist()), ig_graph.es["weight"])) == inside
    matrix = kgt.to_scipy_sparse(graph, "left_to_right", "slope", min_weight=-1.5, max_weight=3.0).tocoo()
    assert dict(zip(zip(matrix.row.tolist(), matrix.col.tolist()), matrix.data.tolist())) == inside
    with pytest.raises(ValueError) as error:
        kgt.to_networkx(graph, max_weight=1.0)
    assert str(error.value) == "min_weight and max_weight bound the edges' weight: give weight="


@pytest.mark.parametrize("n", [5, 200])
def test_graph_index_complexity_is_zero_at_both_ends_and_follows_the_spectrum(n):
    pytest.importorskip("scipy")
    line = np.arange(n, dtype=float)  # collinear samples block: the path of neighbours
    bowl = (line - n / 2) ** 2 + line  # strictly convex: the complete graph
    assert m.graph_index_complexity(line) == pytest.approx(0.0, abs=1e-9)
    assert m.graph_index_complexity(bowl) == pytest.approx(0.0, abs=1e-9)
    values = np.random.default_rng(n).normal(size=n)
    adjacency = np.zeros((n, n))
    for a, b in model_edges(values.tolist(), None):
        adjacency[a, b] = adjacency[b, a] = 1.0
    path = 2 * math.cos(math.pi / (n + 1))
    c = (np.linalg.eigvalsh(adjacency)[-1] - path) / (n - 1 - path)
    assert m.graph_index_complexity(values) == pytest.approx(4 * c * (1 - c), rel=1e-9)
    assert math.isnan(m.graph_index_complexity([1.0, 2.0]))


def _block_families(rng):
    """Equal-length blocks: noise, ties and plateaus, walks with infinities, a V (many
    distinct degrees over few edges), lengths 1 to 4 and longer."""
    for length in (1, 2, 3, 4, 5, 37):
        yield rng.normal(size=(5, length))
        yield rng.integers(0, 3, size=(4, length)).astype(float)
    walk = np.cumsum(rng.normal(size=(6, 60)), axis=1)
    walk[rng.random(walk.shape) < 0.05] = np.inf
    walk[rng.random(walk.shape) < 0.03] = -np.inf
    yield walk
    yield np.abs(np.arange(-150.0, 150.0) + 0.25 * rng.random(300))[None, :]
    # One long series is swept in chunks on several threads.
    long = rng.integers(0, 50, size=(1, 70_000)).astype(float)
    long[0, rng.random(long.shape[1]) < 0.01] = np.inf
    yield long


@pytest.mark.parametrize("kind", ["horizontal", "natural"])
def test_the_modules_block_tables_are_the_edge_tables(kind):
    rng = np.random.default_rng(17)
    for block in _block_families(rng):
        edge_counts, degree, tables = m.block_tables(kind, block)
        rows = list(block)
        edges = [np.asarray(kgt.features.record_edges(kgt.as_record(r), kgt.Options(kind))) for r in rows]
        flat = [np.asarray(kgt.features.record_edges(kgt.as_record(r), kgt.Options("horizontal"))) for r in rows]
        expected = m.edge_tables(kind, [block.shape[1]] * block.shape[0], edges, flat)
        assert np.array_equal(edge_counts, expected.edge_counts)
        assert np.array_equal(tables.motif_codes, expected.motif_codes)
        for name in ("degree", "joint", "out_degree", "in_degree", "out_pairs", "in_pairs", "difference"):
            got, want = getattr(tables, name), getattr(expected, name)
            assert (got is None) == (want is None), name
            if got is not None:
                assert [got[0].tolist(), got[1].tolist(), got[2]] == \
                    [want[0].tolist(), want[1].tolist(), want[2]], name
        assert [d.tolist() if hasattr(d, "tolist") else d for d in degree] == \
            [d.tolist() if hasattr(d, "tolist") else d for d in tables.degree]
        # Without the measures the degree table comes from the degree-only builder.
        for skip in (False, True):
            counts, alone, none = m.block_tables(kind, block, skip, measures=False)
            assert none is None
            degrees = [kgt.features.record_degrees(kgt.as_record(r), kgt.Options(kind, skip)) for r in rows]
            assert counts.tolist() == [int(d.sum()) // 2 for d in degrees]
            if not skip:
                assert alone[0].tolist() == degree[0].tolist() and alone[1].tolist() == degree[1].tolist()
