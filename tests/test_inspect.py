"""inspect_modules(): the module loop, the asset test and the asset records."""

import importlib
import inspect
import io
import itertools
import json
import os
import sys

import pytest

import asset_like
from conftest import raised
from tamso import inspect_modules

VERSION = "%d.%d.%d" % sys.version_info[:3]
ONE_ASSET = 'from asset_like import asset\n\n@asset()\ndef my_data():\n    return {"value": 42}\n'
ODD = "from asset_like import Asset\n\ndef f():\n    pass\n\na = Asset(f, {})\n"  # {} filled in per test
_names = itertools.count()


def unique():
    return f"pipe_{os.getpid()}_{next(_names)}"


@pytest.fixture
def module(tmp_path, monkeypatch):
    """Writes a pipeline module into tmp_path (on sys.path) under a fresh name."""
    monkeypatch.syspath_prepend(str(tmp_path))

    def write(source, directory=tmp_path):
        name = unique()
        (directory / f"{name}.py").write_text(source, "utf-8")
        importlib.invalidate_caches()
        return name

    return write


def assets(*names):
    return json.loads(inspect_modules(list(names)))["assets"]


@pytest.mark.parametrize("package", ["asset_like", "tamso"])
def test_document_text_byte_for_byte(module, tmp_path, package):
    pipelines = unique()  # a package of its own: each run sees a fresh one
    (tmp_path / pipelines).mkdir()
    (tmp_path / pipelines / "__init__.py").write_text("")
    name = module(ONE_ASSET.replace("asset_like", package), directory=tmp_path / pipelines)
    path = json.dumps(str((tmp_path / pipelines / f"{name}.py").resolve()))
    assert inspect_modules([f"{pipelines}.{name}"]) == (
        '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,'
        '"serializer":null},"file_path":' + path + ',"function_name":"my_data","function_source":'
        '"@asset()\\ndef my_data():\\n    return {\\"value\\": 42}\\n","kind":"asset","module_path":'
        f'"{pipelines}.{name}","module_source":"from {package} import asset\\n\\n@asset()\\n'
        'def my_data():\\n    return {\\"value\\": 42}\\n","python_version":"' + VERSION + '","return_type":null}]}'
    )
    assert inspect_modules([]) == inspect_modules(()) == inspect_modules(["asset_like"]) == '{"assets":[]}'


def test_skip_lines_go_to_file_descriptor_two(module, monkeypatch, capfd):
    good = module(ONE_ASSET)
    failing = [  # (module body, or a name to import; the error text after the name)
        ("raise ValueError('bad value')", "ValueError: bad value"),
        ("raise SystemExit(3)", "SystemExit: 3"),
        ("raise KeyboardInterrupt", "KeyboardInterrupt: "),
        ("def (:\n", raised(compile, "def (:\n", "m", "exec").rpartition(" (")[0] + " ("),
        ("class Outer:\n    class Oops(Exception):\n        pass\nraise Outer.Oops('in', 2)", "Outer.Oops: ('in', 2)"),
        ("class E(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise E()",
         "E: <exception str() failed>"),
        ("raise ValueError('a\\udc80b')", "ValueError: a\ufffd\ufffd\ufffdb"),
        *((name, raised(importlib.import_module, name)) for name in ("nosuch_mod", "", ".sub")),
    ]
    names = [module(body) for body, _ in failing[:7]] + [body for body, _ in failing[7:]]
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert [a["module_path"] for a in assets(names[0], good, *names[1:], good)] == [good, good]
    assert sys.stderr.getvalue() == ""
    lines = capfd.readouterr().err.splitlines(keepends=True)
    assert len(lines) == len(failing)
    for name, (_, text), line in zip(names, failing, lines):
        if text.startswith("SyntaxError"):  # the rest names the file and line
            assert line.startswith(f"tamso: skipping module '{name}': {text}") and line.endswith(")\n")
        else:
            assert line == f"tamso: skipping module '{name}': {text}\n"


def test_module_without_source_ends_the_call(module, capfd):
    good = module(ONE_ASSET)
    with pytest.raises(TypeError, match="built-in module"):
        inspect_modules([good, "nosuch_x", "sys", good])
    assert capfd.readouterr().err == f"tamso: skipping module 'nosuch_x': {raised(importlib.import_module, 'nosuch_x')}\n"


