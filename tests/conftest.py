import contextlib
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tamso
from tamso import asset

PACKAGE_ROOT = str(pathlib.Path(tamso.__file__).resolve().parent.parent)
TESTS_DIR = str(pathlib.Path(__file__).resolve().parent)


def python(*args, path=(), env=(), **options):
    """Runs a fresh interpreter that imports tamso and what the `path` directories hold."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([*path, PACKAGE_ROOT]), **dict(env)}
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, timeout=60, **options)


def job_files(out):
    """Every job's file under `out` (not the state store, not the run report), by relative path."""
    root = pathlib.Path(out)
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and ".tamso" not in p.parts and p.name != "report.html"}


def values_json(p):
    """The JSON text that a Partitions instance renders into asset metadata."""
    return asset(partitions={"d": p})(lambda: None).__tamso_metadata__["partitions"]["d"]["values_json"]


def changed_while_walked(change):
    """What asset() raises when `change(inputs)` runs while it walks `inputs`."""
    class Changing(str):
        @property
        def __tamso_kind__(self):
            change(inputs)

    inputs = {"a": Changing("v"), "b": "y"}
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    return info.value


@pytest.fixture
def panic():
    """The internal-failure class."""
    return type(changed_while_walked(lambda d: d.update(more="y")))


@pytest.fixture
def dumps_returning(monkeypatch):
    """Make `json.dumps` return a fixed text, so any text reaches our reader."""
    return lambda text: monkeypatch.setattr(json, "dumps", lambda obj: text)


@pytest.fixture
def refcounts():
    """`with refcounts(*objs):` asserts the block leaves their reference counts as it found them."""
    @contextlib.contextmanager
    def unchanged(*objs):
        before = [sys.getrefcount(o) for o in objs]
        yield
        assert [sys.getrefcount(o) for o in objs] == before

    return unchanged
