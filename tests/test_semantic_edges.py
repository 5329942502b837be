"""What an index answers, and what a call raises, when user code goes off the
common path: private attributes that change, interrupts raised by __hash__,
sequences that overstate their length, abstract subclasses."""

import abc
import sys

import pytest

from Tarnwick import Index, Indexable, PyQueryExpr as Q
from index_support import Item, ids, run_threads


def find(idx, q):
    return ids(*idx.reduced_query(q).collect())


# ---- attributes whose names start with "_" -------------------------------------


def index_by(how, objs):
    """An index that indexed the objects' "_" attributes, made one of the ways
    that do so."""
    if how == "add_object_many":
        idx = Index()
        idx.add_object_many(objs)
        return idx
    if how == "rebase":
        source = Index()
        for o in objs:
            source.add_object(o)
        return source.reduced().rebase()
    other = Index()
    other.add_object_many(objs)
    idx = Index()
    idx.union_with(other)
    return idx


@pytest.mark.parametrize("how", ["add_object_many", "rebase", "union_with"])
@pytest.mark.parametrize(
    "old, new, probe_old, probe_new",
    [("draft", "published", Q.eq("_v", "draft"), Q.eq("_v", "published")),
     (1, 2.5, Q.lt("_v", 2), Q.gt("_v", 2)),
     (["x", "y"], ("z",), Q.eq("_v", "x"), Q.eq("_v", "z"))],
    ids=["str", "number", "container"])
def test_private_values_follow_assignments(how, old, new, probe_old, probe_new):
    a, b = Item(_v=old), Item(_v=old)
    idx = index_by(how, [a, b])
    a._v = new
    assert find(idx, probe_old) == ids(b)
    assert find(idx, probe_new) == ids(a)
    a._v = old
    assert find(idx, probe_old) == ids(a, b)
    assert find(idx, probe_new) == []


def test_private_values_follow_only_where_indexed():
    a = Item(_state="draft")
    plain, bulk = Index(), Index()
    plain.add_object(a)
    bulk.add_object_many([a])
    a._state = "published"
    assert plain.get_by_attribute(_state="published") == []
    assert plain.get_by_attribute(_state="draft") == []
    assert bulk.get_by_attribute(_state="published") == [a]
    assert bulk.get_by_attribute(_state="draft") == []


def test_private_values_stop_following_once_reduced_out():
    a, b = Item(_state="draft", n=1), Item(_state="draft", n=2)
    idx = Index()
    idx.add_object_many([a, b])
    idx.reduce(n=2)
    idx.add_object(a)  # back in, without its "_" attributes
    a._state = "published"
    assert idx.get_by_attribute(_state="published") == []
    assert idx.get_by_attribute(_state="draft") == [b]


def test_private_values_and_self_links_under_threads():
    """Assignments to "_" names and to self-references race batch adds,
    in-place reductions and path queries; nothing deadlocks, and once the
    threads are done the index answers from the current values."""
    objs = [Item(_state="draft", n=i, name=f"o{i}") for i in range(40)]
    idx = Index()
    idx.add_object_many(objs)

    def assign():
        for r in range(30):
            for o in objs:
                o._state = "published" if r % 2 else "draft"
                o.boss = o if r % 2 else objs[0]

    def add_and_reduce():
        for _ in range(30):
            idx.add_object_many(objs)
            idx.reduce(_state="draft")

    def query():
        for _ in range(60):
            for o in idx.reduced_query(Q.eq("boss.name", "o0")).collect():
                assert o.boss is o or o.boss is objs[0] or o.boss.name == "o0"
            idx.get_by_attribute(_state="published")

    run_threads([assign, add_and_reduce, query, query])
    idx.add_object_many(objs)
    for o in objs:
        o._state = "final"
        o.boss = o
    assert idx.get_by_attribute(_state="final") == sorted(objs, key=lambda o: ids(o))
    assert idx.get_by_attribute(_state="draft") == []
    assert find(idx, Q.eq("boss.name", "o3")) == ids(objs[3])


# ---- paths through objects that hold themselves --------------------------------


