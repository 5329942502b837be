"""Many threads on shared indexes at once, with the interpreter switching
threads as often as it can. Afterwards every query must equal a plain-Python
evaluation of the final state. Runs a few seconds; set TARNWICK_STRESS_SECONDS
for longer runs."""

import faulthandler
import os
import random
import sys
import threading
import time

import pytest

from Tarnwick import Index, Indexable, PyQueryExpr as Q, _object_id

SECONDS = float(os.environ.get("TARNWICK_STRESS_SECONDS", "1.5" if os.environ.get("TARNWICK_SANITIZED") else "3"))
GRACE = 120


class Item(Indexable):
    pass


class Opaque:
    pass


OPAQUE = Opaque()
CITIES = [Item(name=f"c{i}", zip=i) for i in range(4)]


def random_values(rng):
    return dict(
        n=rng.choice([rng.randrange(-50, 50), rng.random() * 100 - 50, rng.randrange(10) * 1.0]),
        s=rng.choice(["", "p", "pre", "prefix", "x" * rng.randrange(1, 30), "h\u00e9llo", f"p{rng.randrange(5)}"]),
        tags=rng.choice([[], [rng.randrange(5)], (f"t{rng.randrange(3)}", [rng.randrange(5)]), {rng.randrange(5)}]),
        addr=rng.choice(CITIES + [None, OPAQUE, [rng.choice(CITIES)]]),
        flag=rng.random() < 0.5,
    )


def items(v):
    if type(v) in (list, tuple, set):
        for x in v:
            yield from items(x)
    elif type(v) is not dict:
        yield v


def values(o, path):
    head, dot, rest = path.partition(".")
    try:
        found = list(items(getattr(o, head)))
    except AttributeError:
        return []
    if dot:
        return [x for f in found if isinstance(f, Indexable) for x in values(f, rest)]
    return found


def num(x):
    return type(x) in (int, float)


def has(path, test):
    return lambda o: any(test(x) for x in values(o, path))


# (query, the same condition in plain Python)
CHECKS = [
    (Q.eq("n", 3), has("n", lambda x: num(x) and x == 3)),
    (Q.gt("n", 10.5), has("n", lambda x: num(x) and x > 10.5)),
    (Q.bt("n", -5, 5), has("n", lambda x: num(x) and -5 <= x <= 5)),
    (Q.starts_with("s", "pre"), has("s", lambda x: type(x) is str and x.startswith("pre"))),
    (Q.ends_with("s", "xx"), has("s", lambda x: type(x) is str and x.endswith("xx"))),
    (Q.contains("s", "\u00e9l"), has("s", lambda x: type(x) is str and "\u00e9l" in x)),
    (Q.eq("s", ""), has("s", lambda x: x == "")),
    (Q.in_("tags", [1, "t2"]), has("tags", lambda x: type(x) in (int, str) and x in (1, "t2"))),
    (Q.eq("addr.name", "c1"), has("addr.name", lambda x: x == "c1")),
    (Q.lt("addr.zip", 2), has("addr.zip", lambda x: num(x) and x < 2)),
    (Q.eq("addr", OPAQUE), has("addr", lambda x: x is OPAQUE)),
    (Q.eq("flag", True), has("flag", lambda x: x is True)),
    (Q.not_(Q.eq("flag", True)), lambda o: not any(x is True for x in values(o, "flag"))),
    (Q.and_(Q.ne("addr.name", "c0"), Q.or_(Q.ge("n", 0), Q.eq("tags", 3))),
     lambda o: "c0" not in values(o, "addr.name") and (has("n", lambda x: num(x) and x >= 0)(o)
                                                         or has("tags", lambda x: x == 3 and type(x) is int)(o))),
]


def assert_matches(index, members):
    members = sorted(members, key=_object_id)
    assert index.collect() == members
    for query, test in CHECKS:
        assert index.reduced_query(query).collect() == [o for o in members if test(o)], query


