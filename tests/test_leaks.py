"""Nothing the store touches outlives its last user: repeated cycles over the
whole surface leave the interpreter's allocated blocks flat, and every object
is released once nothing holds it."""

import gc
import os
from datetime import date, datetime, timedelta, timezone, tzinfo
import sys
import weakref

import pytest

import Tarnwick
from Tarnwick import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


class Payload:
    pass


class Zone(tzinfo):
    def utcoffset(self, dt):
        return timedelta(hours=-3)


def cycle(keep=None):
    """One round of everything a program does with the store, then drop it all.
    With `keep`, weak references to what was made are appended to it."""
    payload, nested, inner = Payload(), Item(city="x", n=1), Item(z=2)
    nested.inner = inner
    objs = [Item(n=i, f=i / 3, s=f"s{i % 4}" * (i % 3 + 1), b=i % 2 == 0, tags=[i, f"t{i}", [i, (i,)]],
                 addr=nested, p=payload, _hidden=i, big=2**70 + i % 2,
                 at=datetime(2000, 1, 1, tzinfo=timezone.utc if i % 2 else Zone()) + timedelta(hours=i),
                 days=[date(2000, 1, i + 1), timedelta(i)]) for i in range(8)]
    one, two = Index(), Index()
    for o in objs[:6]:
        one.add_object(o)
    two.add_object_many(objs[3:])
    for o in objs[::3]:
        o.n = -o.n
        o.tags = {o.n, "moved"}
        o.addr = inner if o.n % 2 else None
        o.s = "long string " * 3
    q = Q.and_(Q.or_(Q.gt("n", 2), Q.starts_with("s", "s1"), Q.in_("tags", ["t3", 5])),
               Q.not_(Q.eq("addr.city", "y")), Q.bt("f", 0, 3), Q.contains("s", "ng"))
    view = one.reduced_query(q).reduced(b=True)
    view.reduced_query(Q.ne("big", 2**70)).collect()
    one.reduced_query(Q.or_(Q.bt("days", date(2000, 1, 2), date(2000, 1, 5)),
                            Q.gt("at", datetime(2000, 1, 1, 2, tzinfo=Zone())))).collect()
    one.get_by_attribute(addr=nested, p=payload)
    rebased = two.reduced(**{"addr.inner.z": 2}).rebase()
    rebased.reduced_query(Q.eq("_hidden", 4)).collect()
    one.union_with(two)
    one.union_with(rebased)
    two.reduce(b=True)
    one.collect() and two.collect() and view.collect()
    if keep is not None:
        keep += [weakref.ref(x) for x in (payload, nested, inner, one, two, rebased, *objs)]


CYCLES_PER_RUN = 10

# The interpreter's method cache (4096 slots, keyed by type and by the address
# of the name looked up) keeps a reference to each name it caches. A name made
# afresh for every call, such as the "add_object_many" that rebase() passes to
# PyObject_CallMethod, lands in a new slot whenever it is allocated at an
# address not seen before, and stays there: the allocated blocks used to creep
# up by under one per cycle until every address the allocator recycles for
# such strings had its slot, some 250 cycles. Emptying the cache around each
# measurement takes that out of the count.
clear_method_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def blocks_after_run():
    clear_method_cache()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(CYCLES_PER_RUN):
        cycle()
    clear_method_cache()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.mark.skipif(bool(os.environ.get("TARNWICK_SANITIZED")), reason="the sanitizer run bypasses pymalloc")
def test_repeated_cycles_do_not_grow_memory():
    # Warm-up: lazily loaded types, interned names and allocator caches; only
    # a loss of a block or more per cycle, in every run, counts as a leak.
    for _ in range(15):
        if blocks_after_run() <= 0:
            break
    deltas = [blocks_after_run() for _ in range(4)]
    assert not all(d >= CYCLES_PER_RUN for d in deltas), deltas
    assert Tarnwick._pending_decrefs() == 0


def test_everything_is_released_when_nothing_holds_it():
    refs = []
    cycle(keep=refs)
    gc.collect()
    alive = [r() for r in refs if r() is not None]
    assert alive == []
    assert Tarnwick._pending_decrefs() == 0


def test_values_released_on_every_path_out():
    """Each way a value leaves the store lets go of it: reassignment, in-place
    reduction, dropping views, indexes and rebased copies."""
    payloads = [Payload() for _ in range(4)]
    refs = [weakref.ref(p) for p in payloads]
    a, b = Item(v=payloads[0], k=1), Item(v=[payloads[1]], k=2)
    idx = Index()
    idx.add_object_many([a, b])
    idx.union_with(idx.reduced().rebase())
    view = idx.reduced(k=2)
    a.v = payloads[2]  # payloads[0] now unused
    idx.reduce(k=1)  # b, and with it payloads[1], only held by the view's tables
    b.v = payloads[3]
    del payloads
    gc.collect()
    assert [r() is None for r in refs] == [True, True, False, False]
    del b, view
    gc.collect()
    assert [r() is None for r in refs] == [True, True, False, True]
    del a, idx
    gc.collect()
    assert all(r() is None for r in refs)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_reference_count_stays_flat():
    def deltas(work, runs):
        out = []
        for _ in range(runs):
            clear_method_cache()
            gc.collect()
            before = sys.gettotalrefcount()
            for _ in range(CYCLES_PER_RUN):
                work()
            clear_method_cache()
            gc.collect()
            out.append(sys.gettotalrefcount() - before)
        return out

    # The measuring itself (the ints it makes and keeps) moves the total by a
    # few references; what a run of cycles adds beyond a run of nothing is
    # what the store keeps.
    noop = min(deltas(lambda: None, 3))
    deltas(cycle, 3)
    grown = [d - noop for d in deltas(cycle, 4)]
    assert not all(d >= CYCLES_PER_RUN for d in grown), grown
