"""materialize_asset(): the run, value.json and result.json on disk."""

import gc
import importlib
import inspect
import itertools
import json
import os
import pathlib
import stat
import sys
import textwrap
import types

import pytest

from conftest import conforms, raised
from tamso import materialize_asset

_ids = itertools.count()

SOURCE = '''
import os, sys, weakref
from tamso import asset

class Asset:  # assets are met only through their attributes
    __tamso_kind__ = "asset"
    def __init__(self, fn): self.__tamso_original__ = fn
    def __call__(self, *a, **k): raise AssertionError("the wrapper must not be called")

class Broken:
    __tamso_original__ = property(lambda self: 1 / 0)
    def __call__(self): return "called itself"

class Outer:
    class Inner(Exception): pass

class _NamedFive(type): __name__ = property(lambda cls: 5)
class OddList(list, metaclass=_NamedFive): pass
class OddError(Exception, metaclass=_NamedFive): pass
class Dropped(LookupError): pass

def returns(value): return lambda: value
def raises(make):
    def f(): raise make()
    return f
def plain(ticker="none"): return ticker
def _typed(ticker: str, day: int = 1) -> dict: return {"ticker": ticker, "day": day}
def exits_zero(): sys.exit(0)
def moves_away(): os.chdir(os.environ["ELSEWHERE"]); return "moved"
def throw():
    global LAST
    LAST = weakref.ref(error := Dropped())
    raise error
@asset(name="decorated")
def decorated(n: int = 2) -> list: return list(range(n))

typed, broken, not_callable, no_signature = Asset(_typed), Broken(), 42, dict
VALUE = ["kept"]
none_, pair, kept, odd_type = returns(None), returns((1, "a")), returns(VALUE), returns(OddList([1]))
int_keys, a_set = returns({1: "\\u00e9 \\u2603", 2: [1.5, float("nan")]}), returns({1})
fails_empty, fails_nested = raises(ValueError), raises(lambda: Outer.Inner("caf\\u00e9 \\udc80"))
interrupted, odd_error = raises(KeyboardInterrupt), raises(lambda: OddError("odd"))
'''


@pytest.fixture
def pipeline(tmp_path, monkeypatch):
    """Writes SOURCE plus `extra` as a fresh module; the working directory is tmp_path/work."""
    for d in ("mods", "work"):
        (tmp_path / d).mkdir()
    monkeypatch.syspath_prepend(str(tmp_path / "mods"))
    monkeypatch.chdir(tmp_path / "work")

    def make(extra=""):
        name = f"mat_pipeline_{next(_ids)}"
        (tmp_path / "mods" / f"{name}.py").write_text(SOURCE + textwrap.dedent(extra), "utf-8")
        return name

    return make


def run(module, function, out="out", kwargs=None):
    """Materializes; gives the exit code (None on success) and the parsed result.json."""
    code = None
    try:
        assert materialize_asset(module, function, out, kwargs) is None
    except SystemExit as exc:
        code = exc.code
    text = open(os.path.join(out, "result.json"), encoding="utf-8").read()
    assert text == json.dumps(json.loads(conforms("result.json", text)), separators=(",", ":"), ensure_ascii=False,
                              sort_keys=True)
    return code, json.loads(text)


def ok(result_type):
    """The success form; its signature text is the running interpreter's (see signature_of)."""
    return {"artifact_format": "json", "ok": True, "result_type": result_type, "value_path": "out/value.json"}


def error(error_type, text):
    return {"error": text, "error_type": error_type, "ok": False}


def error_of(call, *args):
    """The error form for what the running interpreter raises from call(*args)."""
    text = raised(call, *args)
    return error(text.partition(":")[0].rpartition(".")[2], text)


def signature_of(module, function):
    """str(inspect.signature(...)) of the function that materialization runs."""
    member = getattr(importlib.import_module(module), function)
    try:
        member = member.__tamso_original__
    except Exception:
        pass
    return str(inspect.signature(member))


