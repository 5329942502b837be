"""Threads adding, assigning, reading and collecting on one Index at once.

Every test checks the final contents exactly; a deadlock fails the test
through the timeout of run_threads instead of hanging the suite."""

import os
import random
import threading

import pytest

from Tarnwick import Index
from index_support import Item, ids, run_threads

SCALE = 1 if os.environ.get("TARNWICK_SANITIZED") else 3


def test_adding_and_assigning_concurrently():
    idx = Index()
    per_thread = 40 * SCALE
    results = {}

    def worker(t):
        def run():
            rng = random.Random(t)
            mine = [Item(owner=t, n=i) for i in range(per_thread)]
            for i, o in enumerate(mine):
                if i % 2:
                    idx.add_object(o)
                else:
                    idx.add_object_many([o])
            for round_ in range(5):
                for o in rng.sample(mine, len(mine)):
                    o.n = round_ * 1000 + o.n % 1000
                    o.tags = [f"t{t}", round_]
                    o.name = f"{t}-{round_}"
            results[t] = mine

        return run

    run_threads([worker(t) for t in range(6)])
    everything = [o for mine in results.values() for o in mine]
    assert sorted(idx._debug_members()) == ids(*everything)
    assert len(idx.collect()) == len(everything)
    for t, mine in results.items():
        assert idx._debug_eq("owner", t) == ids(*mine)
        assert idx._debug_eq("name", f"{t}-4") == ids(*mine)
        assert idx._debug_eq("name", f"{t}-3") == []
        assert idx._debug_eq("tags", f"t{t}") == ids(*mine)
    assert idx._debug_eq("tags", 4) == ids(*everything)
    assert idx._debug_eq("tags", 3) == []
    stats = idx._debug_map_stats("tags")
    assert stats["elements"] == 2 * len(everything)


def test_first_value_of_an_attribute_from_many_threads():
    for round_ in range(10 * SCALE):
        idx = Index()
        name = f"fresh_{round_}_{random.random()}".replace(".", "_")
        objs = [[Item() for _ in range(5)] for _ in range(4)]
        for group in objs:
            idx.add_object_many(group)
        barrier = threading.Barrier(len(objs))

        def assign(group):
            def run():
                barrier.wait(10)
                for o in group:
                    setattr(o, name, 1)

            return run

        run_threads([assign(g) for g in objs])
        assert idx._debug_eq(name, 1) == ids(*[o for g in objs for o in g])


def test_batches_with_lists_while_others_read_assign_and_collect():
    idx = Index()
    shared = [Item(city=c) for c in ("paris", "rome")]
    batches = [[Item(k=b, tags=[b, str(b), [b]], addr=shared[b % 2]) for _ in range(30)] for b in range(8 * SCALE)]
    assigned = [Item(k=-1, tags=[]) for _ in range(20)]
    idx.add_object_many(assigned)
    stop = threading.Event()

    def adder():
        try:
            for batch in batches:
                idx.add_object_many(batch)
        finally:
            stop.set()

    def reader():
        while not stop.is_set():
            for batch in batches:
                for o in batch[:3]:
                    assert o.tags[0] == o.k
                    assert o.addr.city in ("paris", "rome")

    def assigner():
        i = 0
        while not stop.is_set():
            for o in assigned:
                o.tags = [i, "x"]
                o.k = i
            i += 1
        for o in assigned:
            o.tags = ["final"]
            o.k = "final"

    def collector():
        while not stop.is_set():
            members = idx.collect()
            assert len(members) >= len(assigned)

    run_threads([adder, reader, assigner, collector])
    added = [o for batch in batches for o in batch]
    assert idx._debug_members() == ids(*added, *assigned)
    for b, batch in enumerate(batches):
        assert idx._debug_eq("k", b) == ids(*batch)
        assert idx._debug_eq("tags", str(b)) == ids(*batch)
    assert idx._debug_eq("k", "final") == ids(*assigned)
    assert idx._debug_eq("tags", "final") == ids(*assigned)
    assert idx._debug_eq("tags", "x") == []
    assert idx._debug_eq("addr.city", "paris") == ids(*[o for b, batch in enumerate(batches) if b % 2 == 0 for o in batch])
    # b, str(b), the inner list and the b inside it
    assert idx._debug_map_stats("tags")["elements"] == 4 * len(added) + len(assigned)


