"""In-place reduction: what stays must stay findable, what goes must never come
back, nested engines follow, and a reduction never deadlocks."""

import gc
import threading
import weakref

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item, run_threads


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


def test_keeps_the_matching_objects():
    a, b, c = Item(k=1, v="x"), Item(k=1, v="y"), Item(k=2, v="x")
    idx = Index()
    idx.add_object_many([a, b, c])
    idx.reduce()
    assert idx.collect() == by_id(a, b, c)
    idx.reduce(k=1)
    assert idx.collect() == by_id(a, b)
    assert select(idx, Q.eq("v", "x")) == [a]
    assert select(idx, Q.ne("v", "y")) == [a]
    idx.reduce(k=3)
    assert idx.collect() == []
    assert select(idx, Q.eq("v", "x")) == []


def test_removed_objects_are_released():
    a, b = Item(k=1), Item(k=2)
    idx = Index()
    idx.add_object_many([a, b])
    ref = weakref.ref(b)
    idx.reduce(k=1)
    del b
    gc.collect()
    assert ref() is None


def test_container_items_of_kept_objects_stay():
    a, b = Item(k=1, tags=["x", [2]]), Item(k=2, tags=["x", "y"])
    idx = Index()
    idx.add_object_many([a, b])
    idx.reduce(k=1)
    assert select(idx, Q.eq("tags", "x")) == [a]
    assert select(idx, Q.eq("tags", 2)) == [a]
    assert select(idx, Q.eq("tags", "y")) == []
    stats = idx._debug_map_stats("tags")
    assert stats["elements"] == stats["element_owners"] == 3  # "x", [2] and 2 of a
    a.tags = ["z"]
    assert select(idx, Q.eq("tags", "x")) == []
    assert select(idx, Q.eq("tags", "z")) == [a]


def test_removed_objects_never_come_back():
    a, b = Item(k=1, v=0), Item(k=2, v=0)
    idx = Index()
    idx.add_object(a)
    idx.add_object(b)
    idx.reduce(k=1)
    b.k = 1
    b.v = 5
    b.tags = ["t"]
    b.new_attribute = 1
    assert idx.get_by_attribute(k=1) == [a]
    assert select(idx, Q.or_(Q.eq("v", 5), Q.eq("tags", "t"), Q.eq("new_attribute", 1))) == []
    assert select(idx, Q.not_(Q.eq("k", 2))) == [a]
    idx.add_object(b)  # explicitly added again: indexed with its current values
    assert select(idx, Q.eq("tags", "t")) == [b]


class TestNestedEngines:
    def test_links_of_removed_holders_are_pruned(self):
        shared, own = Item(city="s"), Item(city="o")
        keep, drop = Item(k=1, address=shared), Item(k=2, address=own)
        other = Item(k=2, address=shared)
        idx = Index()
        idx.add_object_many([keep, drop, other])
        idx.reduce(k=1)
        assert idx._debug_nested_members("address") == [_object_id(shared)]
        assert idx._debug_map_stats("address")["links"] == 1
        assert select(idx, Q.eq("address.city", "s")) == [keep]
        assert select(idx, Q.eq("address.city", "o")) == []

    def test_nested_object_of_removed_holder_can_be_held_again(self):
        n = Item(city="c")
        keep, drop = Item(k=1), Item(k=2, address=n, friends=[n])
        idx = Index()
        idx.add_object_many([keep, drop])
        idx.reduce(k=1)
        assert idx._debug_nested_members("address") == []
        n.city = "d"
        keep.address = n
        keep.friends = (n,)
        assert select(idx, Q.eq("address.city", "d")) == [keep]
        assert select(idx, Q.eq("friends.city", "d")) == [keep]

    def test_two_levels_deep(self):
        leaf_kept, leaf_dropped = Item(name="kept"), Item(name="dropped")
        mid_kept, mid_dropped = Item(leaf=leaf_kept), Item(leaf=leaf_dropped)
        keep, drop = Item(k=1, mid=mid_kept), Item(k=2, mid=mid_dropped)
        idx = Index()
        idx.add_object_many([keep, drop])
        idx.reduce(k=1)
        assert idx._debug_nested_members("mid.leaf") == [_object_id(leaf_kept)]
        mid_kept.leaf = leaf_dropped
        assert select(idx, Q.eq("mid.leaf.name", "dropped")) == [keep]
        assert select(idx, Q.eq("mid.leaf.name", "kept")) == []


def test_reduce_beside_writers_and_readers():
    # Writers install maps for new attribute names (the write lock of the
    # table a reduction holds for reading) while reductions and queries run.
    idx = Index()
    idx.add_object_many([Item(k=i % 3, tags=[i]) for i in range(300)])
    added = [0, 0]
    done = threading.Event()

    def reducer():
        rounds = 0
        while sum(added) < 400 or rounds < 100:
            idx.reduce(k=0)
            idx.reduced_query(Q.gt("tags", 5)).collect()
            rounds += 1
        done.set()

    def writer(n):
        def run():
            while not done.is_set():
                idx.add_object(Item(**{f"attr_{n}_{added[n] % 40}": 1, "k": added[n] % 2, "tags": [n]}))
                added[n] += 1
        return run

    def reader():
        while not done.is_set():
            idx.get_by_attribute(k=0)
            idx.reduced().reduced_query(Q.ne("k", 1)).collect()

    run_threads([reducer, writer(0), writer(1), reader])
    idx.reduce(k=0)
    kept = idx.collect()
    assert kept and all(o.k == 0 for o in kept)
    assert idx.get_by_attribute(k=0) == kept
    assert idx.reduced_query(Q.eq("tags", 1)).collect() == [o for o in kept if o.tags == [1]]