class Workers:
    """Runs the callables in threads until the time is up; a thread that has
    not finished long after that is taken for a deadlock, and every thread's
    stack is dumped before the test fails."""

    def __init__(self):
        self.stop = threading.Event()
        self.errors = []
        self.threads = []

    def spawn(self, fn, *args):
        def run():
            rng = random.Random(len(self.threads))
            try:
                while not self.stop.is_set():
                    fn(rng, *args)
            except BaseException as e:  # noqa: BLE001
                self.errors.append(e)
                self.stop.set()

        self.threads.append(threading.Thread(target=run, daemon=True))

    def run(self, seconds):
        faulthandler.dump_traceback_later(seconds + GRACE - 5, exit=False)
        try:
            for t in self.threads:
                t.start()
            self.stop.wait(seconds)
            self.stop.set()
            deadline = time.monotonic() + GRACE
            for t in self.threads:
                t.join(max(0.0, deadline - time.monotonic()))
            if any(t.is_alive() for t in self.threads):
                faulthandler.dump_traceback(all_threads=True)
                pytest.fail("threads did not finish: deadlock?")
        finally:
            faulthandler.cancel_dump_traceback_later()
        if self.errors:
            raise self.errors[0]


@pytest.fixture
def busy_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def test_everything_at_once(busy_switching):
    main, other, merged, shrinking = Index(), Index(), Index(), Index()
    in_main, in_other, kept = [], [], []  # list.append is atomic
    work = Workers()

    def add_one_by_one(rng):
        o = Item(**random_values(rng))
        main.add_object(o)
        in_main.append(o)

    def add_batches(rng):
        batch = [Item(**random_values(rng)) for _ in range(rng.randrange(1, 20))]
        target, record = rng.choice([(main, in_main), (other, in_other)])
        target.add_object_many(batch)
        record.extend(batch)

    def assign(rng):
        pool = in_main + in_other
        if pool:
            o = rng.choice(pool)
            name, value = rng.choice(list(random_values(rng).items()))
            setattr(o, name, value)

    def move_cities(rng):
        city = rng.choice(CITIES)
        city.zip = rng.randrange(4)

    def read(rng):
        for o in (in_main + in_other)[-30:]:
            assert type(o.n) in (int, float) and o.flag in (True, False)
            repr(o), dir(o)
        assert all(type(o) is Item for o in main.collect())

    def query_and_narrow(rng):
        query, _ = rng.choice(CHECKS)
        view = rng.choice([main, other]).reduced_query(query)
        narrower = view.reduced_query(rng.choice(CHECKS)[0]).reduced(flag=True)
        found = narrower.collect()
        assert set(found) <= set(view.collect())
        assert found == sorted(found, key=_object_id)
        main.get_by_attribute(s="pre")

    def rebase(rng):
        fresh = rng.choice([main, other]).reduced_query(rng.choice(CHECKS)[0]).rebase()
        fresh.reduced(flag=True).collect()

    def merge(rng):
        merged.union_with(rng.choice([main, other]))
        merged.reduced_query(rng.choice(CHECKS)[0]).collect()

    def shrink(rng):
        batch = [Item(keep=rng.random() < 0.5, **random_values(rng)) for _ in range(5)]
        shrinking.add_object_many(batch)
        kept.extend(o for o in batch if o.keep)
        view = shrinking.reduced()
        shrinking.reduce(keep=True)
        # only this thread touches `shrinking`; the view skips the removed slots
        assert view.collect() == shrinking.collect()

    for fn in (add_one_by_one, add_batches, add_batches, assign, assign, move_cities, read,
               query_and_narrow, query_and_narrow, rebase, merge, shrink):
        work.spawn(fn)
    work.run(SECONDS)

    assert_matches(main, in_main)
    assert_matches(other, in_other)
    merged.union_with(main)
    merged.union_with(other)
    assert_matches(merged, in_main + in_other)
    assert_matches(main.reduced().rebase(), in_main)
    shrinking.reduce(keep=True)
    assert_matches(shrinking, kept)


def test_batches_with_lists_against_readers(busy_switching):
    """Batch insertion of list-valued objects takes the interpreter lock while
    it holds the engine's write locks; readers of attributes, collectors and
    view queries must all keep going."""
    idx = Index()
    added = []
    work = Workers()

    def add_batches(rng):
        batch = [Item(n=i, tags=[i, str(i), [rng.randrange(5)], (i,)], addr=[rng.choice(CITIES)])
                 for i in range(rng.randrange(1, 40))]
        idx.add_object_many(batch)
        added.extend(batch)

    def read(rng):
        for o in added[-50:]:
            o.tags, o.addr, o.n

    def collect(rng):
        idx.collect()

    def query_views(rng):
        view = idx.reduced_query(Q.in_("tags", ["1", 2]))
        view.reduced_query(Q.eq("addr.name", "c1")).collect()
        view.reduced(n=1).collect()

    for fn in (add_batches, add_batches, read, read, collect, query_views):
        work.spawn(fn)
    work.run(SECONDS / 2)
    assert_matches(idx, added)
