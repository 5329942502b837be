"""What queries see of objects while other threads assign, add and remove.

The races run real threads for a few seconds each (bounded by run_threads'
timeout, so a deadlock fails) and stop at the first wrong answer, which is
what the test reports."""

import gc
import os
import time
import weakref

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item, run_threads

# The sanitizer run looks for memory faults on the same paths; the release
# run is the one that must catch a wrong answer, and races there longer.
RACE_SECONDS = 1.0 if os.environ.get("TARNWICK_SANITIZED") else 3.0


def race(writer, reader, seconds=RACE_SECONDS, also=()):
    """Runs writer() and reader() in a loop each, in two threads, until the
    time is up or reader() returns a complaint; returns the complaints. Each
    of `also` loops in a thread of its own meanwhile."""
    stop = time.monotonic() + seconds
    complaints = []

    def loop(step, report):
        def run():
            while time.monotonic() < stop and not complaints:
                outcome = step()
                if report and outcome is not None:
                    complaints.append(outcome)

        return run

    run_threads([loop(writer, False), loop(reader, True)] + [loop(step, False) for step in also])
    return complaints


def holding(n):
    child = Item()
    child.n = n
    return child


# attribute, the two values assigned in turn, a query that matches either,
# and (where one evaluation reads the map once for the whole query) one that
# would need both at once.
REPLACEMENTS = [
    pytest.param("n", 1, 2, Q.bt("n", 0, 10), Q.and_(Q.eq("n", 1), Q.eq("n", 2)), id="number"),
    pytest.param("n", 1, "one", Q.in_("n", [1, "one"]), Q.and_(Q.eq("n", 1), Q.eq("n", "one")), id="kind-change"),
    pytest.param("s", "a", "b", Q.in_("s", ["a", "b"]), Q.and_(Q.eq("s", "a"), Q.eq("s", "b")), id="string-in"),
    pytest.param("tags", ["x", "a"], ["x", "b"], Q.eq("tags", "x"), Q.and_(Q.eq("tags", "a"), Q.eq("tags", "b")),
                 id="list-items"),
    pytest.param("flag", True, False, Q.in_("flag", [True, False]), Q.and_(Q.eq("flag", True), Q.eq("flag", False)),
                 id="bool"),
]


@pytest.mark.parametrize("attr, old, new, either, both", REPLACEMENTS)
def test_a_query_sees_the_old_or_the_new_value_never_neither_nor_both(attr, old, new, either, both):
    index = Index()
    target, bystander = Item(), Item()
    setattr(target, attr, old)
    setattr(bystander, attr, None)
    index.add_object_many([target, bystander])

    def toggle():
        setattr(target, attr, new)
        setattr(target, attr, old)

    def look():
        seen = index.reduced_query(either).collect()
        if seen != [target]:
            return f"neither: {seen}"
        if both is not None and index.reduced_query(both).collect():
            return "both"
        return None

    assert race(toggle, look) == []


@pytest.mark.parametrize("depth", [1, 2])
def test_a_dotted_path_sees_the_nested_old_or_new_value(depth):
    index = Index()
    holder = Item()
    child = holding(1)
    top = child
    for _ in range(depth - 1):
        above = Item()
        above.child = top
        top = above
    holder.child = top
    index.add_object(holder)
    path = ".".join(["child"] * depth) + ".n"
    either = Q.bt(path, 0, 10)
    # Two tests of one query on one nested path: each read alone may see
    # the old value and the other the new one.
    both = Q.and_(Q.eq(path, 1), Q.eq(path, 2))
    neither = Q.and_(Q.ne(path, 1), Q.ne(path, 2))

    def toggle():
        child.n = 2
        child.n = 1

    def look():
        seen = index.reduced_query(either).collect()
        if seen != [holder]:
            return f"neither: {seen}"
        if index.reduced_query(both).collect() or index.reduced_query(either).reduced_query(both).collect():
            return "both"
        if index.reduced_query(neither).collect():
            return "neither, in one query"
        return None

    assert race(toggle, look) == []


