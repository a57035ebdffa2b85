"""Values beyond JSON: the serializers, their job body, and pipelines that store tables, arrays and objects."""

import contextlib
import hashlib
import json
import os
import pathlib
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

import tamso  # noqa: E402
from conftest import cli, job_files, python, run_statuses as statuses, write_module  # noqa: E402
from tamso import serializers  # noqa: E402
from tamso._tamso import materialize_asset  # noqa: E402
from tamso.executors import _serialized  # noqa: E402

FILES = {"parquet": "value.parquet", "arrow": "value.arrow", "numpy": "value.npy", "pickle": "value.pkl",
         "json": "value.json"}


def frame():
    index = pd.Index(["a", "b", "c"], name="key")
    return pd.DataFrame({
        "when": pd.date_range("2026-12-01", periods=3, freq="h", tz="Europe/Paris"),
        "n": np.array([1, 2, 3], dtype="int32"),
        "x": [0.5, np.nan, 2.5],
        "kind": pd.Categorical(["u", "v", "u"]),
    }, index=index)


def same(a, b):
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b)
    elif isinstance(a, pl.DataFrame):
        assert a.equals(b) and a.schema == b.schema
    elif isinstance(a, (pa.Table, pa.RecordBatch)):
        assert b.equals(a if isinstance(a, pa.Table) else pa.Table.from_batches([a]))
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
        assert a.dtype == b.dtype
    else:
        assert a == b


VALUES = [
    ("parquet", frame), ("arrow", frame),
    ("parquet", lambda: pl.DataFrame({"a": [1, 2], "t": ["x", None]})), ("arrow", lambda: pl.DataFrame({"a": [1.5]})),
    ("parquet", lambda: pa.table({"a": [1, 2]}, metadata={"mine": "kept"})),
    ("arrow", lambda: pa.record_batch({"a": [1, 2]})),
    ("numpy", lambda: np.arange(12, dtype="float32").reshape(3, 4)),
    ("pickle", lambda: {"set": {1, 2}, "when": pd.Timestamp("2026-12-01", tz="UTC")}),
]


@pytest.mark.parametrize(("name", "make"), VALUES)
def test_values_come_back_as_written_and_equal_values_give_identical_bytes(tmp_path, name, make):
    chosen = serializers.get(name)
    first = serializers.dump_atomic(chosen, make(), str(tmp_path))
    digest = hashlib.sha256(pathlib.Path(first).read_bytes()).hexdigest()
    again = serializers.dump_atomic(chosen, make(), str(tmp_path))
    assert first == str(tmp_path / FILES[name])
    assert hashlib.sha256(pathlib.Path(again).read_bytes()).hexdigest() == digest
    loaded = chosen.load(first)
    expected = make()
    assert type(loaded) is (pa.Table if isinstance(expected, pa.RecordBatch) else type(expected))
    same(expected, loaded)
    assert os.listdir(tmp_path) == [FILES[name]]  # no temporary file left


def test_an_arrow_table_is_read_memory_mapped(tmp_path):
    table = pa.table({"a": np.arange(1_000_000)})
    path = serializers.dump_atomic(serializers.get("arrow"), table, str(tmp_path))
    before = pa.total_allocated_bytes()
    loaded = serializers.get("arrow").load(path)
    assert pa.total_allocated_bytes() - before < 100_000  # the column's 8 MB stay in the file's pages
    assert loaded.column("a").to_numpy()[-1] == 999_999


@pytest.mark.parametrize(("name", "value", "returned"), [
    ("parquet", [1, 2], "list"), ("arrow", {"a": 1}, "dict"), ("parquet", np.zeros(2), "numpy.ndarray"),
    ("numpy", np.array([object()]), "numpy.ndarray"), ("numpy", pd.DataFrame(), "pandas.DataFrame"),
])
def test_a_value_the_serializer_does_not_take_is_named_with_what_it_takes(name, value, returned):
    chosen = serializers.get(name)
    with pytest.raises(TypeError) as caught:
        chosen.check(value)
    assert str(caught.value) == f"serializer {name!r} accepts {chosen.accepted}, but the asset returned {returned}"


