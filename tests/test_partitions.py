"""partitions(): normalisation through json.dumps and the reader."""

import json
import math
import random
import struct
import sys

import pytest
from hypothesis import given, strategies as st

from tamso import Partitions, partitions
from conftest import values_json


def test_repr_counts_values_and_hides_them():
    assert repr(partitions([])) == "Partitions(0 values)"
    assert repr(partitions(["AAPL"])) == "Partitions(1 values)"
    assert str(partitions(["AAPL", "MSFT", "GOOG"])) == "Partitions(3 values)"
    assert type(partitions([])) is Partitions
    assert partitions(values=["a"]) is not partitions(values=["a"])


def test_normalisation_through_json():
    p = partitions([None, True, False, 0, -1, 1.0, "é", (1, 2), {"b": 1, "a": [2]}, {1: "x"}, "x", "x"])
    assert values_json(p) == '[null,true,false,0,-1,1.0,"é",[1,2],{"a":[2],"b":1},{"1":"x"},"x","x"]'


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (2**64 - 1, "[18446744073709551615]"),
        (2**64, "[1.8446744073709552e+19]"),
        (-(2**63), "[-9223372036854775808]"),
        (-(2**63) - 1, "[-9.223372036854776e+18]"),
        (-0.0, "[-0.0]"),
        (1e16, "[1e+16]"),
        (1e15, "[1000000000000000.0]"),
        (0.00001, "[0.00001]"),
        (0.000001, "[1e-6]"),
        (5e-324, "[5e-324]"),
        (sys.float_info.max, "[1.7976931348623157e+308]"),
    ],
)
def test_number_layout(value, text):
    assert values_json(partitions([value])) == text


def float_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_come_back_exactly(x):
    (back,) = json.loads(values_json(partitions([x])))
    assert math.copysign(1, back) == math.copysign(1, x)
    assert back == x and type(back) is float


def test_awkward_floats_come_back_exactly():
    rng = random.Random(1234)
    samples = [float_from_bits(rng.getrandbits(64)) for _ in range(3000)]
    samples += [5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, sys.float_info.max, 1e23, 9007199254740993.0]
    samples = [x for x in samples if math.isfinite(x)]
    back = json.loads(values_json(partitions(samples)))
    assert [struct.pack("<d", b) for b in back] == [struct.pack("<d", x) for x in samples]
    # The general road (json.dumps + reader) agrees with the direct one.
    class F(float):
        pass
    back = json.loads(values_json(partitions([F(x) for x in samples[:500]])))
    assert back == samples[:500]


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (float("nan"), "invalid partition value: expected value at line 1 column 1"),
        (float("inf"), "invalid partition value: expected value at line 1 column 1"),
        (float("-inf"), "invalid partition value: invalid number at line 1 column 2"),
        (10**400, "invalid partition value: number out of range at line 1 column 401"),
        ("\udc80", "invalid partition value: lone leading surrogate in hex escape at line 1 column 7"),
    ],
)
def test_refused_values(value, text):
    with pytest.raises(ValueError) as info:
        partitions(["ok", value])
    assert str(info.value) == text
    assert type(info.value) is ValueError


def test_nesting_limit():
    partitions([eval("[" * 127 + "]" * 127)])
    with pytest.raises(ValueError, match=r"^invalid partition value: recursion limit exceeded at line 1 column 128$"):
        partitions([eval("[" * 128 + "]" * 128)])


def test_json_dumps_errors_pass_unchanged():
    with pytest.raises(TypeError, match="Object of type set is not JSON serializable"):
        partitions([{1, 2}])
    with pytest.raises(TypeError, match="keys must be str"):
        partitions([{(1,): 2}])


@pytest.mark.parametrize(
    ("text", "error"),
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ('{"a":1,}', "trailing comma at line 1 column 8"),
        ("[1] x", "trailing characters at line 1 column 5"),
        ('{"a": NaN}', "expected value at line 1 column 7"),
        ("-Infinity", "invalid number at line 1 column 2"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ('{"a":1', "EOF while parsing an object at line 1 column 6"),
        ('"abc', "EOF while parsing a string at line 1 column 4"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
        ("nul", "EOF while parsing a value at line 1 column 3"),
        ("nulx", "expected ident at line 1 column 4"),
        ("'a'", "expected value at line 1 column 1"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('"\\x"', "invalid escape at line 1 column 3"),
        ('"\\u12G4"', "invalid escape at line 1 column 6"),
        ("01", "invalid number at line 1 column 2"),
        ("1e999", "number out of range at line 1 column 5"),
        ('"\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
        ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
        ("[\n1,\n]", "trailing comma at line 3 column 1"),
        ('"é" x', "trailing characters at line 1 column 6"),
    ],
)
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


def test_dumps_returning_non_str_is_a_conversion_error(monkeypatch):
    monkeypatch.setattr(json, "dumps", lambda obj: b"[]")
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        partitions([1])


def test_list_changed_while_walked(monkeypatch):
    real = json.dumps
    items = [1, 2, 3, 4]

    def shrinking(obj):
        if items:
            items.pop()
        return real(obj)

    monkeypatch.setattr(json, "dumps", shrinking)
    assert values_json(partitions(items)) == "[1,2]"

    growing_items = [1, 2]

    def growing(obj):
        growing_items.append(obj)
        return real(obj)

    monkeypatch.setattr(json, "dumps", growing)
    assert values_json(partitions(growing_items)) == "[1,2]"


def test_list_subclass_storage_is_read_directly():
    class L(list):
        def __iter__(self):
            raise AssertionError("not called")

        def __len__(self):
            raise AssertionError("not called")

        def __getitem__(self, i):
            raise AssertionError("not called")

    assert values_json(partitions(L(["a", "b"]))) == '["a","b"]'


def test_stored_values_do_not_follow_the_caller():
    items = [{"k": [1]}]
    p = partitions(items)
    items[0]["k"].append(2)
    items.append("late")
    assert values_json(p) == '[{"k":[1]}]'


def test_references_are_released(refcounts):
    item = "AAPL"
    items = [item, 1.5, 10**30]
    refcounts.watch(item, items)
    for _ in range(200):
        partitions(items)
        with pytest.raises(ValueError):
            partitions([item, float("nan")])
        with pytest.raises(TypeError):
            partitions([item, {1, 2}])
    refcounts.check()


def test_a_replaced_dumps_is_used_even_for_plain_scalars(monkeypatch):
    """Scalars may skip json.dumps only while it is the json module's own."""
    monkeypatch.setattr(json, "dumps", lambda obj: '"replaced"')
    assert values_json(partitions([None, 1, 2.5, "a", True])) == '["replaced","replaced","replaced","replaced","replaced"]'
