"""Index and FilteredIndex as Python collections: len, in, iteration,
removal, paged and ordered collect, value_counts, the reprs, pickling and
copying, and the query operators."""

import copy
import math
from datetime import date, datetime, time, timedelta, timezone, tzinfo
import pickle
import random
import threading

import pytest

from index_support import Item
from reference_semantics import ordered_objects, value_counts
from Tarnwick import FilteredIndex, Index, Indexable, PyQueryExpr as Q, _object_id


def by_id(objs):
    return sorted(objs, key=_object_id)


def attrs_of(objs, names):
    return {o: {n: getattr(o, n) for n in names if n in dir(o)} for o in objs}


@pytest.fixture
def shop():
    rng = random.Random(7)
    objs = [Item(price=rng.choice([rng.randint(-50, 50), rng.uniform(-50, 50), 3, 3.0]),
                 cat=f"c{i % 5}", tags=["x", f"t{i % 3}"], ok=bool(i % 2)) for i in range(300)]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


class TestCounts:
    def test_len_and_in_follow_membership(self, shop):
        idx, objs = shop
        view = idx.reduced(cat="c1")
        held = [o for o in objs if o.cat == "c1"]
        assert (len(idx), len(view)) == (300, len(held))
        assert all(o in view for o in held) and objs[0] not in view
        for stranger in (Item(cat="c1"), 3, None, "c1", Indexable):
            assert stranger not in idx and stranger not in view
        idx.remove(held[0])
        idx.reduce(ok=True)
        still = [o for o in held[1:] if o.ok]
        assert len(view) == len(still) == len(view.collect())
        assert held[0] not in idx and held[0] not in view
        assert bool(Index()) is False

    def test_iteration_is_a_snapshot(self, shop):
        idx, objs = shop
        seen = []
        for o in idx:
            if not seen:
                idx.clear()
            seen.append(o)
        assert seen == by_id(objs) and len(idx) == 0 and list(idx) == []

    def test_reprs(self, shop):
        idx, _ = shop

        class Person(Indexable):
            pass

        assert repr(idx) == "<Tarnwick.Index with 300 objects>"
        assert repr(idx.reduced(cat="c0")) == "<Tarnwick.FilteredIndex with 60 objects>"
        assert repr(Person(a=1, b=2)) == "<Person with 2 attributes>"
        assert repr(Indexable(a=1)) == "<Indexable with 1 attributes>"


class TestRemoval:
    def test_removed_object_leaves_every_structure(self):
        kid = Item(name="kid")
        a, b = Item(n=1, s="x", tags=[1, "q", [2]], child=kid), Item(n=2, s="y", tags=[3], child=kid)
        idx = Index()
        idx.add_object_many([a, b])
        view = idx.reduced()
        elements = idx._debug_map_stats("tags")["elements"]
        idx.remove(a)
        assert elements == 5 and idx._debug_map_stats("tags")["elements"] == 1  # the inner list has one too
        for q in (Q.eq("n", 1), Q.eq("s", "x"), Q.eq("tags", "q"), Q.eq("tags", 2), Q.gt("n", 0)):
            assert a not in idx.reduced_query(q).collect()
        assert idx.reduced_query(Q.eq("child.name", "kid")).collect() == [b]
        assert idx._debug_nested_members("child") == [_object_id(kid)]
        idx.remove(b)
        assert idx._debug_nested_members("child") == [] and idx._debug_map_stats("tags")["elements"] == 0
        # later assignments do not reach the index; views skip the objects
        a.n = 5
        assert idx._debug_eq("n", 5) == [] and view.collect() == [] and len(view) == 0
        idx.add_object(a)
        assert idx.reduced_query(Q.eq("n", 5)).collect() == [a]

    @pytest.mark.parametrize("how", ["remove", "discard", "clear"])
    def test_removal_releases_the_index_reference(self, how):
        import gc
        import weakref

        obj = Item(v=1)
        ref = weakref.ref(obj)
        idx = Index()
        idx.add_object(obj)
        if how == "clear":
            idx.clear()
        else:
            getattr(idx, how)(obj)
        del obj
        gc.collect()
        assert ref() is None and len(idx) == 0

    def test_remove_missing_raises_key_error_like_a_set(self):
        idx, obj = Index(), Item()
        with pytest.raises(KeyError) as info:
            idx.remove(obj)
        assert info.value.args == (obj,)
        idx.add_object(obj)
        idx.remove(obj)
        with pytest.raises(KeyError):
            idx.remove(obj)


EAST = timezone(timedelta(hours=2))


class ShiftAfterNoon(tzinfo):
    """A zone five hours ahead of UTC from noon on, as a daylight-saving zone
    shifts within one tzinfo."""

    def utcoffset(self, dt):
        return timedelta(hours=5 if dt.hour >= 12 else 0)

    def dst(self, dt):
        return None