def _dump(value, path):
    pathlib.Path(path).write_text(repr(value))


def _load(path):
    return pathlib.Path(path).read_text()


@pytest.mark.parametrize(("call", "message"), [
    (lambda: tamso.serializer("parquet", extension="pq", dump=_dump, load=_load), "is built in"),
    (lambda: tamso.serializer("mine", extension="npy", dump=_dump, load=_load), "belongs to a built-in"),
    (lambda: tamso.serializer("mine", extension=".txt", dump=_dump, load=_load), "bad file extension"),
    (lambda: tamso.serializer("", extension="txt", dump=_dump, load=_load), "non-empty str"),
    (lambda: tamso.serializer("text", extension="txt", dump=_load, load=_dump), "registered already"),
])
def test_registration_clashes_are_errors(call, message):
    tamso.serializer("text", extension="txt", dump=_dump, load=_load)
    assert tamso.serializer("text", extension="txt", dump=_dump, load=_load).dump is _dump  # again: the same
    with pytest.raises(ValueError, match=message):
        call()
    with pytest.raises(serializers.SerializerError, match=r"unknown serializer 'nosuch' \(known: json, parquet,"
                                                          r" arrow, numpy, pickle, .*text"):
        serializers.get("nosuch")


def test_installed_packages_add_serializers_through_entry_points(tmp_path, monkeypatch):
    package = tmp_path / "shouting.py"
    package.write_text(textwrap.dedent('''
        import pathlib
        from tamso.serializers import Serializer

        def make():
            return Serializer("shout", "shout", lambda v, p: pathlib.Path(p).write_text(v.upper()),
                              lambda p: pathlib.Path(p).read_text())
    '''))
    info = tmp_path / "shouting-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: shouting\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[tamso.serializers]\nshout = shouting:make\nbroken = shouting:nothing\n"
                                           "plain = shouting:PLAIN\n")
    package.write_text(package.read_text() + "PLAIN = {'extension': 'plain', 'dump': print, 'load': print}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(serializers, "_entry_points_loaded", False)
    chosen = serializers.get("shout")
    chosen.dump("hi", str(tmp_path / "x"))
    assert chosen.file_name == "value.shout" and chosen.load(str(tmp_path / "x")) == "HI"
    assert serializers.get("plain").file_name == "value.plain"
    with pytest.raises(serializers.SerializerError, match="'broken' .* cannot be used: AttributeError"):
        serializers.get("broken")


# The job body --------------------------------------------------------------------

BODY = '''
from tamso import asset

@asset()
def echo(x, rows=None):
    return {"x": x, "text": "caf\\u00e9", "rows": rows}

@asset()
def broken(x):
    raise KeyError("caf\\u00e9")

@asset()
def table(x):
    return x
'''


@pytest.fixture
def body(tmp_path, monkeypatch):
    """BODY as the module body_mod, importable."""
    (tmp_path / "body_mod.py").write_text(BODY)
    monkeypatch.syspath_prepend(str(tmp_path))


@pytest.mark.parametrize("function", ["echo", "broken"])
def test_a_json_asset_in_the_job_body_writes_the_core_bytes(tmp_path, monkeypatch, body, function):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) if function == "broken" else contextlib.nullcontext():
        materialize_asset("body_mod", function, "out/job", '{"x": [1, "\\u00e9"]}')
    core = job_files(tmp_path / "out")
    os.remove("out/job/result.json")
    (tmp_path / "upstream.json").write_text(json.dumps([1, "\u00e9"]))
    with pytest.raises(SystemExit) if function == "broken" else contextlib.nullcontext():
        _serialized.materialize("body_mod", function, "out/job", ('{"x":', 7, "}"),
                                {7: (str(tmp_path / "upstream.json"), "json", None)}, "json")
    assert job_files(tmp_path / "out") == core


