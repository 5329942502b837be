"""Every Python reference the store holds has one shared box: a value copied
between the object, the index and its queries shares its object's box, and
every box goes back to the pool when nothing holds its reference any more,
whichever thread let go of it last."""

import gc
import threading

import pytest

import Tarnwick
from Tarnwick import Index, PyQueryExpr as Q
from index_support import Item

boxes = Tarnwick._native._reference_boxes


def settle():
    gc.collect()


# Values that keep a shared reference, each in one box however often the
# value is copied; numbers, texts and bools keep theirs without a box (or
# none at all).
@pytest.mark.parametrize("value,per_object", [
    (lambda i: 0.5 + i, 0), (lambda i: f"s{i}", 0), (lambda i: 10**6 + i, 0), (lambda i: [f"x{i}"], 1),
    (lambda i: i % 100, 0), (lambda i: i % 2 == 0, 0), (lambda i: Item(), 1), (lambda i: 2**70 + i, 1),
])
def test_one_box_per_held_reference(value, per_object):
    def index_and_ask(objs):
        idx = Index()
        idx.add_object_many(objs)
        idx.reduced_query(Q.eq("a", objs[1].a)).collect()

    # Once first: the caches of names and queries keep what they keep.
    index_and_ask([Item(a=value(i)) for i in range(2)])
    settle()
    start = boxes()
    objs = [Item(a=value(i)) for i in range(3000)]
    made = boxes() - start
    assert made == per_object * len(objs)
    index_and_ask(objs)
    settle()
    assert boxes() - start == made
    del objs
    settle()
    assert boxes() == start


def test_boxes_dropped_on_other_threads_come_back():
    settle()
    start = boxes()
    objs = [Item(a=f"v{i}", b=0.25 + i, tags=[f"t{i}"]) for i in range(5000)]
    indexes = [Index() for _ in range(4)]

    def build(idx):
        idx.add_object_many(objs)
        idx.reduced_query(Q.eq("tags", "t7")).collect()

    threads = [threading.Thread(target=build, args=(idx,)) for idx in indexes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Dropped by threads that end afterwards.
    droppers = [threading.Thread(target=indexes.pop) for _ in range(4)]
    for t in droppers:
        t.start()
        t.join()
    del objs
    settle()
    assert boxes() == start
