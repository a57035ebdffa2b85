"""inspect_modules(): the module loop, the asset test and the asset records."""

import importlib
import inspect
import itertools
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import asset_like
import tamso
from tamso import inspect_modules

VERSION = "%d.%d.%d" % sys.version_info[:3]
PACKAGE_ROOT = str(Path(tamso.__file__).resolve().parent.parent)
TESTS_DIR = str(Path(__file__).resolve().parent)

_names = itertools.count()


def unique(stem="pipe"):
    return f"{stem}_{os.getpid()}_{next(_names)}"


@pytest.fixture
def module(tmp_path, monkeypatch):
    """Writes a pipeline module into tmp_path (on sys.path) under a fresh name."""
    monkeypatch.syspath_prepend(str(tmp_path))

    def write(source, name=None, directory=tmp_path):
        name = name or unique()
        (directory / f"{name}.py").write_text(textwrap.dedent(source), "utf-8")
        importlib.invalidate_caches()
        return name

    return write


def assets(*names):
    return json.loads(inspect_modules(list(names)))["assets"]


ONE_ASSET = """\
from asset_like import asset

@asset()
def my_data():
    return {"value": 42}
"""


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


@pytest.mark.parametrize("modules", [[], (), ["asset_like"]])
def test_no_assets_gives_an_empty_list(modules):
    assert inspect_modules(modules) == '{"assets":[]}'


@pytest.mark.parametrize(
    ("modules", "text"),
    [
        ("asset_like", "argument 'modules': Can't extract `str` to `Vec`"),
        ({"asset_like": 1}, "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        ((n for n in ["asset_like"]), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_modules_must_be_a_sequence_of_str(modules, text):
    with pytest.raises(TypeError) as info:
        inspect_modules(modules)
    assert str(info.value) == text


def test_tuple_and_repeated_names(module):
    first, second = module(ONE_ASSET), module(ONE_ASSET)
    found = assets(*(first, second, first))
    assert [a["module_path"] for a in found] == [first, second, first]
    assert found[0] == found[2]


SKIP_SCRIPT = """\
import io, json, sys
from tamso import inspect_modules
captured = io.StringIO()
sys.stderr = captured
document = inspect_modules(json.loads(sys.argv[1]))
sys.stdout.write(json.dumps([document, captured.getvalue()]))
"""


def test_skip_lines_go_to_file_descriptor_two(module, tmp_path):
    good = module(ONE_ASSET)
    bodies = [  # (module body, the error text after the name)
        ("raise ValueError('bad value')", "ValueError: bad value"),
        ("raise SystemExit(3)", "SystemExit: 3"),
        ("raise KeyboardInterrupt", "KeyboardInterrupt: "),
        ("def (:\n", "SyntaxError: invalid syntax ("),
        ("class Outer:\n    class Oops(Exception):\n        pass\nraise Outer.Oops('in', 2)", "Outer.Oops: ('in', 2)"),
        ("class E(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise E()",
         "E: <exception str() failed>"),
        ("raise ValueError('a\\udc80b')", "ValueError: a\ufffd\ufffd\ufffdb"),
    ]
    names = [module(body) for body, _ in bodies] + ["nosuch_mod", "", ".sub"]
    failing = bodies + [
        (None, "ModuleNotFoundError: No module named 'nosuch_mod'"),
        (None, "ValueError: Empty module name"),
        (None, "TypeError: the 'package' argument is required to perform a relative import for '.sub'"),
    ]
    order = [names[0], good] + names[1:] + [good]
    run = subprocess.run(
        [sys.executable, "-c", SKIP_SCRIPT, json.dumps(order)],
        capture_output=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), TESTS_DIR, PACKAGE_ROOT])},
    )
    assert run.returncode == 0, run.stderr
    document, replaced_stderr = json.loads(run.stdout)
    assert replaced_stderr == ""
    assert [a["module_path"] for a in json.loads(document)["assets"]] == [good, good]
    lines = run.stderr.decode("utf-8").splitlines(keepends=True)
    assert len(lines) == len(failing)
    for name, (_, text), line in zip(names, failing, lines):
        if text.startswith("SyntaxError"):  # the rest names the file and line
            assert line.startswith(f"tamso: skipping module '{name}': {text}") and line.endswith(")\n")
        else:
            assert line == f"tamso: skipping module '{name}': {text}\n"


def test_module_without_source_ends_the_call(module, capfd):
    good = module(ONE_ASSET)
    with pytest.raises(TypeError, match="built-in module"):
        inspect_modules([good, "nosuch_module_x", "sys", good])
    assert capfd.readouterr().err == (
        "tamso: skipping module 'nosuch_module_x': ModuleNotFoundError: No module named 'nosuch_module_x'\n"
    )


