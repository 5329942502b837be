"""Python code run while an object's container items are converted (an item's
__hash__) that comes back to an object the same call is indexing: it must get
an error instead of waiting for itself, and the index stays exact."""

import pytest

from Tarnwick import Index, PyQueryExpr as Q
from index_support import Item, ids, run_threads

TIMEOUT = 60


class Reentrant:
    """Runs `action` from its first __hash__ and records what it raised. The
    error never leaves __hash__ on its own: conversion falls back to the
    identity hash and swallows it."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __hash__(self):
        if self.outcome is None:
            try:
                self.action()
                self.outcome = "done"
            except RuntimeError as e:
                self.outcome = e
        return 7


def find(idx, q):
    return ids(*idx.reduced_query(q).collect())


def in_thread(fn):
    run_threads([fn], timeout=TIMEOUT)


@pytest.mark.parametrize("how", ["add_object", "add_object_many", "assignment"])
def test_assigning_to_the_object_being_indexed(how):
    idx = Index()
    other, c = Item(n=2), Item(n=1)
    item = Reentrant(lambda: setattr(c, "n", 5))
    if how == "assignment":
        idx.add_object_many([other, c])
        in_thread(lambda: setattr(c, "tags", [item, "t"]))
    else:
        c.tags = [item, "t"]
        in_thread(lambda: idx.add_object(c) if how == "add_object" else idx.add_object_many([other, c]))
    assert isinstance(item.outcome, RuntimeError)
    assert c.n == 1
    assert find(idx, Q.eq("tags", "t")) == ids(c)
    assert find(idx, Q.eq("tags", item)) == ids(c)
    assert find(idx, Q.eq("n", 1)) == ids(c)
    # nothing is left locked: the object can be changed and found afterwards
    c.n = 5
    assert find(idx, Q.eq("n", 5)) == ids(c) and find(idx, Q.eq("n", 1)) == []


def test_assigning_to_another_member_of_the_batch():
    idx = Index()
    a, b = Item(n=1), Item(n=2)
    item = Reentrant(lambda: setattr(b, "n", 9))
    a.tags = [item]
    in_thread(lambda: idx.add_object_many([a, b]))
    assert isinstance(item.outcome, RuntimeError)
    assert b.n == 2 and find(idx, Q.eq("n", 2)) == ids(b)
    assert find(idx, Q.eq("tags", item)) == ids(a)


def test_adding_the_object_being_indexed_again():
    idx = Index()
    c = Item(n=1)
    item = Reentrant(lambda: idx.add_object(c))
    c.tags = [item]
    in_thread(lambda: idx.add_object(c))
    assert isinstance(item.outcome, RuntimeError)
    assert idx.collect() == [c] and find(idx, Q.eq("tags", item)) == ids(c)


def test_unlocked_objects_and_reads_still_work():
    """Only the objects being indexed are refused: others can be changed and
    the object itself read."""
    idx = Index()
    c, d = Item(n=1), Item(n=2)
    idx.add_object_many([c, d])
    seen = []
    item = Reentrant(lambda: (seen.append((repr(c), c.n)), setattr(d, "n", 3)))
    in_thread(lambda: setattr(c, "tags", [item]))
    assert item.outcome == "done"
    assert seen == [("<Item with 1 attributes>", 1)]  # tags is stored after the engines
    assert find(idx, Q.eq("n", 3)) == ids(d) and find(idx, Q.eq("tags", item)) == ids(c)