def test_asset_test(module, monkeypatch, capfd):
    not_assets = ["Asset", " asset", "asset ", b"asset", 1, None, "\udc80", ValueError("no"), SystemExit(2),
                  KeyboardInterrupt()]
    monkeypatch.setattr(asset_like, "given", [type("Text", (str,), {})("asset"), *not_assets], raising=False)
    name = module("import asset_like\n\ndef f():\n    pass\n\ndef g():\n    pass\n\n" + "".join(
        f"m{i} = asset_like.Asset({'f' if i else 'g'}, kind=asset_like.given[{i}])\n" for i in range(11)))
    assert [a["function_name"] for a in assets(name)] == ["g"]
    assert capfd.readouterr().err == ""


def test_assets_in_member_name_order_and_shared_across_modules(module, tmp_path):
    first = module('from asset_like import asset\n\n@asset(name="z")\ndef zeta():\n    return 1\n\n'
                   "@asset()\ndef alpha():\n    return 2\n")
    second = module(f"from {first} import zeta as b_copy\nfrom {first} import alpha as a_copy\n")
    found = assets(first, second)
    assert [(a["module_path"], a["function_name"]) for a in found] == [
        (first, "alpha"), (first, "zeta"), (second, "alpha"), (second, "zeta")]
    sources = [(tmp_path / f"{name}.py").read_text() for name in (first, second)]
    assert [a["module_source"] for a in found] == [sources[0]] * 2 + [sources[1]] * 2
    for copy, original in zip(found[2:], found[:2]):
        for key in ("file_path", "function_source", "function_name", "decorator_metadata"):
            assert copy[key] == original[key]
    assert found[1]["decorator_metadata"]["name"] == "z" and {a["python_version"] for a in found} == {VERSION}


def test_getmembers_items_must_be_tuples(module, monkeypatch):
    name = module(ONE_ASSET)
    real = inspect.getmembers

    class Pair(tuple):
        pass

    monkeypatch.setattr(inspect, "getmembers", lambda m: [Pair(item) for item in real(m)])
    assert [a["function_name"] for a in assets(name)] == ["my_data"]
    monkeypatch.setattr(inspect, "getmembers", lambda m: ["ab"])  # unpacks as a pair, but is no tuple
    with pytest.raises(TypeError, match=r"^'str' object cannot be converted to 'PyTuple'$"):
        inspect_modules([name])
    monkeypatch.setattr(inspect, "getmembers", lambda m: [("only",)])
    pytest.raises(IndexError, inspect_modules, [name])


def test_source_texts_and_return_types(module):
    annotations = ["", " -> None", " -> int", " -> Outer.Inner", ' -> "list[int]"', " -> dict[str, int]"]
    name = module("\n\n   \nfrom asset_like import asset\n\nclass Outer:\n    class Inner:\n        pass\n" + "".join(
        f"\n@asset()\ndef f{i}(){note}:\n    pass\n" for i, note in enumerate(annotations))
        + "\nif True:\n    @asset()\n    def inner():\n        return 1\n\n\n   \n")
    postponed = module("from __future__ import annotations\nfrom asset_like import asset\n\n"
                       "@asset()\ndef g(x) -> Undefined[int]:\n    pass\n")
    found = assets(name, postponed)
    assert [a["return_type"] for a in found] == [
        None, "None", "int", "Inner", "list[int]", "dict[str, int]", None, "Undefined[int]"]
    # Module text loses blank leading and trailing lines; function text loses its indentation.
    assert found[0]["module_source"].startswith("from asset_like") and found[0]["module_source"].endswith("return 1\n")
    assert found[6]["function_source"] == "@asset()\ndef inner():\n    return 1\n"


def test_metadata_is_read_back_through_json(module):
    metadata = '{"z": "Zürich 日本 \\U0001F600", "a": [1, 2.5, -3, 10**20], "m": {"b": None, "B": True}}'
    document = inspect_modules([module(ODD.replace("{}", metadata))])
    assert '"decorator_metadata":{"a":[1,2.5,-3,1e+20],"m":{"B":true,"b":null},"z":"Zürich 日本 😀"}' in document
    assert "\\u" not in document