def staff_index(how, ceo, dev):
    """An index of ceo and dev, where ceo's manager is ceo itself, made one of
    the ways an index can come to hold that link."""
    idx = Index()
    if how == "assigned_after":
        idx.add_object_many([ceo, dev])
        ceo.manager, dev.manager = ceo, ceo
        return idx
    ceo.manager, dev.manager = ceo, ceo
    if how == "add_object":
        idx.add_object(ceo)
        idx.add_object(dev)
    elif how == "add_object_many":
        idx.add_object_many([ceo, dev])
    else:
        other = Index()
        other.add_object_many([ceo, dev])
        idx.union_with(other)
    return idx


HOW_SELF_LINKED = ["add_object", "add_object_many", "assigned_after", "union_with"]


@pytest.mark.parametrize("how", HOW_SELF_LINKED)
@pytest.mark.parametrize(
    "query, python",
    [(Q.eq("manager.name", "ceo"), lambda o: o.manager.name == "ceo"),
     (Q.eq("manager.manager.manager.name", "ceo"), lambda o: o.manager.manager.manager.name == "ceo"),
     (Q.ne("manager.name", "ceo"), lambda o: o.manager.name != "ceo"),
     (Q.not_(Q.starts_with("manager.manager.name", "c")), lambda o: not o.manager.manager.name.startswith("c")),
     (Q.and_(Q.eq("manager.name", "ceo"), Q.eq("name", "ceo")), lambda o: o.manager.name == o.name == "ceo"),
     (Q.eq("manager.name", "dev"), lambda o: o.manager.name == "dev")],
    ids=["one-step", "three-steps", "ne", "not", "and", "miss"])
def test_self_reference_follows_python(how, query, python):
    ceo, dev = Item(name="ceo"), Item(name="dev")
    idx = staff_index(how, ceo, dev)
    assert find(idx, query) == ids(*[o for o in (ceo, dev) if python(o)])


@pytest.mark.parametrize("how", HOW_SELF_LINKED)
def test_self_reference_ends_with_the_value(how):
    ceo, dev = Item(name="ceo"), Item(name="dev")
    idx = staff_index(how, ceo, dev)
    ceo.manager = dev
    assert find(idx, Q.eq("manager.name", "ceo")) == ids(dev)
    assert find(idx, Q.eq("manager.name", "dev")) == ids(ceo)
    ceo.manager = ceo
    idx.reduce(name="dev")
    assert find(idx, Q.eq("manager.name", "ceo")) == ids(dev)
    idx.add_object(ceo)
    assert find(idx, Q.eq("manager.name", "ceo")) == ids(ceo, dev)


@pytest.mark.parametrize("container", [list, tuple], ids=["list", "tuple"])
def test_self_reference_in_container_items(container):
    o, p = Item(name="o"), Item(name="p")
    o.tags = container([o, "x"])
    idx = Index()
    idx.add_object_many([o, p])
    assert find(idx, Q.eq("tags.name", "o")) == ids(o)
    o.tags = container([p])
    assert find(idx, Q.eq("tags.name", "o")) == ids()
    assert find(idx, Q.eq("tags.name", "p")) == ids(o)


def test_step_back_to_a_holder_is_not_followed():
    a, b = Item(name="a"), Item(name="b")
    a.b, b.a = b, a
    idx = Index()
    idx.add_object_many([a, b])
    assert find(idx, Q.eq("b.a.name", "a")) == ids()
    assert find(idx, Q.eq("b.name", "b")) == ids(a)
    assert find(idx, Q.eq("a.b.name", "b")) == ids()


# ---- exceptions raised by __hash__ during conversion ---------------------------


class Stop(BaseException):
    pass


class RaisesOnce:
    """Raises `exc` from its first __hash__, then hashes normally."""

    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        exc, self.exc = self.exc, None
        if exc is not None:
            raise exc
        return 11


SEVERE = [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit, Stop]


