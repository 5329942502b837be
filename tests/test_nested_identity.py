"""Tests of a nested object by identity (equality, `in`, `ne`, value_counts)
on the attribute that holds it, through every way a holder gets or loses it:
adding, assignment, removal, reduction, merging, and engines that share the
holders."""

import pytest

import Tarnwick
from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item
from test_alloc_failure import failing_runs


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


def build(how, holders):
    idx = Index()
    if how == "add_object":
        for h in holders:
            idx.add_object(h)
    elif how == "add_object_many":
        idx.add_object_many(holders)
    else:
        other = Index()
        other.add_object_many(holders)
        idx.union_with(other)
    return idx


class World:
    """Two addresses, one held by two people; a third person holds a list
    with the first address in it, a fourth nothing. With `later`, the
    addresses are assigned once the people are members of `idx`."""

    def __init__(self, idx=None):
        self.paris, self.rome = Item(city="Paris"), Item(city="Rome")
        values = [self.paris, self.paris, self.rome, ["x", self.paris]]
        if idx is None:
            self.ann, self.bob, self.cid, self.eve = (Item(address=v) for v in values)
        else:
            self.ann, self.bob, self.cid, self.eve = (Item() for _ in values)
        self.dan = Item(name="no address")
        self.people = [self.ann, self.bob, self.cid, self.eve, self.dan]
        if idx is not None:
            idx.add_object_many(self.people)
            for person, value in zip(self.people, values):
                person.address = value


HOWS = ["add_object", "add_object_many", "union_with", "assigned"]


def world_index(how):
    if how == "assigned":
        idx = Index()
        return World(idx), idx
    w = World()
    return w, build(how, w.people)


@pytest.mark.parametrize("how", HOWS)
def test_identity_queries(how):
    w, idx = world_index(how)
    assert select(idx, Q.eq("address", w.paris)) == by_id(w.ann, w.bob, w.eve)
    assert select(idx, Q.eq("address", w.rome)) == [w.cid]
    assert select(idx, Q.in_("address", [w.rome, w.paris])) == by_id(w.ann, w.bob, w.cid, w.eve)
    assert select(idx, Q.ne("address", w.paris)) == by_id(w.cid, w.dan)
    assert select(idx, Q.eq("address", Item(city="Paris"))) == []
    assert select(idx, Q.and_(Q.eq("address", w.paris), Q.eq("address.city", "Paris"))) == by_id(w.ann, w.bob, w.eve)
    assert idx.get_by_attribute(address=w.rome) == [w.cid]
    assert idx.value_counts("address") == {w.paris: 3, w.rome: 1, "x": 1}
    assert idx.reduced_query(Q.ne("address", w.rome)).value_counts("address") == {w.paris: 3, "x": 1}


@pytest.mark.parametrize("how", HOWS)
def test_linked_values_keep_no_whole_value_entry(how):
    w, idx = world_index(how)
    # Only the list item keeps one; the three direct values are known by
    # their links.
    stats = idx._debug_map_stats("address")
    assert stats["exact_values"] == 1 and stats["links"] == 4


@pytest.mark.parametrize("change", ["reassign", "to_scalar", "to_none", "remove", "reduce"])
def test_holders_leaving(change):
    w, idx = world_index("add_object_many")
    if change == "reassign":
        w.ann.address = w.rome
        expected_paris, expected_rome = by_id(w.bob, w.eve), by_id(w.ann, w.cid)
    elif change == "to_scalar":
        w.ann.address = "elsewhere"
        expected_paris, expected_rome = by_id(w.bob, w.eve), [w.cid]
    elif change == "to_none":
        w.ann.address = None
        expected_paris, expected_rome = by_id(w.bob, w.eve), [w.cid]
    elif change == "remove":
        idx.remove(w.ann)
        expected_paris, expected_rome = by_id(w.bob, w.eve), [w.cid]
    else:
        idx.reduce(address=w.rome)
        expected_paris, expected_rome = [], [w.cid]
    assert select(idx, Q.eq("address", w.paris)) == expected_paris
    assert select(idx, Q.eq("address", w.rome)) == expected_rome
    assert select(idx, Q.eq("address.city", "Paris")) == expected_paris
    counts = {k: v for k, v in {w.paris: len(expected_paris), w.rome: len(expected_rome)}.items() if v}
    if change != "reduce":
        counts["x"] = 1
    if change == "to_scalar":
        counts["elsewhere"] = 1
    if change == "to_none":
        counts[None] = 1
    assert idx.value_counts("address") == counts
    # Putting the value back links it again.
    if change in ("reassign", "to_scalar", "to_none"):
        w.ann.address = w.paris
        assert select(idx, Q.eq("address", w.paris)) == by_id(w.ann, w.bob, w.eve)
        assert idx._debug_map_stats("address")["exact_values"] == 1


