"""API fuzzing: arbitrary and hostile objects through every parameter of the
four functions, the decorator object and every attribute of a wrapper.

The only outcomes allowed are a result or an exception of the kinds that the
function documents. An exception that a hostile object raised passes through
unchanged (the same object); one raised where the API discards it (the
`__tamso_kind__` and `__tamso_original__` lookups, a module's import, an
asset's run) never surfaces. PanicException is allowed only from asset()
after an input changed the dict being walked, or as the new exception that
one raised by a hostile object turns into; it is never discarded.
"""

import decimal
import gc
import importlib
import inspect
import itertools
import json
import math
import os
import pathlib
import re
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.control import currently_in_test_context

import hostile
from hostile import FakeSequence, HostileDict, HostileList, HostileStr, MutatingStr, Prickly, UniqueStr
from tamso import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions


# A longer hunt: TAMSO_FUZZ_SCALE=20 runs twenty times the examples.
SCALE = int(os.environ.get("TAMSO_FUZZ_SCALE", "1"))


def fuzz(examples):
    return settings(max_examples=examples * SCALE, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


def sample(x: int = 0) -> dict:
    """A plain function with a source file, a signature and an annotation."""
    return {"x": x}


PANIC_TEXTS = ("dictionary changed size during iteration", "dictionary keys changed during iteration")
ARITY = "asset() decorator expects exactly one argument (the function)"


def is_panic(exc):
    return isinstance(exc, hostile.PanicException)


def note_outcome(fn, exc):
    """Counts outcomes for --hypothesis-show-statistics."""
    if currently_in_test_context():
        event(f"{getattr(fn, '__name__', 'call')}: {'result' if exc is None else type(exc).__name__}")


def run_armed(fn, *args, **kwargs):
    """Calls fn with every hostile behaviour armed: (result, None) or (None, exception).

    Reports of unraisable exceptions (a keyword name whose str() raises) are
    only collected: the default hook would print the hostile object itself."""
    unraisable, sys.unraisablehook = sys.unraisablehook, UNRAISABLE.append
    try:
        with hostile.armed():
            try:
                result = fn(*args, **kwargs)
            except BaseException as exc:  # noqa: B036 - every kind is an outcome here
                note_outcome(fn, exc)
                return None, exc
            note_outcome(fn, None)
            return result, None
    finally:
        sys.unraisablehook = unraisable
        UNRAISABLE.clear()


UNRAISABLE = []


WATCHED_TYPES = (list, dict, HostileList, HostileDict, HostileStr, UniqueStr, MutatingStr, Prickly,
                 FakeSequence)


class References:
    """Reference counts of the caller's own objects (lists, dicts and hostile
    objects, which nothing else shares, unlike the empty tuple or short strs),
    to compare after a call has dropped everything it made."""

    def __init__(self, *objects):
        self.objects = [o for o in objects if type(o) in WATCHED_TYPES]
        self.before = None

    def start(self):
        """Counted in a statement of its own: no temporary holds the objects."""
        self.before = self.counts()
        self.mutations = hostile.mutations_made()

    def counts(self):
        return [sys.getrefcount(o) for o in self.objects]

    def check(self):
        hostile.RAISED.clear()  # their tracebacks hold the hostile methods' frames
        hostile.SWALLOWED.clear()
        if self.counts() != self.before:
            gc.collect()  # tracebacks and frames in reference cycles
        after = self.counts()
        if hostile.mutations_made() != self.mutations:  # a container dropped some of them
            assert all(a <= b for a, b in zip(after, self.before)), "a reference was leaked"
        else:
            assert after == self.before, "a reference was leaked"


def hostile_panics():
    """Texts of the PanicExceptions that hostile objects raised during the call.
    One raised by str() while a display text is made may be reported and
    dropped, as any exception there is."""
    return {str(e) for e in hostile.RAISED + hostile.SWALLOWED
            if is_panic(e) and str(e) not in ("hostile __str__", "hostile __repr__")}


def check_no_panic_lost():
    """Our own exception coming back from Python code is never discarded."""
    assert not hostile_panics(), f"PanicException discarded: {hostile_panics()}"


def check_failure(exc, allowed, passthrough=True, panic=False):
    assert not any(exc is e for e in hostile.SWALLOWED), f"a discarded exception surfaced: {exc!r}"
    if passthrough and any(exc is e for e in hostile.RAISED):
        return
    if is_panic(exc):
        # A new one: ours after a dict changed during the walk, or one that
        # came back from Python code, carrying that one's text.
        mutated = panic and hostile.MUTATIONS and str(exc) in PANIC_TEXTS
        assert mutated or str(exc) in {str(e) for e in hostile.RAISED + hostile.SWALLOWED if is_panic(e)}, repr(exc)
        return
    assert isinstance(exc, allowed), repr(exc)


# ---- strategies ---------------------------------------------------------------

KIND = st.sampled_from(hostile.KINDS)
STR_METHODS = st.sampled_from(["__eq__", "__ne__", "__hash__", "__str__", "__repr__", "__len__", "__iter__",
                               "__getitem__", "encode"])
any_char = st.characters(exclude_categories=())  # lone surrogates included
plain_text = st.one_of(st.text(max_size=8), st.text(any_char, max_size=5),
                       st.sampled_from(["", "asset", "\udc80", "a\x00b", "\u00e9\u2603\U0001d11e"]),
                       st.builds(str.__mul__, st.just("x"), st.just(5000)))
texts = st.one_of(plain_text, st.builds(lambda text, traps, unique: (UniqueStr if unique else HostileStr)(text, traps),
                                        plain_text, st.dictionaries(STR_METHODS, KIND, max_size=3), st.booleans()))
numbers = st.one_of(st.integers(), st.floats(), st.sampled_from(
    [2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**400, -(10**400), -0.0, 5e-324]),
    st.builds(pow, st.just(10), st.just(5000)))  # past the interpreter's int-to-str digit limit


def nested(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


def cyclic_list():
    items = []
    items.append(items)
    return items


def cyclic_dict():
    items = {}
    items["self"] = items
    return items


specials = st.one_of(
    st.sampled_from([None, True, False, b"bytes", 1j, decimal.Decimal("1.5"), Ellipsis, len, int, json,
                     frozenset({1}), sample]),
    st.builds(pathlib.PurePosixPath, st.text(max_size=5)),
    st.builds(bytearray, st.binary(max_size=4)),
    st.builds(lambda: (i for i in range(3))),
    st.builds(cyclic_list), st.builds(cyclic_dict),
    st.builds(nested, st.sampled_from([126, 127, 128, 2000, 50_000])),
    st.builds(lambda: partitions([1, "a"])),
    st.builds(lambda: asset()(sample)),
    st.builds(asset),
)

PROTOCOL = ["__tamso_kind__", "__tamso_original__", "__tamso_metadata__"]
READ_THROUGH = ["__name__", "__doc__", "__module__", "__qualname__"]
kind_values = st.sampled_from(["asset", HostileStr("asset", {m: hostile.Hostile for m in ("__eq__", "__hash__",
                                                                                         "__str__")}),
                               "Asset", " asset", b"asset", 1, None, "\udc80"])
originals = st.sampled_from([sample, len, 42, None, "text"])
metadata_values = st.one_of(
    st.sampled_from([None, "text", {1, 2}, {"kind": "asset", "n": math.nan}, {1: "a", "1": "b", "z": [], "a": {}}]),
    st.builds(lambda depth: {"deep": nested(depth)}, st.sampled_from([100, 126, 200, 50_000])),
    st.builds(cyclic_dict),
)


def prickly(attribute_values):
    return st.builds(Prickly, st.fixed_dictionaries({}, optional=attribute_values),
                     st.dictionaries(st.sampled_from(PROTOCOL + READ_THROUGH + ["__class__", "__call__",
                                                                                 "__wrapped__"]),
                                     st.one_of(KIND, st.just(hostile.reenter)), max_size=3))


pricklies = prickly({"__tamso_kind__": kind_values, "__tamso_original__": originals,
                     "__tamso_metadata__": metadata_values, "__name__": st.sampled_from(["n", 5, HostileStr("n")]),
                     "__call__": st.just("called")})

LIST_METHODS = st.sampled_from(["__iter__", "__len__", "__getitem__"])
DICT_METHODS = st.sampled_from(["keys", "items", "values", "__iter__", "__len__", "__getitem__", "get"])
trap_actions = st.one_of(KIND, st.sampled_from(["clear", "grow"]))


def arm_container(container, traps):
    grow = container.append if isinstance(container, list) else (lambda: container.__setitem__(len(container), 0))
    container.traps = {name: (container.clear if action == "clear" else grow if action == "grow" else action)
                       for name, action in traps.items()}
    return container


hashables = st.one_of(texts, st.integers(), st.none(), st.booleans(), st.floats(allow_nan=False),
                      st.tuples(st.integers()))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.builds(arm_container, st.lists(children, max_size=4).map(HostileList),
                  st.dictionaries(LIST_METHODS, trap_actions, max_size=2)),
        st.dictionaries(hashables, children, max_size=4),
        st.builds(arm_container, st.dictionaries(hashables, children, max_size=4).map(HostileDict),
                  st.dictionaries(DICT_METHODS, trap_actions, max_size=2)),
        st.frozensets(st.integers(), max_size=3),
    )


anything = st.recursive(st.one_of(numbers, texts, specials, pricklies), containers, max_leaves=8)
# Values that json.dumps mostly accepts, in plain and hostile containers, so
# that calls get past the interpreter's own refusals.
serializable = st.recursive(
    st.one_of(st.none(), st.booleans(), numbers, texts),
    lambda children: st.one_of(
        st.lists(children, max_size=3), st.lists(children, max_size=3).map(tuple),
        st.dictionaries(st.one_of(texts, st.integers()), children, max_size=3),
        st.builds(arm_container, st.lists(children, max_size=3).map(HostileList),
                  st.dictionaries(LIST_METHODS, trap_actions, max_size=1)),
        st.builds(arm_container, st.dictionaries(texts, children, max_size=3).map(HostileDict),
                  st.dictionaries(DICT_METHODS, trap_actions, max_size=1))),
    max_leaves=6)


def call_args(proper, value):
    """(args, kwargs): mostly a well-formed call, sometimes stray positional
    arguments and keywords (str subclasses and lone surrogates among them)."""
    names = st.one_of(st.sampled_from(["values", "modules", "name", "inputs", "module_name", "input_kwargs_json",
                                       "extra", ""]),
                      st.builds(HostileStr, st.sampled_from(["values", "name", "zz"]),
                                st.dictionaries(STR_METHODS, KIND, max_size=2)),
                      st.text(any_char, max_size=3))
    junk = st.tuples(st.lists(value, max_size=5).map(tuple), st.dictionaries(names, value, max_size=3))
    return st.one_of(proper, proper, proper, junk)


def binds(reference, args, kwargs):
    try:
        inspect.signature(reference).bind(*args, **kwargs)
        return True
    except TypeError:
        return False


def check_binding(display, reference, args, kwargs, exc):
    """Binding fails exactly when the interpreter would refuse the same call
    of a Python function with the same parameters. True when it binds."""
    is_binding_error = type(exc) is TypeError and str(exc).startswith(display + " ")
    if binds(reference, args, kwargs):
        assert not is_binding_error, str(exc)
        return True
    assert is_binding_error, repr(exc)
    return False


def ref_partitions(values): ...
def ref_asset(*, name=None, inputs=None, partitions=None, serializer=None): ...
def ref_inspect_modules(modules): ...
def ref_materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None): ...