def numeric_world(n, seed):
    rng = random.Random(seed)
    values = [rng.randint(-5, 5), 2**53 + 1, 2.0**53, -0.0, 0, math.inf, -math.inf, 1e-310, -1e-310]
    objs = [Item(p=rng.choice(values + [rng.uniform(-10, 10)] * 4), g=i % 4) for i in range(n)]
    for o in rng.sample(objs, n // 10):
        o.p = rng.choice([math.nan, "s", "", True, False, None, [1, 2]])
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


class TestOrdering:
    @pytest.mark.parametrize("descending", [False, True])
    @pytest.mark.parametrize("offset,limit", [(0, None), (0, 10), (7, 5), (250, 100), (1000, 3), (3, 0)])
    def test_matches_the_reference(self, descending, offset, limit):
        idx, objs = numeric_world(400, 1)
        attrs = attrs_of(objs, ["p", "g"])
        for target, held in ((idx, objs), (idx.reduced(g=1), [o for o in objs if o.g == 1])):
            got = target.collect(order_by="p", descending=descending, offset=offset, limit=limit)
            assert got == ordered_objects(attrs, held, "p", descending, offset, limit, object_id=_object_id)

    @pytest.mark.parametrize("descending", [False, True])
    def test_large_views_page_like_the_reference(self, descending):
        # Views of thousands of objects walk the structure's own slices
        # before they look at the view's ids.
        rng = random.Random(5)
        values = [rng.choice([rng.uniform(-1, 1), rng.randint(-3, 3), math.inf, -math.inf, math.nan, 1e-310])
                  for _ in range(12000)]
        objs = [Item(p=v, g=i % 5) for i, v in enumerate(values)]
        idx = Index()
        idx.add_object_many(objs)
        attrs = attrs_of(objs, ["p"])
        for target, held in ((idx, objs), (idx.reduced_query(Q.lt("g", 2)), [o for o in objs if o.g < 2])):
            expected = ordered_objects(attrs, held, "p", descending, object_id=_object_id)
            for offset, limit in ((0, 10), (0, 1), (3000, 7), (len(held) - 300, 400), (17, None)):
                got = target.collect(order_by="p", descending=descending, offset=offset, limit=limit)
                assert got == expected[offset:None if limit is None else offset + limit], (offset, limit)

    def test_numbers_the_index_does_not_hold_are_ordered_too(self):
        class WithDefault(Item):
            p = 2.5

        objs = [Item(p=3), Item(p=2**70), WithDefault(), Item(p=-(2**80)), Item(q=1)]
        idx = Index()
        idx.add_object_many(objs)
        assert idx.collect(order_by="p") == [objs[3], objs[2], objs[0], objs[1], objs[4]]
        assert idx.collect(order_by="p", descending=True, limit=2) == [objs[1], objs[0]]

    def test_dotted_paths_and_missing_steps(self):
        objs = [Item(n=Item(v=2)), Item(n=Item(v=1)), Item(n=[Item(v=0)]), Item(n=Item()), Item()]
        idx = Index()
        idx.add_object_many(objs)
        assert idx.collect(order_by="n.v") == [objs[1], objs[0]] + by_id(objs[2:])

    @pytest.mark.parametrize("path", ["v", "n.v"])
    @pytest.mark.parametrize("descending", [False, True])
    def test_temporal_kinds_order_by_value_in_groups_of_their_own(self, path, descending):
        # Wall time 13:00 is 08:00 UTC, before 10:00 (no offset): Python orders
        # the two by wall time since they share the tzinfo; the index by instant.
        shifting = ShiftAfterNoon()
        values = [timedelta(hours=-1), time(12, tzinfo=EAST), datetime(2020, 1, 1, 13, tzinfo=shifting), "s",
                  date(2020, 1, 2), time(1), datetime(2020, 1, 1, 10, tzinfo=shifting), 2, datetime(2021, 1, 1),
                  date(1999, 12, 31), timedelta(0), datetime(2020, 1, 1, 11, tzinfo=timezone.utc), time(0, 30),
                  datetime(1, 1, 1), time(9, tzinfo=timezone.utc), True, None, datetime(2020, 1, 1, 12, tzinfo=EAST)]
        objs = [Item(v=v, n=Item(v=v)) for v in values]
        idx = Index()
        idx.add_object_many(objs)
        attrs = {o: {"v": o.v, "n": o.n} for o in objs} | {o.n: {"v": o.n.v} for o in objs}
        expected = ordered_objects(attrs, objs, path, descending, object_id=_object_id)
        assert idx.collect(order_by=path, descending=descending) == expected
        keys = [o.v for o in expected]
        ascending = [2, True, "s", date(1999, 12, 31), date(2020, 1, 2), datetime(1, 1, 1), datetime(2021, 1, 1),
                     values[2], values[6], values[17], values[11], time(0, 30), time(1), values[14], values[1],
                     timedelta(hours=-1), timedelta(0)]
        assert keys == (ascending[::-1] if descending else ascending) + [None]
        assert idx.collect(order_by=path, descending=descending, offset=3, limit=4) == expected[3:7]

    def test_numpy_numbers_order_as_numbers(self):
        np = pytest.importorskip("numpy")
        values = [np.int32(5), 3, np.float32(2.5), np.uint64(2**64 - 1), np.float32("nan"), np.bool_(False), 2**63,
                  np.longdouble(1) / 3]
        objs = [Item(n=Item(v=v)) for v in values]
        idx = Index()
        idx.add_object_many(objs)
        assert idx.collect(order_by="n.v") == [objs[i] for i in (2, 1, 0, 6, 3, 5)] + by_id([objs[4], objs[7]])
        assert idx.collect(order_by="n.v", descending=True, limit=3) == [objs[5], objs[3], objs[6]]

    def test_values_changed_after_the_view_was_made(self, shop):
        idx, objs = shop
        view = idx.reduced(cat="c2")
        held = [o for o in objs if o.cat == "c2"]
        held[0].price = -1000
        held[1].price = "now a str"
        assert view.collect(order_by="price", limit=1) == [held[0]]
        assert view.collect(order_by="price", descending=True, limit=1) == [held[1]]


class TestValueCounts:
    def test_counts_per_object_from_the_index(self, shop):
        idx, objs = shop
        view = idx.reduced(ok=True)
        held = [o for o in objs if o.ok]
        assert view.value_counts("cat") == {f"c{i}": sum(o.cat == f"c{i}" for o in held) for i in (1, 3, 0, 2, 4)}
        first_holder = {c: min(_object_id(o) for o in held if o.cat == c) for c in view.value_counts("cat")}
        assert list(view.value_counts("cat")) == sorted(first_holder, key=lambda c: (-view.value_counts("cat")[c],
                                                                                      first_holder[c]))
        tags = idx.value_counts("tags")
        assert tags == {"x": 300, "t0": 100, "t1": 100, "t2": 100} and list(tags)[0] == "x"
        assert idx.value_counts("ok") == {True: 150, False: 150}

    def test_equal_numbers_and_duplicates_count_once(self):
        objs = [Item(v=3), Item(v=3.0), Item(v=[3, 3, 3.0]), Item(v=True), Item(v=math.nan), Item(v=2**70),
                Item(v=float(2**70)), Item(v={"k": 1}), Item(v=None), Item(v=None)]
        idx = Index()
        idx.add_object_many(objs)
        counts = idx.value_counts("v")
        assert counts == {3: 3, 1: 1, 2**70: 2, None: 2}
        assert list(counts.values()) == [3, 2, 2, 1]

    @pytest.mark.parametrize("longest", [3, 7])
    def test_strings_of_many_prefixes_and_lengths(self, longest):
        # Hundreds of prefixes open at one byte position, strings that are
        # prefixes of others, container items and several byte widths; with
        # words of up to 3 letters the distinct strings are few enough to
        # keep a set of ids each.
        rng = random.Random(11)

        def word():
            return "".join(rng.choice("abé") for _ in range(rng.randint(0, longest)))

        objs = [Item(w=word(), ws=[word(), word()], g=i % 3) for i in range(3000)]
        idx = Index()
        idx.add_object_many(objs)
        for target, held in ((idx, objs), (idx.reduced(g=1), [o for o in objs if o.g == 1])):
            for path, values in (("w", lambda o: [o.w]), ("ws", lambda o: o.ws)):
                wanted = value_counts(held, values, object_id=_object_id)
                counted = target.value_counts(path)
                assert counted == dict(wanted) and list(counted.values()) == [c for _, c in wanted]

    def test_equal_temporal_values_count_as_one_key(self):
        values = [datetime(2020, 1, 1, tzinfo=timezone.utc), datetime(2020, 1, 1, 2, tzinfo=EAST),
                  datetime(2020, 1, 1), date(2020, 1, 1), [date(2020, 1, 1), date(2020, 1, 1)], time(12, tzinfo=EAST),
                  time(10, tzinfo=timezone.utc), time(10), timedelta(days=1), timedelta(hours=24), timedelta(0)]
        idx = Index()
        idx.add_object_many([Item(v=v) for v in values])
        counts = idx.value_counts("v")
        assert counts == {values[0]: 2, datetime(2020, 1, 1): 1, date(2020, 1, 1): 2, time(10, tzinfo=timezone.utc): 2,
                          time(10): 1, timedelta(days=1): 2, timedelta(0): 1}
        assert list(counts.values()) == [2, 2, 2, 2, 1, 1, 1]

    def test_dotted_paths_and_unknown_attributes(self):
        shared = Item(city="oslo")
        objs = [Item(a=shared), Item(a=shared), Item(a=[Item(city="rome"), shared]), Item(a=Item())]
        idx = Index()
        idx.add_object_many(objs)
        assert idx.value_counts("a.city") == {"oslo": 3, "rome": 1}
        assert idx.value_counts("a") == {shared: 3, objs[2].a[0]: 1, objs[3].a: 1}
        assert idx.value_counts("missing") == {} and idx.value_counts("a.city.x") == {}


class TestPickling:
    class Person(Item):
        def __init__(self, name, friends):
            self.name = name
            self.friends = friends

    @pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o, protocol=p)) for p in range(6)]
                             + [copy.copy, copy.deepcopy])
    def test_indexable_copies_are_new_unindexed_objects(self, clone):
        friends = [Item(k=1)]
        obj = self.Person("ann", friends)
        obj._secret = 3
        idx = Index()
        idx.add_object(obj)
        twin = clone(obj)
        assert type(twin) is self.Person and twin is not obj and _object_id(twin) != _object_id(obj)
        assert (twin.name, twin._secret, twin.friends[0].k) == ("ann", 3, 1)
        assert (twin.friends is friends) == (clone is copy.copy)
        assert twin not in idx
        twin.name = "bob"
        assert idx.reduced(name="bob").collect() == [] and obj.name == "ann"

    @pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), copy.copy, copy.deepcopy])
    def test_index_copies_hold_the_copied_members(self, clone):
        shared = Item(city="oslo")
        objs = [Item(n=i, home=shared) for i in range(3)]
        idx = Index()
        idx.add_object_many(objs)
        twin = clone(idx)
        members = sorted(twin.collect(), key=lambda o: o.n)
        assert type(twin) is Index and len(twin) == 3 and [o.n for o in members] == [0, 1, 2]
        assert (members == objs) == (clone is copy.copy)
        assert members[0].home is members[2].home
        assert twin.reduced_query(Q.eq("home.city", "oslo")).collect() == by_id(members)
        members[0].n = 10
        assert twin.reduced(n=10).collect() == [members[0]]

    @pytest.mark.parametrize("make", [lambda idx: idx.reduced(), lambda idx: Q.eq("a", 1)])
    def test_views_and_queries_refuse(self, make):
        thing = make(Index())
        for clone in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError):
                clone(thing)


