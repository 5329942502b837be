"""Adding a batch answers exactly as adding its objects one at a time.

add_object_many indexes numbers a batch at a time and nests the objects its
members hold as one batch per nested index, level after level; assignments of
a number to a number move only what differs between the two. Random graphs of
objects (shared, chained, in lists, holding themselves) are indexed
both ways and must give the same answers, before and after assignments."""

import random

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item

NUMBERS = [0, 1, -1, 2, 7, 30, 99, 2**53 + 1, -2**63, 2**63 - 1, 0.5, -0.0, 1e300, -2.5, float("inf")]
NAMES = ["ann", "bob", "cid", "", "a" * 40]


def make_graph(seed, depth, width):
    """`width` holders, each with numbers, strings, a list and a chain of
    nested objects `depth` long; children are shared between holders, some
    hold themselves."""
    rng = random.Random(seed)
    pool = []

    def leaf():
        item = Item(n=rng.choice(NUMBERS), name=rng.choice(NAMES))
        if rng.random() < 0.3:
            item.tags = [rng.choice(NAMES), rng.choice(NUMBERS)]
        return item

    holders = []
    for _ in range(width):
        top = Item(age=rng.randrange(100), score=rng.random(), name=rng.choice(NAMES), flag=rng.random() < 0.5)
        chain = [top]
        for _ in range(depth):
            child = rng.choice(pool) if pool and rng.random() < 0.3 else leaf()
            pool.append(child)
            chain[-1].sub = child
            chain.append(child)
        if rng.random() < 0.2:
            # Holding itself. (A cycle through other objects is cut where
            # the holder links first close it, which depends on the order of
            # insertion, so it has no one-at-a-time answer to compare with.)
            chain[-1].sub = chain[-1]
        if rng.random() < 0.3:
            top.items = [rng.choice(pool), rng.choice(NUMBERS), leaf()]
        if rng.random() < 0.1:
            top._hidden = rng.choice(NUMBERS)
        holders.append(top)
    return holders, pool


def paths(depth):
    out = ["n", "age", "score", "name", "items", "items.n", "items.name", "items.tags"]
    prefix = ""
    for _ in range(depth + 1):
        prefix += "sub."
        out += [prefix + "n", prefix + "name", prefix + "tags", prefix + "sub.n"]
    return out


def answers(idx, depth):
    def names(query):
        return sorted(_object_id(o) for o in idx.reduced_query(query).collect())

    out = [sorted(_object_id(o) for o in idx.collect())]
    for path in paths(depth):
        for value in (0, 30, 2**53 + 1, 0.5, float("inf"), "ann", ""):
            out.append(names(Q.eq(path, value)))
        out.append(names(Q.gt(path, 1)))
        out.append(names(Q.bt(path, -1, 50)))
        out.append(names(Q.starts_with(path, "a")))
    out.append(names(Q.eq("_hidden", 7)))
    for path in ("sub", "sub.sub", "items"):
        try:
            out.append(idx._debug_nested_members(path))
        except (KeyError, ValueError):
            out.append(None)
    return out


GRAPHS = [pytest.param(seed, depth, width, id=f"seed{seed}-depth{depth}-width{width}")
          for seed, depth, width in [(1, 1, 50), (2, 3, 200), (3, 6, 40), (4, 2, 1500)]]


@pytest.mark.parametrize("seed,depth,width", GRAPHS)
def test_batch_answers_as_one_at_a_time(seed, depth, width):
    holders, _ = make_graph(seed, depth, width)
    batch, single = Index(), Index()
    batch.add_object_many(holders)
    for h in holders:
        single.add_object(h)
    # add_object leaves names starting with "_" out; the rest must agree.
    got, want = answers(batch, depth), answers(single, depth)
    hidden = len(paths(depth)) * 10 + 1
    assert got[:hidden] == want[:hidden]
    assert got[hidden + 1:] == want[hidden + 1:]


@pytest.mark.parametrize("seed,depth,width", GRAPHS[:3])
def test_number_assignments_answer_as_a_fresh_build(seed, depth, width):
    holders, pool = make_graph(seed, depth, width)
    idx = Index()
    idx.add_object_many(holders)
    rng = random.Random(seed + 100)
    for _ in range(3 * width):
        target = rng.choice(holders + pool)
        attribute = rng.choice(["age", "score", "n"])
        # numbers to numbers mostly; now and then a kind that is not a number
        value = rng.choice(NUMBERS) if rng.random() < 0.9 else rng.choice(["ann", None, True])
        setattr(target, attribute, value)
    fresh = Index()
    fresh.add_object_many(holders)
    assert answers(idx, depth) == answers(fresh, depth)


def test_many_holders_share_one_child_and_deep_chain():
    # One child held by every holder, and a chain deeper than any batch
    # level: each level is one batch of the level above's children.
    shared = Item(n=5, name="shared")
    holders = [Item(age=i % 100, sub=shared) for i in range(2000)]
    head = Item(n=0)
    node = head
    for level in range(1, 60):
        node.sub = Item(n=level)
        node = node.sub
    idx = Index()
    idx.add_object_many(holders + [head])
    assert len(idx.reduced_query(Q.eq("sub.n", 5)).collect()) == 2000
    assert idx.reduced_query(Q.eq("sub." * 59 + "n", 59)).collect() == [head]
    shared.n = 6
    assert idx.reduced_query(Q.eq("sub.n", 5)).collect() == []
    assert len(idx.reduced_query(Q.eq("sub.n", 6)).collect()) == 2000
