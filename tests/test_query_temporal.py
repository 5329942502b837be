"""Dates, datetimes, times and timedeltas as values: each kind equal and
ordered by value on its own, reached by every way a value enters an index
(the random model in test_model.py compares the query results at large)."""

from datetime import date, datetime, time, timedelta, timezone, tzinfo

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item, run_threads

UTC, EAST = timezone.utc, timezone(timedelta(hours=2))

# Per kind: three increasing values, and a value equal to the middle one
# built differently (another zone, another spelling of the duration).
KINDS = {
    "date": (date(1999, 12, 31), date(2000, 1, 1), date(2000, 3, 1), date.fromordinal(date(2000, 1, 1).toordinal())),
    "datetime": (datetime(2000, 1, 1), datetime(2000, 1, 1, 0, 0, 0, 1), datetime(2001, 1, 1),
                 datetime.fromisoformat("2000-01-01T00:00:00.000001")),
    "aware datetime": (datetime(2000, 1, 1, tzinfo=UTC), datetime(2000, 1, 1, 3, tzinfo=EAST),
                       datetime(2000, 1, 1, 2, tzinfo=UTC), datetime(2000, 1, 1, 1, tzinfo=UTC)),
    "time": (time(0), time(12, 30), time(23, 59, 59, 999999), time(12, 30, 0, 0)),
    "aware time": (time(0, 30, tzinfo=EAST), time(12, 30, tzinfo=UTC), time(23, 0, tzinfo=UTC),
                   time(14, 30, tzinfo=EAST)),
    "timedelta": (timedelta.min, timedelta(seconds=-1), timedelta.max, timedelta(days=-1, seconds=86399)),
}


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


def indexed(objs, how):
    """An index holding objs, their values entered as `how` says."""
    idx = Index()
    if how == "add_object_many":
        idx.add_object_many(objs)
    elif how == "add_object":
        for o in objs:
            idx.add_object(o)
    else:  # assigned once indexed, over a value of another kind
        values = [o.v for o in objs]
        for o in objs:
            o.v = 0
        idx.add_object_many(objs)
        for o, v in zip(objs, values):
            o.v = v
    return idx


@pytest.mark.parametrize("how", ["add_object_many", "add_object", "assign"])
@pytest.mark.parametrize("name", sorted(KINDS))
class TestEachKind:
    def test_equality_and_ranges_by_value(self, name, how):
        low, mid, high, same_as_mid = KINDS[name]
        a, b, c = Item(v=low), Item(v=mid), Item(v=high)
        in_list = Item(v=["x", [high]])
        idx = indexed([a, b, c, in_list], how)
        assert select(idx, Q.eq("v", same_as_mid)) == [b]
        assert select(idx, Q.ne("v", same_as_mid)) == by_id(a, c, in_list)
        assert select(idx, Q.gt("v", low)) == by_id(b, c, in_list)
        assert select(idx, Q.ge("v", mid)) == by_id(b, c, in_list)
        assert select(idx, Q.lt("v", same_as_mid)) == [a]
        assert select(idx, Q.le("v", mid)) == by_id(a, b)
        assert select(idx, Q.bt("v", same_as_mid, high)) == by_id(b, c, in_list)
        assert select(idx, Q.bt("v", high, low)) == []
        assert select(idx, Q.in_("v", [same_as_mid, high])) == by_id(b, c, in_list)
        assert idx.get_by_attribute(v=same_as_mid) == [b]

    def test_no_other_kind_meets_it(self, name, how):
        low, mid, high, _ = KINDS[name]
        others = [Item(v=vals[1]) for other, vals in KINDS.items() if other != name]
        numbers = [Item(v=0), Item(v=1.5), Item(v=True), Item(v=str(mid)), Item(v=None)]
        mine = Item(v=mid)
        idx = indexed(others + numbers + [mine], how)
        assert select(idx, Q.eq("v", mid)) == [mine]
        assert select(idx, Q.bt("v", low, high)) == [mine]
        assert select(idx, Q.ge("v", low)) == [mine]
        # Bounds of two kinds, or of another kind, select nothing.
        assert select(idx, Q.bt("v", low, 10**6)) == []
        assert select(idx, Q.gt("v", -(10**6))) == by_id(numbers[0], numbers[1])


