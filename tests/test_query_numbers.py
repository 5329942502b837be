"""Numeric conditions: ints and floats share one exact order; NaN is unordered."""

import math
import operator

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item

VALUES = [-math.inf, -(2**63), -3, -1.5, -0.0, 0, 0.5, 1, 1.0, 3, 3.0,
          2**53, 2.0**53, 2**53 + 1, 2**63 - 1, 1e300, math.inf, math.nan]
PROBES = VALUES[:-1] + [2**53 - 1, 2.5, -2.0**63, 5e-324, -5e-324]
RANGES = [(Q.gt, operator.gt), (Q.ge, operator.ge), (Q.lt, operator.lt), (Q.le, operator.le)]


def by_id(objs):
    return sorted(objs, key=_object_id)


@pytest.fixture(scope="module")
def numbers():
    objs = [Item(v=v) for v in VALUES] + [Item(v="3"), Item(v=True), Item(v=None), Item(v=2**70), Item()]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


def expected(objs, test):
    def numeric(v):
        return type(v) in (int, float) and -(2**63) <= v < 2**63 or type(v) is float

    return by_id([o for o in objs if "v" in dir(o) and numeric(o.v) and test(o.v)])


def select(idx, query):
    return idx.reduced_query(query).collect()


class TestEquality:
    def test_numeric_value_across_int_and_float(self, numbers):
        idx, objs = numbers
        for probe in PROBES:
            assert select(idx, Q.eq("v", probe)) == expected(objs, lambda v: v == probe), probe

    def test_nan_equals_nothing(self, numbers):
        idx, objs = numbers
        assert select(idx, Q.eq("v", math.nan)) == []
        assert select(idx, Q.in_("v", [math.nan])) == []
        assert select(idx, Q.ne("v", math.nan)) == idx.collect()

    def test_big_ints_equal_by_value(self, numbers):
        idx, objs = numbers
        assert select(idx, Q.eq("v", 2**70)) == [objs[-2]]
        assert select(idx, Q.eq("v", -(2**70))) == []


class TestRanges:
    def test_exact_order_as_in_python(self, numbers):
        idx, objs = numbers
        for factory, op in RANGES:
            for probe in PROBES:
                got = select(idx, factory("v", probe))
                assert got == expected(objs, lambda v: op(v, probe)), (factory.__name__, probe)

    def test_nan_never_in_range(self, numbers):
        idx, objs = numbers
        nan_holder = objs[VALUES.index(math.nan)]
        assert nan_holder not in select(idx, Q.ge("v", -math.inf))
        assert nan_holder not in select(idx, Q.le("v", math.inf))
        for factory, _ in RANGES:
            assert select(idx, factory("v", math.nan)) == []
        assert select(idx, Q.bt("v", math.nan, 1)) == []

    def test_other_kinds_never_compare(self, numbers):
        idx, _ = numbers
        for value in ("3", True, None, 2**70, [1]):
            for factory, _ in RANGES:
                assert select(idx, factory("v", value)) == []

    def test_between_inclusive(self, numbers):
        idx, objs = numbers
        for low, high in [(-1.5, 3), (2, 2), (0, -0.0), (-math.inf, math.inf), (2.0**53, 2**53 + 1), (5, 1)]:
            got = select(idx, Q.bt("v", low, high))
            assert got == expected(objs, lambda v: low <= v <= high), (low, high)

    def test_ranges_stay_within_a_view(self, numbers):
        idx, objs = numbers
        view = idx.reduced_query(Q.lt("v", 1))
        assert view.reduced_query(Q.gt("v", -2)).collect() == expected(objs, lambda v: -2 < v < 1)


class TestBetweenBounds:
    @pytest.mark.parametrize("low, high", [("a", 1), (1, "b"), (True, 5), (None, 1), (2**70, 1), ("a", None)])
    def test_non_numeric_bound_raises(self, numbers, low, high):
        idx, _ = numbers
        with pytest.raises(NotImplementedError, match="^not yet implemented$"):
            idx.reduced_query(Q.bt("v", low, high))
        with pytest.raises(NotImplementedError):
            idx.reduced().reduced_query(Q.or_(Q.eq("v", 1), Q.bt("v", low, high)))

    @pytest.mark.parametrize("shape", [
        lambda bad: bad,
        lambda bad: Q.not_(bad),
        lambda bad: Q.or_(Q.eq("v", 1), bad),
        lambda bad: Q.and_(Q.eq("v", 1), Q.not_(Q.or_(bad))),
    ])
    def test_raised_even_when_nothing_is_left(self, numbers, shape):
        idx, _ = numbers
        # The conjunction is empty after its first member, before the bad
        # bound is reached, however deep that bound sits.
        with pytest.raises(NotImplementedError):
            idx.reduced_query(Q.and_(Q.eq("v", "no such value"), shape(Q.bt("v", "a", "b"))))
        # Likewise within a view that holds nothing to begin with.
        empty = idx.reduced(v="no such value")
        with pytest.raises(NotImplementedError):
            empty.reduced_query(Q.and_(shape(Q.bt("v", "a", "b")), Q.eq("v", 1)))
        # On an attribute no object has there is nothing to reject.
        assert select(idx, Q.and_(Q.eq("v", "no such value"), shape(Q.bt("no_such_attr", "a", "b")))) == []

    def test_nested_path_raises_when_nothing_is_left(self):
        idx = Index()
        idx.add_object_many([Item(v=1, inner=Item(w=2)), Item(v=2)])
        with pytest.raises(NotImplementedError):
            idx.reduced_query(Q.and_(Q.eq("v", 5), Q.bt("inner.w", 0, "z")))
        assert select(idx, Q.and_(Q.eq("v", 5), Q.bt("inner.missing", 0, "z"))) == []
        assert select(idx, Q.and_(Q.eq("v", 1), Q.bt("inner.w", 0, 3), Q.ne("v", 2))) == idx.reduced(v=1).collect()

    def test_unknown_attribute_gives_empty_result(self, numbers):
        idx, _ = numbers
        assert select(idx, Q.bt("never_assigned_anywhere", "a", "b")) == []
