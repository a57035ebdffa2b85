"""Argument binding and conversion refusals: the exact TypeError texts."""

import os
import pathlib
import subprocess
import sys

import pytest

from tamso import _tamso
from tamso._tamso import asset, inspect_modules, materialize_asset, partitions


def message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.__cause__ is None
    return str(info.value)


@pytest.mark.parametrize(
    ("call", "text"),
    [
        (lambda: asset(len), "asset() takes 0 positional arguments but 1 was given"),
        (lambda: asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
        (lambda: asset(nme="x"), "asset() got an unexpected keyword argument 'nme'"),
        (lambda: partitions(), "partitions() missing 1 required positional argument: 'values'"),
        (lambda: partitions([1], [2]), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda: partitions([1], values=[2]), "partitions() got multiple values for argument 'values'"),
        (lambda: partitions(value=[1]), "partitions() got an unexpected keyword argument 'value'"),
        (lambda: partitions(**{"\udc80": 1}), "partitions() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        (lambda: inspect_modules(modules=[], extra=1), "inspect_modules() got an unexpected keyword argument 'extra'"),
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
    ],
)
def test_binding_messages(call, text):
    assert message(call) == text


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (("a", "b"), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
        ("ab", "argument 'values': 'str' object cannot be converted to 'PyList'"),
        (None, "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
        ({"a": 1}, "argument 'values': 'dict' object cannot be converted to 'PyList'"),
        (iter([]), "argument 'values': 'list_iterator' object cannot be converted to 'PyList'"),
    ],
)
def test_partitions_refuses_non_lists(value, text):
    assert message(partitions, value) == text


class Names:
    """A sequence whose iteration fails with a TypeError subclass."""

    class Oops(TypeError):
        pass

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        raise self.Oops("broken iteration")


@pytest.mark.parametrize(
    ("modules", "text"),
    [
        ("mod", "argument 'modules': Can't extract `str` to `Vec`"),
        ({"a": 1}, "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        ({"a"}, "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
        ((x for x in "ab"), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
        (["ok", 3], "argument 'modules': 'int' object cannot be converted to 'PyString'"),
        (b"ab", "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_module_list_conversion(modules, text):
    assert message(inspect_modules, modules) == text


def test_type_error_subclass_passes_unwrapped_and_unicode_error_unchanged():
    with pytest.raises(Names.Oops, match="^broken iteration$"):
        inspect_modules(Names())
    with pytest.raises(UnicodeEncodeError):
        inspect_modules(["\udc80"])


@pytest.mark.parametrize("claimed", [sys.maxsize, 2**62, 10**30, -1, "many"])
def test_module_list_length_is_only_a_hint(claimed):
    class Claims:
        """Says it holds `claimed` items; iteration yields what it really holds."""

        def __len__(self):
            return claimed

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return 5 if i else "ok"

    assert message(inspect_modules, Claims()) == "argument 'modules': 'int' object cannot be converted to 'PyString'"


def test_internal_failure_from_the_length_hint_is_not_discarded():
    inputs = {}

    class Changes(str):
        @property
        def __tamso_kind__(self):
            inputs["more"] = "y"
            raise AttributeError

    inputs.update(a=Changes("a"), b="b")
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    panic = type(info.value)

    class Modules:
        def __len__(self):
            raise panic("from __len__")

        def __getitem__(self, i):
            raise IndexError(i)

    with pytest.raises(panic, match="^from __len__$"):
        inspect_modules(Modules())


PANIC_AND_EXIT = """
from tamso import asset

def change(d):
    d["more"] = "y"

class Changes(str):
    @property
    def __tamso_kind__(self):
        change(inputs)
        raise AttributeError

inputs = {"a": Changes("a"), "b": "b"}
try:
    asset(inputs=inputs)
except BaseException as exc:
    panic = type(exc)

class Both(panic, SystemExit):
    pass

class Raises(str):
    @property
    def __tamso_original__(self):
        raise Both("from a lookup")

    __tamso_kind__ = "asset"

try:
    asset(inputs={"a": Raises("x")})
except panic as exc:
    print("caught", type(exc).__name__, exc)
print("still running")
"""


def test_internal_failure_that_is_also_system_exit_does_not_end_the_process():
    package = str(pathlib.Path(_tamso.__file__).resolve().parent.parent)
    result = subprocess.run([sys.executable, "-c", PANIC_AND_EXIT], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": package})
    assert (result.returncode, result.stdout) == (0, "caught PanicException from a lookup\nstill running\n")
    assert "Both: from a lookup" in result.stderr


def test_argument_rule_keeps_the_cause():
    class Cause(Exception):
        pass

    class Modules:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            try:
                raise Cause("root")
            except Cause as exc:
                raise TypeError("iteration refused") from exc

    with pytest.raises(TypeError) as info:
        inspect_modules(Modules())
    assert str(info.value) == "argument 'modules': iteration refused"
    assert isinstance(info.value.__cause__, Cause)


def test_refcounts_unchanged_after_binding_failures():
    values = ["x"]
    before = sys.getrefcount(values)
    for _ in range(100):
        with pytest.raises(TypeError):
            partitions(values, values)
        with pytest.raises(TypeError):
            partitions(values, nope=values)
    assert sys.getrefcount(values) == before


def test_str_subclass_is_text():
    class S(str):
        pass

    with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
        inspect_modules([S("x"), 1])
    assert _tamso.partitions([S("x")]) is not None