def fresh_batch(size=200):
    batch = []
    for i in range(size):
        o = Item()
        o.fixed = 3
        o.name = f"n{i}"
        o.tags = ["t", i]
        o.score = i / 7
        batch.append(o)
    return batch


def add_many(index):
    index.add_object_many(fresh_batch())


def add_one_by_one(index):
    for o in fresh_batch(20):
        index.add_object(o)


def merge_in(index):
    other = Index()
    other.add_object_many(fresh_batch())
    index.union_with(other)


@pytest.mark.parametrize("add", [add_many, add_one_by_one, merge_in])
def test_objects_show_only_once_all_their_values_are_in(add):
    index = Index()
    # Each round starts over so that the queries stay short.
    current = [index]

    def grow():
        if len(current[0].collect()) > 2000:
            current[0] = Index()
        add(current[0])

    def look():
        index = current[0]
        if index.reduced_query(Q.ne("fixed", 3)).collect():
            return "a member without its value"
        members = {_object_id(o) for o in index.collect()}
        matching = {_object_id(o) for o in index.reduced_query(Q.eq("fixed", 3)).collect()}
        if not members <= matching:
            return f"{len(members - matching)} members that the equality misses"
        return None

    assert race(grow, look) == []


def object_taking_id(wanted, attempts=10_000):
    """A new Item with the given (freed) id, or None."""
    made = []
    for _ in range(attempts):
        o = Item()
        if _object_id(o) == wanted:
            return o
        made.append(o)
    return None


@pytest.mark.parametrize("made_by", ["reduced", "reduced_query"])
def test_a_view_returns_only_objects_it_held(made_by):
    index = Index()
    kept, dropped = Item(), Item()
    kept.k, dropped.k = 1, 2
    index.add_object_many([kept, dropped])
    view = index.reduced_query(Q.ge("k", 0)) if made_by == "reduced_query" else index.reduced()
    dropped_id = _object_id(dropped)
    index.reduce(k=1)
    gone = weakref.ref(dropped)
    del dropped
    gc.collect()
    assert gone() is None
    newcomer = object_taking_id(dropped_id)
    assert newcomer is not None, "the freed id was not reused"
    newcomer.k = 2
    index.add_object(newcomer)

    assert view.collect() == [kept]
    assert view.reduced(k=2).collect() == []
    assert view.reduced_query(Q.ge("k", 0)).collect() == [kept]
    assert view.rebase().collect() == [kept]
    # What the index itself holds is unaffected.
    assert {_object_id(o) for o in index.collect()} == {_object_id(kept), dropped_id}


def test_a_view_keeps_a_member_added_again_but_not_one_that_left_and_returned():
    index = Index()
    o, other = Item(), Item()
    o.k, other.k = 1, 5
    index.add_object_many([o, other])
    before = index.reduced(k=1)
    index.reduce(k=5)
    index.add_object(o)
    # o left the index after `before` was made: what came back is a new
    # membership, which the older view does not return.
    assert before.collect() == []
    after = index.reduced(k=1)
    index.add_object(o)  # added again while a member: the same membership
    assert after.collect() == [o]


def holders_batch(depth, size=150):
    """Holders whose path child(.child)*.fixed leads to 3 through fresh
    objects, none of them indexed anywhere yet; at depth 0 the child is held
    as the item of a list."""
    batch = []
    for i in range(size):
        bottom = Item()
        bottom.fixed = 3
        bottom.tags = ["t", i]
        top = bottom
        for _ in range(depth - 1):
            above = Item()
            above.child = top
            top = above
        holder = Item()
        holder.child = top if depth else [top]
        holder.name = f"h{i}"
        batch.append(holder)
    return batch


def nested_many(index, depth):
    index.add_object_many(holders_batch(depth))


def nested_one_by_one(index, depth):
    for holder in holders_batch(depth, 15):
        index.add_object(holder)


def nested_merge(index, depth):
    other = Index()
    other.add_object_many(holders_batch(depth))
    index.union_with(other)


