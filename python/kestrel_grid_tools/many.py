"""Placeholder."""
def series_features(*a, **k): raise NotImplementedError