# ---- partitions() -------------------------------------------------------------

partition_lists = st.one_of(st.lists(anything, max_size=5), st.lists(serializable, max_size=5),
                            st.lists(serializable, max_size=5), anything,
                            st.builds(arm_container, st.lists(anything, max_size=4).map(HostileList),
                                      st.dictionaries(LIST_METHODS, trap_actions, max_size=2)))


def change_outer(values, how):
    """Makes rendering each dict item of `values` change the list itself."""
    actions = {"clear": values.clear, "append": lambda: values.append(1), "shrink": lambda: values.__delitem__(0),
               "replace": lambda: values.__setitem__(slice(None), [{"n": 1}] * 3)}
    for item in list.__iter__(values):
        if type(item) is HostileDict:
            item.traps = {"items": actions[how]}


@fuzz(150)
@given(call=call_args(st.tuples(st.tuples(partition_lists), st.just({})) | st.tuples(
    st.just(()), st.fixed_dictionaries({"values": partition_lists})), anything),
    outer=st.sampled_from([None, "clear", "append", "shrink", "replace"]))
def test_partitions_outcomes(call, outer):
    args, kwargs = call
    values = args[0] if args else kwargs.get("values")
    if outer and isinstance(values, list):
        change_outer(values, outer)
    references = References(values, *args, *kwargs.values())
    references.start()
    result, exc = run_armed(partitions, *args, **kwargs)
    if not check_binding("partitions()", ref_partitions, args, kwargs, exc) or exc is not None:
        check_failure(exc, (TypeError, ValueError, RecursionError))
    else:
        check_no_panic_lost()
        assert type(result) is Partitions and re.fullmatch(r"Partitions\(\d+ values\)", repr(result))
    del result, exc
    references.check()


