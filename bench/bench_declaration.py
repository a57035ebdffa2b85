"""Declaring assets, calling them and reading their metadata, against plain
calls and a pure-Python decorator doing the same work.

Run: PYTHONPATH=<built package> python3 bench/bench_declaration.py [--json]
"""

from __future__ import annotations

import pure_declaration as pure
from _harness import Case, main

import tamso

CALLS = 1_000_000
DECLARATIONS = 10_000
READS = 100_000
TICKERS = ["AAPL", "MSFT", "GOOG"]


def f(a, b):
    return a


def call_loop(fn):
    for _ in range(CALLS):
        fn(1, b=2)


def declare_loop(asset, dimension):
    for _ in range(DECLARATIONS):
        asset(name="prices", inputs={"raw": "pipeline/sources.py:raw", "fx": "pipeline/sources.py:fx"},
              partitions={"ticker": dimension})(f)


def read_loop(wrapper):
    for _ in range(READS):
        wrapper.__tamso_metadata__


def cases():
    ours_dimension = tamso.partitions(TICKERS)
    pure_dimension = pure.partitions(TICKERS)
    options = dict(name="prices", inputs={"raw": "pipeline/sources.py:raw", "fx": "pipeline/sources.py:fx"})
    ours_wrapper = tamso.asset(**options, partitions={"ticker": ours_dimension})(f)
    pure_wrapper = pure.asset(**options, partitions={"ticker": pure_dimension})(f)
    assert ours_wrapper.__tamso_metadata__ == pure_wrapper.__tamso_metadata__
    plain_wrapper = tamso.asset()(f)
    return [
        Case(f"call w(1, b=2) x{CALLS:,}", lambda: call_loop(plain_wrapper), lambda: call_loop(f),
             target=1.3, baseline_name="plain f(1, b=2)"),
        Case(f"declare {DECLARATIONS:,} assets", lambda: declare_loop(tamso.asset, ours_dimension),
             lambda: declare_loop(pure.asset, pure_dimension), target=0.5),
        Case(f"read __tamso_metadata__ x{READS:,}", lambda: read_loop(ours_wrapper),
             lambda: read_loop(pure_wrapper), target=0.5),
    ]


if __name__ == "__main__":
    main(cases)
