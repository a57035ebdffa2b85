"""Leak soak: call every public operation many times, on success and on each
kind of failure, and show that reference counts of the arguments stay put and
resident memory stays flat.

    python tools/leak_soak.py [--iterations N] [--rss-slack-mb M]

Prints one line per scenario (references before/after, resident memory after
warm-up and at the end) and exits 1 when any scenario leaks.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import sys
import tempfile
import textwrap

import tamso
from tamso import asset, inspect_modules, materialize_asset, partitions


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet_fd2():
    """Send file descriptor 2 to /dev/null: skip lines and internal-failure
    diagnostics would otherwise flood the terminal."""
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    except BaseException as exc:  # PanicException derives from BaseException
        if exc_type is BaseException:
            return
        raise AssertionError(f"{fn} raised {type(exc).__name__}: {exc}") from exc
    raise AssertionError(f"{fn} did not raise {exc_type.__name__}")


def build_scenarios(workdir: str):
    sys.path.insert(0, workdir)
    with open(os.path.join(workdir, "soak_pipeline.py"), "w") as f:
        f.write(textwrap.dedent('''
            from tamso import asset, partitions

            @asset()
            def upstream() -> list:
                return [1, 2, 3]

            @asset(name="prices", inputs={"raw": upstream, "ext": "x.py:y"},
                   partitions={"ticker": partitions(["AAPL", "MSFT", 1.5, None])})
            def prices(raw=None, ticker: str = "AAPL") -> dict:
                return {"ticker": ticker, "n": 1}

            @asset()
            def broken():
                raise ValueError("é broken")
        '''))
    import soak_pipeline  # noqa: F401  (imported once, as a worker would)

    def f(a, b=None):
        return a

    wrapper = asset(name="w", inputs={"a": "ref"})(f)
    values = ["AAPL", 1, 2.5, {"k": [1, None]}, (1, 2)]
    name = "soak-name"
    out_dir = os.path.join(workdir, "out")
    kwargs_json = json.dumps({"ticker": "MSFT"})
    mutating_input = {}

    class Mutator:
        @property
        def __tamso_kind__(self):
            mutating_input["extra"] = "x"
            return "asset"

    def mutate_during_walk():
        mutating_input.clear()
        mutating_input["a"] = Mutator()
        asset(inputs=mutating_input)

    return {
        "partitions ok": ((values,), lambda: partitions(values)),
        "partitions binding": ((values,), lambda: expect(TypeError, partitions, values, values)),
        "partitions conversion": ((name,), lambda: expect(TypeError, partitions, name)),
        "partitions bad value": ((values,), lambda: expect(ValueError, partitions, [float("nan"), values])),
        "partitions dumps error": ((values,), lambda: expect(TypeError, partitions, [values, {1}])),
        "asset ok": ((name, f), lambda: asset(name=name, inputs={"u": soak_pipeline.upstream, "s": name},
                                               partitions={"d": partitions(values)})(f)),
        "asset binding": ((f,), lambda: expect(TypeError, asset, f)),
        "asset conversion": ((name,), lambda: expect(TypeError, asset, name=3, serializer=name)),
        "asset bad input": ((name,), lambda: expect(TypeError, asset, inputs={name: 42})),
        "asset bad partitions": ((name,), lambda: expect(TypeError, asset, partitions={name: [1]})),
        "asset internal failure": ((mutating_input,), lambda: expect(BaseException, mutate_during_walk)),
        "decorator misuse": ((f,), lambda: expect(TypeError, asset(), f, f)),
        "wrapper call": ((wrapper, name), lambda: wrapper(name, b=name)),
        "wrapper raises": ((wrapper,), lambda: expect(TypeError, wrapper)),
        "wrapper metadata": ((wrapper,), lambda: wrapper.__tamso_metadata__),
        "wrapper attributes": ((wrapper, f), lambda: (wrapper.__name__, wrapper.__qualname__, wrapper.__module__,
                                                       wrapper.__doc__, wrapper.__wrapped__, wrapper.__tamso_kind__)),
        "inspect ok": ((name,), lambda: inspect_modules(["soak_pipeline", "soak_pipeline"])),
        "inspect skip": ((name,), lambda: inspect_modules(["no_such_soak_module"])),
        "inspect binding": ((name,), lambda: expect(TypeError, inspect_modules, name)),
        "inspect no source": ((name,), lambda: expect(TypeError, inspect_modules, ["sys"])),
        "materialize ok": ((kwargs_json, out_dir), lambda: materialize_asset("soak_pipeline", "prices", out_dir,
                                                                              kwargs_json)),
        "materialize failure": ((out_dir,), lambda: expect(SystemExit, materialize_asset, "soak_pipeline", "broken",
                                                           out_dir)),
        "materialize binding": ((out_dir,), lambda: expect(TypeError, materialize_asset, "m", "f", 1)),
    }


def soak(label, watched, fn, iterations, rss_slack):
    warmup = max(iterations // 10, 10)
    for _ in range(warmup):
        fn()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in watched]
    before_rss = rss_bytes()
    for _ in range(iterations):
        fn()
    gc.collect()
    after_refs = [sys.getrefcount(o) for o in watched]
    after_rss = rss_bytes()
    grew = after_rss - before_rss
    ok = before_refs == after_refs and grew <= rss_slack
    print(f"{'ok  ' if ok else 'LEAK'} {label:<24} refs {before_refs} -> {after_refs}  "
          f"rss {before_rss / 2**20:8.1f} MiB -> {after_rss / 2**20:8.1f} MiB ({grew / 2**10:+.0f} KiB)",
          flush=True)
    return ok


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--rss-slack-mb", type=float, default=1.0,
                        help="resident growth allowed after warm-up (default 1 MiB)")
    parser.add_argument("--only", default=None, help="run the scenarios whose label contains this text")
    args = parser.parse_args(argv)
    print(f"tamso from {os.path.dirname(tamso.__file__)}; {args.iterations} iterations per scenario")
    with tempfile.TemporaryDirectory() as workdir:
        scenarios = build_scenarios(workdir)
        failures = 0
        with quiet_fd2():
            for label, (watched, fn) in scenarios.items():
                if args.only and args.only not in label:
                    continue
                if not soak(label, watched, fn, args.iterations, int(args.rss_slack_mb * 2**20)):
                    failures += 1
    print(f"{len(scenarios) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