INT_MIN, UINT_MAX = -(2**63), 2**64 - 1
json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(any_char, max_size=5),
              st.sampled_from([2**64 - 1, 2**64, -(2**63) - 1, 10**308, 10**309, -0.0])),
    lambda c: st.one_of(st.lists(c, max_size=3), st.lists(c, max_size=3).map(tuple),
                        st.dictionaries(st.one_of(st.text(any_char, max_size=3), st.integers(), st.booleans()),
                                        c, max_size=3)),
    max_leaves=10)


def typed(value):
    """A comparable form that keeps int, float, -0.0 and bool apart."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("float", value.hex())
    if isinstance(value, list):
        return [typed(v) for v in value]
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    return value


def canonical(value):
    """What our reader holds for the interpreter's json.loads result, or
    ValueError for what it refuses."""
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError
    if isinstance(value, int) and not isinstance(value, bool) and not INT_MIN <= value <= UINT_MAX:
        try:
            return float(value)
        except OverflowError:
            raise ValueError from None
    if isinstance(value, str):
        value.encode("utf-8")  # lone surrogates: UnicodeEncodeError, a ValueError
    if isinstance(value, list):
        return [canonical(v) for v in value]
    if isinstance(value, dict):
        return {canonical(k): canonical(v) for k, v in value.items()}
    return value


@fuzz(150)
@given(items=st.lists(json_values, max_size=4))
def test_partition_values_match_the_interpreters_json(items):
    try:
        expected = [typed(canonical(json.loads(json.dumps(v)))) for v in items]
    except ValueError:
        expected = None
    try:
        marker = partitions(items)
    except ValueError as exc:
        assert expected is None and str(exc).startswith("invalid partition value: "), str(exc)
        return
    assert expected is not None
    values_json = asset(partitions={"d": marker})(sample).__tamso_metadata__["partitions"]["d"]["values_json"]
    assert typed(json.loads(values_json)) == expected


# ---- asset() and its decorator -------------------------------------------------

asset_likes = prickly({"__tamso_kind__": kind_values, "__tamso_original__": originals,
                       "__name__": st.sampled_from(["n", 5, HostileStr("n")])})
input_values = st.one_of(texts, asset_likes, anything,
                         st.builds(MutatingStr, plain_text, st.sampled_from(["clear", "add", "pop", "swap", "touch"])))
input_dicts = st.dictionaries(st.one_of(texts, hashables), input_values, max_size=4)
partition_dicts = st.dictionaries(st.one_of(texts, hashables), st.one_of(
    st.builds(partitions, st.lists(st.one_of(st.integers(), st.text(max_size=3)), max_size=3)), anything), max_size=3)
options = st.fixed_dictionaries({}, optional={
    "name": st.one_of(st.none(), texts, texts, anything),
    "serializer": st.one_of(st.none(), texts, texts, anything),
    "inputs": st.one_of(st.none(), input_dicts, input_dicts.map(HostileDict), anything),
    "partitions": st.one_of(st.none(), partition_dicts, partition_dicts.map(HostileDict), anything),
})


def text_of(value):
    return None if value is None else str.__str__(value)


def check_record(record, kwargs):
    """The decorator metadata record against the options it was made from."""
    assert list(record) == ["kind", "name", "serializer", "inputs", "partitions"] and record["kind"] == "asset"
    for key in ("name", "serializer"):
        assert record[key] == text_of(kwargs.get(key)) and type(record[key]) in (str, type(None))
    inputs = kwargs.get("inputs")
    if inputs is None:
        assert record["inputs"] is None
    else:
        assert all(type(k) is str and type(v) is str for k, v in record["inputs"].items())
        if not hostile.MUTATIONS:
            expected = {}
            for key, value in dict.items(inputs):  # the dict's own order; a later equal text wins
                expected[str.__str__(key)] = str.__str__(value) if isinstance(value, str) else None
            assert record["inputs"].keys() == expected.keys()
            for key, value in expected.items():
                assert value is None or record["inputs"][key] == value
    dimensions = kwargs.get("partitions")
    if dimensions is None:
        assert record["partitions"] is None
    else:
        assert {str.__str__(k) for k in dict.keys(dimensions)} == record["partitions"].keys()
        for entry in record["partitions"].values():
            assert list(entry) == ["kind", "values_json"] and entry["kind"] == "inline"
            assert isinstance(json.loads(entry["values_json"]), list)


@fuzz(200)
@given(call=call_args(st.tuples(st.just(()), options), anything),
       applied=st.tuples(st.lists(anything, max_size=3).map(tuple), st.dictionaries(st.text(max_size=3), anything,
                                                                                     max_size=2)))
def test_asset_outcomes(call, applied):
    args, kwargs = call
    pos, named = applied
    inputs = list(dict.values(kwargs["inputs"])) if isinstance(kwargs.get("inputs"), dict) else []
    for value in inputs:
        if isinstance(value, MutatingStr):
            value.target = kwargs["inputs"]
    references = References(*args, *kwargs.values(), *inputs, *pos, *named.values())
    references.start()
    decorator, exc = run_armed(asset, *args, **kwargs)
    if not check_binding("asset()", ref_asset, args, kwargs, exc) or exc is not None:
        check_failure(exc, (TypeError, ValueError, AttributeError, OSError, RecursionError), panic=True)
        del exc
        references.check()
        return
    check_no_panic_lost()
    assert (decorator.__name__, decorator.__doc__, decorator.__module__) == ("asset_decorator", None, None)
    mutated = bool(hostile.MUTATIONS)
    record = decorator(sample).__tamso_metadata__
    if not mutated:
        check_record(record, kwargs)

    wrapper, exc = run_armed(decorator, *pos, **named)
    if len(pos) != 1:
        assert type(exc) is TypeError and str(exc) == ARITY
    else:
        assert exc is None and type(wrapper) is AssetWrapper and wrapper.__tamso_original__ is pos[0]
        assert wrapper.__tamso_metadata__ == record
    del decorator, wrapper, exc
    references.check()


# ---- AssetWrapper --------------------------------------------------------------

functions = st.one_of(anything, pricklies, st.sampled_from([sample, len, abs, repr, str, int]))


def outcome(fn):
    """The value, or the exception's type and args, of one armed call."""
    value, exc = run_armed(fn)
    return ("raised", type(exc), exc.args) if exc is not None else ("value", value)


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        # Our own failure class coming back is fetched and raised anew as itself.
        came_back = a[1] is hostile.PanicException and issubclass(b[1], hostile.PanicException)
        return (a[1] is b[1] or came_back) and (a[1] is RecursionError or a[2] == b[2])
    if type(a[1]) is type(b[1]) is AssetWrapper:  # a decorator called twice: two wrappers of one object
        return a[1].__wrapped__ is b[1].__wrapped__
    return a[1] is b[1] or a[1] == b[1]


