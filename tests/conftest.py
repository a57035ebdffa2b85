import json
import sys

import pytest

from tamso import asset


def values_json(p):
    """The JSON text that a Partitions instance renders into asset metadata."""
    meta = asset(partitions={"d": p})(lambda: None).__tamso_metadata__
    return meta["partitions"]["d"]["values_json"]


@pytest.fixture
def dumps_returning(monkeypatch):
    """Make `json.dumps` return a fixed text, so any text reaches our reader."""

    def install(text):
        monkeypatch.setattr(json, "dumps", lambda obj: text)

    return install


@pytest.fixture
def refcounts():
    """Asserts that the given objects hold as many references after a block as before."""

    class Counter:
        def __init__(self):
            self.objs = []
            self.before = []

        def counts(self):
            # Counted the same way on both sides, so only the block's own
            # references make a difference.
            return [sys.getrefcount(o) for o in self.objs]

        def watch(self, *objs):
            self.objs = list(objs)
            del objs
            self.before = self.counts()

        def check(self):
            after = self.counts()
            for o, before, now in zip(self.objs, self.before, after):
                assert now == before, repr(o)

    return Counter()
