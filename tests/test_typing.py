"""The type stubs match the module, and pipeline code type-checks against them."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tamso

pytest.importorskip("mypy")


def mypy(*args, env_path=()):
    env = {**os.environ, "MYPYPATH": os.pathsep.join(env_path)} if env_path else None
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300, env=env)


def test_stubs_match_the_runtime_module():
    result = mypy("mypy.stubtest", "tamso._tamso")
    assert result.returncode == 0, result.stdout + result.stderr


def test_pipeline_code_type_checks(tmp_path):
    source = tmp_path / "pipe.py"
    source.write_text(textwrap.dedent('''
        from tamso import AssetWrapper, asset, partitions

        @asset(name="n", inputs={"a": "x.py:f"}, partitions={"d": partitions([1, "a"])})
        def prices(a: int, d: str) -> dict[str, int]:
            return {}

        wrapper: AssetWrapper = prices
        metadata: dict[str, object] = prices.__tamso_metadata__
        kind: str = prices.__tamso_kind__
    '''))
    result = mypy("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", str(source))
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_and_example_type_check_strictly():
    root = pathlib.Path(__file__).resolve().parent.parent
    package = pathlib.Path(tamso.__file__).resolve().parent
    # An installed package is found where it is installed; a source tree has to be named.
    search = [str(root / "examples")] + ([] if "-packages" in str(package) else [str(package.parent)])
    result = mypy("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", "-p", "tamso",
                  "-p", "pipeline", env_path=search)
    assert result.returncode == 0, result.stdout + result.stderr