def nested_value_complaint(index, path):
    """What is wrong with the members of index whose nested `path` must be 3
    once they show, or None."""
    wrong = index.reduced_query(Q.ne(path, 3)).collect()
    if wrong:
        return f"{len(wrong)} holders whose nested value is missing"
    members = {_object_id(o) for o in index.collect()}
    matching = {_object_id(o) for o in index.reduced_query(Q.eq(path, 3)).collect()}
    if not members <= matching:
        return f"{len(members - matching)} holders that the dotted equality misses"
    if index.reduced_query(Q.eq(path, 3)).reduced_query(Q.ne(path, 3)).collect():
        return "a holder both with and without its nested value"
    return None


@pytest.mark.parametrize("depth", [1, 2, 0])
@pytest.mark.parametrize("add", [nested_many, nested_one_by_one, nested_merge])
def test_holders_show_only_once_their_nested_values_are_in(add, depth):
    path = ".".join(["child"] * max(depth, 1)) + ".fixed"
    current = [Index()]

    def grow():
        if len(current[0].collect()) > 1500:
            current[0] = Index()
        add(current[0], depth)

    assert race(grow, lambda: nested_value_complaint(current[0], path)) == []


# How a holder reaches the object whose `fixed` is 3 through a container
# item: the path, and a maker of (holder, the objects on the way down).
def _through_list(i):
    bottom = holding_fixed(i)
    holder = Item()
    holder.child = [bottom]
    return holder, [bottom]


def _through_tuple_and_set(i):
    bottom = holding_fixed(i)
    holder = Item()
    holder.child = (0, {bottom})
    return holder, [bottom]


def _list_then_attribute(i):
    bottom, middle = holding_fixed(i), Item()
    middle.child = bottom
    holder = Item()
    holder.child = ["m", middle]
    return holder, [middle, bottom]


def _attribute_then_list(i):
    bottom, middle = holding_fixed(i), Item()
    middle.child = [bottom]
    holder = Item()
    holder.child = middle
    return holder, [bottom]


def holding_fixed(i):
    # Values enough that indexing one takes a while after its holder is in.
    bottom = Item()
    bottom.fixed = 3
    bottom.tags = ["t", i, *range(40)]
    return bottom


CONTAINER_SHAPES = [
    pytest.param("child.fixed", _through_list, id="list"),
    pytest.param("child.fixed", _through_tuple_and_set, id="set-in-tuple"),
    pytest.param("child.child.fixed", _list_then_attribute, id="list-then-attribute"),
    pytest.param("child.child.fixed", _attribute_then_list, id="attribute-then-list"),
]


def _add_many(index, holders):
    index.add_object_many(holders)


def _add_one_by_one(index, holders):
    for holder in holders[:15]:
        index.add_object(holder)


def _merge(index, holders):
    other = Index()
    other.add_object_many(holders)
    index.union_with(other)


@pytest.mark.parametrize("add", [_add_many, _add_one_by_one, _merge])
@pytest.mark.parametrize("path, make", CONTAINER_SHAPES)
def test_holders_wait_for_a_container_item_another_thread_is_assigning(path, make, add):
    # The objects below a holder, met only inside its container values, are
    # assigned to by a third thread all the while: a batch that found one of
    # them busy used to make the holder a member before the object's values
    # were in its nested engine.
    # Members of another index too, the objects stay locked for a whole
    # assignment there (a list value is converted meanwhile).
    current, elsewhere = [Index()], Index()
    below = [[]]

    def grow():
        if len(current[0].collect()) > 1500:
            current[0] = Index()
            elsewhere.clear()
        made = [make(i) for i in range(150)]
        below[0] = [o for _, objects in made for o in objects]
        elsewhere.add_object_many(below[0])
        add(current[0], [holder for holder, _ in made])

    def assign():
        for n, o in enumerate(below[0]):
            o.other = [n, "x"]

    assert race(grow, lambda: nested_value_complaint(current[0], path), also=[assign]) == []
