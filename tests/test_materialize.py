"""materialize_asset(): the run, value.json and result.json on disk."""

import gc
import importlib
import itertools
import json
import os
import pathlib
import stat
import sys
import textwrap

import pytest

from tamso import materialize_asset

_ids = itertools.count()

SOURCE = '''
import os, sys, weakref

class Asset:  # assets are met only through their attributes
    __tamso_kind__ = "asset"
    def __init__(self, fn): self.__tamso_original__ = fn
    def __call__(self, *a, **k): raise AssertionError("the wrapper must not be called")

class Broken:
    @property
    def __tamso_original__(self): raise RuntimeError("no original")
    def __call__(self): return "called itself"

class Outer:
    class Inner(Exception): pass

class _NamedFive(type):
    @property
    def __name__(cls): return 5

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
    error = Dropped()
    LAST = weakref.ref(error)
    raise error

typed, broken, not_callable, no_signature = Asset(_typed), Broken(), 42, dict
VALUE = ["kept"]
none_, pair, kept, odd_type = returns(None), returns((1, "a")), returns(VALUE), returns(OddList([1]))
int_keys, text, a_set = returns({1: "\\u00e9", 2: [1.5, float("nan")]}), returns("Z\\u00fcrich \\u2603"), returns({1})
fails_empty, fails_nested = raises(ValueError), raises(lambda: Outer.Inner("caf\\u00e9 \\udc80"))
interrupted, odd_error = raises(KeyboardInterrupt), raises(lambda: OddError("odd"))
'''


@pytest.fixture
def pipeline(tmp_path, monkeypatch):
    """Writes SOURCE plus `extra` as a fresh module; the working directory is tmp_path/work."""
    (tmp_path / "mods").mkdir()
    (tmp_path / "work").mkdir()
    monkeypatch.syspath_prepend(str(tmp_path / "mods"))
    monkeypatch.chdir(tmp_path / "work")

    def make(extra=""):
        name = f"mat_pipeline_{next(_ids)}"
        (tmp_path / "mods" / f"{name}.py").write_text(SOURCE + textwrap.dedent(extra), "utf-8")
        return name

    return make


def run(module, function, out="out", kwargs=None):
    """Materializes; gives the exit code (None on success) and the parsed result.json."""
    try:
        assert materialize_asset(module, function, out, kwargs) is None
        code = None
    except SystemExit as exc:
        code = exc.code
    text = open(os.path.join(out, "result.json"), encoding="utf-8").read()
    assert text == json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False)  # compact, sorted, UTF-8
    return code, json.loads(text)


def ok(result_type, signature="()"):
    return {"artifact_format": "json", "ok": True, "result_type": result_type, "signature": signature,
            "value_path": "out/value.json"}


def error(error_type, text):
    return {"error": text, "error_type": error_type, "ok": False}


@pytest.mark.parametrize(
    ("function", "kwargs", "value_text", "expected"),
    [
        ("none_", None, "null", ok("NoneType")),
        ("pair", None, '[1, "a"]', ok("tuple")),
        ("int_keys", None, '{"1": "\\u00e9", "2": [1.5, NaN]}', ok("dict")),
        ("text", None, '"Z\\u00fcrich \\u2603"', ok("str")),
        ("typed", '{"ticker": "MSFT"}', '{"ticker": "MSFT", "day": 1}', ok("dict", "(ticker: str, day: int = 1) -> dict")),
        ("broken", None, '"called itself"', ok("str")),
        ("plain", None, '"none"', ok("str", "(ticker='none')")),
        ("plain", "{}", '"none"', ok("str", "(ticker='none')")),
        ("plain", ' {"ticker": "A"} ', '"A"', ok("str", "(ticker='none')")),
        ("plain", "[1, 2]", None, error("TypeError", "TypeError: 'list' object cannot be converted to 'PyDict'")),
        ("plain", "null", None, error("TypeError", "TypeError: 'NoneType' object cannot be converted to 'PyDict'")),
        ("plain", "", None, error("JSONDecodeError", "JSONDecodeError: Expecting value: line 1 column 1 (char 0)")),
        ("plain", "{x", None, error("JSONDecodeError", "JSONDecodeError: Expecting property name enclosed in "
                                                       "double quotes: line 1 column 2 (char 1)")),
        ("plain", '{"zz": 1}', None, error("TypeError", "TypeError: plain() got an unexpected keyword argument 'zz'")),
        ("nope", None, None, error("AttributeError", "AttributeError: module '{m}' has no attribute 'nope'")),
        ("nosuchmod_x:f", None, None, error("ModuleNotFoundError", "ModuleNotFoundError: No module named 'nosuchmod_x'")),
        (".rel:f", None, None, error("TypeError", "TypeError: the 'package' argument is required to perform a "
                                                  "relative import for '.rel'")),
        ("not_callable", None, None, error("TypeError", "TypeError: 'int' object is not callable")),
        ("fails_empty", None, None, error("ValueError", "ValueError: ")),
        ("fails_nested", None, None, error("Inner", "Outer.Inner: caf\u00e9 \ufffd\ufffd\ufffd")),
        ("exits_zero", None, None, error("SystemExit", "SystemExit: 0")),
        ("interrupted", None, None, error("KeyboardInterrupt", "KeyboardInterrupt: ")),
        ("a_set", None, None, error("TypeError", "TypeError: Object of type set is not JSON serializable")),
        # failures after value.json was written keep the new value
        ("no_signature", None, "{}", error("ValueError", "ValueError: no signature found for builtin type <class 'dict'>")),
        ("odd_type", None, "[1]", error("TypeError", "TypeError: 'int' object cannot be converted to 'PyString'")),
    ],
)
def test_outcome_on_disk(pipeline, capfd, function, kwargs, value_text, expected):
    module = pipeline()
    if ":" in function:
        module, function = function.split(":")
    if expected["ok"]:
        expected = dict(expected, function_name=function, module_path=module)
    else:
        expected = dict(expected, error=expected["error"].format(m=module))
    assert run(module, function, kwargs=kwargs) == (None if expected["ok"] else 1, expected)
    if value_text is None:
        assert os.listdir("out") == ["result.json"]
    else:
        assert open("out/value.json", "rb").read() == value_text.encode("ascii")
        assert sorted(os.listdir("out")) == ["result.json", "value.json"]
    assert capfd.readouterr() == ("", "")


