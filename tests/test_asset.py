"""asset(): option checks and their messages, input references, the decorator and the metadata record."""

import importlib.util
import os
import pathlib

import pytest

from asset_like import Asset
from conftest import changed_while_walked
from tamso import asset, partitions

BAD_INPUT = "inputs values must be @asset-decorated functions or asset ref strings"
BAD_PARTITION = "partition values must be partitions([...]) instances"
ARITY = "asset() decorator expects exactly one argument (the function)"
HERE = str(pathlib.Path(__file__).resolve())


def f():
    return 1


@asset()
def raw():
    return [1]


def record(**options):
    return asset(**options)(f).__tamso_metadata__


def grow(d):
    d["late"] = "x"


@pytest.mark.parametrize(("call", "text"), [
    (lambda: asset(name=3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: asset(serializer=b""), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: asset(partitions=5), "'int' object cannot be converted to 'PyDict'"),
    (lambda: asset(partitions={b"t": partitions([])}), "'bytes' object cannot be converted to 'PyString'"),
    (lambda: asset(inputs={"d": "\udc80"}), BAD_INPUT),
    (lambda: asset(inputs={"d": Asset(f, kind="Asset")}), BAD_INPUT),
    (lambda: asset(inputs={"d": Asset(f, kind=ValueError("hidden"))}), BAD_INPUT),
    # Inputs in full before partitions; the first failing entry decides.
    (lambda: asset(inputs=5, partitions=5), "'int' object cannot be converted to 'PyDict'"),
    (lambda: asset(partitions={"t": 1}, inputs={"a": "ok", "b": 1, 2: "x"}), BAD_INPUT),
    (lambda: asset(inputs={"a": "ok", 2: 1}, partitions={"t": 1}), "'int' object cannot be converted to 'PyString'"),
    (lambda: asset(inputs={"a": "ok"}, partitions={"t": partitions([]), "u": 1}), BAD_PARTITION),
    (lambda: asset()(), ARITY), (lambda: asset()(f, f), ARITY),
])
def test_refusals(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == text
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("options", [{"name": "\udc80"}, {"inputs": {"\udc80": "x"}},
                                     {"partitions": {"\udc80": partitions([])}}])
def test_surrogate_texts_raise_unicode_error(options):
    pytest.raises(UnicodeEncodeError, asset, **options)


def test_records():
    empty = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}
    assert record() == record(name=None, inputs=None, partitions=None, serializer=None) == empty
    assert list(record()) == ["kind", "name", "serializer", "inputs", "partitions"]
    assert record(inputs={}, partitions={})["inputs"] == {} == record(partitions={})["partitions"]

    class S(str):
        pass

    full = record(name=S("prices"), serializer="json", inputs={S("data"): S("any text at all")},
                  partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"]), "none": partitions([])})
    assert full == {"kind": "asset", "name": "prices", "serializer": "json", "inputs": {"data": "any text at all"},
                    "partitions": {"ticker": {"kind": "inline", "values_json": '["AAPL","MSFT","GOOG"]'},
                                   "none": {"kind": "inline", "values_json": "[]"}}}
    assert list(full["partitions"]["ticker"]) == ["kind", "values_json"]
    assert all(type(t) is str for t in [full["name"], *full["inputs"], *full["inputs"].values()])


def test_dict_storage_is_walked_and_equal_key_texts_keep_the_later_entry():
    class Key(str):
        __hash__, __eq__ = object.__hash__, object.__eq__

    class D(dict):
        def __iter__(self):
            raise AssertionError("not called")

        items = keys = values = __getitem__ = __len__ = __iter__

    meta = record(inputs=D({Key("a"): "first", Key("a"): "second"}),
                  partitions=D({Key("t"): partitions([1]), Key("t"): partitions([2])}))
    assert meta["inputs"] == {"a": "second"}
    assert meta["partitions"] == {"t": {"kind": "inline", "values_json": "[2]"}}


def test_asset_inputs_reference_resolved_file_and_function_name(tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (real / "up.py").write_text("from tamso import asset\n\n@asset(name='prices')\ndef raw():\n    return 1\n")
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    monkeypatch.chdir(tmp_path)
    for i, path in enumerate(["link/up.py", os.path.join("real", "..", "real", "up.py")]):
        where = importlib.util.spec_from_file_location(f"up_{i}", path)
        up = importlib.util.module_from_spec(where)
        where.loader.exec_module(up)
        assert record(inputs={"data": up.raw})["inputs"] == {"data": str((real / "up.py").resolve()) + ":raw"}


def test_asset_inputs_through_the_attribute_protocol():
    def plain():
        pass

    plain.__tamso_kind__ = "asset"  # no __tamso_original__: the object itself

    class Meta(type):
        @property
        def __tamso_original__(cls):
            raise ValueError("not seen")

    class Up(metaclass=Meta):
        __tamso_kind__ = "asset"

    class Quiet(str):
        __tamso_kind__ = property(lambda self: 1 / 0)

    inputs = record(inputs={"a": plain, "b": Up, "c": raw, "d": Quiet("kept")})["inputs"]
    assert inputs == {"a": HERE + ":plain", "b": HERE + ":Up", "c": HERE + ":raw", "d": "kept"}
    # Failures to locate the source pass unchanged.
    with pytest.raises(TypeError, match="builtin_function_or_method"):
        asset(inputs={"a": Asset(len)})
    scope = {}
    exec("def made(): pass", scope)  # no source file
    scope["made"].__tamso_kind__ = "asset"
    with pytest.raises(TypeError, match="NoneType"):
        asset(inputs={"a": scope["made"]})


@pytest.mark.parametrize(("change", "message"), [
    (grow, "dictionary changed size during iteration"),
    (lambda d: (d.pop("a"), d.update(c="x")), "dictionary keys changed during iteration"),  # same size
])
def test_dict_changed_while_walked_is_an_internal_failure(change, message):
    exc = changed_while_walked(change)
    assert not isinstance(exc, Exception) and exc.args == (message,)
    assert type(exc).__module__ == "pyo3_runtime" and type(exc).__name__ == "PanicException"


def test_decorator_object():
    d = asset(name="x")
    assert d.__name__ == "asset_decorator" and d.__doc__ is None and d.__module__ is None
    assert asset() is not asset()
    with pytest.raises(TypeError, match="^No constructor defined for AssetDecorator$"):
        type(d.__self__)()

    def g():
        pass

    one, two, odd = d(f), d(g, extra=1), d(42)
    del d
    assert one.__tamso_original__ is f and two.__tamso_original__ is g and odd.__tamso_original__ == 42
    assert one.__tamso_metadata__ == two.__tamso_metadata__ and one.__tamso_metadata__["name"] == "x"


def test_references_are_released(refcounts):
    name, ref, p, values = "n" * 3, "r" * 3, partitions(["AAPL"]), {"a": "x"}

    class Failing:
        __tamso_kind__ = property(lambda self: {}[ref])  # a fresh KeyError(ref) on each read

    with refcounts(name, ref, p, f, raw, values):
        for _ in range(100):
            d = asset(name=name, inputs={"a": ref, "b": raw}, partitions={"t": p})
            d(f).__tamso_metadata__
            d(f, extra=name)
            for bad in [dict(inputs={"a": ref, "b": f}), dict(inputs=values, partitions={"t": values}),
                        dict(name=name, serializer=p), dict(inputs={"a": Failing()})]:
                pytest.raises(TypeError, asset, **bad)
            pytest.raises(TypeError, d, f, raw)
            changed_while_walked(grow)
        del d
