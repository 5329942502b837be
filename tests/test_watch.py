"""Live queries (Index.watch): the live set against a fresh query and the
plain-Python reference after every kind of change, the callback log, callbacks
that change things, threads, bad input and the collector."""

import gc
import random
import sys
import threading
import weakref

import pytest

from index_support import run_threads
from reference_semantics import evaluate, to_query, values_at
from Tarnwick import Index, Indexable, PyQueryExpr as Q


class Obj(Indexable):
    pass


# ---- the random walk against the reference ----------------------------------------

QUERIES = [
    ("eq", "a", 1),
    ("gt", "a", 1.5),
    ("in", "a", [0, 2]),
    ("ne", "s", "ab"),
    ("starts_with", "s", "a"),
    ("and", [("le", "a", 2), ("not", ("eq", "s", "b"))]),
    ("or", [("eq", "tags", 3), ("eq", "sub.v", 1)]),
    ("eq", "tags", 2),
    ("gt", "sub.v", 0),
    ("not", ("eq", "sub.v", 1)),
]
VALUES = {
    "a": [0, 1, 2, 2.0, 3, float("nan"), "1"],
    "s": ["a", "ab", "b", "abc", 1],
    "tags": [[], [1, 2], [3], (2, 3), 2],
}


class Walk:
    """Tops (members) hold leaves in `sub`; the reference keeps every value."""

    def __init__(self, rng):
        self.rng = rng
        self.attrs = {}
        self.index = Index()
        self.members = set()
        self.leaves = [self.make_leaf() for _ in range(4)]
        self.log = []
        self.watches = []
        tops = [self.make_top() for _ in range(12)]
        self.index.add_object_many(tops[:8])
        self.members.update(tops[:8])
        self.spare = tops[8:]
        for q in QUERIES:
            cb = (lambda q: lambda obj, matched: self.log.append((q, obj, matched)))(q)
            watch = self.index.watch(to_query(q), cb)
            self.watches.append((q, watch, set(watch.collect())))

    def set(self, obj, name, value):
        setattr(obj, name, value)
        self.attrs[obj][name] = value

    def make_leaf(self):
        leaf = Obj()
        self.attrs[leaf] = {}
        self.set(leaf, "v", self.rng.choice([0, 1, 2]))
        return leaf

    def make_top(self):
        top = Obj()
        self.attrs[top] = {}
        for name, choices in VALUES.items():
            self.set(top, name, self.rng.choice(choices))
        self.set(top, "sub", self.rng.choice(self.leaves))
        return top

    def reference(self, q):
        return evaluate(q, self.members, lambda o, path: values_at(self.attrs, o, path))

    def step(self):
        rng = self.rng
        op = rng.choice(["assign", "assign", "assign", "nested", "add", "add_many", "remove", "reduce",
                         "union", "clear"])
        tops = list(self.attrs.keys() - set(self.leaves))
        if op == "assign":
            name = rng.choice(list(VALUES) + ["sub"])
            value = rng.choice(self.leaves) if name == "sub" else rng.choice(VALUES[name])
            self.set(rng.choice(tops), name, value)
        elif op == "nested":
            self.set(rng.choice(self.leaves), "v", rng.choice([0, 1, 2]))
        elif op == "add":
            obj = rng.choice(tops)
            self.index.add_object(obj)
            self.members.add(obj)
        elif op == "add_many":
            batch = rng.sample(tops, 3)
            self.index.add_object_many(batch)
            self.members.update(batch)
        elif op == "remove" and self.members:
            obj = rng.choice(sorted(self.members, key=id))
            self.index.remove(obj)
            self.members.discard(obj)
        elif op == "reduce" and rng.random() < 0.3:
            value = rng.choice([0, 1, 2])
            self.index.reduce(a=value)
            self.members = self.reference(("eq", "a", value))
        elif op == "union":
            other = Index()
            batch = rng.sample(tops, 4)
            other.add_object_many(batch)
            self.index.union_with(other)
            self.members.update(batch)
        elif op == "clear" and rng.random() < 0.1:
            self.index.clear()
            self.members.clear()

    def check(self):
        for entry in self.log:
            q, obj, matched = entry
            for wq, _, replay in self.watches:
                if wq is q:
                    # Alternation: an object enters only when out, leaves only when in.
                    assert (obj in replay) != matched, entry
                    (replay.add if matched else replay.discard)(obj)
        self.log.clear()
        for q, watch, replay in self.watches:
            expected = self.reference(q)
            live = watch.collect()
            assert set(live) == expected == set(self.index.reduced_query(to_query(q)).collect()), q
            assert replay == expected, q
            assert len(watch) == len(expected)
            for obj in self.spare[:2] + live[:2]:
                assert (obj in watch) == (obj in expected)


@pytest.mark.parametrize("seed", range(6))
def test_random_walk_keeps_every_watch_equal_to_a_fresh_query(seed):
    walk = Walk(random.Random(seed))
    walk.check()
    for _ in range(150):
        walk.step()
        walk.check()