@fuzz(200)
@given(function=st.one_of(functions, functions.map(lambda f: asset()(f))),
       args=st.lists(anything, max_size=2).map(tuple),
       kwargs=st.dictionaries(st.sampled_from(["x", "key", "a"]), anything, max_size=2),
       attribute=st.sampled_from(READ_THROUGH + ["__call__", "__get__"]))
def test_wrapper_stands_in_for_any_object(function, args, kwargs, attribute):
    references = References(function, *args, *kwargs.values())
    references.start()
    w = asset(name="n")(function)
    assert w.__tamso_original__ is function and w.__wrapped__ is function and w.__tamso_kind__ == "asset"
    assert w.__tamso_metadata__["name"] == "n"
    if attribute == "__call__":
        assert same(outcome(lambda: w(*args, **kwargs)), outcome(lambda: function(*args, **kwargs)))
    elif attribute == "__get__":
        holder = type("Holder", (), {"attr": w})
        assert holder.attr is w and holder().attr is w and w.__get__(None, holder) is w and w.__get__(1) is w
        del holder
    else:
        assert same(outcome(lambda: getattr(w, attribute)), outcome(lambda: getattr(function, attribute)))
    for name in PROTOCOL + READ_THROUGH + ["__wrapped__", "other"]:
        with pytest.raises(AttributeError):
            setattr(w, name, 1)
    del w
    references.check()