class Text(str):
    pass


@pytest.mark.parametrize(
    ("kind", "found"),
    [(Text("asset"), 1)] + [(kind, 0) for kind in [
        "Asset", " asset", "asset ", b"asset", 1, None, "\udc80", ValueError("no"), SystemExit(2), KeyboardInterrupt(),
    ]],
)
def test_asset_test(module, monkeypatch, kind, found, capfd):
    monkeypatch.setattr(asset_like, "given", kind, raising=False)
    name = module("import asset_like\n\ndef f():\n    pass\n\nodd = asset_like.Asset(f, kind=asset_like.given)\n")
    assert len(assets(name)) == found
    assert capfd.readouterr().err == ""


def test_assets_in_member_name_order_and_shared_across_modules(module, tmp_path):
    first = module(
        """\
        from asset_like import asset

        @asset(name="z")
        def zeta():
            return 1

        @asset()
        def alpha():
            return 2
        """
    )
    second = module(f"from {first} import zeta as b_copy\nfrom {first} import alpha as a_copy\n")
    found = assets(first, second)
    assert [(a["module_path"], a["function_name"]) for a in found] == [
        (first, "alpha"), (first, "zeta"), (second, "alpha"), (second, "zeta"),
    ]
    first_source = (tmp_path / f"{first}.py").read_text()
    second_source = (tmp_path / f"{second}.py").read_text()
    assert [a["module_source"] for a in found] == [first_source] * 2 + [second_source] * 2
    for copy, original in zip(found[2:], found[:2]):
        for key in ("file_path", "function_source", "function_name", "decorator_metadata"):
            assert copy[key] == original[key]
    assert found[1]["decorator_metadata"]["name"] == "z"
    assert {a["python_version"] for a in found} == {VERSION}


def test_source_text_rule(module):
    name = module(
        "\n\n   \nfrom asset_like import asset\n\nif True:\n    @asset()\n    def inner():\n"
        "        return 1\n\n\n   \n"
    )
    (record,) = assets(name)
    assert record["module_source"].startswith("from asset_like")
    assert record["module_source"].endswith("return 1\n")
    assert record["function_source"] == "@asset()\ndef inner():\n    return 1\n"


def test_getmembers_items_must_be_tuples(module, monkeypatch):
    name = module(ONE_ASSET)
    real = inspect.getmembers

    class Pair(tuple):
        pass

    monkeypatch.setattr(inspect, "getmembers", lambda m: [Pair(item) for item in real(m)])
    assert [a["function_name"] for a in assets(name)] == ["my_data"]
    for item, text in [
        ("ab", "'str' object cannot be converted to 'PyTuple'"),
        ({"a": 1}, "'dict' object cannot be converted to 'PyTuple'"),
        ((x for x in "ab"), "'generator' object cannot be converted to 'PyTuple'"),
    ]:
        monkeypatch.setattr(inspect, "getmembers", lambda m, item=item: [item])
        with pytest.raises(TypeError) as info:
            inspect_modules([name])
        assert str(info.value) == text
    monkeypatch.setattr(inspect, "getmembers", lambda m: [("only",)])
    with pytest.raises(IndexError):
        inspect_modules([name])


def test_return_types(module):
    annotations = ["", " -> None", " -> int", " -> Outer.Inner", ' -> "list[int]"', " -> dict[str, int]"]
    name = module("from asset_like import asset\n\nclass Outer:\n    class Inner:\n        pass\n" + "".join(
        f"\n@asset()\ndef f{i}(){note}:\n    pass\n" for i, note in enumerate(annotations)
    ))
    postponed = module(
        "from __future__ import annotations\nfrom asset_like import asset\n\n"
        "@asset()\ndef g(x) -> Undefined[int]:\n    pass\n"
    )
    assert [a["return_type"] for a in assets(name, postponed)] == [
        None, "None", "int", "Inner", "list[int]", "dict[str, int]", "Undefined[int]",
    ]


def test_metadata_is_read_back_through_json(module):
    name = module(
        """\
        from asset_like import Asset

        def f():
            pass

        a = Asset(f, {"z": "Zürich 日本 \\U0001F600", "a": [1, 2.5, -3, 10**20], "m": {"b": None, "B": True}})
        """
    )
    document = inspect_modules([name])
    assert '"decorator_metadata":{"a":[1,2.5,-3,1e+20],"m":{"B":true,"b":null},"z":"Zürich 日本 😀"}' in document
    assert "\\u" not in document


