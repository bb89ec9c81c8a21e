"""Placeholder: replaced by the adapters module."""
DIRECTIONS = ()
WEIGHTS = ()
def directed_edges(*a, **k): raise NotImplementedError
edge_weights = to_igraph = to_networkx = to_scipy_sparse = directed_edges
