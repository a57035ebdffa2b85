"""AssetWrapper: calls, read-through attributes, descriptor behaviour and garbage collection."""

import ctypes
import functools
import gc
import inspect
import sys
import types
import weakref

import pytest

from tamso import AssetWrapper, asset, partitions

def f(a, b=0, *rest, **named):
    return a, b, rest, named


def test_calls_pass_through_unchanged():
    w = asset()(f)
    assert w(1, b=2) == f(1, b=2) == (1, 2, (), {})
    assert w(*range(5), x=1) == (0, 1, (2, 3, 4), {"x": 1})
    assert AssetWrapper.__call__(w, 1) == w.__call__(1) == (1, 0, (), {})
    assert functools.partial(w, 1)(b=3) == (1, 3, (), {})

    class C:  # never bound as a method
        m = w

    assert C().m is w and C.m is w and C().m(1) == (1, 0, (), {})
    fact = asset()(lambda n: 1 if n <= 1 else n * fact(n - 1))  # recursion through the wrapper
    assert fact(50) == fact.__wrapped__(50)
    error = KeyError("from f")

    def fails():
        raise error

    with pytest.raises(KeyError) as info:
        asset()(fails)()
    assert info.value is error
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        w()
    with pytest.raises(TypeError, match="'int' object is not callable"):
        asset()(42)()


def test_attributes_read_through_on_every_read():
    def g():
        """Doc of g."""

    w = asset(name="x")(g)
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (g.__name__, g.__qualname__, __name__, "Doc of g.")
    assert w.__tamso_original__ is g and w.__wrapped__ is g and w.__tamso_kind__ == "asset"
    g.__name__, g.__qualname__, g.__module__, g.__doc__ = "h", "Q.h", "elsewhere", "new doc"
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == ("h", "Q.h", "elsewhere", "new doc")
    assert inspect.signature(w) == inspect.signature(g) and inspect.unwrap(w) is g
    odd = asset()(42)
    assert odd.__tamso_kind__ == "asset" and odd.__wrapped__ == 42
    with pytest.raises(AttributeError, match="'int' object has no attribute '__name__'"):
        odd.__name__


def test_metadata_is_fresh_on_every_read():
    w = asset(inputs={"a": "x"}, partitions={"t": partitions([1])})(f)
    first, second = w.__tamso_metadata__, w.__tamso_metadata__
    assert first == second and first is not second and first["inputs"] is not second["inputs"]
    assert first["partitions"] is not second["partitions"] and first["partitions"]["t"] is not second["partitions"]["t"]
    first["name"], first["inputs"]["b"], first["partitions"]["t"]["kind"] = "changed", "y", "changed"
    del first["partitions"]["t"]["values_json"]
    assert w.__tamso_metadata__ == second


def test_class_and_instance_attributes():
    own = {"__tamso_metadata__", "__tamso_kind__", "__tamso_original__", "__name__", "__doc__", "__module__",
           "__qualname__", "__wrapped__", "__call__", "__get__", "__getattribute__", "__new__"}
    assert set(AssetWrapper.__dict__) == own
    assert AssetWrapper.__name__ == "AssetWrapper" and getattr(AssetWrapper, "__tamso_kind__") != "asset"
    assert AssetWrapper.__doc__ == "The `@asset()` decorator wrapper. Stores the original function and metadata."
    w = asset()(f)
    assert repr(w).startswith("<builtins.AssetWrapper object at 0x") and gc.is_tracked(w)
    pytest.raises(TypeError, weakref.ref, w)
    pytest.raises(AttributeError, getattr, w, "__vectorcalloffset__")  # would read native code's address
    for attr in [*own - {"__call__", "__get__", "__getattribute__", "__new__"}, "other"]:
        pytest.raises(AttributeError, setattr, w, attr, 1)
        pytest.raises(AttributeError, delattr, w, attr)


def test_dropped_module_is_collected():
    module = types.ModuleType("dropped_pipeline")
    exec("from tamso import asset\n@asset()\ndef step():\n    return step\n", module.__dict__)
    function = weakref.ref(module.step.__wrapped__)
    assert module.step() is module.step
    del module
    gc.collect()
    assert function() is None


def test_wrapper_cleared_by_the_collector_stays_safe():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    tp_clear = get_slot(AssetWrapper, 51)  # Py_tp_clear
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(tp_clear)
    w = asset(name="kept")(f)
    before = sys.getrefcount(f)
    assert clear(w) == 0 and sys.getrefcount(f) == before - 1
    with pytest.raises(RuntimeError, match="released by the garbage collector"):
        w(1)
    for attr in ["__tamso_original__", "__wrapped__", "__name__", "__doc__", "__module__", "__qualname__"]:
        with pytest.raises(AttributeError, match="released by the garbage collector"):
            getattr(w, attr)
    assert w.__tamso_metadata__["name"] == "kept" and w.__tamso_kind__ == "asset"


def test_long_chains_neither_overflow_nor_crash():
    chain = f
    for _ in range(100_000):
        chain = asset()(chain)
    pytest.raises(RecursionError, chain, 1)
    pytest.raises(RecursionError, getattr, chain, "__name__")
    del chain  # torn down without recursing 100,000 levels deep


def test_references_are_released(refcounts):
    arg, key, result = "a" * 3, "k" * 3, object()

    def g(a, **named):
        if a is None:
            raise ValueError(arg)
        return result

    w = asset(inputs={key: arg})(g)
    outer = asset()(w)  # calls a non-function through the general path
    with refcounts(arg, key, result, g, w):
        for _ in range(200):
            outer(arg, **{key: arg})
            w(arg)
            pytest.raises(ValueError, w, None)
            w.__name__, w.__doc__, w.__module__, w.__qualname__, w.__wrapped__, w.__tamso_metadata__
            pytest.raises(AttributeError, getattr, w, "missing")
