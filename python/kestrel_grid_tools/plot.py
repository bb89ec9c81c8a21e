"""Placeholder."""
def plot_series_graph(*a, **k): raise NotImplementedError
plot_degree_distribution = plot_overview = plot_series_graph
