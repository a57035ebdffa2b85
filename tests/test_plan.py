"""The plan's jobs: partitions, directories and keyword-argument recipes, checked against the rules as written."""

import json
import textwrap

import pytest

from tamso import layout, plan

MIXED = '''
from tamso import asset, partitions

@asset()
def base():
    return 0

@asset(partitions={"a": partitions([1, 2, 3]), "b": partitions(["x", "y/z"]), "c": partitions([True, None])})
def three(a, b, c):
    return 1

@asset(inputs={"t": three, "u": three, "base": base}, partitions={"b": partitions(["y/z", "x", "w"])})
def by_b(t, u, base, b):
    return 1

@asset(inputs={"t": three}, partitions={"c": partitions([None, True]), "a": partitions([3, 1])})
def by_ca(t, c, a):
    return 1

@asset(inputs={"t": three, "q": by_ca}, partitions={"c": partitions([None]), "a": partitions([3, 1]),
       "b": partitions(["x"])})
def same(t, q, a, b, c):
    return 1

@asset(inputs={"s": same, "d": by_b})
def total(s, d):
    return 1
'''


def expected_kwargs(built, job):
    """The keyword arguments of `job` by rules a, b and c, each upstream value standing as its job's id."""
    mine = dict(job.partition)
    kwargs = {dim: json.loads(value) for dim, value in job.partition}
    for parameter, upstream in ((i.parameter, i.upstream) for i in built.assets[job.key].inputs):
        theirs = [built.jobs[j] for j in built.jobs_of[upstream]]
        names = [d.name for d in built.assets[upstream].dimensions]
        agreeing = [u for u in theirs if all(mine.get(d, v) == v for d, v in u.partition)]
        if not names or all(n in mine for n in names):
            [found] = agreeing
            kwargs[parameter] = found.id
        else:
            kwargs[parameter] = {"|".join(layout.value_label(v) for d, v in u.partition if d not in mine): u.id
                                 for u in agreeing}
    return kwargs


def test_every_job_follows_the_rules(tmp_path, monkeypatch):
    (tmp_path / "mixed.py").write_text(textwrap.dedent(MIXED))
    monkeypatch.syspath_prepend(str(tmp_path))
    built = plan.build(["mixed"])
    assert len(built.jobs) == 1 + 12 + 3 + 4 + 2 + 1
    for job_id, job in enumerate(built.jobs):
        assert job.id == job_id and built.jobs[job_id] is job
        assert job.directory == layout.job_directory(job.key, job.partition)
        assert job.partition_text == plan.partition_text(job.partition)
        text = "".join(p if isinstance(p, str) else str(p) for p in job.kwargs)
        assert json.loads(text) == expected_kwargs(built, job)
        assert list(job.upstream) == list(dict.fromkeys(p for p in job.kwargs if isinstance(p, int)))
    assert {j.label() for j in built.jobs if j.key == "mixed:by_ca"} >= {"mixed:by_ca[a=3, c=null]"}


@pytest.mark.parametrize("source, message", [
    ('''
     @asset(partitions={"a": partitions([1, 2])})
     def up(a): return 1
     @asset(inputs={"u": up}, partitions={"a": partitions([1, 3, 4])})
     def down(u, a): return 1
     ''', "upstream 'missing:up' has no partition a=3"),
    ('''
     @asset(partitions={"a": partitions([1, 2]), "k": partitions(["1", 1])})
     def up(a, k): return 1
     @asset(inputs={"u": up}, partitions={"a": partitions([1])})
     def down(u, a): return 1
     ''', "partitions a=1, k=1 and a=1, k=1 both give the key '1'"),
])
def test_inputs_that_cannot_be_assembled_are_plan_errors(tmp_path, monkeypatch, source, message):
    name = "missing" if "no partition" in message else "clash"
    (tmp_path / f"{name}.py").write_text("from tamso import asset, partitions\n" + textwrap.dedent(source))
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(plan.PlanError, match=message):
        plan.build([name])
