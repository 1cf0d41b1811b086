"""Benchmark of ``quorpy._fastloop`` against the other ways of driving a per-element
native interface::

    python -m quorpy.bench [--quick] [--json FILE] [--plot FILE.png] [--version]

Contenders, each calling the same native function once per element:

- ``quorpy``: the transfer function itself, allocation of its results included;
- ``C loop``: a plain C loop in the helper library ``libquorpy_bench.so`` built with
  the package, called once through ctypes over result arrays made with NumPy on every
  call: the limit of the per-element cost at large n (at small n, the ctypes call
  costs more than the whole transfer);
- ``numba @njit``: a jitted loop calling the address through a typed function
  pointer (see :mod:`quorpy.bench.nb`), optional;
- ``ctypes loop`` and ``cffi loop`` (ABI mode): Python loops, measured up to a size
  cap and extrapolated linearly above it; cffi is optional.

Every contender makes its results as the functions make them (see
:func:`quorpy.bench.contenders.new_result`). Each runs against two natives: the
reference runtime (:mod:`quorpy.reference`) and the cheapest natives of the helper
library, whose per-element cost is a few ns, so that what remains is the cost of the
transfer itself.

Timing is in one process, interleaved: every round times one batch of every
contender, in a rotating order, and ratios are medians of per-round ratios. Two
threads are timed against one with large calls and with small ones
(:mod:`quorpy.bench.threads`).
"""
