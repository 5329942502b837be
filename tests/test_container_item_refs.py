"""Items of list, tuple and set values that the index can rebuild from their
value (numbers, strs, bools) are indexed without a reference of their own;
other items keep theirs. Either way every query and value count answers as
the items themselves would."""

import datetime
import sys

import pytest

from Tarnwick import Index, Indexable, PyQueryExpr as Q


class Holder(Indexable):
    pass


class Plain:
    pass


def fresh_str():
    return "".join(["tag", "-", "item", "-", "seven"])


ITEMS = [
    pytest.param(fresh_str, False, id="str"),
    pytest.param(lambda: float("2.5"), False, id="float"),
    pytest.param(lambda: int("1000000000007"), False, id="int"),
    pytest.param(lambda: datetime.date(2021, 3, 4), True, id="date"),
    pytest.param(lambda: 10 ** 30 + 1, True, id="huge_int"),
    pytest.param(Plain, True, id="object"),
]


@pytest.mark.parametrize("container", [list, tuple, lambda xs: set(xs), lambda xs: [list(xs)]],
                         ids=["list", "tuple", "set", "nested_list"])
@pytest.mark.parametrize("make, referenced", ITEMS)
def test_an_item_keeps_a_reference_only_when_its_value_cannot_stand_for_it(make, referenced, container):
    item = make()
    holder = Holder()
    holder.items = container([item])
    before = sys.getrefcount(item)
    idx = Index()
    idx.add_object(holder)
    assert (sys.getrefcount(item) > before) == referenced
    assert idx.reduced_query(Q.eq("items", item)).collect() == [holder]
    counts = idx.value_counts("items")
    assert list(counts.values()) == [1]
    (key,) = counts
    assert key == item
    assert type(key) is type(item)
    del counts, key
    idx.remove(holder)
    assert sys.getrefcount(item) == before
    assert idx.reduced_query(Q.eq("items", item)).collect() == []


@pytest.mark.parametrize("values", [["a", "b", "a"], [1, 2.0, 2, 1], [3.5, "x", 3]])
def test_items_counted_from_their_values_alone_count_as_before(values):
    objs = []
    for i, v in enumerate(values):
        h = Holder()
        h.items = [v, f"pad{i}"]
        objs.append(h)
    idx = Index()
    idx.add_object_many(objs)
    counts = idx.value_counts("items")
    for v in values:
        assert counts[v] == sum(1 for o in objs if v in o.items)
        found = idx.reduced_query(Q.eq("items", v)).collect()
        assert sorted(map(id, found)) == sorted(id(o) for o in objs if v in o.items)
