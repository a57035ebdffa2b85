"""Objects offering the asset attribute protocol without the decorator, for
the pipeline modules that the inspection tests write."""

DEFAULT_METADATA = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}


def _attribute(slot):
    """Reads a stored value, or raises it if it is an exception instance."""
    def read(self):
        value = getattr(self, slot)
        if isinstance(value, BaseException):
            raise value
        return value

    return property(read)


class Asset:
    def __init__(self, function, metadata=None, kind="asset"):
        self._kind, self._original = kind, function
        self._metadata = dict(DEFAULT_METADATA) if metadata is None else metadata

    __tamso_kind__ = _attribute("_kind")
    __tamso_original__ = _attribute("_original")
    __tamso_metadata__ = _attribute("_metadata")


def asset(**options):
    return lambda function: Asset(function, {**DEFAULT_METADATA, **options})
