"""The module object: registration, docstrings, re-import, sub-interpreters."""

import importlib
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


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent('''
        import _xxsubinterpreters as interpreters
        import tamso._tamso as main_module
        interpreters.run_string(interpreters.create(), (
            "try:\\n"
            "    import tamso._tamso\\n"
            "except ImportError as exc:\\n"
            "    assert str(exc).startswith('PyO3 modules do not yet support subinterpreters, see '), exc\\n"
            "    assert str(exc).split(' see ')[1].startswith('https://'), exc\\n"
            "else:\\n"
            "    raise AssertionError('imported')\\n"))
        import tamso._tamso as again
        assert again is main_module and again.__all__[0] == "AssetWrapper"
        print("ok")
    ''')
    out = python("-c", code, text=True)
    assert (out.returncode, out.stdout) == (0, "ok\n"), out.stderr
