"""Argument binding and conversion refusals: the exact TypeError texts."""

import pathlib
import sys

import pytest

from conftest import TESTS_DIR, python
from tamso._tamso import asset, inspect_modules, materialize_asset, partitions

MODULES_INT = "argument 'modules': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(("call", "text"), [
    (lambda: asset(len), "asset() takes 0 positional arguments but 1 was given"),
    (lambda: asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
    (lambda: asset(nme="x"), "asset() got an unexpected keyword argument 'nme'"),
    (lambda: partitions(), "partitions() missing 1 required positional argument: 'values'"),
    (lambda: partitions([1], [2]), "partitions() takes 1 positional arguments but 2 were given"),
    (lambda: partitions([1], values=[2]), "partitions() got multiple values for argument 'values'"),
    (lambda: partitions(value=[1]), "partitions() got an unexpected keyword argument 'value'"),
    (lambda: partitions(**{"\udc80": 1}), "partitions() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: partitions(("a", "b")), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: partitions(None), "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda: inspect_modules(modules=[], extra=1), "inspect_modules() got an unexpected keyword argument 'extra'"),
    (lambda: inspect_modules("mod"), "argument 'modules': Can't extract `str` to `Vec`"),
    (lambda: inspect_modules({"a": 1}), "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: inspect_modules(["ok", 3]), MODULES_INT),
    (lambda: inspect_modules(b"ab"), MODULES_INT),
    (lambda: materialize_asset(),
     "materialize_asset() missing 3 required positional arguments: 'module_name', 'function_name', and 'output_dir'"),
    (lambda: materialize_asset("m"),
     "materialize_asset() missing 2 required positional arguments: 'function_name' and 'output_dir'"),
    (lambda: materialize_asset("m", "f"), "materialize_asset() missing 1 required positional argument: 'output_dir'"),
    (lambda: materialize_asset("m", "f", "d", None, 5),
     "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: materialize_asset("m", "f", "d", module_name="x"),
     "materialize_asset() got multiple values for argument 'module_name'"),
    (lambda: materialize_asset(module_name="m", function_name="f", output_dir=pathlib.Path("d")),
     "argument 'output_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset(b"m", "f", "d"), "argument 'module_name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: materialize_asset("m", "f", "d", 5),
     "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'"),
])
def test_binding_messages(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and info.value.__cause__ is None and str(info.value) == text


@pytest.mark.parametrize("claimed", [sys.maxsize, "many"])
def test_module_list_length_is_only_a_hint(claimed):
    """The sequence claims `claimed` items; iteration yields what it really holds."""
    claims = type("Claims", (), {"__len__": lambda self: claimed, "__getitem__": lambda self, i: ["ok", 5][i]})
    with pytest.raises(TypeError, match=f"^{MODULES_INT}$"):
        inspect_modules(claims())


def test_failures_from_the_sequence_protocol(panic):
    class Oops(TypeError):
        pass

    def fail(error):
        def method(self, *args):
            raise error
        return method

    class Cause(Exception):
        pass

    def refused(self, i):
        raise TypeError("iteration refused") from Cause("root")

    # A TypeError subclass passes unwrapped; an internal failure from the length hint is not discarded.
    with pytest.raises(Oops, match="^broken iteration$"):
        inspect_modules(type("M", (), {"__len__": fail(RuntimeError()), "__getitem__": fail(Oops("broken iteration"))})())
    with pytest.raises(panic, match="^from __len__$"):
        inspect_modules(type("M", (), {"__len__": fail(panic("from __len__")), "__getitem__": fail(IndexError())})())
    # A plain TypeError gains the argument's name and keeps its cause.
    with pytest.raises(TypeError) as info:
        inspect_modules(type("M", (), {"__len__": lambda self: 1, "__getitem__": refused})())
    assert str(info.value) == "argument 'modules': iteration refused" and isinstance(info.value.__cause__, Cause)
    pytest.raises(UnicodeEncodeError, inspect_modules, ["\udc80"])


PANIC_AND_EXIT = """
import asset_like, conftest
from tamso import asset

panic = type(conftest.changed_while_walked(lambda d: d.update(more="y")))

class Both(panic, SystemExit):
    pass

try:
    asset(inputs={"a": asset_like.Asset(Both("from a lookup"))})
except panic as exc:
    print("caught", type(exc).__name__, exc)
print("still running")
"""


def test_internal_failure_that_is_also_system_exit_does_not_end_the_process():
    result = python("-c", PANIC_AND_EXIT, path=[TESTS_DIR], text=True)
    assert (result.returncode, result.stdout) == (0, "caught PanicException from a lookup\nstill running\n")
    assert "Both: from a lookup" in result.stderr


def test_str_subclass_is_text_and_refusals_release_references(refcounts):
    class S(str):
        pass

    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
        inspect_modules([S("x"), 1])
    assert partitions([S("x")]) is not None
    values = ["x"]
    with refcounts(values):
        for _ in range(100):
            pytest.raises(TypeError, partitions, values, values)
            pytest.raises(TypeError, partitions, values, nope=values)
