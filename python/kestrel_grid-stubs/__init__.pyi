"""Type stubs for the kestrel_grid extension module."""
