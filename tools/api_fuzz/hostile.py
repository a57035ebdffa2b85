"""Hostile objects for the API fuzz tests.

Every hostile behaviour (a method or attribute lookup that raises, a method
that changes its own container) fires only while `armed()` is active, so the
objects can be built, hashed into dicts and printed by the test machinery
without tripping. Each exception a hostile object raises is remembered by
identity: in RAISED where the API may let it through unchanged, in SWALLOWED
where the API must discard it (the `__tamso_kind__` and `__tamso_original__`
lookups, the import of a module, the run of an asset).

Pipeline modules written by the fuzz tests import this module too, and
`populate()` fills their namespaces from plans registered by the tests.
"""

import contextlib


class Hostile(Exception):
    pass


class HostileBase(BaseException):
    pass


def _panic_type():
    """The class of the system's internal-failure exception, made by the one
    failure a caller can provoke: a dict changed while asset() walks it."""
    from tamso import asset

    class Changes(str):
        @property
        def __tamso_kind__(self):
            inputs["added"] = "x"
            raise AttributeError

    inputs = {"a": Changes("a"), "b": "b"}
    try:
        asset(inputs=inputs)
    except BaseException as exc:  # noqa: B036
        return type(exc)
    raise AssertionError("no internal failure")


PanicException = _panic_type()


class PanicExit(PanicException, SystemExit):
    """Our own failure's class and SystemExit at once."""


KINDS = (Hostile, HostileBase, KeyboardInterrupt, SystemExit, TypeError, ValueError, AttributeError,
         RecursionError, MemoryError, LookupError, PanicException, PanicExit)
DISCARDED_LOOKUPS = frozenset({"__tamso_kind__", "__tamso_original__"})

RAISED = []
SWALLOWED = []
MUTATIONS = []  # of the current armed call
_state = {"armed": False, "mutations": 0}  # mutations: ever made


def note_mutation(what):
    MUTATIONS.append(what)
    _state["mutations"] += 1


def mutations_made():
    return _state["mutations"]


@contextlib.contextmanager
def armed():
    RAISED.clear()
    SWALLOWED.clear()
    MUTATIONS.clear()
    _state["armed"] = True
    try:
        yield
    finally:
        _state["armed"] = False


def throw(kind, what, sink=RAISED):
    exc = kind(f"hostile {what}")
    sink.append(exc)
    raise exc


def trip(traps, name, sink=None):
    """Raises the exception trapped for `name` while armed, or runs the trapped
    mutation (a callable)."""
    if not _state["armed"] or name not in traps:
        return
    action = traps[name]
    if isinstance(action, type):
        throw(action, name, sink if sink is not None else (SWALLOWED if name in DISCARDED_LOOKUPS else RAISED))
    if action is not reenter:
        note_mutation(name)
    action()


def reenter():
    """Calls into the module again from inside one of its calls."""
    from tamso import asset, inspect_modules, partitions

    asset(inputs={"k": "v"}, partitions={"p": partitions([1, "x"])})(len).__tamso_metadata__
    inspect_modules(["hostile"])


class HostileStr(str):
    """A str whose Python-level methods raise while armed."""

    def __new__(cls, text, traps=None):
        self = super().__new__(cls, text)
        self.traps = dict(traps or {})
        return self

    def __eq__(self, other):
        trip(self.traps, "__eq__")
        return str.__eq__(self, other)

    def __ne__(self, other):
        trip(self.traps, "__ne__")
        return str.__ne__(self, other)

    def __hash__(self):
        trip(self.traps, "__hash__")
        return str.__hash__(self)

    def __str__(self):
        trip(self.traps, "__str__")
        return str.__str__(self)

    def __repr__(self):
        trip(self.traps, "__repr__")
        return str.__repr__(self)

    def __len__(self):
        trip(self.traps, "__len__")
        return str.__len__(self)

    def __iter__(self):
        trip(self.traps, "__iter__")
        return str.__iter__(self)

    def __getitem__(self, index):
        trip(self.traps, "__getitem__")
        return str.__getitem__(self, index)

    def encode(self, *args, **kwargs):
        trip(self.traps, "encode")
        return str.encode(self, *args, **kwargs)


class UniqueStr(HostileStr):
    """Equal only to itself: two of them with one text can both be dict keys."""

    def __eq__(self, other):
        trip(self.traps, "__eq__")
        return self is other

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        trip(self.traps, "__hash__")
        return id(self)


