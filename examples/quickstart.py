"""A short tour of kestrel_grid: visibility graphs of a small series."""

import kestrel_grid as kg

series = [3.0, 1.0, 2.0, 4.0, 1.0, 3.0]
print("series:", series)

# Whole-series graphs under the two rules.
natural = kg.build_visibility_graph(series)
horizontal = kg.build_horizontal_visibility_graph(series)
print("natural visibility edges:   ", natural.edges)
print("horizontal visibility edges:", horizontal.edges)
print("natural, neighbours skipped:", kg.build_visibility_graph(series, skip_adjacent=True).edges)

# Pairwise tests and the stretch between two samples.
print("samples 1 and 3 see each other (natural):   ", kg.indices_are_visible(series, 1, 3))
print("samples 1 and 3 see each other (horizontal):", kg.indices_are_horizontally_visible(series, 1, 3))
print("samples strictly between 0 and 3:", kg.subseries_between(series, 0, 3))
sub = kg.build_horizontal_subgraph_between(series, 2, 5)
print("horizontal sub-graph of samples 2..5: vertices", sub.vertices, "edges", sub.edges)

# Horizontal window motif scores: visible pairs per window minus its neighbouring pairs.
print("motif scores, window 4:", kg.horizontal_window_motif_scores(series, 4))

# A sight line among obstacle segments (touching blocks).
wall = ((0.0, 4.0), (4.0, 0.0))
print("(0,0)->(4,4) clear of the wall:", kg.segment_is_visible((0.0, 0.0), (4.0, 4.0), [wall]))
print("(0,0)->(1,1) clear of the wall:", kg.segment_is_visible((0.0, 0.0), (1.0, 1.0), [wall]))

# A graph built by hand: vertices, edges, removal with renumbering.
g = kg.VisibilityGraph()
for x, y in [(0.0, 1.0), (1.0, 3.0), (2.0, 2.0), (3.0, 4.0)]:
    g.add_vertex(x, y)
g.add_edge(1, 0)  # stored as (0, 1)
g.add_edge(0, 2)
g.add_edge(2, 3)
g.add_edge(1, 3)
print("hand-built graph:", g.node_count(), "vertices,", g.edge_count(), "edges:", g.edges)
g.remove_vertex(1)
print("after removing vertex 1:", g.vertices, g.edges)