def plain(ticker="none"):  # the pipeline's `plain`, for the interpreter's own binding message
    return ticker


@pytest.mark.parametrize(("function", "kwargs", "value_text", "expected"), [
    ("none_", None, "null", ok("NoneType")),
    ("pair", None, '[1, "a"]', ok("tuple")),
    ("int_keys", None, '{"1": "\\u00e9 \\u2603", "2": [1.5, NaN]}', ok("dict")),
    ("typed", '{"ticker": "MSFT"}', '{"ticker": "MSFT", "day": 1}', ok("dict")),
    ("decorated", '{"n": 3}', "[0, 1, 2]", ok("list")),
    ("broken", None, '"called itself"', ok("str")),
    ("plain", None, '"none"', ok("str")),
    ("plain", "{}", '"none"', ok("str")),
    ("plain", ' {"ticker": "A"} ', '"A"', ok("str")),
    ("plain", "null", None, error("TypeError", "TypeError: 'NoneType' object cannot be converted to 'PyDict'")),
    ("plain", "", None, error_of(json.loads, "")),
    ("plain", '{"zz": 1}', None, error_of(lambda: plain(zz=1))),
    ("nope", None, None, error_of(getattr, types.ModuleType("{m}"), "nope")),
    ("nosuchmod_x:f", None, None, error_of(importlib.import_module, "nosuchmod_x")),
    ("not_callable", None, None, error_of(lambda f=42: f())),
    ("fails_empty", None, None, error("ValueError", "ValueError: ")),
    ("fails_nested", None, None, error("Inner", "Outer.Inner: caf\u00e9 \ufffd\ufffd\ufffd")),
    ("exits_zero", None, None, error("SystemExit", "SystemExit: 0")),
    ("interrupted", None, None, error("KeyboardInterrupt", "KeyboardInterrupt: ")),
    ("a_set", None, None, error_of(json.dumps, {1})),
    # failures after value.json was written keep the new value
    ("no_signature", None, "{}", error_of(inspect.signature, dict)),
    ("odd_type", None, "[1]", error("TypeError", "TypeError: 'int' object cannot be converted to 'PyString'")),
])
def test_outcome_on_disk(pipeline, capfd, function, kwargs, value_text, expected):
    module = pipeline()
    if ":" in function:
        module, function = function.split(":")
    names = {"function_name": function, "module_path": module}
    names = names if expected["ok"] else {"error": expected["error"].format(m=module)}
    if expected["ok"]:
        names["signature"] = signature_of(module, function)
    assert run(module, function, kwargs=kwargs) == (None if expected["ok"] else 1, {**expected, **names})
    assert sorted(os.listdir("out")) == ["result.json"] + (["value.json"] if value_text else [])
    assert value_text is None or open("out/value.json", "rb").read() == value_text.encode("ascii")
    assert capfd.readouterr() == ("", "")


def test_files_are_replaced_whole_and_kept_on_failure(pipeline):
    module = pipeline()
    run(module, "plain", kwargs='{"ticker": "old"}')
    os.link("out/value.json", "old-value")  # stands for a reader holding the old file
    assert run(module, "fails_empty")[1]["ok"] is False and open("out/value.json").read() == '"old"'
    old_mask = os.umask(0o077)
    try:
        assert run(module, "plain", kwargs='{"ticker": "new"}')[0] is None
    finally:
        os.umask(old_mask)
    assert open("old-value").read() == '"old"' and open("out/value.json").read() == '"new"'
    assert {stat.S_IMODE(os.stat(f"out/{n}").st_mode) for n in ("value.json", "result.json")} == {0o600}