def test_files_are_replaced_whole_and_kept_on_failure(pipeline):
    module = pipeline()
    run(module, "plain", kwargs='{"ticker": "old"}')
    os.link("out/value.json", "old-value")  # stands for a reader holding the old file
    assert run(module, "fails_empty")[1]["ok"] is False
    assert open("out/value.json").read() == '"old"'
    old_mask = os.umask(0o077)
    try:
        assert run(module, "plain", kwargs='{"ticker": "new"}')[0] is None
    finally:
        os.umask(old_mask)
    assert open("old-value").read() == '"old"' and open("out/value.json").read() == '"new"'
    assert {stat.S_IMODE(os.stat(f"out/{n}").st_mode) for n in ("value.json", "result.json")} == {0o600}


@pytest.mark.parametrize(
    ("output_dir", "value_path", "where"),
    [("out", "out/value.json", "out"), ("out/", "out/value.json", "out"), ("./out", "out/value.json", "out"),
     ("a//b/./c", "a/b/c/value.json", "a/b/c"), ("", "value.json", "."), ("{abs}/", "{abs}/value.json", "{abs}")],
)
def test_value_path_is_the_callers_path_normalized(pipeline, tmp_path, output_dir, value_path, where):
    output_dir, value_path, where = (s.format(abs=tmp_path / "abs") for s in (output_dir, value_path, where))
    assert run(pipeline(), "plain", out=output_dir)[1]["value_path"] == value_path
    assert sorted(os.listdir(where)) == ["result.json", "value.json"]


def test_chdir_inside_the_asset_does_not_move_the_files(pipeline, tmp_path, monkeypatch):
    monkeypatch.setenv("ELSEWHERE", str(tmp_path / "mods"))
    materialize_asset(pipeline(), "moves_away", "out")
    assert os.getcwd() == str(tmp_path / "mods") and not os.path.exists("out")
    out = tmp_path / "work" / "out"
    assert json.loads((out / "result.json").read_text())["value_path"] == "out/value.json"
    assert (out / "value.json").read_text() == '"moved"'


def test_failing_value_write_is_recorded_without_temporary_files(pipeline):
    os.makedirs("out/value.json")
    assert run(pipeline(), "plain") == (1, error("IsADirectoryError", "IsADirectoryError: [Errno 21] Is a directory: "
                                                                      "'out/value.json'"))
    assert sorted(os.listdir("out")) == ["result.json", "value.json"] and os.listdir("out/value.json") == []


@pytest.mark.parametrize(
    ("function", "make_dir", "kind", "text"),
    [("plain", True, IsADirectoryError, "[Errno 21] Is a directory: 'out/result.json'"),
     ("odd_error", False, TypeError, "'int' object cannot be converted to 'PyString'")],
)
def test_failing_failure_report_propagates_without_exit(pipeline, function, make_dir, kind, text):
    module = pipeline()
    if make_dir:
        os.makedirs("out/result.json")
    with pytest.raises(kind) as info:
        materialize_asset(module, function, "out")
    assert type(info.value) is kind and str(info.value) == text
    assert sorted(os.listdir("out")) == (["result.json", "value.json"] if make_dir else [])


def test_preparation_failures_propagate_and_write_nothing(pipeline, monkeypatch):
    module = pipeline()
    with pytest.raises(TypeError, match="^argument 'output_dir': 'PosixPath' object cannot be converted"):
        materialize_asset(module, "plain", pathlib.Path("out/deep"))
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "inspect", None)
        with pytest.raises(ModuleNotFoundError):
            materialize_asset(module, "plain", "out")
    open("taken", "w").close()
    for output_dir, kind in [("taken", FileExistsError), ("taken/sub", NotADirectoryError)]:
        with pytest.raises(kind):
            materialize_asset(module, "fails_empty", output_dir)
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


def test_real_asset_decorator(pipeline):
    module = pipeline("""
        from tamso import asset
        @asset(name="decorated")
        def decorated(n: int = 2) -> list:
            return list(range(n))
    """)
    assert run(module, "decorated", kwargs='{"n": 3}')[1]["signature"] == "(n: int = 2) -> list"
    assert open("out/value.json").read() == "[0, 1, 2]"
