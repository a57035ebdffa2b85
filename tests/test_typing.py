"""The type stubs match the module, and pipeline code type-checks against them."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def mypy(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300)


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