def conversions(idx, kept, item):
    """Each call converts `item` once, at a different point of an operation,
    and what the index must still answer afterwards if the call fails."""

    def assign_scalar():
        kept.v = item

    def assign_container():
        kept.v = ["new", item]

    def assign_nested():
        kept.v = Item(w=["new", item])

    def add_one():
        idx.add_object(Item(v=["new", item]))

    def add_many():
        idx.add_object_many([Item(v="new"), Item(v=["new", item])])

    return {
        "new": lambda: Item(v=item),
        "assign_scalar": assign_scalar,
        "assign_container": assign_container,
        "assign_nested": assign_nested,
        "add_object": add_one,
        "add_object_many": add_many,
        "eq": lambda: Q.eq("v", item),
        "in_": lambda: Q.in_("v", ["new", item]),
        "get_by_attribute": lambda: idx.get_by_attribute(v=item),
        "reduced": lambda: idx.reduced(v=item),
    }


OPERATIONS = list(conversions(None, None, None))


@pytest.mark.parametrize("exc", SEVERE)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_severe_hash_errors_propagate_and_undo(exc, operation):
    kept = Item(v="old")
    idx = Index()
    idx.add_object_many([kept])
    item = RaisesOnce(exc("from __hash__"))
    call = conversions(idx, kept, item)[operation]
    with pytest.raises(exc, match="from __hash__"):
        call()
    assert kept.v == "old"
    assert idx.collect() == [kept]
    assert find(idx, Q.eq("v", "old")) == ids(kept)
    assert find(idx, Q.eq("v", "new")) == []
    assert find(idx, Q.eq("v.w", "new")) == []
    # the index is usable: the same call now succeeds
    call()


class AlwaysRaises:
    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        raise self.exc("from __hash__")


@pytest.mark.parametrize("exc", [ValueError, TypeError, RuntimeError])
def test_ordinary_hash_errors_fall_back_to_identity(exc):
    item = AlwaysRaises(exc)
    a = Item()
    idx = Index()
    idx.add_object(a)
    a.v = ["new", item]
    assert find(idx, Q.eq("v", item)) == ids(a)


# ---- sequences that overstate their length -------------------------------------


class Overstated:
    def __init__(self, objs, length=None, hint=None):
        self.objs, self.length, self.hint = objs, length, hint

    def __getitem__(self, i):
        return self.objs[i]


class OverstatedLen(Overstated):
    def __len__(self):
        return self.length


class OverstatedHint(Overstated):
    def __length_hint__(self):
        return self.hint


@pytest.mark.parametrize(
    "make",
    [lambda objs: OverstatedLen(objs, length=sys.maxsize),
     lambda objs: OverstatedLen(objs, length=10**12),
     lambda objs: OverstatedHint(objs, hint=sys.maxsize),
     lambda objs: OverstatedHint(objs, hint=2**40)],
    ids=["len-maxsize", "len-10**12", "hint-maxsize", "hint-2**40"])
def test_overstated_length_is_only_a_hint(make):
    objs = [Item(n=i) for i in range(3)]
    idx = Index()
    idx.add_object_many(make(objs))
    assert idx.collect() == sorted(objs, key=lambda o: ids(o))
    assert idx.get_by_attribute(n=2) == [objs[2]]


# ---- abstract subclasses -------------------------------------------------------


def abstract_pair(names):
    """An abstract Indexable subclass and a plain abstract class of the same
    name, both with the abstract methods `names`."""
    body = {n: abc.abstractmethod(lambda self: None) for n in names}
    indexable = type("Shape", (Indexable, abc.ABC), dict(body))
    plain = type("Shape", (abc.ABC,), dict(body))
    return indexable, plain


@pytest.mark.parametrize("names", [["area"], ["perimeter", "area"]], ids=["one", "two"])
@pytest.mark.parametrize("kwargs", [{}, {"x": 1}], ids=["bare", "keywords"])
def test_abstract_subclasses_refuse_instantiation(names, kwargs):
    cls, plain = abstract_pair(names)
    with pytest.raises(TypeError) as expected:
        plain()
    with pytest.raises(TypeError) as got:
        cls(**kwargs)
    assert str(got.value) == str(expected.value)
    assert str(got.value).startswith("Can't instantiate abstract class Shape")

    concrete = type("Square", (cls,), {n: lambda self: 4 for n in names})
    square = concrete(**kwargs)
    assert all(getattr(square, n)() == 4 for n in names)
    assert all(getattr(square, k) == v for k, v in kwargs.items())
