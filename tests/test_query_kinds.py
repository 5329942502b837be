"""Conditions on booleans, opaque values, nested objects as values, and the
items of list, tuple and set attributes."""

import enum

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


def indexed(*objs):
    idx = Index()
    idx.add_object_many(list(objs))
    return idx


class Colour(enum.IntEnum):
    RED = 1


class TestBooleans:
    def test_distinct_from_ints(self):
        t, one, one_f, f, zero = Item(v=True), Item(v=1), Item(v=1.0), Item(v=False), Item(v=0)
        idx = indexed(t, one, one_f, f, zero)
        assert select(idx, Q.eq("v", True)) == [t]
        assert select(idx, Q.eq("v", False)) == [f]
        assert select(idx, Q.eq("v", 1)) == by_id(one, one_f)
        assert select(idx, Q.eq("v", 0)) == [zero]
        assert select(idx, Q.ge("v", 0)) == by_id(one, one_f, zero)
        assert select(idx, Q.in_("v", [True, 0])) == by_id(t, zero)


class TestOpaqueValues:
    def test_identity_not_equality(self):
        class AlwaysEqual:
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

        token, other = AlwaysEqual(), AlwaysEqual()
        a, b, c, d, one = Item(v=token), Item(v=None), Item(v=Colour.RED), Item(v=frozenset({1})), Item(v=1)
        idx = indexed(a, b, c, d, one)
        assert select(idx, Q.eq("v", token)) == [a]
        assert select(idx, Q.eq("v", other)) == []
        assert select(idx, Q.eq("v", None)) == [b]
        assert select(idx, Q.eq("v", Colour.RED)) == [c]  # the enum member itself, not 1
        assert select(idx, Q.eq("v", 1)) == [one]
        assert select(idx, Q.eq("v", frozenset({1}))) == []

    def test_big_ints_by_value(self):
        a, b = Item(v=2**64), Item(v=-(2**100))
        idx = indexed(a, b, Item(v=0))
        assert select(idx, Q.eq("v", int("18446744073709551616"))) == [a]
        assert select(idx, Q.in_("v", [-(2**100), 2**64])) == by_id(a, b)

    def test_reassigned_opaque_value_is_forgotten(self):
        token = object()
        a = Item(v=token)
        idx = indexed(a)
        a.v = None
        assert select(idx, Q.eq("v", token)) == []
        assert select(idx, Q.eq("v", None)) == [a]


class TestNestedObjectsAsValues:
    def test_found_by_identity(self):
        n1, n2 = Item(k=1), Item(k=1)
        a, b, c = Item(ref=n1), Item(ref=n1), Item(ref=n2)
        idx = indexed(a, b, c)
        assert select(idx, Q.eq("ref", n1)) == by_id(a, b)
        assert select(idx, Q.ne("ref", n1)) == [c]


class TestContainerItems:
    def test_items_of_every_container_kind(self):
        lst, tup, st, dct = Item(v=[1, "a"]), Item(v=(2.5, True)), Item(v={3, "b"}), Item(v={"a": 1})
        idx = indexed(lst, tup, st, dct)
        assert select(idx, Q.eq("v", 1)) == [lst]
        assert select(idx, Q.eq("v", "a")) == [lst]  # dict keys are not items
        assert select(idx, Q.eq("v", True)) == [tup]
        assert select(idx, Q.eq("v", 3.0)) == [st]
        assert select(idx, Q.starts_with("v", "")) == by_id(lst, st)
        assert select(idx, Q.eq("v", [1, "a"])) == []  # the container itself is not a value

    def test_nested_containers_belong_to_the_object(self):
        deep = Item(v=[0, [1, (2, [3, "x"])], {4}])
        idx = indexed(deep, Item(v=[5]))
        for item in (0, 1, 2, 3, "x", 4):
            assert select(idx, Q.eq("v", item)) == [deep], item
        assert select(idx, Q.contains("v", "x")) == [deep]

    def test_ranges_reach_items(self):
        a, b = Item(v=[1, 7]), Item(v=(2, 3))
        idx = indexed(a, b, Item(v=[]))
        assert select(idx, Q.gt("v", 5)) == [a]
        assert select(idx, Q.lt("v", 2)) == [a]
        assert select(idx, Q.bt("v", 3, 6)) == [b]
        assert idx.reduced(v=2).reduced_query(Q.ge("v", 0)).collect() == [b]

    def test_reassignment_replaces_items(self):
        a = Item(tags=["a", ["deep"]])
        idx = Index()
        idx.add_object(a)
        a.tags = ["b"]
        assert select(idx, Q.eq("tags", "a")) == []
        assert select(idx, Q.eq("tags", "deep")) == []
        assert select(idx, Q.eq("tags", "b")) == [a]
        a.tags = "a"
        assert select(idx, Q.eq("tags", "b")) == []
        assert select(idx, Q.eq("tags", "a")) == [a]
        assert idx._debug_map_stats("tags")["elements"] == 0

    def test_indexable_items(self):
        n = Item(name="n")
        a, b = Item(friends=[n, 1]), Item(friends=[[n]])
        idx = indexed(a, b, Item(friends=[Item(name="m")]))
        assert select(idx, Q.eq("friends", n)) == by_id(a, b)
        assert select(idx, Q.eq("friends.name", "n")) == by_id(a, b)
        a.friends = []
        assert select(idx, Q.eq("friends.name", "n")) == [b]