@pytest.mark.parametrize("cls", [AssetWrapper, Partitions, type(asset().__self__)])
@pytest.mark.parametrize("args", [(), (1,), (sample, HostileStr("x"))])
def test_classes_refuse_construction_with_any_arguments(cls, args):
    _, exc = run_armed(cls, *args, key=1)
    assert type(exc) is TypeError and str(exc) == f"No constructor defined for {cls.__name__}"


# ---- pipeline modules for inspect_modules() and materialize_asset() -------------

PIPELINE = '''\
import os
import shutil

import hostile
from tamso import asset


def f_plain():
    return 1


def f_annotated(x: int = 0) -> dict:
    return {"x": x}


def f_kwargs(**kwargs):
    return kwargs


def f_value():
    return hostile.plan(__name__).value


def f_raises():
    hostile.throw(hostile.plan(__name__).raises, "asset run", hostile.SWALLOWED)


def f_wipes():
    shutil.rmtree(os.getcwd())  # the output directory goes with it
    return 1


def f_moves():
    os.chdir("..")
    return 2


hostile.populate(globals())
'''
TEMPLATE_FUNCTIONS = ["f_plain", "f_annotated", "f_kwargs", "f_value", "f_raises", "f_wipes", "f_moves"]
_module_ids = itertools.count()


