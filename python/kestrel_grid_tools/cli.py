"""Placeholder."""
def main(argv=None): raise NotImplementedError
