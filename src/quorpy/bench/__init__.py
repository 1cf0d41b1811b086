"""Benchmark of ``quorpy._fastloop`` against the other ways of driving a per-element
native interface: ``python -m quorpy.bench --help``."""