class ModuleSpec:
    """What a generated pipeline module holds beyond the template: members
    (name, how to make it), the value f_value returns, the exception f_raises
    raises, a return annotation for f_annotated, and an exception its body
    raises on import."""

    def __init__(self, members, value, raises, annotation, import_error, module_traps):
        self.members, self.value, self.raises = members, value, raises
        self.annotation, self.import_error, self.module_traps = annotation, import_error, module_traps
        self.name = None

    def __call__(self, namespace):
        if self.import_error is not None:
            hostile.throw(self.import_error, "import", hostile.SWALLOWED)
        traps = self.module_traps
        if "__dir__" in traps:
            namespace["__dir__"] = lambda: hostile.trip(traps, "__dir__") or list(namespace)
        if "__getattr__" in traps:
            namespace["__getattr__"] = lambda name: hostile.trip(traps, "__getattr__") or sample
        if self.annotation is not None:
            namespace["f_annotated"].__annotations__["return"] = self.annotation[0]
        for name, make in self.members:
            namespace[name] = make(namespace)

    def asset_members(self):
        """How many members declare themselves assets (a later member of the
        same name replaces an earlier one)."""
        return sum(1 for make in dict(self.members).values() if make.is_asset)


class Member:
    def __init__(self, make, is_asset):
        self.make, self.is_asset = make, is_asset

    def __call__(self, namespace):
        return self.make(namespace)


def resolve(values, namespace):
    return {k: namespace[v[3:]] if isinstance(v, str) and v.startswith("ns:") else v for k, v in values.items()}


decorated_members = st.builds(
    lambda fn, opts: Member(lambda ns: asset(**opts)(ns[fn]), True),
    st.sampled_from(TEMPLATE_FUNCTIONS),
    st.fixed_dictionaries({}, optional={"name": st.text(max_size=6),
                                        "inputs": st.just({"a": "file.py:f"}),
                                        "partitions": st.builds(lambda: {"p": partitions([1, "x"])})}),
)


def prickly_member(values, traps):
    kind = values.get("__tamso_kind__")
    counts = ("__tamso_kind__" not in traps and isinstance(kind, str) and str.__eq__(kind, "asset") is True)
    return Member(lambda ns: Prickly(resolve(values, ns), traps), counts)


