"""The literal rules as small pure-Python models, the one home the tests compare the
module with. Python floats are IEEE doubles with one rounding per operation and Python
never fuses a multiply-add, so the float models reproduce the native arithmetic bit for
bit; the exact rule is modelled with Fractions."""

import math
from fractions import Fraction

INF = math.inf


class _Index:
    """x_k = k as a sequence of floats, without building a list."""

    def __getitem__(self, k):
        return float(k)


INDEX = _Index()


# --- one sample k against the pair (a, b) -----------------------------------------------

def natural_blocks(v, x, a, k, b):
    # h = fl(fl(q * rise) + y_a) with q = fl(fl(x_k - x_a) / fl(x_b - x_a)).
    span = x[b] - x[a]
    rise = v[b] - v[a]
    q = (x[k] - x[a]) / span
    return v[k] >= q * rise + v[a]


def exact_blocks(v, x, a, k, b):
    ya, yk, yb = v[a], v[k], v[b]
    if math.isnan(ya) or math.isnan(yb) or math.isnan(yk) or math.isinf(ya):
        return False
    if yb == INF:
        return yk == INF
    if yb == -INF:
        return True
    if yk in (INF, -INF):
        return yk == INF
    f = Fraction
    return (f(x[b]) - f(x[a])) * (f(yk) - f(ya)) - (f(x[k]) - f(x[a])) * (f(yb) - f(ya)) >= 0


def horizontal_blocks(v, x, a, k, b):
    threshold = v[b] if math.isnan(v[a]) or v[b] < v[a] else v[a]
    return v[k] >= threshold


def model_edges(v, x, kind="natural", penetrable=0, skip_adjacent=False, exact=False):
    """Every pair (a, b), a < b, with at most ``penetrable`` blockers, in ascending order."""
    x = INDEX if x is None else x
    if kind == "horizontal":
        blocks = horizontal_blocks
    else:
        blocks = exact_blocks if exact else natural_blocks
    edges = []
    for a in range(len(v)):
        for b in range(a + 1, len(v)):
            if skip_adjacent and b == a + 1:
                continue
            if sum(blocks(v, x, a, k, b) for k in range(a + 1, b)) <= penetrable:
                edges.append((a, b))
    return edges


# --- the pair tests, stretches, motif scores and segments of the original entries ------

def natural(v, i, j):
    """The natural pair test at x_k = k (False for an index out of range or i == j)."""
    if i >= len(v) or j >= len(v) or i == j:
        return False
    lo, hi = min(i, j), max(i, j)
    return not any(natural_blocks(v, INDEX, lo, k, hi) for k in range(lo + 1, hi))


def horizontal(v, i, j):
    if i >= len(v) or j >= len(v) or i == j:
        return False
    lo, hi = min(i, j), max(i, j)
    return not any(horizontal_blocks(v, INDEX, lo, k, hi) for k in range(lo + 1, hi))


def stretch_graph(v, lo, hi, skip, test):
    vertices = [(float(k), v[k]) for k in range(lo, hi + 1)]
    edges = [(a - lo, b - lo) for a in range(lo, hi + 1) for b in range(a + 1, hi + 1)
             if not (skip and b == a + 1) and test(v, a, b)]
    return vertices, edges


def check_indices(v, i, j):
    if i >= len(v) or j >= len(v):
        raise IndexError("index out of bounds")
    return min(i, j), max(i, j)


def subseries(v, i, j):
    lo, hi = check_indices(v, i, j)
    return [float(x) for x in v[lo + 1:hi]]


def motif_scores(v, w, skip):
    n = len(v)
    if w == 0:
        raise ValueError("window size must be greater than zero")
    if w > n:
        raise ValueError("window size must be less than or equal to len(time_series)")
    diff = [0] * (n - w + 2)
    for i in range(n):
        for j in range(i + 1, n):  # every pair, even those wider than a window
            if (skip and j == i + 1) or not horizontal(v, i, j):
                continue
            first = j + 1 - w if j + 1 >= w else 0
            last = min(i, n - w)
            if first <= last:
                diff[first] += 1
                diff[last + 1] -= 1
    scores, running = [], 0
    for s in range(n - w + 1):
        running += diff[s]
        scores.append(running - (w - 1))
    return scores


def orient(p, q, r):
    return (q[1] - p[1]) * (r[0] - q[0]) - (q[0] - p[0]) * (r[1] - q[1])


def sign(x):
    return 1 if x > 0 else -1 if x < 0 else 0


def bounds(a, b):
    """Smaller and larger of a and b, a single NaN operand ignored."""
    if math.isnan(a) or math.isnan(b):
        return (b, b) if math.isnan(a) else (a, a)
    return (b if b < a else a), (b if b > a else a)


def in_box(r, p, q):
    (lo_x, hi_x), (lo_y, hi_y) = bounds(p[0], q[0]), bounds(p[1], q[1])
    return lo_x <= r[0] <= hi_x and lo_y <= r[1] <= hi_y


def segment_visible(p, q, obstacles):
    for a, b in obstacles:
        o1, o2 = sign(orient(a, b, p)), sign(orient(a, b, q))
        o3, o4 = sign(orient(p, q, a)), sign(orient(p, q, b))
        if o1 != o2 and o3 != o4:
            return False
        if ((o1 == 0 and in_box(p, a, b)) or (o2 == 0 and in_box(q, a, b))
                or (o3 == 0 and in_box(a, p, q)) or (o4 == 0 and in_box(b, p, q))):
            return False
    return True




# --- the graph classes ------------------------------------------------------------------

OUT_OF_BOUNDS = "vertex index out of bounds"


class ModelGraph:
    """The record's behaviour written the plain way: range test first, then silent drops."""

    def __init__(self):
        self.vertices, self.edges = [], []

    def node_count(self):
        return len(self.vertices)

    def edge_count(self):
        return len(self.edges)

    def add_vertex(self, x, y):
        self.vertices.append((float(x), float(y)))
        return len(self.vertices) - 1

    def add_edge(self, v1, v2):
        if max(v1, v2) >= len(self.vertices):
            raise IndexError(OUT_OF_BOUNDS)
        if v1 != v2 and (min(v1, v2), max(v1, v2)) not in self.edges:
            self.edges.append((min(v1, v2), max(v1, v2)))

    def remove_vertex(self, index):
        if index >= len(self.vertices):
            raise IndexError(OUT_OF_BOUNDS)
        del self.vertices[index]
        self.edges = [(a - (a > index), b - (b > index)) for a, b in self.edges if index not in (a, b)]

    def remove_edge(self, v1, v2):
        if v1 == v2 or (min(v1, v2), max(v1, v2)) not in self.edges:
            return False
        self.edges.remove((min(v1, v2), max(v1, v2)))
        return True
