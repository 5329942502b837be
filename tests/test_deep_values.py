"""Container values nested far deeper than the native stack could recurse:
their items are flattened without recursion, so every way a value reaches an
index works at any depth. Each case runs in its own interpreter, so that a
crash fails the test instead of the run."""

import pytest

from index_support import run_isolated

SCRIPT = """
    from Tarnwick import Index, Indexable, PyQueryExpr as Q

    class P(Indexable):
        pass

    def deep(innermost):
        x = {kind}([innermost])
        for _ in range(100_000):
            x = {kind}([x, 1])
        return x

    o, held = P(v=0), P(k=0)
    idx = Index()
    idx.add_object(held)
    way = "{way}"
    if way == "assign":
        idx.add_object(o)
        o.v = deep("needle")
    elif way == "add_object":
        o.v = deep("needle")
        idx.add_object(o)
    elif way == "add_object_many":
        o.v = deep("needle")
        idx.add_object_many([o])
    elif way == "nested":
        held.kid = o
        o.v = deep("needle")
    elif way == "union_with":
        o.v = deep("needle")
        other = Index()
        other.add_object(o)
        idx.union_with(other)
    elif way == "rebase":
        o.v = deep("needle")
        idx.add_object(o)
        idx = idx.reduced_query(Q.eq("v", 1)).rebase()
    path = "kid.v" if way == "nested" else "v"
    expected = [held] if way == "nested" else [o]
    assert idx.reduced_query(Q.eq(path, "needle")).collect() == expected
    assert idx.reduced_query(Q.eq(path, 1)).collect() == expected
    o.v = "plain"
    assert idx.reduced_query(Q.eq(path, "needle")).collect() == []
    assert idx.reduced_query(Q.eq(path, "plain")).collect() == expected
    print("ok")
"""


@pytest.mark.parametrize("kind, way", [("list", way) for way in
                                       ["assign", "add_object", "add_object_many", "nested", "union_with", "rebase"]]
                         + [("tuple", "assign")])
def test_deeply_nested_value(kind, way):
    code, out, err = run_isolated(SCRIPT.format(kind=kind, way=way))
    assert (code, out) == (0, "ok\n"), err[-2000:]


def test_deep_value_that_contains_itself():
    code, out, err = run_isolated("""
        from Tarnwick import Index, Indexable, PyQueryExpr as Q

        class P(Indexable):
            pass

        top = inner = ["needle"]
        for _ in range(50_000):
            inner = [inner, 2]
        top.append(inner)  # the outermost list, 50,000 levels down
        o = P()
        idx = Index()
        idx.add_object(o)
        o.v = top
        assert idx.reduced_query(Q.eq("v", "needle")).collect() == [o]
        assert idx.reduced_query(Q.eq("v", 2)).collect() == [o]
        print("ok")
    """)
    assert (code, out) == (0, "ok\n"), err[-2000:]