prickly_members = st.builds(
    prickly_member,
    st.fixed_dictionaries({"__tamso_kind__": kind_values}, optional={
        "__tamso_original__": st.sampled_from(["ns:" + f for f in TEMPLATE_FUNCTIONS] + [len, 42]),
        "__tamso_metadata__": metadata_values | st.just({"kind": "asset"}) | serializable}),
    st.dictionaries(st.sampled_from(PROTOCOL + ["__class__", "__call__"]), KIND, max_size=2),
)
error_kinds = st.one_of(KIND, st.builds(hostile.odd_error, st.one_of(st.none(), st.just("surrogate"), KIND),
                                        st.one_of(st.none(), KIND)))
returned_values = st.one_of(anything, serializable, st.builds(hostile.odd_named_dict,
                                                              st.dictionaries(st.text(max_size=3), st.integers()),
                                                              KIND))
module_plans = st.builds(
    ModuleSpec,
    st.lists(st.tuples(st.text("abcdefghijklmnopqrstuvwxyz", min_size=1, max_size=6).map(lambda t: "m_" + t),
                       st.one_of(decorated_members, prickly_members)), max_size=4),
    returned_values, error_kinds, st.one_of(st.none(), st.tuples(anything)),
    st.one_of(st.none(), st.none(), error_kinds),
    st.dictionaries(st.sampled_from(["__dir__", "__getattr__"]), KIND, max_size=1))


@pytest.fixture
def pipelines(tmp_path, monkeypatch):
    """Registers module plans and writes their modules into tmp_path (on sys.path)."""
    monkeypatch.syspath_prepend(str(tmp_path))

    def write(plan):
        plan.name = f"fuzz_pipeline_{os.getpid()}_{next(_module_ids)}"
        (tmp_path / f"{plan.name}.py").write_text(PIPELINE, "utf-8")
        hostile.register(plan.name, plan)
        return plan

    yield write
    importlib.invalidate_caches()
    hostile.forget()


# ---- inspect_modules() ---------------------------------------------------------

FAILING_NAMES = ["no_such_module_fuzz", "", ".relative", "no_such_module_fuzz.sub"]


def module_name_entries(plans):
    """Each entry: (the object passed, its plan or None, whether it fails to import)."""
    return st.one_of(
        st.sampled_from(plans).map(lambda s: (s.name, s, s.import_error is not None)),
        st.sampled_from(plans).map(lambda s: (HostileStr(s.name, {"__str__": hostile.Hostile}), s,
                                              s.import_error is not None)),
        st.sampled_from(FAILING_NAMES).map(lambda n: (n, None, True)),
        st.sampled_from(["json", "sys"]).map(lambda n: (n, None, False)),
        anything.map(lambda v: (v, None, None)),
    )


@fuzz(60)
@given(data=st.data(), plans=st.lists(module_plans, min_size=1, max_size=3))
def test_inspect_modules_outcomes(pipelines, capfd, data, plans):
    for plan in plans:
        pipelines(plan)
    importlib.invalidate_caches()
    entries = data.draw(st.lists(module_name_entries(plans), max_size=4))
    names = [name for name, _, _ in entries]
    container = data.draw(st.sampled_from([list, tuple, HostileList, "sequence", "iterator", "as_is"]))
    if container == "sequence":
        modules = FakeSequence(names, data.draw(st.sampled_from([len(names), 0, 2**62, -1, 10**30])))
    elif container == "iterator":
        modules = iter(names)
    elif container == "as_is":
        modules = data.draw(anything)
    else:
        modules = container(names)
        if container is HostileList:
            arm_container(modules, data.draw(st.dictionaries(LIST_METHODS, KIND, max_size=2)))
    args, kwargs = data.draw(st.sampled_from([((modules,), {}), ((), {"modules": modules})])
                             | call_args(st.nothing(), st.just(modules)))
    capfd.readouterr()
    result, exc = run_armed(inspect_modules, *args, **kwargs)
    err = capfd.readouterr().err
    if not check_binding("inspect_modules()", ref_inspect_modules, args, kwargs, exc) or exc is not None:
        check_failure(exc, (TypeError, ValueError, OSError, AttributeError, RuntimeError, RecursionError))
        return
    check_no_panic_lost()
    document = json.loads(result)
    assert list(document) == ["assets"]
    if container == "as_is" or any(fails is None for _, _, fails in entries):
        return
    # Every entry was a str that was imported or skipped: the skip lines and
    # records follow the entries in order.
    skipped = [line for line in err.splitlines() if line.startswith("tamso: skipping module ")]
    expected_skips, expected_modules = [], []
    for name, plan, fails in entries:
        if fails:
            expected_skips.append(f"tamso: skipping module '{str.__str__(name)}': ")
        elif plan is not None:
            expected_modules += [plan.name] * plan.asset_members()
    assert [line[:len(prefix)] for line, prefix in zip(skipped, expected_skips)] == expected_skips
    assert len(skipped) == len(expected_skips)
    assert [record["module_path"] for record in document["assets"]] == expected_modules