def test_value_path_is_the_callers_path_normalized(pipeline, tmp_path):
    module, absolute = pipeline(), str(tmp_path / "abs")
    for output_dir, value_path, where in [  # "" first, while the working directory is empty
        ("", "value.json", "."), ("out", "out/value.json", "out"), ("out/", "out/value.json", "out"),
        ("./out", "out/value.json", "out"), ("a//b/./c", "a/b/c/value.json", "a/b/c"),
        (absolute + "/", absolute + "/value.json", absolute),
    ]:
        assert run(module, "plain", out=output_dir)[1]["value_path"] == value_path
        assert sorted(os.listdir(where)) == ["result.json", "value.json"]


def test_chdir_inside_the_asset_does_not_move_the_files(pipeline, tmp_path, monkeypatch):
    monkeypatch.setenv("ELSEWHERE", str(tmp_path / "mods"))
    materialize_asset(pipeline(), "moves_away", "out")
    assert os.getcwd() == str(tmp_path / "mods") and not os.path.exists("out")
    out = tmp_path / "work" / "out"
    assert json.loads((out / "result.json").read_text())["value_path"] == "out/value.json"
    assert (out / "value.json").read_text() == '"moved"'


def test_failing_writes(pipeline):
    module = pipeline()
    os.makedirs("out/value.json")  # recorded as the failure; no temporary file is left behind
    assert run(module, "plain") == (1, error("IsADirectoryError", "IsADirectoryError: [Errno 21] Is a directory: "
                                                                  "'out/value.json'"))
    assert sorted(os.listdir("out")) == ["result.json", "value.json"] and os.listdir("out/value.json") == []
    # A failure to write the failure report propagates, without an exit.
    os.makedirs("report/result.json")
    for function, out, kind, text, left in [
        ("plain", "report", IsADirectoryError, "[Errno 21] Is a directory: 'report/result.json'",
         ["result.json", "value.json"]),
        ("odd_error", "odd", TypeError, "'int' object cannot be converted to 'PyString'", []),
    ]:
        with pytest.raises(kind) as info:
            materialize_asset(module, function, out)
        assert type(info.value) is kind and str(info.value) == text and sorted(os.listdir(out)) == left


def test_preparation_failures_propagate_and_write_nothing(pipeline, monkeypatch):
    module = pipeline()
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "inspect", None)
        pytest.raises(ModuleNotFoundError, materialize_asset, module, "plain", "out")
    open("taken", "w").close()
    pytest.raises(FileExistsError, materialize_asset, module, "fails_empty", "taken")
    pytest.raises(NotADirectoryError, materialize_asset, module, "fails_empty", "taken/sub")
    assert os.listdir() == ["taken"] and os.path.getsize("taken") == 0
    monkeypatch.setattr(pathlib.PurePath, "__truediv__", lambda self, other: {}[other])
    with pytest.raises(KeyError, match="result.json"):
        materialize_asset(module, "plain", "out")
    assert os.listdir("out") == []


def test_second_call_reuses_the_module_and_releases_everything(pipeline, tmp_path):
    name = pipeline(f"open({str(tmp_path / 'count')!r}, 'a').write('x')")
    module = importlib.import_module(name)

    def counts():
        gc.collect()  # a raised exception and its frame form a cycle of their own
        return [sys.getrefcount(o) for o in (module.VALUE, module.kept, module.throw)]

    run(name, "kept")
    run(name, "throw")
    before = counts()
    for _ in range(3):
        assert run(name, "kept")[0] is None and run(name, "throw")[0] == 1
        assert counts() == before and module.LAST() is None
    assert (tmp_path / "count").read_text() == "x"


def test_str_subclass_arguments_and_replaced_exit(pipeline, monkeypatch):
    class S(str):
        def __hash__(self):
            raise AssertionError("the driver passes plain str on")

    module = pipeline()
    assert run(S(module), S("plain"), S("out"), S('{"ticker": "s"}'))[0] is None
    calls = []
    monkeypatch.setattr(sys, "exit", calls.append)
    assert materialize_asset(module, "fails_empty", "out") is None and calls == [1]