@pytest.mark.parametrize(("metadata", "error", "text"), [
    ("{'x': float('nan')}", RuntimeError, "JSON parse error: expected value at line 1 column 7"),
    ("[float('-inf')]", RuntimeError, "JSON parse error: invalid number at line 1 column 3"),
    ("{'x': {1, 2}}", TypeError, "Object of type set is not JSON serializable"),
    ("AttributeError('no metadata')", AttributeError, "no metadata"),
])
def test_metadata_failures_end_the_call(module, metadata, error, text):
    with pytest.raises(error) as info:
        inspect_modules([module(ODD.replace("{}", metadata))])
    assert str(info.value) == text


@pytest.mark.parametrize("failure", ["AttributeError('none')", "SystemExit(1)", "KeyboardInterrupt()"])
def test_failed_original_lookup_describes_the_member_itself(module, failure):
    name = module("from asset_like import DEFAULT_METADATA\n\ndef itself() -> int:\n    return 1\n\n"
                  'itself.__tamso_kind__, itself.__tamso_metadata__ = "asset", DEFAULT_METADATA\n\n'
                  "class Meta(type):\n    def __getattr__(cls, attr):\n"
                  f'        raise {failure} if attr == "__tamso_original__" else AttributeError(attr)\n\n'
                  'class Described(metaclass=Meta):\n    __tamso_kind__, __tamso_metadata__ = "asset", DEFAULT_METADATA\n')
    described, itself = assets(name)
    assert (itself["function_name"], itself["return_type"]) == ("itself", "int")
    assert itself["function_source"] == "def itself() -> int:\n    return 1\n"
    assert described["function_name"] == "Described"
    assert described["function_source"].startswith("class Described(metaclass=Meta):\n")


@pytest.mark.parametrize("failure", [OSError("gone"), SystemExit(0), KeyboardInterrupt(), None])
def test_getsourcefile_result(module, monkeypatch, failure):
    name, real = module(ONE_ASSET), inspect.getsourcefile

    def getsourcefile(obj):  # inspect.getsource calls it too; only the driver's own call is changed
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return real(obj)
        if failure is not None:
            raise failure

    monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
    if failure is None:
        pytest.raises(TypeError, inspect_modules, [name])
    else:
        assert [a["file_path"] for a in assets(name)] == [""]


def test_repeated_names_and_source_read_once_per_module_and_per_asset(module, monkeypatch):
    first = module(ONE_ASSET.replace("my_data", "a") + ONE_ASSET.replace("my_data", "b"))
    second = module(ONE_ASSET)
    calls = []
    real = inspect.getsource
    monkeypatch.setattr(inspect, "getsource", lambda obj: calls.append(obj) or real(obj))
    found = assets(first, second, first)
    assert [a["module_path"] for a in found] == [first, first, second, first, first] and found[:2] == found[3:]
    assert [inspect.ismodule(c) for c in calls] == [True, False, False, True, False, True, False, False]


def test_symlinked_and_relative_paths_are_resolved(module, tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    linked, relative = module(ONE_ASSET, directory=real), module(ONE_ASSET, directory=real)
    monkeypatch.syspath_prepend(str(tmp_path / "link"))
    (through_link,) = assets(linked)
    assert "link" in sys.modules[linked].__file__
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend("real")
    (through_relative,) = assets(relative)
    assert through_link["file_path"] == os.path.join(str(real.resolve()), f"{linked}.py")
    assert through_relative["file_path"] == os.path.join(str(real.resolve()), f"{relative}.py")


def test_no_references_leak_across_calls(module, refcounts):
    good, failing = module(ONE_ASSET), module(ODD.replace("{}", "{'x': float('nan')}"))
    inspect_modules([good])
    mod = sys.modules[good]
    with refcounts(mod, mod.my_data, mod.my_data._metadata, mod.my_data._original):
        for _ in range(50):
            inspect_modules([good, "nosuch_leak_module", good])
            pytest.raises(RuntimeError, inspect_modules, [good, failing])


def test_internal_failure_coming_back_is_not_discarded(module, monkeypatch, panic):
    monkeypatch.setattr(asset_like, "given", panic, raising=False)
    body = module("import asset_like\n\nraise asset_like.given('from a module body')\n")
    with pytest.raises(panic, match="from a module body"):
        inspect_modules([body])
    kind = module("import asset_like\n\nodd = asset_like.Asset(len, kind=asset_like.given('from a kind'))\n")
    with pytest.raises(panic, match="from a kind"):
        inspect_modules([kind])