# ---- materialize_asset() -------------------------------------------------------

@fuzz(80)
@given(data=st.data(), plan=module_plans)
def test_materialize_asset_outcomes(pipelines, tmp_path, monkeypatch, data, plan):
    pipelines(plan)
    importlib.invalidate_caches()
    work = tmp_path / f"work{next(_module_ids)}"
    work.mkdir()
    monkeypatch.chdir(work)  # relative output directories stay inside tmp_path
    (work / "a_file").write_text("x")
    member_names = [name for name, _ in plan.members]
    module_name = data.draw(st.one_of(st.just(plan.name), st.just(plan.name),
                                      st.just(HostileStr(plan.name, {"__str__": hostile.Hostile})),
                                      st.sampled_from(FAILING_NAMES + ["\udc80"]), anything))
    function_name = data.draw(st.one_of(st.sampled_from(TEMPLATE_FUNCTIONS + member_names + ["missing", "f_plain.x"]),
                                        st.sampled_from(TEMPLATE_FUNCTIONS + member_names),
                                        texts, anything))
    output_dir = data.draw(st.one_of(
        st.sampled_from(["out", "out/sub/", "", "./o2", "a_file", "a_file/sub", "o\x00", str(work / "abs")]),
        st.just(HostileStr("o3", {"__str__": hostile.Hostile, "__len__": hostile.Hostile})),
        st.sampled_from([pathlib.Path("out"), b"out", None]), texts.filter(lambda t: ".." not in t and "/" not in t)))
    kwargs_json = data.draw(st.one_of(
        st.sampled_from([None, "{}", '{"x": 1}', '{"zz": 1}', "[1]", "", "{", "\udc80", "null"]),
        st.dictionaries(st.text(max_size=3), json_values, max_size=2).map(json.dumps), texts, anything))
    proper = st.sampled_from([((module_name, function_name, output_dir, kwargs_json), {}),
                              ((module_name, function_name, output_dir), {"input_kwargs_json": kwargs_json}),
                              ((), {"module_name": module_name, "function_name": function_name,
                                    "output_dir": output_dir})])
    args, kwargs = data.draw(call_args(proper, st.sampled_from([plan.name, "f_plain", "out", None])))
    collide = data.draw(st.sampled_from([None, None, "value.json", "result.json"]))
    if collide and isinstance(output_dir, str) and "\x00" not in output_dir:
        try:  # an artifact name already taken by a directory
            (work / str.__str__(output_dir) / collide).mkdir(parents=True)
        except (OSError, ValueError):
            pass
    result, exc = run_armed(materialize_asset, *args, **kwargs)
    assert not list(work.rglob(".*.tmp")), "a temporary file was left behind"
    if not check_binding("materialize_asset()", ref_materialize_asset, args, kwargs, exc):
        return
    bound = inspect.signature(ref_materialize_asset).bind(*args, **kwargs).arguments
    out = work / str.__str__(bound["output_dir"]) if isinstance(bound["output_dir"], str) else None
    surfaced = [e for e in hostile.RAISED + hostile.SWALLOWED if e is exc]
    if surfaced and str(exc) == "hostile __name__":
        return  # the failed run's type name could not be read: that exception, no exit
    assert not surfaced, f"an exception of the run surfaced: {exc!r}"
    if exc is not None and is_panic(exc):
        check_failure(exc, ())
        return
    check_no_panic_lost()
    if exc is None:
        assert result is None
        assert json.loads((out / "result.json").read_text("utf-8"))["ok"] is True
        assert (out / "value.json").exists()
    elif type(exc) is SystemExit:
        assert exc.code == 1
        report = json.loads((out / "result.json").read_text("utf-8"))
        assert list(report) == ["error", "error_type", "ok"] and report["ok"] is False
    else:
        check_failure(exc, (TypeError, ValueError, OSError), passthrough=False)
