"""Numbers and texts stored as attributes keep their own object without a
shared box: a read gives back the very object assigned, the index works on
copies that carry the value alone, and every reference goes exactly once,
whichever thread lets go of the object last."""

import copy
import gc
import pickle
import sys
import threading

import pytest

import Tarnwick
from Tarnwick import Index, PyQueryExpr as Q
from index_support import Item, run_threads

pending = Tarnwick._native._pending_decrefs


def fresh(kind, i):
    """A new object of a kind, equal for equal i, never one of the
    interpreter's cached ones."""
    if kind == "float":
        return float(f"{i}.25")
    if kind == "str":
        return "".join(["s", str(i)])
    if kind == "long_str":
        return "".join(["a text well beyond the inline length ", str(i)])
    if kind == "int":
        return int(str(10**7 + i))
    raise AssertionError(kind)


KINDS = ["float", "str", "long_str", "int"]


@pytest.mark.parametrize("kind", KINDS)
class TestIdentity:
    def test_reads_give_the_assigned_object(self, kind):
        value = fresh(kind, 1)
        made = Item(a=value)
        assigned = Item()
        assigned.a = value
        assert made.a is value
        assert assigned.a is value
        idx = Index()
        idx.add_object_many([made, assigned])
        # Indexing copies the values; the objects keep their own.
        assert made.a is value and assigned.a is value
        other = fresh(kind, 2)
        made.a = other
        assert made.a is other
        assert idx.reduced_query(Q.eq("a", other)).collect() == [made]

    def test_copies_and_pickles_keep_the_values(self, kind):
        value = fresh(kind, 3)
        obj = Item(a=value, b=value)
        dup = copy.copy(obj)
        assert dup.a is value and dup.b is value
        back = pickle.loads(pickle.dumps(obj))
        assert back.a == value and type(back.a) is type(value)
        # One text pickled once (pickle shares texts, not numbers): both
        # attributes still hold one object.
        if isinstance(value, str):
            assert back.a is back.b

    def test_references_are_released_once(self, kind):
        value = fresh(kind, 4)
        base = sys.getrefcount(value)
        objs = [Item(a=value) for _ in range(300)]
        assert sys.getrefcount(value) == base + 300
        idx = Index()
        idx.add_object_many(objs)
        idx.reduced_query(Q.eq("a", value)).collect()
        idx.value_counts("a")
        # Replacing releases the old value; the index's copies hold nothing.
        for o in objs[:100]:
            o.a = 0.5
        assert sys.getrefcount(value) == base + 200
        del objs, idx
        gc.collect()
        assert sys.getrefcount(value) == base
        assert pending() == 0


def test_numpy_scalars_keep_no_box_and_read_back_as_before():
    np = pytest.importorskip("numpy")
    boxes = Tarnwick._native._reference_boxes
    for value in (np.int64(123456), np.float64(2.5), np.str_("npx"), np.bool_(True), np.int32(9), np.float32(0.5)):
        base = sys.getrefcount(value)
        # Some numpy builds make their bool singletons immortal: no count to follow.
        counted = base < 2**30
        start = boxes()
        obj = Item(a=value)
        assert boxes() == start
        assert not counted or sys.getrefcount(value) == base + 1
        # Read back as the equal builtin, as every numpy scalar is.
        assert obj.a == value and type(obj.a) in (int, float, str, bool)
        idx = Index()
        idx.add_object(obj)
        assert idx.reduced_query(Q.eq("a", value)).collect() == [obj]
        (key,) = idx.value_counts("a")
        assert key == value and type(key) is type(obj.a)
        del obj, idx
        gc.collect()
        assert not counted or sys.getrefcount(value) == base


# The index answers from its copies, which hold the value and not the object.
@pytest.mark.parametrize("kind", KINDS)
def test_queries_over_copies_answer_as_the_values_do(kind):
    objs = [Item(a=fresh(kind, i % 50), n=i) for i in range(1000)]
    idx = Index()
    idx.add_object_many(objs[:500])
    for o in objs[500:]:
        idx.add_object(o)
    probe = fresh(kind, 7)
    want = [o for o in objs if o.a == probe]
    assert sorted(idx.reduced_query(Q.eq("a", probe)).collect(), key=lambda o: o.n) == want
    assert sorted(idx.reduced(a=probe).collect(), key=lambda o: o.n) == want
    counts = idx.value_counts("a")
    assert counts == {fresh(kind, i): 20 for i in range(50)}
    assert all(type(k) is type(probe) for k in counts)
    if kind in ("float", "int"):
        ordered = idx.collect(order_by="a")
        assert [o.a for o in ordered] == sorted(o.a for o in objs)
        lo, hi = fresh(kind, 10), fresh(kind, 20)
        assert len(idx.reduced_query(Q.bt("a", lo, hi))) == 11 * 20
    # Reassigned objects move between the answers.
    for o in want:
        o.a = fresh(kind, 999)
    assert idx.reduced_query(Q.eq("a", probe)).collect() == []
    assert len(idx.reduced_query(Q.eq("a", fresh(kind, 999)))) == len(want)


def test_values_dropped_by_other_threads_are_released():
    """Objects die on several threads while others index and query them: every
    number and text they held is released once, none is left parked."""
    values = [fresh("float", i) for i in range(20)] + [fresh("long_str", i) for i in range(20)]
    base = [sys.getrefcount(v) for v in values]
    groups = [[Item(a=values[(g + i) % len(values)], b=values[i % len(values)]) for i in range(400)]
              for g in range(4)]
    idx = Index()
    idx.add_object_many([o for g in groups for o in g])
    stop = threading.Event()

    def query():
        while not stop.is_set():
            idx.reduced_query(Q.eq("a", values[3])).collect()
            idx.value_counts("b")

    def drop(g):
        def run():
            for o in groups[g]:
                idx.discard(o)
                o.a = values[0]
            groups[g] = None
        return run

    reader = threading.Thread(target=query, daemon=True)
    reader.start()
    try:
        run_threads([drop(g) for g in range(4)])
    finally:
        stop.set()
        reader.join()
    del idx
    gc.collect()
    assert pending() == 0
    assert [sys.getrefcount(v) for v in values] == base
