"""partitions(): normalisation through json.dumps and the reader."""

import json
import struct
import sys

import pytest
from hypothesis import given, strategies as st

from conftest import values_json
from tamso import Partitions, partitions


class F(float):
    """Not a plain float: takes the general road (json.dumps, then the reader)."""


def nested(depth):
    return [nested(depth - 1)] if depth > 1 else []


def test_repr_and_normalisation_through_json():
    assert repr(partitions([])) == "Partitions(0 values)" and repr(partitions(["AAPL"])) == "Partitions(1 values)"
    assert str(partitions(["AAPL", "MSFT", "GOOG"])) == "Partitions(3 values)" and type(partitions([])) is Partitions
    assert partitions(values=["a"]) is not partitions(values=["a"])
    p = partitions([None, True, False, 0, -1, 1.0, "é", (1, 2), {"b": 1, "a": [2]}, {1: "x"}, "x", "x"])
    assert values_json(p) == '[null,true,false,0,-1,1.0,"é",[1,2],{"a":[2],"b":1},{"1":"x"},"x","x"]'
    assert values_json(partitions([nested(127)])) == "[" * 128 + "]" * 128  # the deepest allowed


def test_number_layout_on_both_roads():
    values = [2**64 - 1, 2**64, -(2**63), -(2**63) - 1, -0.0, 1e16, 1e15, 0.00001, 0.000001, 5e-324, sys.float_info.max,
              2.2250738585072014e-308, 2.225073858507201e-308, 1e23, 9007199254740993.0]
    floats_as_f = [F(v) if isinstance(v, float) else v for v in values]
    assert values_json(partitions(values)) == values_json(partitions(floats_as_f)) == (
        "[18446744073709551615,1.8446744073709552e+19,-9223372036854775808,-9.223372036854776e+18,-0.0,1e+16,"
        "1000000000000000.0,0.00001,1e-6,5e-324,1.7976931348623157e+308,2.2250738585072014e-308,"
        "2.225073858507201e-308,1e+23,9007199254740992.0]")


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_come_back_exactly_on_both_roads(x):
    for value in (x, F(x)):
        (back,) = json.loads(values_json(partitions([value])))
        assert type(back) is float and struct.pack("<d", back) == struct.pack("<d", x)


@pytest.mark.parametrize(("value", "text"), [
    (float("nan"), "expected value at line 1 column 1"),
    (float("inf"), "expected value at line 1 column 1"),
    (float("-inf"), "invalid number at line 1 column 2"),
    (10**400, "number out of range at line 1 column 401"),
    ("\udc80", "lone leading surrogate in hex escape at line 1 column 7"),
    (nested(128), "recursion limit exceeded at line 1 column 128"),
])
def test_refused_values(value, text):
    with pytest.raises(ValueError) as info:
        partitions(["ok", value])
    assert type(info.value) is ValueError and str(info.value) == "invalid partition value: " + text


def test_json_dumps_errors_pass_unchanged(dumps_returning):
    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        partitions([{1, 2}])
    dumps_returning(b"[]")
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        partitions([1])


# The reader's own messages are pinned by its C++ tests; these check how they reach Python.
@pytest.mark.parametrize(("text", "error"), [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[\n1,\n]", "trailing comma at line 3 column 1"),
    ('"é" x', "trailing characters at line 1 column 6"),
    ("nulx", "expected ident at line 1 column 4"),
    ('"\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    ("1e999", "number out of range at line 1 column 5"),
])
def test_reader_errors_reach_python(dumps_returning, text, error):
    dumps_returning(text)
    with pytest.raises(ValueError) as info:
        partitions([object()])
    assert str(info.value) == "invalid partition value: " + error


def test_reader_accepts_what_dumps_may_say(dumps_returning):
    dumps_returning(' {"b": [1, 2.5e3, -0, "\\ud83d\\ude00\\u0000"], "a": {}, "b": true} ')
    assert values_json(partitions([object()])) == '[{"a":{},"b":true}]'
    dumps_returning('"\\ud83d\\ude00"')
    assert values_json(partitions([object()])) == '["\U0001F600"]'
    dumps_returning('"replaced"')  # plain scalars skip json.dumps only while it is the json module's own
    assert values_json(partitions([None, 1, 2.5, "a", True])) == '["replaced","replaced","replaced","replaced","replaced"]'


def test_list_changed_while_walked(monkeypatch):
    real, shrinking, growing = json.dumps, [1, 2, 3, 4], [1, 2]
    monkeypatch.setattr(json, "dumps", lambda obj: (shrinking.pop(), real(obj))[1])
    assert values_json(partitions(shrinking)) == "[1,2]"
    monkeypatch.setattr(json, "dumps", lambda obj: (growing.append(obj), real(obj))[1])
    assert values_json(partitions(growing)) == "[1,2]"


def test_list_storage_is_read_directly_and_kept_apart_from_the_caller():
    class L(list):
        def __iter__(self):
            raise AssertionError("not called")

        __len__ = __getitem__ = __iter__

    assert values_json(partitions(L(["a", "b"]))) == '["a","b"]'
    items = [{"k": [1]}]
    p = partitions(items)
    items[0]["k"].append(2)
    items.append("late")
    assert values_json(p) == '[{"k":[1]}]'


def test_references_are_released(refcounts):
    item = "AAPL"
    items = [item, 1.5, 10**30]
    with refcounts(item, items):
        for _ in range(200):
            partitions(items)
            pytest.raises(ValueError, partitions, [item, float("nan")])
            pytest.raises(TypeError, partitions, [item, {1, 2}])
