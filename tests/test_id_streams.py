"""Object ids come in runs per class, so that an index of one class is dense."""

from index_support import run_isolated
from Tarnwick import Index, Indexable, _object_id

# In a new interpreter, so that no other class's released ids are reused.
FRESH_PROCESS = """
    import gc
    from Tarnwick import Index, Indexable, _object_id

    class Holder(Indexable):
        pass

    class Held(Indexable):
        pass

    def breaks(ids):
        return sum(b != a + 1 for a, b in zip(ids, ids[1:]))

    holders = [Holder(n=i, tags=[i, "x"], at=Held(zip=f"Z{i}")) for i in range(5000)]
    index = Index()
    index.add_object_many(holders)
    members = index._debug_members()
    held = sorted(index._debug_nested_members("at"))
    assert members == sorted(members) and len(members) == 5000
    # Blocks of 64 ids doubling up to 65,536, each possibly followed by
    # another class's block: a few breaks, not one per object.
    assert breaks(members) <= 12 and breaks(held) <= 12, (breaks(members), breaks(held))
    assert index.collect() == holders  # creation order within the class

    del index, holders, members, held
    gc.collect()
    first = Holder()
    released = _object_id(first)
    del first
    other, again = Held(), Holder()
    assert _object_id(other) != released and _object_id(again) == released
    print("ok")
"""


def test_objects_made_alternately_get_dense_runs_and_reuse_their_own_ids():
    code, out, err = run_isolated(FRESH_PROCESS)
    assert (code, out.strip()) == (0, "ok"), err


def test_many_classes_never_share_an_id_and_collect_in_id_order():
    classes = [type(f"Kind{i}", (Indexable,), {}) for i in range(200)]
    objects = [cls(n=i) for _ in range(3) for i, cls in enumerate(classes)]
    del objects[::4]
    objects += [cls(n=-1) for cls in classes[::7]]
    ids = [_object_id(o) for o in objects]
    assert len(set(ids)) == len(ids)
    index = Index()
    index.add_object_many(objects)
    assert [_object_id(o) for o in index.collect()] == sorted(ids)
    assert len(index.reduced(n=-1)) == len(classes[::7])