class HostileDict(dict):
    """A dict whose own methods raise or change the dict while armed."""

    traps = {}

    def keys(self):
        trip(self.traps, "keys")
        return dict.keys(self)

    def items(self):
        trip(self.traps, "items")
        return dict.items(self)

    def values(self):
        trip(self.traps, "values")
        return dict.values(self)

    def __iter__(self):
        trip(self.traps, "__iter__")
        return dict.__iter__(self)

    def __len__(self):
        trip(self.traps, "__len__")
        return dict.__len__(self)

    def __getitem__(self, key):
        trip(self.traps, "__getitem__")
        return dict.__getitem__(self, key)

    def get(self, key, default=None):
        trip(self.traps, "get")
        return dict.get(self, key, default)


class HostileList(list):
    """A list whose own methods raise or change the list while armed."""

    traps = {}

    def __iter__(self):
        trip(self.traps, "__iter__")
        return list.__iter__(self)

    def __len__(self):
        trip(self.traps, "__len__")
        return list.__len__(self)

    def __getitem__(self, index):
        trip(self.traps, "__getitem__")
        return list.__getitem__(self, index)


class FakeSequence:
    """Passes the sequence test; its length and items are whatever it is told."""

    def __init__(self, items, length, traps=None):
        self.items, self.length, self.traps = list(items), length, dict(traps or {})

    def __len__(self):
        trip(self.traps, "__len__")
        return self.length

    def __getitem__(self, index):
        trip(self.traps, "__getitem__")
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]


class Prickly:
    """Any attribute can be given a value or a trap; `__call__` too."""

    def __init__(self, values=None, traps=None):
        object.__setattr__(self, "_values", dict(values or {}))
        object.__setattr__(self, "_traps", dict(traps or {}))

    def __getattribute__(self, name):
        trip(object.__getattribute__(self, "_traps"), name)
        values = object.__getattribute__(self, "_values")
        if name in values:
            return values[name]
        return object.__getattribute__(self, name)

    def __call__(self, *args, **kwargs):
        trip(object.__getattribute__(self, "_traps"), "__call__")
        return object.__getattribute__(self, "_values").get("__call__", (args, kwargs))

    def __repr__(self):
        return f"Prickly({object.__getattribute__(self, '_values')!r}, {object.__getattribute__(self, '_traps')!r})"


class MutatingStr(str):
    """A str input whose `__tamso_kind__` lookup changes a dict (set later as
    `target`) while that dict is being walked, then counts as a non-asset."""

    def __new__(cls, text, action):
        self = super().__new__(cls, text)
        self.action, self.target = action, None
        return self

    @property
    def __tamso_kind__(self):
        if _state["armed"] and self.target is not None:
            note_mutation(self.action)
            target = self.target
            if self.action == "clear":
                target.clear()
            elif self.action == "add":
                target[f"added{len(target)}"] = "x"
            elif self.action == "pop" and target:
                target.pop(next(iter(target)))
            elif self.action == "swap" and target:
                target.pop(next(iter(target)))
                target[f"swapped{len(MUTATIONS)}"] = "x"
            elif self.action == "touch" and target:
                target[next(iter(target))] = "touched"
        raise AttributeError("__tamso_kind__")


def _named_by(traps, base):
    """A metaclass whose classes' `__name__` lookup may be trapped."""

    class TrappedName(type(base)):
        @property
        def __name__(cls):
            trip(traps, "__name__", RAISED)
            return type.__dict__["__name__"].__get__(cls)

    return TrappedName


def odd_error(str_action=None, name_kind=None):
    """An exception class whose str() raises `str_action` (or gives a lone
    surrogate, for "surrogate") and whose class `__name__` lookup raises
    `name_kind`."""
    traps = {"__str__": str_action} if isinstance(str_action, type) else {}
    if name_kind is not None:
        traps["__name__"] = name_kind

    class OddError(Exception, metaclass=_named_by(traps, Exception)):
        def __str__(self):
            trip(traps, "__str__", RAISED)
            return "odd \udc80 text" if str_action == "surrogate" else Exception.__str__(self)

    return OddError


def odd_named_dict(items, name_kind):
    """A dict of a class whose `__name__` lookup raises `name_kind`."""
    traps = {"__name__": name_kind}

    class OddDict(dict, metaclass=_named_by(traps, dict)):
        pass

    return OddDict(items)


# ---- pipeline modules ---------------------------------------------------------

_plans = {}


def register(module_name, plan):
    """`plan(namespace)` fills a pipeline module's namespace when it is imported."""
    _plans[module_name] = plan


def forget():
    _plans.clear()


def plan(module_name):
    return _plans[module_name]


def populate(namespace):
    _plans[namespace["__name__"]](namespace)