class TestAwareness:
    def test_naive_and_aware_never_meet(self):
        naive, aware = Item(v=datetime(2000, 1, 1)), Item(v=datetime(2000, 1, 1, tzinfo=UTC))
        idx = indexed([naive, aware], "add_object_many")
        assert select(idx, Q.eq("v", datetime(2000, 1, 1))) == [naive]
        assert select(idx, Q.gt("v", datetime(1999, 1, 1, tzinfo=UTC))) == [aware]
        assert select(idx, Q.bt("v", datetime(1999, 1, 1), datetime(2001, 1, 1, tzinfo=UTC))) == []

    def test_date_and_datetime_are_different_kinds(self):
        d, dt = Item(v=date(2000, 1, 1)), Item(v=datetime(2000, 1, 1))
        idx = indexed([d, dt], "add_object")
        assert select(idx, Q.eq("v", date(2000, 1, 1))) == [d]
        assert select(idx, Q.ge("v", datetime(2000, 1, 1))) == [dt]

    @pytest.mark.parametrize("answer", ["none", "raises", "not a timedelta"])
    def test_a_tzinfo_without_an_offset(self, answer):
        class Zone(tzinfo):
            def utcoffset(self, dt):
                if answer == "raises":
                    raise RuntimeError("no offset")
                return None if answer == "none" else 5

        value = datetime(2000, 1, 1, tzinfo=Zone())
        o = Item(v=value)
        idx = indexed([o], "add_object")
        if answer == "none":  # naive, as Python has it
            assert select(idx, Q.eq("v", datetime(2000, 1, 1))) == [o]
        else:  # kept as an opaque value: found only by itself
            assert select(idx, Q.eq("v", datetime(2000, 1, 1))) == []
            assert select(idx, Q.gt("v", datetime(1999, 1, 1))) == []
        assert select(idx, Q.eq("v", value)) == [o]
        assert o.v is value


class TestAcrossIndexes:
    def test_merge_rebase_and_reduce_carry_the_values(self):
        a, b = Item(v=date(2000, 1, 1), k=1), Item(v=[time(3)], k=2)
        first, second = Index(), Index()
        first.add_object(a)
        second.add_object(b)
        first.union_with(second)
        assert select(first, Q.eq("v", time(3))) == [b]
        rebased = first.reduced_query(Q.lt("v", date(2001, 1, 1))).rebase()
        assert select(rebased, Q.ge("v", date(2000, 1, 1))) == [a]
        first.reduce(k=2)
        assert select(first, Q.eq("v", date(2000, 1, 1))) == []
        assert select(first, Q.bt("v", time(0), time(4))) == [b]
        # What the reduction took out stays out when the object comes back
        # with another value.
        a.v = date(2005, 1, 1)
        first.add_object(a)
        assert select(first, Q.eq("v", date(2000, 1, 1))) == []
        assert select(first, Q.gt("v", date(2001, 1, 1))) == [a]

    def test_a_bound_that_is_no_ordered_value_still_fails(self):
        idx = indexed([Item(v=date(2000, 1, 1))], "add_object")
        with pytest.raises(NotImplementedError, match="not yet implemented"):
            select(idx, Q.bt("v", date(2000, 1, 1), "2001-01-01"))


def test_bulk_adds_while_others_query_ranges():
    # Two attributes per batch, the one with container items interned first
    # (names of their own), while readers unmask ranges over it: a batch must
    # not record the values of one attribute while it still holds the other's
    # locks.
    idx = Index()
    days = [date(2000, 1, 1) + timedelta(days=i) for i in range(30)]

    def adder(t):
        def run():
            for i in range(10):
                idx.add_object_many([Item(bulk_held=[days[(t + i + j) % 30], "x"], bulk_at=days[j]) for j in range(5)])

        return run

    def reader():
        for _ in range(50):
            for o in select(idx, Q.bt("bulk_at", days[1], days[3])):
                assert days[1] <= o.bulk_at <= days[3]
            select(idx, Q.gt("bulk_held", days[10]))

    run_threads([adder(0), adder(1), reader, reader])
    assert len(select(idx, Q.eq("bulk_at", days[2]))) == 20
    assert len(select(idx, Q.ge("bulk_held", days[0]))) == 100