def test_keyword_arguments_keep_the_three_rules_and_partition_values_that_look_like_markers(tmp_path, body):
    up = str(tmp_path / "up.npy")
    np.save(up, np.arange(3))
    pieces = ('{"rows":{"a|\\u0000tamso-upstream:5":', 5, ',"b":', 5, '},"x":"\\u0000tamso-upstream:5"}')
    _serialized.materialize("body_mod", "table", str(tmp_path / "j"), ('{"x":', 5, "}"), {5: (up, "numpy", None)},
                            "pickle")
    assert list(serializers.get("pickle").load(str(tmp_path / "j" / "value.pkl"))) == [0, 1, 2]
    values = _serialized._kwargs(pieces, {5: "loaded"})
    assert values == {"rows": {"a|\0tamso-upstream:5": "loaded", "b": "loaded"}, "x": "\0tamso-upstream:5"}


def test_a_refused_value_writes_the_error_form_and_keeps_the_earlier_value(tmp_path, body):
    folder = tmp_path / "j"
    _serialized.materialize("body_mod", "table", str(folder), ('{"x":[1]}',), {}, "pickle")
    earlier = (folder / "value.pkl").read_bytes()
    with pytest.raises(SystemExit):
        _serialized.materialize("body_mod", "table", str(folder), ('{"x":[1]}',), {}, "parquet")
    result = json.loads((folder / "result.json").read_bytes())
    assert result == {"ok": False, "error_type": "TypeError", "error": (
        "TypeError: serializer 'parquet' accepts a pandas DataFrame, a polars DataFrame, a pyarrow Table or a"
        " pyarrow RecordBatch, but the asset returned list")}
    assert sorted(os.listdir(folder)) == ["result.json", "value.pkl"] and (folder / "value.pkl").read_bytes() == earlier


# Pipelines -------------------------------------------------------------------------

UP = '''
import numpy as np, pandas as pd, polars as pl, pyarrow as pa
from tamso import asset, partitions

@asset(serializer="parquet", partitions={"day": partitions(["2026-12-01", "2026-12-02"])})
def orders(day):
    return pd.DataFrame({"when": pd.date_range(day, periods=4, freq="6h", tz="UTC"), "amount": [1.5, 2.0, 3.0, 4.5]})

@asset(serializer="arrow")
def rates():
    return pa.table({"currency": ["EUR", "USD"], "rate": [1.0, 1.1]})

@asset(serializer="numpy")
def weights():
    return np.linspace(0, 1, 5)

@asset(serializer="pickle")
def config():
    return {"currencies": ("USD", "EUR"), "since": pd.Timestamp("2026-12-01", tz="UTC")}

@asset()
def plain():
    return {"scale": 2}

@asset(serializer="parquet")
def frame_pl():
    return pl.DataFrame({"k": [1, 2]})
'''

DOWN = '''
import pandas as pd
from tamso import asset
from up import orders, rates, weights, config, plain, frame_pl

@asset(inputs={"orders": orders, "plain": plain}, serializer="arrow")
def revenue(orders, plain):
    frames = [f.assign(day=day) for day, f in orders.items()]
    return pd.concat(frames).assign(amount=lambda f: f.amount * plain["scale"])

@asset(inputs={"rates": rates, "weights": weights, "config": config, "frame_pl": frame_pl, "revenue": revenue})
def summary(rates, weights, config, frame_pl, revenue):
    return {"rates": rates.column("rate").to_pylist(), "weights": float(weights.sum()),
            "currencies": sorted(config["currencies"]), "polars": type(frame_pl).__module__,
            "revenue": float(revenue.amount.sum()), "tz": str(revenue.when.dt.tz)}

@asset(inputs={"s": summary}, serializer="pickle")
def wrapped(s):
    return (s["revenue"],)
'''


@pytest.fixture
def tables(tmp_path):
    (tmp_path / "up.py").write_text(UP)
    (tmp_path / "down.py").write_text(DOWN)
    return tmp_path


def run(cwd, *args):
    return cli(cwd, "run", "down", "--json", *args)