def test_holders_of_a_shared_nested_object_from_many_threads():
    idx = Index()
    targets = [Item(name=f"n{i}") for i in range(3)]
    holders = [[Item() for _ in range(15)] for _ in range(4)]
    for group in holders:
        idx.add_object_many(group)

    def reassign(group, seed):
        def run():
            rng = random.Random(seed)
            for _ in range(20 * SCALE):
                for h in group:
                    h.ref = rng.choice(targets + [None])
            for h in group:
                h.ref = targets[seed % 3]

        return run

    run_threads([reassign(g, s) for s, g in enumerate(holders)])
    for i, target in enumerate(targets):
        expected = [h for s, g in enumerate(holders) if s % 3 == i for h in g]
        assert idx._debug_holders("ref", target) == ids(*expected)
        assert idx._debug_eq("ref.name", f"n{i}") == ids(*expected)
    in_use = [t for i, t in enumerate(targets) if any(s % 3 == i for s in range(len(holders)))]
    assert idx._debug_nested_members("ref") == ids(*in_use)


def test_two_indexes_updated_from_many_threads():
    one, two = Index(), Index()
    objs = [Item(v=0) for _ in range(40)]
    one.add_object_many(objs)
    for o in objs:
        two.add_object(o)

    def bump(part):
        def run():
            for i in range(50 * SCALE):
                for o in part:
                    o.v = i

        return run

    run_threads([bump(objs[i::4]) for i in range(4)])
    last = 50 * SCALE - 1
    for idx in (one, two):
        assert idx._debug_eq("v", last) == ids(*objs)
        assert idx._debug_eq("v", last - 1) == []


@pytest.mark.parametrize("add", ["add_object_many", "add_object", "union_with"])
def test_crossing_batches_with_nested_objects_being_assigned(add):
    # Each thread's batches hold leaves of its own and holders of the other
    # thread's leaves (so each addition locks objects that another addition
    # may be taking, in both id orders), while a third thread assigns to the
    # leaves.
    rounds = 8 * SCALE
    size = 20
    leaves, holders = [[], []], [[], []]
    for i in range(size * rounds):
        for s in range(2):
            leaves[s].append(Item(k=0, i=i))
            holders[s].append(Item(i=i))
    for s in range(2):
        for i, h in enumerate(holders[s]):
            h.child = leaves[1 - s][(i * 7) % len(leaves[1 - s])]
    idx = Index()

    def adder(s):
        def run():
            for r in range(rounds):
                part = [o for pair in zip(leaves[s][r * size:(r + 1) * size], holders[s][r * size:(r + 1) * size])
                        for o in pair]
                if add == "add_object_many":
                    idx.add_object_many(part)
                elif add == "add_object":
                    for o in part:
                        idx.add_object(o)
                else:
                    staged = Index()
                    staged.add_object_many(part)
                    idx.union_with(staged)

        return run

    def assigner():
        rng = random.Random(5)
        for n in range(1, 40 * SCALE):
            for o in rng.sample(leaves[0] + leaves[1], 40):
                o.k = n

    run_threads([adder(0), adder(1), assigner])
    all_leaves = leaves[0] + leaves[1]
    all_holders = holders[0] + holders[1]
    assert idx._debug_nested_members("child") == ids(*all_leaves)
    for k in {o.k for o in all_leaves}:
        assert idx._debug_eq("child.k", k) == ids(*[h for h in all_holders if h.child.k == k])
        assert idx._debug_eq("k", k) == ids(*[o for o in all_leaves if o.k == k])