@pytest.mark.parametrize(
    ("metadata", "error", "text"),
    [
        ("{'x': float('nan')}", RuntimeError, "JSON parse error: expected value at line 1 column 7"),
        ("[float('-inf')]", RuntimeError, "JSON parse error: invalid number at line 1 column 3"),
        ("{'x': {1, 2}}", TypeError, "Object of type set is not JSON serializable"),
        ("AttributeError('no metadata')", AttributeError, "no metadata"),
    ],
)
def test_metadata_failures_end_the_call(module, metadata, error, text):
    name = module(f"from asset_like import Asset\n\ndef f():\n    pass\n\na = Asset(f, {metadata})\n")
    with pytest.raises(error) as info:
        inspect_modules([name])
    assert str(info.value) == text


@pytest.mark.parametrize("failure", ["AttributeError('none')", "SystemExit(1)", "KeyboardInterrupt()"])
def test_failed_original_lookup_describes_the_member_itself(module, failure):
    name = module(
        f"""\
        from asset_like import DEFAULT_METADATA

        def itself() -> int:
            return 1

        itself.__tamso_kind__ = "asset"
        itself.__tamso_metadata__ = DEFAULT_METADATA

        class Meta(type):
            def __getattr__(cls, attr):
                if attr == "__tamso_original__":
                    raise {failure}
                raise AttributeError(attr)

        class Described(metaclass=Meta):
            __tamso_kind__ = "asset"
            __tamso_metadata__ = DEFAULT_METADATA
        """
    )
    described, itself = assets(name)
    assert (itself["function_name"], itself["return_type"]) == ("itself", "int")
    assert itself["function_source"] == "def itself() -> int:\n    return 1\n"
    assert described["function_name"] == "Described"
    assert described["function_source"].startswith("class Described(metaclass=Meta):\n")


@pytest.mark.parametrize(
    ("failure", "path"),
    [(OSError("gone"), ""), (SystemExit(0), ""), (KeyboardInterrupt(), ""), (None, TypeError)],
)
def test_getsourcefile_result(module, monkeypatch, failure, path):
    name = module(ONE_ASSET)
    real = inspect.getsourcefile

    def getsourcefile(obj):
        # inspect.getsource calls it too; only the driver's own call is changed.
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return real(obj)
        if failure is None:
            return None
        raise failure

    monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
    if path is TypeError:
        with pytest.raises(TypeError):
            inspect_modules([name])
    else:
        (record,) = assets(name)
        assert record["file_path"] == path


def test_source_is_read_once_per_module_and_once_per_asset(module, monkeypatch):
    name = module(ONE_ASSET.replace("my_data", "first") + ONE_ASSET.replace("my_data", "second"))
    calls = []
    real = inspect.getsource
    monkeypatch.setattr(inspect, "getsource", lambda obj: calls.append(obj) or real(obj))
    assert len(assets(name, name)) == 4
    assert [inspect.ismodule(c) for c in calls] == [True, False, False] * 2


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
    expected = str(real.resolve())
    assert through_link["file_path"] == os.path.join(expected, f"{linked}.py")
    assert through_relative["file_path"] == os.path.join(expected, f"{relative}.py")


def test_no_references_leak_across_calls(module, capfd):
    good = module(ONE_ASSET)
    failing = module("from asset_like import Asset\n\ndef f():\n    pass\n\na = Asset(f, {'x': float('nan')})\n")
    inspect_modules([good])
    mod = sys.modules[good]
    watched = [mod, mod.my_data, mod.my_data._metadata, mod.my_data._original]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        inspect_modules([good, "nosuch_leak_module", good])
        with pytest.raises(RuntimeError):
            inspect_modules([good, failing])
    assert [sys.getrefcount(o) for o in watched] == before
    capfd.readouterr()


def test_internal_failure_coming_back_is_not_discarded(module, monkeypatch):
    inputs = {}

    class Text(str):
        @property
        def __tamso_kind__(self):
            inputs["more"] = "y"  # changes the dict under the declaration's walk
            return "not an asset"

    inputs["a"] = Text("x")
    inputs["b"] = "z"
    panic = None
    try:
        tamso.asset(inputs=inputs)
    except BaseException as exc:  # noqa: BLE001 - the internal-failure exception
        panic = type(exc)
    assert panic.__name__ == "PanicException"
    monkeypatch.setattr(asset_like, "given", panic, raising=False)
    body = module("import asset_like\n\nraise asset_like.given('from a module body')\n")
    with pytest.raises(panic, match="from a module body"):
        inspect_modules([body])
    kind = module("import asset_like\n\nodd = asset_like.Asset(len, kind=asset_like.given('from a kind'))\n")
    with pytest.raises(panic, match="from a kind"):
        inspect_modules([kind])