def test_watch_starts_with_current_matches_and_no_calls():
    index = Index()
    objs = [Obj(a=i % 3) for i in range(9)]
    index.add_object_many(objs)
    calls = []
    watch = index.watch({"a": 1}, lambda o, m: calls.append((o, m)))
    assert calls == [] and set(watch) == set(objs[1::3])
    objs[0].a = 2  # 0 -> 2: no match either way
    objs[1].a = 1  # unchanged value
    assert calls == []
    objs[0].a = 1
    objs[1].b = "other attribute"
    assert calls == [(objs[0], True)]
    assert watch.collect(limit=2) == watch.collect()[:2]
    assert watch.collect(order_by="a") == index.reduced(a=1).collect(order_by="a")


def test_changes_below_dotted_paths_retest_the_holders():
    index = Index()
    log = []
    leaves, deep = [Obj(v=0), Obj(v=0)], Obj(w=0)
    holder, selfish = Obj(subs=leaves, m=Obj(d=deep)), Obj(v=0)
    selfish.me = selfish  # the path continues on the object itself
    index.add_object_many([holder, selfish])
    queries = {"items": Q.eq("subs.v", 1), "two levels": Q.eq("m.d.w", 5), "self": Q.eq("me.v", 3)}
    watches = {k: index.watch(q, (lambda k: lambda o, m: log.append((k, o, m)))(k)) for k, q in queries.items()}
    leaves[1].v, deep.w, selfish.v = 1, 5, 3
    leaves[0].v = 1  # a second item matching changes nothing
    leaves[1].v, leaves[0].v, deep.w, selfish.v = 2, 2, 4, 0
    assert log == [("items", holder, True), ("two levels", holder, True), ("self", selfish, True),
                   ("items", holder, False), ("two levels", holder, False), ("self", selfish, False)]
    holder.m = Obj(d=Obj(w=5))  # a new nested object, indexed before the holder is tested
    assert holder in watches["two levels"]
    for k, q in queries.items():
        assert set(watches[k]) == set(index.reduced_query(q).collect())


# ---- callbacks that change things -----------------------------------------------------


def test_callback_that_assigns_notifies_after_it_returns():
    index = Index()
    objs = [Obj(state="new") for _ in range(3)]
    index.add_object_many(objs)
    order = []
    done = index.watch(Q.eq("state", "done"), lambda o, m: order.append(("done", m)))

    def work(obj, matched):
        order.append(("ready", matched))
        if matched:
            obj.state = "done"  # leaves this watch and enters the other, after this call
            assert obj in done and obj not in ready  # the live sets are current already
            order.append("assigned")

    ready = index.watch({"state": "ready"}, work)
    objs[0].state = "ready"
    # In the order the watches were opened.
    assert order == [("ready", True), "assigned", ("done", True), ("ready", False)]
    assert set(done) == {objs[0]} and len(ready) == 0


def test_callback_may_query_add_and_remove():
    index = Index()
    a, b = Obj(x=1), Obj(x=2)
    index.add_object(a)
    seen = []

    def cb(obj, matched):
        seen.append(len(index.reduced_query(Q.gt("x", 0)).collect()))
        if matched and obj is a:
            index.add_object(b)
            index.remove(a)

    watch = index.watch(Q.gt("x", 1), cb)
    a.x = 5
    assert set(watch) == {b} and a not in index
    assert seen == [1, 1, 1]  # a enters; b enters, a leaves (both queued by the first call)


@pytest.fixture
def reported(monkeypatch):
    """The types of the exceptions sys.unraisablehook receives."""
    types = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: types.append(u.exc_type))
    return types


def test_callback_exceptions_go_to_unraisablehook_and_others_still_run(reported):
    index = Index()
    obj = Obj(x=0)
    index.add_object(obj)
    calls = []

    def bad(o, m):
        raise KeyError("boom")

    index.watch(Q.eq("x", 1), bad)
    index.watch(Q.eq("x", 1), lambda o, m: calls.append(m))
    obj.x = 1  # the assignment itself succeeds
    assert obj.x == 1 and calls == [True] and reported == [KeyError]


def test_watch_closed_from_its_own_callback_gets_no_more_calls():
    index = Index()
    objs = [Obj(x=0) for _ in range(3)]
    index.add_object_many(objs)
    calls = []

    def cb(o, m):
        calls.append(o)
        watch.close()
        watch.close()  # idempotent

    watch = index.watch(Q.eq("x", 1), cb)
    other = Index()
    other.add_object_many(objs)
    for o in objs:
        o.x = 1
    index.union_with(other)
    assert calls == [objs[0]] and watch.closed
    with pytest.raises(ValueError):
        len(watch)
    with pytest.raises(ValueError):
        watch.collect()