class TestOperators:
    def test_operators_build_the_combinations(self):
        a, b = Q.eq("a", 1), Q.gt("b", 2)
        assert repr(a & b) == repr(Q.and_(a, b))
        assert repr(a | b) == repr(Q.or_(a, b))
        assert repr(~a) == repr(Q.not_(a))
        objs = [Item(a=1, b=3), Item(a=1, b=0), Item(a=0, b=5)]
        idx = Index()
        idx.add_object_many(objs)
        assert idx.reduced_query((a & ~b) | Q.eq("b", 5)).collect() == by_id(objs[1:])

    @pytest.mark.parametrize("other", [1, None, "a", Index()])
    def test_other_operands_are_refused(self, other):
        for op in (lambda: Q.eq("a", 1) & other, lambda: other | Q.eq("a", 1)):
            with pytest.raises(TypeError):
                op()


def test_collection_calls_race_removals_and_assignments():
    """Counts, ordered pages, value counts and membership tests run while other
    threads remove, re-add and assign; every thread finishes and the index
    ends consistent."""
    objs = [Item(p=float(i % 97), cat=f"c{i % 7}", tags=[i % 3]) for i in range(2000)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.lt("p", 50))
    errors = []

    def guard(fn):
        def run():
            try:
                fn()
            except Exception as e:  # reported below
                errors.append(e)
        return run

    def churn(start):
        for o in objs[start::4][:200]:
            idx.remove(o)
            o.p = -o.p
            idx.add_object(o)

    def read():
        for _ in range(30):
            page = view.collect(order_by="p", limit=10)
            assert len(page) <= 10
            assert sum(view.value_counts("cat").values()) <= len(view) + 500
            assert all(isinstance(o, Item) for o in idx.collect(order_by="p", descending=True, limit=5))
            _ = objs[3] in idx, objs[5] in view, len(idx)

    threads = [threading.Thread(target=guard(lambda s=s: churn(s))) for s in range(2)]
    threads += [threading.Thread(target=guard(read)) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == []
    assert len(idx) == 2000 and idx.collect(order_by="p", limit=1)[0].p == min(o.p for o in objs)
    assert idx.value_counts("tags") == {0: 667, 1: 667, 2: 666}