def test_a_pipeline_of_tables_arrays_and_objects(tables):
    first = run(tables)
    assert first.returncode == 0, first.stderr
    out = tables / "tamso-out"
    names = {path for path in job_files(out) if "value." in path}
    assert names == {"up:orders/day=2026-12-01/value.parquet", "up:orders/day=2026-12-02/value.parquet",
                     "up:rates/value.arrow", "up:weights/value.npy", "up:config/value.pkl", "up:plain/value.json",
                     "up:frame_pl/value.parquet", "down:revenue/value.arrow", "down:summary/value.json",
                     "down:wrapped/value.pkl"}
    assert (out / "down:revenue" / "result.json").read_bytes() == (
        b'{"artifact_format":"arrow","function_name":"revenue","module_path":"down","ok":true,'
        b'"result_type":"DataFrame","signature":"(orders, plain)","value_path":"tamso-out/down:revenue/value.arrow"}')
    summary = {"rates": [1.0, 1.1], "weights": 2.5, "currencies": ["EUR", "USD"], "polars": "polars.dataframe.frame",
               "revenue": 44.0, "tz": "UTC"}
    assert json.loads((out / "down:summary" / "value.json").read_bytes()) == summary
    revenue = tamso.read("down:revenue", out=str(out))
    assert list(revenue.columns) == ["when", "amount", "day"] and str(revenue.when.dt.tz) == "UTC"
    assert isinstance(tamso.read("up:frame_pl", out=str(out)), pl.DataFrame)
    assert tamso.read("down:wrapped", out=str(out)) == (44.0,)
    assert isinstance(tamso.read("up:orders", {"day": "2026-12-01"}, out=str(out)), pd.DataFrame)

    status = cli(tables, "status", str(out), "--json")
    rows = {r["key"]: (r["format"], r["value_size"]) for r in json.loads(status.stdout)}
    assert rows["up:weights"] == ("numpy", (out / "up:weights" / "value.npy").stat().st_size)
    assert {key: kind for key, (kind, _) in rows.items()}["down:revenue"] == "arrow"
    page = (out / "report.html").read_text()
    assert 'href="./down:revenue/value.arrow">value</a> <span class="fmt">arrow' in page

    # The upstream jobs run again and write equal values: their downstream jobs stay fresh. (An edit of up.py
    # would rerun down's jobs too: down imports up.)
    ups = [arg for key in {key for key, _ in statuses(first)} if key.startswith("up:") for arg in ("--select", key)]
    forced = statuses(run(tables, "--force", *ups))
    assert set(forced.values()) == {"ok"} and all(key.startswith("up:") for key, _ in forced)
    second = statuses(run(tables))
    assert set(second.values()) == {"fresh"}

    # A value file that is truncated or gone: that job runs again, and only it.
    path = out / "up:orders" / "day=2026-12-02" / "value.parquet"
    path.write_bytes(path.read_bytes()[:100])
    (out / "up:weights" / "value.npy").unlink()
    third = statuses(run(tables))
    assert {k for k, s in third.items() if s != "fresh"} == {("up:orders", '{"day": "2026-12-02"}'),
                                                             ("up:weights", "{}")}


def test_the_dask_executor_writes_the_same_files(tables):
    pytest.importorskip("distributed")
    local = run(tables, "--out", "local", "--jobs", "2")
    dask = run(tables, "--out", "dask", "--jobs", "2", "--executor", "dask")
    assert local.returncode == dask.returncode == 0, dask.stderr
    ours = {p: b for p, b in job_files(tables / "local").items() if not p.endswith("log.txt")}
    theirs = {p: b.replace(b'"tamso-out/', b'"local/').replace(b'"dask/', b'"local/')
              for p, b in job_files(tables / "dask").items() if not p.endswith("log.txt")}
    assert ours == theirs and any(p.endswith(".parquet") for p in ours)


