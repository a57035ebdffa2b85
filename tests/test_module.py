"""The module object: registration, docstrings, re-import, sub-interpreters."""

import importlib
import importlib.util
import inspect
import sys
import textwrap

import pytest

import tamso
from conftest import python
from tamso import _tamso

PUBLIC = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


def test_public_names_classes_and_reimport():
    assert _tamso.__all__ == PUBLIC and _tamso.__doc__ == "The native `_tamso` module."
    namespace = {}
    exec("from tamso._tamso import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(PUBLIC)
    assert all(getattr(tamso, name) is getattr(_tamso, name) for name in PUBLIC)
    for cls in (_tamso.Partitions, _tamso.AssetWrapper):
        with pytest.raises(TypeError) as info:
            cls()
        assert type(info.value) is TypeError and str(info.value) == f"No constructor defined for {cls.__name__}"
        pytest.raises(TypeError, type, "Sub", (cls,), {})  # no subclasses
        assert cls.__module__ == "builtins"
    first = sys.modules.pop("tamso._tamso")
    try:
        second = importlib.import_module("tamso._tamso")
        assert second is first and second.__all__ == PUBLIC  # not registered again
    finally:
        sys.modules["tamso._tamso"] = first


@pytest.mark.parametrize(("name", "signature"), [
    ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)"),
    ("partitions", "(values)"),
    ("inspect_modules", "(modules)"),
    ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)"),
])
def test_functions_are_bound_builtins_with_signatures(name, signature):
    fn = getattr(_tamso, name)
    assert (fn.__name__, fn.__self__, fn.__module__) == (name, _tamso, _tamso.__name__)
    assert fn.__text_signature__ == signature == str(inspect.signature(fn))
    assert not fn.__doc__.endswith("\n")


def test_docstrings_byte_for_byte():
    assert _tamso.partitions.__doc__ == textwrap.dedent('''\
        Declare a static partition universe for use with ``@asset(partitions=...)``.

        Example::

            from tamso import asset, partitions

            @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
            def prices(ticker: str): ...''')
    assert _tamso.materialize_asset.__doc__ == textwrap.dedent('''\
        Materialize a single asset function. Called by the `python -m tamso.worker` CLI stub.

        Imports the module, finds the function, calls the unwrapped original,
        serializes the result to JSON, writes value.json and result.json.

        If `input_kwargs_json` is provided, it is parsed as a JSON dict and
        passed as keyword arguments to the function.''')
    inspect_doc = _tamso.inspect_modules.__doc__
    assert inspect_doc.startswith("Inspect modules for tamso assets. Called by the `python -m tamso.inspect` CLI stub.\n")
    assert inspect_doc.endswith('Imports each module, finds functions with `__tamso_kind__ == "asset"`,\n'
                                "extracts source and metadata, returns JSON string to stdout.")
    doc = _tamso.asset.__doc__.split("\n")
    assert len(doc) == 43  # 46 lines less the signature, "--" and the empty line
    assert doc[0] == "Decorator that registers a Python function as a tamso asset."
    assert doc[14] == "    Defaults to ``\"<file>:<function_name>\"``."
    assert doc[-1] == "    Reserved for future use.  Leave unset."


def _has_module(name):
    return importlib.util.find_spec(name) is not None


OWN_MESSAGE = "PyO3 modules do not yet support subinterpreters, see https://"

# Ways the standard library can run `code` in a second interpreter, each with
# the refusal it must meet there. Interpreters that share the main one's GIL
# reach our entry point, which refuses them; from 3.12 on an interpreter with
# its own GIL is turned away by the import system before the entry point runs.
SUBINTERPRETERS = [
    pytest.param("import _testcapi; _testcapi.run_in_subinterp(code)", OWN_MESSAGE,
                 marks=pytest.mark.skipif(not _has_module("_testcapi"), reason="no _testcapi"), id="testcapi"),
    pytest.param("import _xxsubinterpreters as m; m.run_string(m.create(isolated=False), code)", OWN_MESSAGE,
                 marks=pytest.mark.skipif(not _has_module("_xxsubinterpreters"), reason="3.11/3.12 only"),
                 id="xxsubinterpreters-shared-gil"),
    pytest.param("import _xxsubinterpreters as m; m.run_string(m.create(), code)", "",
                 marks=pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="own GIL from 3.12"),
                 id="xxsubinterpreters-own-gil"),
    pytest.param("import _interpreters as m; m.run_string(m.create('legacy'), code)", OWN_MESSAGE,
                 marks=pytest.mark.skipif(not _has_module("_interpreters"), reason="3.13 on"),
                 id="interpreters-legacy"),
    pytest.param("import _interpreters as m; m.run_string(m.create('isolated'), code)", "",
                 marks=pytest.mark.skipif(not _has_module("_interpreters"), reason="3.13 on"),
                 id="interpreters-isolated"),
]


@pytest.mark.parametrize("run, message", SUBINTERPRETERS)
def test_subinterpreter_import_is_refused(run, message, tmp_path):
    outcome = tmp_path / "outcome"
    code = textwrap.dedent(f'''
        import tamso._tamso as main_module
        code = (
            "try:\\n"
            "    import tamso._tamso\\n"
            "except ImportError as exc:\\n"
            "    outcome = 'ImportError: ' + str(exc)\\n"
            "else:\\n"
            "    outcome = 'imported'\\n"
            "open({str(outcome)!r}, 'w').write(outcome)\\n")
        {run}
        import tamso._tamso as again
        assert again is main_module and again.__all__[0] == "AssetWrapper"
        print("ok")
    ''')
    out = python("-c", code, text=True)
    assert (out.returncode, out.stdout) == (0, "ok\n"), out.stderr
    assert outcome.read_text().startswith("ImportError: " + message)
