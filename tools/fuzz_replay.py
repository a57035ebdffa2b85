"""Replays a fuzz corpus through our reader (reached from Python via
``partitions()`` with ``json.dumps`` replaced) and Python's ``json.loads``, and
checks that the two agree wherever both accept a text.

    python tools/fuzz_replay.py CORPUS_DIR [CORPUS_DIR ...]

Texts that only Python accepts must be ones we refuse on purpose: NaN and
infinities, lone surrogate escapes, nesting deeper than 127, numbers beyond
the double range. Any other disagreement is a failure (exit status 1).
"""

from __future__ import annotations

import json
import math
import os
import sys

from tamso import asset, partitions

_real_dumps = json.dumps


def ours(text: str):
    """(accepted, value or error text) for our reader."""
    json.dumps = lambda obj: text
    try:
        p = partitions([None])
    except ValueError as exc:
        return False, str(exc)
    finally:
        json.dumps = _real_dumps
    meta = asset(partitions={"d": p})(len).__tamso_metadata__
    return True, json.loads(meta["partitions"]["d"]["values_json"])[0]


def normalise(value):
    """Python's value as our value model holds it: integers beyond 64 bits
    become doubles."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        if -(2**63) <= value < 2**64:
            return value
        return float(value)
    if isinstance(value, float):
        return value
    if isinstance(value, list):
        return [normalise(v) for v in value]
    return {k: normalise(v) for k, v in value.items()}


def explained_refusal(text: str, value, error: str) -> bool:
    def walk(v, depth):
        if isinstance(v, float) and not math.isfinite(v):
            return True
        if isinstance(v, int) and not isinstance(v, bool) and abs(v) >= 2**64 and math.isinf(float(v) if abs(v) < 10**309 else math.inf):
            return True
        if isinstance(v, str) and any(0xD800 <= ord(c) <= 0xDFFF for c in v):
            return True
        if isinstance(v, (list, dict)):
            if depth >= 127:
                return True
            items = v.values() if isinstance(v, dict) else v
            keys = v.keys() if isinstance(v, dict) else []
            return any(walk(x, depth + 1) for x in items) or any(walk(k, depth + 1) for k in keys)
        return False

    return walk(value, 0) or "number out of range" in error


def same(a, b) -> bool:
    if isinstance(a, float) and b == 0 and type(b) is int:
        return a == 0 and math.copysign(1, a) < 0  # "-0" is negative zero for us, int 0 for Python
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def main(argv=None) -> int:
    dirs = sys.argv[1:] if argv is None else argv
    if not dirs:
        print(__doc__, file=sys.stderr)
        return 2
    sys.setrecursionlimit(10000)
    sys.set_int_max_str_digits(0)
    counts = {"files": 0, "not utf-8": 0, "both accept": 0, "both refuse": 0, "only python (expected)": 0}
    failures = []
    for d in dirs:
        for name in sorted(os.listdir(d)):
            with open(os.path.join(d, name), "rb") as f:
                raw = f.read()
            counts["files"] += 1
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                counts["not utf-8"] += 1
                continue
            try:
                py_value, py_ok = json.loads(text), True
            except (ValueError, RecursionError):
                py_value, py_ok = None, False
            ok, result = ours(text)
            if ok and py_ok:
                counts["both accept"] += 1
                if not same(result, normalise(py_value)):
                    failures.append((name, "values differ", result, py_value))
            elif ok:
                failures.append((name, "only we accept", result, None))
            elif py_ok:
                if explained_refusal(text, py_value, result):
                    counts["only python (expected)"] += 1
                else:
                    failures.append((name, "only python accepts", result, py_value))
            else:
                counts["both refuse"] += 1
    for key, n in counts.items():
        print(f"{key:>24}: {n}")
    for name, why, ours_value, py_value in failures[:20]:
        print(f"FAIL {name}: {why}: ours={ours_value!r:.200} python={py_value!r:.200}")
    print(f"{counts['files'] - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
