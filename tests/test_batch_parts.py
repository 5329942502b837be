"""A large add_object_many is indexed a part of its objects at a time (the
engine's part is PART objects): every object of every part is indexed, a
failure in any part leaves the index as it was."""

import gc
import os

import pytest

import Tarnwick
from Tarnwick import Index, PyQueryExpr as Q
from index_support import Item

PART = 16384
fail_after = Tarnwick._fail_allocation_after


@pytest.fixture(autouse=True)
def disarmed():
    yield
    fail_after(0)


def make(count, offset=0):
    out = []
    for i in range(offset, offset + count):
        it = Item(n=i, s=f"s{i}", even=i % 2 == 0, tags=[f"t{i % 7}", i], child=Item(k=i % 11))
        if i % 5 == 0:
            it._p = i
        out.append(it)
    return out


def answers(idx):
    qs = [Q.eq("n", 0), Q.eq("n", PART), Q.ge("n", PART - 1), Q.eq("s", f"s{PART + 1}"), Q.eq("even", False),
          Q.eq("tags", "t3"), Q.eq("tags", PART), Q.eq("child.k", 4), Q.eq("_p", PART + 5)]
    return [sorted(o.n for o in idx.reduced_query(q).collect()) for q in qs] + [len(idx)]


def expected(objs):
    by = lambda f: sorted(o.n for o in objs if f(o))  # noqa: E731
    return [by(lambda o: o.n == 0), by(lambda o: o.n == PART), by(lambda o: o.n >= PART - 1),
            by(lambda o: o.s == f"s{PART + 1}"), by(lambda o: not o.even), by(lambda o: "t3" in o.tags),
            by(lambda o: PART in o.tags), by(lambda o: o.child.k == 4),
            by(lambda o: getattr(o, "_p", None) == PART + 5), len(objs)]


@pytest.mark.parametrize("count", [PART - 1, PART, PART + 1, 2 * PART + 7])
def test_every_part_is_indexed(count):
    objs = make(count)
    # Duplicates across the parts: one member each.
    idx = Index()
    idx.add_object_many(objs + objs[PART - 3:PART + 3] + objs[:2])
    assert answers(idx) == expected(objs)
    # Values of private names in the last part follow later assignments.
    last_private = [o for o in objs if hasattr(o, "_p")][-1]
    last_private._p = -7
    assert idx.reduced_query(Q.eq("_p", -7)).collect() == [last_private]


# A failure in the first part, one in the last part, and (outside the
# sanitizer run, where each takes seconds) failures in between.
SHARES = [0.2, 0.97] if os.environ.get("TARNWICK_SANITIZED") == "1" else [0.2, 0.55, 0.8, 0.97]


@pytest.mark.parametrize("share", SHARES)
def test_a_failure_in_any_part_leaves_nothing(share):
    objs = make(2 * PART + 100)
    # The allocation points a whole build passes, counted on an index of its
    # own; then a failure at a share of them, in an early or a late part.
    fail_after(10**12)
    Index().add_object_many(objs)
    points = 10**12 - fail_after(0)
    gc.collect()
    idx = Index()
    idx.add_object_many(make(3, offset=-3))
    before = answers(idx)
    fail_after(max(1, int(points * share)))
    with pytest.raises(MemoryError):
        idx.add_object_many(objs)
    assert fail_after(0) == 0
    assert answers(idx) == before
    assert all(o not in idx for o in objs)
    # And the same batch goes in whole afterwards.
    idx.add_object_many(objs)
    assert answers(idx) == expected(make(3, offset=-3) + objs)