@pytest.mark.parametrize(("source", "message"), [
    ('@asset(serializer="nosuch")\ndef f(): pass\n',
     "asset 'bad:f': unknown serializer 'nosuch' (known: json, parquet, arrow, numpy, pickle)"),
    ('@asset(serializer="parquet")\ndef f(): pass\n',
     "asset 'bad:f': serializer 'parquet' needs pyarrow, but it is not installed: pip install \"tamso[arrow]\""),
])
def test_serializer_plan_errors_exit_2_and_run_nothing(tmp_path, source, message):
    (tmp_path / "bad.py").write_text("from tamso import asset\n" + source)
    hide = "import sys; sys.modules['pyarrow'] = None; from tamso.cli import main; sys.exit(main(['run', 'bad']))"
    result = python("-c", hide, cwd=tmp_path, path=[str(tmp_path)])
    assert result.returncode == 2, result.stderr
    assert message in result.stderr.decode()
    assert not (tmp_path / "tamso-out").exists()


def test_a_json_asset_returning_a_frame_is_told_what_to_declare(tmp_path):
    write_module(tmp_path, "j", "import pandas as pd\nfrom tamso import asset\n"
                                "@asset()\ndef f():\n    return pd.DataFrame({'a': [1]})\n")
    result = cli(tmp_path, "run", "j", "--json")
    assert result.returncode == 1
    job = json.loads(result.stdout)["jobs"][0]
    assert job["error"] == ('TypeError: Object of type DataFrame is not JSON serializable; to store such values,'
                            ' declare @asset(..., serializer="parquet")')
    # result.json is the core's, unchanged.
    assert json.loads((tmp_path / "tamso-out" / "j:f" / "result.json").read_bytes())["error"] == \
        "TypeError: Object of type DataFrame is not JSON serializable"


def test_a_pipeline_registers_its_own_serializer(tmp_path):
    write_module(tmp_path, "own", '''
        import pathlib
        import tamso
        from tamso import asset

        def dump(value, path):
            pathlib.Path(path).write_text("\\n".join(value))

        def load(path):
            return pathlib.Path(path).read_text().split("\\n")

        tamso.serializer("lines", extension="txt", dump=dump, load=load)

        @asset(serializer="lines")
        def words():
            return ["a", "b"]
    ''')
    write_module(tmp_path, "user", "from tamso import asset\n"
                                   "@asset(inputs={'w': 'own.py:words'})\ndef count(w):\n    return len(w)\n")
    result = cli(tmp_path, "run", "user", "own", "--json")
    assert result.returncode == 0, result.stderr
    out = tmp_path / "tamso-out"
    assert (out / "own:words" / "value.txt").read_text() == "a\nb"
    assert json.loads((out / "user:count" / "value.json").read_bytes()) == 2
    code = f"import sys, tamso, own; print(tamso.read('own:words', out={str(out)!r}))"
    assert python("-c", code, cwd=tmp_path, path=[str(tmp_path)]).stdout == b"['a', 'b']\n"


def test_the_tables_example_runs_then_is_fresh(tmp_path):
    examples = pathlib.Path(__file__).resolve().parent.parent / "examples"
    out = tmp_path / "out"
    first = python("-m", "tamso", "run", "tables.sales", "--out", str(out), "--json", cwd=examples)
    assert first.returncode == 0, first.stderr
    assert len(json.loads(first.stdout)["jobs"]) == 9
    assert (out / "tables.sales:orders" / "day=2026-12-02" / "value.parquet").is_file()
    pivot = tamso.read("tables.sales:revenue_by_region", out=str(out))
    assert list(pivot.index) == ["2026-12-01", "2026-12-02", "2026-12-03"] and pivot.shape == (3, 4)
    summary = tamso.read("tables.sales:summary", out=str(out))
    assert summary["days"] == 3 and summary["revenue"] == round(float(pivot.to_numpy().sum()), 2)
    orders = tamso.read("tables.sales:orders", {"day": "2026-12-01"}, out=str(out))
    assert str(orders["at"].dt.tz) == "Europe/Zurich"
    second = python("-m", "tamso", "run", "tables.sales", "--out", str(out), "--json", cwd=examples)
    assert {job["status"] for job in json.loads(second.stdout)["jobs"]} == {"fresh"}
