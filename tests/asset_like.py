"""Objects that offer the asset attribute protocol without the decorator.

Pipeline modules written by the inspection tests import from here, so the
tests do not depend on how the decorator itself is built.
"""

DEFAULT_METADATA = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}

_MISSING = object()


def _value_or_raise(value):
    if isinstance(value, BaseException):
        raise value
    return value


class Asset:
    """The three protocol attributes, each given as a value, or as an exception
    instance that reading the attribute raises."""

    def __init__(self, function, metadata=_MISSING, original=_MISSING, kind="asset"):
        self._kind = kind
        self._metadata = dict(DEFAULT_METADATA) if metadata is _MISSING else metadata
        self._original = function if original is _MISSING else original

    @property
    def __tamso_kind__(self):
        return _value_or_raise(self._kind)

    @property
    def __tamso_original__(self):
        return _value_or_raise(self._original)

    @property
    def __tamso_metadata__(self):
        return _value_or_raise(self._metadata)


def asset(**options):
    """`@asset(name=...)` giving an `Asset` whose metadata carries the options."""

    def wrap(function):
        return Asset(function, {**DEFAULT_METADATA, **options})

    return wrap
