"""User code off the common path: "_" attributes that change, objects that
hold themselves, interrupts raised by __hash__, overstated lengths, abstract
subclasses."""

import abc
import sys

import pytest

from Tarnwick import Index, Indexable, PyQueryExpr as Q
from index_support import Item, ids


def find(idx, q):
    return ids(*idx.reduced_query(q).collect())


def index_by(how, objs):
    idx = Index()
    if how == "add_object":
        for o in objs:
            idx.add_object(o)
    elif how == "rebase":
        idx = index_by("add_object", objs).reduced().rebase()
    elif how == "union_with":
        idx.union_with(index_by("add_object_many", objs))
    else:
        idx.add_object_many(objs)
    return idx


@pytest.mark.parametrize("how", ["add_object_many", "rebase", "union_with"])
@pytest.mark.parametrize("old, new, probe_old, probe_new", [
    ("draft", "done", Q.eq("_v", "draft"), Q.eq("_v", "done")),
    (1, 2.5, Q.lt("_v", 2), Q.gt("_v", 2)),
    (["x", "y"], ("z",), Q.eq("_v", "x"), Q.eq("_v", "z"))], ids=["str", "number", "container"])
def test_private_values_follow_assignments_where_indexed(how, old, new, probe_old, probe_new):
    a, b = Item(_v=old, n=1), Item(_v=old, n=2)
    idx, plain = index_by(how, [a, b]), index_by("add_object", [a, b])
    a._v = new
    assert (find(idx, probe_old), find(idx, probe_new)) == (ids(b), ids(a))
    assert find(plain, probe_new) == []  # never indexed there, and still not
    idx.reduce(n=2)
    idx.add_object(a)  # back without its "_" values: they no longer follow
    a._v = old
    assert (find(idx, probe_old), find(idx, probe_new)) == (ids(b), [])


def get(obj, path):
    for part in path.split("."):
        obj = getattr(obj, part, None)
    return obj


@pytest.mark.parametrize("how", ["add_object", "add_object_many", "union_with", "assigned_after"])
@pytest.mark.parametrize("query, python", [
    (Q.eq("boss.name", "ceo"), lambda o: get(o, "boss.name") == "ceo"),
    (Q.eq("boss.boss.boss.name", "ceo"), lambda o: get(o, "boss.boss.boss.name") == "ceo"),
    (Q.not_(Q.starts_with("boss.boss.name", "c")), lambda o: not str(get(o, "boss.boss.name")).startswith("c")),
    (Q.and_(Q.eq("boss.name", "ceo"), Q.eq("name", "ceo")), lambda o: get(o, "boss.name") == o.name == "ceo"),
    (Q.eq("team.name", "ceo"), lambda o: any(get(i, "name") == "ceo" for i in o.team))],
    ids=["one", "three", "not", "and", "item"])
def test_paths_through_an_object_that_holds_itself(how, query, python):
    ceo, dev = Item(name="ceo"), Item(name="dev")

    def link():
        ceo.boss, dev.boss, ceo.team, dev.team = ceo, ceo, [ceo, "x"], [ceo]

    if how != "assigned_after":
        link()
    idx = index_by(how, [ceo, dev])
    link()
    assert find(idx, query) == ids(*[o for o in (ceo, dev) if python(o)])
    ceo.boss, ceo.team = Item(name="out"), []
    assert find(idx, query) == ids(*[o for o in (ceo, dev) if python(o)])


class RaisesOnce:
    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        exc, self.exc = self.exc, None
        if exc is not None:
            raise exc
        return 11


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit])
@pytest.mark.parametrize("operation", [
    lambda idx, kept, item: Item(v=item),
    lambda idx, kept, item: setattr(kept, "v", item),
    lambda idx, kept, item: setattr(kept, "v", ["new", item]),
    lambda idx, kept, item: setattr(kept, "v", Item(w=["new", item])),
    lambda idx, kept, item: idx.add_object(Item(v=["new", item])),
    lambda idx, kept, item: idx.add_object_many([Item(v="new"), Item(v=["new", item])]),
    lambda idx, kept, item: idx.add_object(Item(v=Item(w=["new", item]))),
    lambda idx, kept, item: idx.add_object_many([Item(v=Item(w=["new"])), Item(v=Item(w=["new", item]))]),
    lambda idx, kept, item: Q.in_("v", ["new", item]),
    lambda idx, kept, item: idx.get_by_attribute(v=item)],
    ids=["new", "assign", "assign-items", "assign-nested", "add_object", "add_object_many", "add_object-nested",
         "add_object_many-nested", "in_", "keywords"])
def test_severe_hash_errors_propagate_and_undo(exc, operation):
    kept = Item(v="old")
    idx = index_by("add_object_many", [kept])
    item = RaisesOnce(exc("from __hash__"))
    with pytest.raises(exc, match="from __hash__"):
        operation(idx, kept, item)
    assert kept.v == "old" and idx.collect() == [kept]
    assert [find(idx, Q.eq(p, v)) for p, v in [("v", "old"), ("v", "new"), ("v.w", "new")]] == [ids(kept), [], []]
    operation(idx, kept, item)  # the index is usable: now the call succeeds


@pytest.mark.parametrize("attr", ["v", "fresh"], ids=["replaced", "new-attribute"])
def test_an_interrupt_from_a_nested_objects_items_takes_the_assignment_back(attr):
    kept = Item(v="old")
    idx = index_by("add_object_many", [kept])

    class AlwaysRaises:
        def __hash__(self):
            raise KeyboardInterrupt("from __hash__")

    with pytest.raises(KeyboardInterrupt):
        setattr(kept, attr, Item(w=["new", AlwaysRaises()]))
    assert kept.v == "old" and not hasattr(kept, "fresh")
    assert [find(idx, Q.eq(p, v)) for p, v in [("v", "old"), (f"{attr}.w", "new")]] == [ids(kept), []]
    # Nothing of it is left to fail the next calls of this thread.
    other = Index()
    other.add_object(Item(k=1))
    assert len(other.reduced_query(Q.eq("k", 1))) == 1
    setattr(kept, attr, Item(w=["new"]))
    assert find(idx, Q.eq(f"{attr}.w", "new")) == ids(kept)


@pytest.mark.parametrize("method, claim", [("__len__", sys.maxsize), ("__len__", 10**12),
                                           ("__length_hint__", sys.maxsize), ("__length_hint__", 2**40)])
def test_an_overstated_length_is_only_a_hint(method, claim):
    objs = [Item(n=i) for i in range(3)]
    seq = type("Overstated", (), {"__getitem__": lambda self, i: objs[i], method: lambda self: claim})()
    idx = Index()
    idx.add_object_many(seq)
    assert ids(*idx.collect()) == ids(*objs)


@pytest.mark.parametrize("names", [["area"], ["perimeter", "area"]])
@pytest.mark.parametrize("kwargs", [{}, {"x": 1}])
def test_abstract_subclasses_refuse_instantiation(names, kwargs):
    body = {n: abc.abstractmethod(lambda self: None) for n in names}
    with pytest.raises(TypeError) as expected:
        type("Shape", (abc.ABC,), dict(body))()
    shape = type("Shape", (Indexable, abc.ABC), dict(body))
    with pytest.raises(TypeError, match="^Can't instantiate abstract class Shape") as got:
        shape(**kwargs)
    assert str(got.value) == str(expected.value)
    square = type("Square", (shape,), {n: lambda self: 4 for n in names})(**kwargs)
    assert [getattr(square, n)() for n in names] == [4] * len(names)
    assert all(getattr(square, k) == v for k, v in kwargs.items())
