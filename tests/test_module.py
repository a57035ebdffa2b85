"""The module object: registration, docstrings, re-import, sub-interpreters."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import tamso
from tamso import _tamso

PUBLIC = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


def test_public_names_in_registration_order():
    assert _tamso.__all__ == PUBLIC
    assert _tamso.__doc__ == "The native `_tamso` module."
    namespace = {}
    exec("from tamso._tamso import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(PUBLIC)
    for name in PUBLIC:
        assert getattr(tamso, name) is getattr(_tamso, name)


def test_reimport_gives_the_same_module_without_registering_again():
    first = sys.modules.pop("tamso._tamso")
    try:
        second = importlib.import_module("tamso._tamso")
        assert second is first
        assert second.__all__ == PUBLIC
    finally:
        sys.modules["tamso._tamso"] = first


@pytest.mark.parametrize(
    ("name", "signature", "first_line"),
    [
        ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)",
         "Decorator that registers a Python function as a tamso asset."),
        ("partitions", "(values)", "Declare a static partition universe for use with ``@asset(partitions=...)``."),
        ("inspect_modules", "(modules)",
         "Inspect modules for tamso assets. Called by the `python -m tamso.inspect` CLI stub."),
        ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)",
         "Materialize a single asset function. Called by the `python -m tamso.worker` CLI stub."),
    ],
)
def test_functions_are_bound_builtins_with_signatures(name, signature, first_line):
    fn = getattr(_tamso, name)
    assert fn.__name__ == name
    assert fn.__self__ is _tamso
    assert fn.__module__ == _tamso.__name__
    assert fn.__text_signature__ == signature
    assert fn.__doc__.split("\n")[0] == first_line
    assert not fn.__doc__.endswith("\n")
    assert str(inspect.signature(fn)) == signature


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
    assert _tamso.inspect_modules.__doc__.endswith(
        'Imports each module, finds functions with `__tamso_kind__ == "asset"`,\n'
        "extracts source and metadata, returns JSON string to stdout.")
    doc = _tamso.asset.__doc__.split("\n")
    assert len(doc) == 43  # 46 lines less the signature, "--" and the empty line
    assert doc[14] == "    Defaults to ``\"<file>:<function_name>\"``."
    assert doc[-1] == "    Reserved for future use.  Leave unset."
    params = inspect.signature(_tamso.materialize_asset).parameters
    assert [p.default for p in params.values()][-1] is None
    assert sum(p.default is not inspect.Parameter.empty for p in params.values()) == 1


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent('''
        import _xxsubinterpreters as interpreters
        import tamso._tamso as main_module
        interp = interpreters.create()
        script = (
            "try:\\n"
            "    import tamso._tamso\\n"
            "except ImportError as exc:\\n"
            "    assert str(exc).startswith('PyO3 modules do not yet support subinterpreters, see '), exc\\n"
            "    assert str(exc).split(' see ')[1].startswith('https://'), exc\\n"
            "else:\\n"
            "    raise AssertionError('imported')\\n"
        )
        interpreters.run_string(interp, script)
        import tamso._tamso as again
        assert again is main_module and again.__all__[0] == "AssetWrapper"
        print("ok")
    ''')
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.parametrize("cls", [_tamso.Partitions, _tamso.AssetWrapper])
def test_classes_have_no_constructor_and_no_subclasses(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
    assert type(info.value) is TypeError
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "builtins"