@pytest.mark.parametrize("first", ["list", "direct"])
def test_same_object_direct_and_in_a_list(first):
    paris = Item(city="Paris")
    ann = Item(address=[paris] if first == "list" else paris)
    idx = Index()
    idx.add_object(ann)
    ann.address = paris if first == "list" else [paris, paris]
    assert select(idx, Q.eq("address", paris)) == [ann]
    ann.address = None
    assert select(idx, Q.eq("address", paris)) == []
    assert idx.value_counts("address") == {None: 1}


def test_objects_holding_themselves_or_their_holders():
    # The link is refused for these; they keep a whole value entry.
    me = Item()
    me.address = me
    a, b = Item(name="a"), Item(name="b")
    a.peer, b.peer = b, a
    idx = Index()
    idx.add_object_many([me, a])
    assert select(idx, Q.eq("address", me)) == [me]
    assert select(idx, Q.eq("peer", b)) == [a]
    assert select(idx, Q.eq("peer.peer", a)) == [a]
    assert select(idx, Q.ne("peer.peer", a)) == [me]
    assert idx.value_counts("address") == {me: 1}
    me.address = a
    assert select(idx, Q.eq("address", me)) == [] and select(idx, Q.eq("address", a)) == [me]


@pytest.mark.parametrize("shared", ["holders", "nested"])
def test_engines_sharing_objects(shared):
    paris = Item(city="Paris")
    ann, bob = Item(address=paris), Item(address=paris)
    one, two = Index(), Index()
    one.add_object_many([ann, bob])
    if shared == "holders":
        two.add_object(ann)
    else:
        two.add_object(paris)  # the nested object is a member of its own elsewhere
        two.add_object(Item(address=paris))
    one.remove(ann)
    assert select(one, Q.eq("address", paris)) == [bob]
    if shared == "holders":
        assert select(two, Q.eq("address", paris)) == [ann]
        two.union_with(one)
        assert select(two, Q.eq("address", paris)) == by_id(ann, bob)
        two.remove(ann)
        assert select(two, Q.eq("address", paris)) == [bob]
    else:
        assert len(select(two, Q.eq("address", paris))) == 1
        assert select(two, Q.eq("city", "Paris")) == [paris]
    assert select(one, Q.eq("address", paris)) == [bob]


def test_merge_into_an_engine_where_the_link_makes_a_cycle():
    # In `one`, b holds a; merged into `two`, where a holds b, linking
    # (b, a) below (a, b) would nest without end: a whole value instead.
    a, b = Item(name="a"), Item(name="b")
    a.peer = b
    b.peer = a
    one = Index()
    one.add_object(b)
    two = Index()
    two.add_object(a)
    two.union_with(one)
    assert select(two, Q.eq("peer", a)) == [b]
    assert select(two, Q.eq("peer", b)) == [a]
    assert select(two, Q.eq("peer.name", "b")) == [a]


@pytest.mark.parametrize("how", ["add_object", "add_object_many"])
def test_failed_addition_leaves_identity_answers(how):
    paris = Item(city="Paris")
    old = Item(address=paris)
    state = {}

    def setup():
        state["idx"] = Index()
        state["idx"].add_object(old)
        state["new"] = Item(address=paris, other=Item(city="Rome"))

    def answers():
        idx = state["idx"]
        return (select(idx, Q.eq("address", paris)), select(idx, Q.eq("other", state["new"].other)),
                idx._debug_map_stats("address")["exact_values"], idx.value_counts("address"))

    def call():
        idx, new = state["idx"], state["new"]
        idx.add_object(new) if how == "add_object" else idx.add_object_many([new])

    setup()
    failures = 0
    for raised in failing_runs(call):
        failures += raised
        if raised:
            assert answers() == ([old], [], 0, {paris: 1})
            call()
        assert answers() == (by_id(old, state["new"]), [state["new"]], 0, {paris: 2})
        setup()
    assert failures > 3
