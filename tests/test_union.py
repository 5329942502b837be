"""Index.union_with: merged query results, the other index, later assignments, element ids, threads."""

import gc
import weakref

import pytest
from hypothesis import given, strategies as st

from index_support import Item, ids, run_threads
from Tarnwick import Index, PyQueryExpr as Q, _object_id

OPAQUE = [object(), object(), object()]
LONG = "a string far longer than any short one, to force many positions"

values = st.one_of(
    st.integers(-5, 5),
    st.floats(-3, 3, allow_nan=False),
    st.booleans(),
    st.sampled_from(["", "x", "ab", "abc", LONG, LONG[:30]]),
    st.sampled_from(OPAQUE),
)
items = st.lists(st.sampled_from(["ab", "x", 1, 2, True]), max_size=3)
objects = st.fixed_dictionaries(
    {}, optional={"v": values, "w": values, "tags": items,
                  "child": st.sampled_from(["ab", "x", LONG]),
                  "grand": st.sampled_from(["ab", LONG])})


def make(attrs):
    attrs = dict(attrs)
    child, grand = attrs.pop("child", None), attrs.pop("grand", None)
    obj = Item(**attrs)
    if child is not None:
        obj.child = Item(name=child)
        if grand is not None:
            obj.child.inner = Item(name=grand)
    return obj


def queries(objs):
    seen = [("v", 0), ("w", True), ("tags", "x"), ("tags", 1)]
    for o in objs:
        seen += [(k, getattr(o, k)) for k in ("v", "w") if hasattr(o, k)]
    out = [Q.eq("child.name", n) for n in ("ab", "x", LONG)]
    out += [Q.eq("child.inner.name", n) for n in ("ab", LONG)]
    out += [Q.starts_with("v", "a"), Q.ends_with("w", "c"), Q.contains("v", "longer"),
            Q.gt("v", 0), Q.le("w", 1.5), Q.in_("tags", ["ab", True])]
    for attr, value in seen:
        out.append(Q.eq(attr, value))
        if isinstance(value, str) and value:
            out += [Q.starts_with(attr, value[:2]), Q.ends_with(attr, value[-2:])]
    return out


def results(index, qs):
    return [ids(*index.reduced_query(q).collect()) for q in qs]


@given(st.lists(objects, max_size=6), st.lists(objects, max_size=6),
       st.integers(0, 3), st.booleans())
def test_results_after_merge_are_the_union(attrs_a, attrs_b, shared, bulk):
    only_a, only_b = [make(s) for s in attrs_a], [make(s) for s in attrs_b]
    both = [make(s) for s in (attrs_a + attrs_b)[:shared]]
    a, b = Index(), Index()
    for obj in only_a + both:
        a.add_object(obj)
    if bulk:
        b.add_object_many(only_b + both)
    else:
        for obj in only_b + both:
            b.add_object(obj)
    qs = queries(only_a + only_b + both)
    before_a, before_b = results(a, qs), results(b, qs)
    a.union_with(b)
    assert results(a, qs) == [sorted(set(x) | set(y)) for x, y in zip(before_a, before_b)]
    assert results(b, qs) == before_b
    assert [_object_id(o) for o in a.collect()] == ids(*(only_a + only_b + both))
    assert ids(*b.collect()) == ids(*(only_b + both))


def test_self_merge_and_empty_sides():
    x, y = Item(v=1, tags=["a"]), Item(v=2, child=Item(name="n"))
    a = Index()
    a.add_object(x)
    a.add_object(y)
    a.union_with(a)
    a.union_with(Index())
    assert ids(*a.collect()) == ids(x, y)
    assert ids(*a.reduced_query(Q.eq("tags", "a")).collect()) == ids(x)
    empty = Index()
    empty.union_with(a)
    assert ids(*empty.reduced_query(Q.eq("child.name", "n")).collect()) == ids(y)
    assert ids(*empty.reduced_query(Q.eq("v", 1)).collect()) == ids(x)


@pytest.mark.parametrize("args", [(3,), (), (Index(), Index())])
def test_bad_input_changes_nothing(args):
    a, x = Index(), Item(v=1)
    a.add_object(x)
    with pytest.raises(TypeError, match="union_with"):
        a.union_with(*args)
    with pytest.raises(TypeError, match="'other'"):
        a.union_with(other=None)
    assert ids(*a.collect()) == ids(x)


def test_assignments_after_merge_update_both():
    inner = Item(name="old")
    x = Item(v=1, tags=["a", ["deep"]], child=Item(name="c", inner=inner))
    a, b = Index(), Index()
    b.add_object(x)
    a.union_with(b)
    x.v, x.tags, inner.name = 5, ["b"], "new"
    x.child.name = "c2"
    for index in (a, b):
        find = lambda q: ids(*index.reduced_query(q).collect())  # noqa: E731
        assert find(Q.eq("v", 5)) == find(Q.eq("tags", "b")) == ids(x)
        assert find(Q.eq("v", 1)) == find(Q.eq("tags", "a")) == find(Q.eq("tags", "deep")) == []
        assert find(Q.eq("child.inner.name", "new")) == find(Q.eq("child.name", "c2")) == ids(x)
        assert find(Q.eq("child.inner.name", "old")) == []


def test_element_ids_are_freed_once():
    holders = [Item(tags=["a", "b", ("c", "d")], n=i) for i in range(20)]
    a, b = Index(), Index()
    b.add_object_many(holders)
    a.union_with(b)
    for h in holders:
        h.tags = ["z"]
    del a, b
    gc.collect()
    fresh = [Item() for _ in range(1000)]
    taken = [_object_id(o) for o in fresh + holders]
    assert len(set(taken)) == len(taken)


def test_merged_objects_live_with_either_index_and_cycles_are_collected():
    x = Item(v=1)
    b = Index()
    b.add_object(x)
    a = Index()
    a.union_with(b)
    x.idx = a
    gone, probe = weakref.ref(x), weakref.ref(a)
    del b
    gc.collect()
    assert gone() is x
    del x, a
    gc.collect()
    assert gone() is None and probe() is None


def test_opposite_merges_and_assignments_in_threads():
    left = [Item(v=i, tags=[i], child=Item(name=str(i))) for i in range(40)]
    right = [Item(v=100 + i, tags=[i]) for i in range(40)]
    a, b = Index(), Index()
    a.add_object_many(left)
    b.add_object_many(right)

    def assign():
        for k in range(3):
            for obj in left + right:
                obj.v = obj.v + 1000

    run_threads([lambda: a.union_with(b), lambda: b.union_with(a), assign, lambda: a.union_with(b)])
    for index in (a, b):
        assert ids(*index.collect()) == ids(*(left + right))
        for obj in left + right:
            assert _object_id(obj) in ids(*index.reduced_query(Q.eq("v", obj.v)).collect())
            assert _object_id(obj) not in ids(*index.reduced_query(Q.eq("v", obj.v - 1000)).collect())
        assert ids(*index.reduced_query(Q.eq("child.name", "7")).collect()) == ids(left[7])