def test_chain_deeper_than_the_limit_raises_recursion_error(reported):
    index = Index()
    obj = Obj(n=1)
    index.add_object(obj)
    calls = []

    def bump(o, matched):
        calls.append(o.n)
        o.n += 1  # every change flips the answer: an endless chain

    index.watch(Q.in_("n", list(range(0, 1000, 2))), bump)
    obj.n = 2
    assert reported == [RecursionError]
    assert calls == list(range(2, 102))


def test_context_manager_closes():
    index = Index()
    with index.watch({"a": 1}) as watch:
        assert not watch.closed and repr(watch) == "<Tarnwick.Watch with 0 objects>"
    assert watch.closed and repr(watch) == "<Tarnwick.Watch closed>"
    with pytest.raises(ValueError):
        iter(watch)
    with pytest.raises(ValueError):
        with watch:
            pass
    with pytest.raises(TypeError):
        type(watch)()


# ---- bad input ------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs, word", [
    ((3,), {}, "query"),
    (("a",), {}, "query"),
    ((Q.eq("a", 1),), {"callback": 5}, "callback"),
    ((Q.eq("a", 1), "f"), {}, "callback"),
    (({1: 2},), {}, None),
])
def test_bad_arguments_raise_type_error_and_register_nothing(args, kwargs, word):
    index = Index()
    obj = Obj(a=0)
    index.add_object(obj)
    with pytest.raises(TypeError, match=word):
        index.watch(*args, **kwargs)
    gc.collect()
    assert not [o for o in gc.get_referents(index) if type(o).__name__ == "Watch"]


def test_unevaluable_query_registers_nothing():
    index = Index()
    index.add_object(Obj(a=1))
    with pytest.raises(NotImplementedError):
        index.watch(Q.bt("a", "x", "y"))


# ---- the collector --------------------------------------------------------------------


def test_unreferenced_index_and_its_watches_are_collected_together():
    class Callback:
        def __call__(self, obj, matched):
            pass

    index = Index()
    obj = Obj(a=1)
    index.add_object(obj)
    callback = Callback()
    callback.index = index  # a cycle through the callback too
    watch = index.watch({"a": 1}, callback)
    refs = [weakref.ref(x) for x in (index, watch, callback)]
    del watch
    gc.collect()
    assert all(r() is not None for r in refs)  # open: held by the index
    obj.a = 2
    del index, callback
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_closing_releases_the_callback():
    class Callback:
        def __call__(self, obj, matched):
            pass

    index = Index()
    callback = Callback()
    ref = weakref.ref(callback)
    watch = index.watch({"a": 1}, callback)
    del callback
    assert ref() is not None
    watch.close()
    assert ref() is None


# ---- threads --------------------------------------------------------------------------


def test_threads_leave_the_live_set_exact_and_calls_alternating():
    index = Index()
    objs = [Obj(x=0, y=0) for _ in range(40)]
    index.add_object_many(objs)
    logs = {}
    lock = threading.Lock()

    def cb(obj, matched):
        with lock:
            logs.setdefault(obj, []).append(matched)

    watch = index.watch(Q.eq("x", 1) | Q.gt("y", 5), cb)

    def worker(seed):
        def run():
            rng = random.Random(seed)
            for _ in range(400):
                obj = rng.choice(objs)
                if rng.random() < 0.5:
                    obj.x = rng.randrange(3)
                else:
                    obj.y = rng.randrange(10)
                if rng.random() < 0.05:
                    index.discard(obj)
                    index.add_object(obj)

        return run

    run_threads([worker(s) for s in range(4)])
    expected = set(index.reduced_query(Q.eq("x", 1) | Q.gt("y", 5)).collect())
    assert set(watch) == expected
    for obj, calls in logs.items():
        # Each thread delivers in the order it decided; across threads the
        # final state is the test: entered an odd number of times iff in.
        assert (calls.count(True) - calls.count(False)) == (obj in expected)


# ---- documentation ------------------------------------------------------------------


@pytest.mark.parametrize("name", ["close", "collect", "__enter__", "__exit__"])
def test_watch_methods_carry_the_stub_docstring(name):
    from test_package import STUB

    watch_type = type(Index().watch({}))
    assert getattr(watch_type, name).__doc__ == STUB[f"Watch.{name}"]
    assert watch_type.__doc__ == STUB["Watch"] and Index.watch.__doc__ == STUB["Index.watch"]


def test_assignment_from_python_code_run_while_indexing_notifies_after_the_outer_change():
    class Hashing:
        """Assigns `other.x` from its __hash__, which runs while `holder`'s
        container items are converted (engine locks held)."""

        def __hash__(self):
            other.x = 1
            calls.append("hashed")
            return 7

    index = Index()
    holder, other = Obj(), Obj(x=0)
    index.add_object_many([holder, other])
    calls = []
    watch = index.watch(Q.eq("x", 1), lambda o, m: calls.append((o, m)))
    holder.tags = [Hashing()]
    assert calls == ["hashed", (other, True)] and other in watch
