"""Model-based check of querying: random objects, assignments, additions and
in-place reductions, with every query result compared to a plain-Python
evaluation of the same semantics."""

import math
import os
from datetime import date, datetime, time, timedelta, timezone

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from reference_semantics import ORDERED, evaluate, kind, numpy as np, ordered_objects, to_query, value_counts, values_at
from Tarnwick import Index, Indexable, _object_id


class Obj(Indexable):
    pass


class Model:
    def __init__(self):
        self.attrs = {}  # object -> {name: value}

    def values(self, obj, path):
        return values_at(self.attrs, obj, path)

    def evaluate(self, q, universe):
        return evaluate(q, universe, self.values)


# ---- random worlds ---------------------------------------------------------------

OPAQUE = object()
SCALARS = [0, 1, -2, 3, 2**53 + 1, 2**70, 0.0, -0.0, 1.0, 2.5, 2.0**53, math.inf, -math.inf, math.nan,
           True, False, "", "a", "ab", "ba", "abc", "héllo", None, OPAQUE, {"k": 1}, {1, "a"}]
UTC, EAST = timezone.utc, timezone(timedelta(hours=2))
# Dates, times and durations of every kind, with equal instants in two zones,
# the extremes, and plain numbers to meet; numpy numbers join when numpy is
# there.
TEMPORAL_SCALARS = [
    3, 2.5, True, -1, None, OPAQUE, "2020-01-01",
    date(2020, 1, 1), date(2020, 1, 2), date.min, date.max,
    datetime(2020, 1, 1), datetime(2020, 1, 1, 12), datetime.max,
    datetime(2020, 1, 1, tzinfo=UTC), datetime(2020, 1, 1, 2, tzinfo=EAST), datetime(2020, 1, 1, 1, tzinfo=EAST),
    datetime.min.replace(tzinfo=UTC),
    time(0), time(12, 30), time(12, 30, tzinfo=UTC), time(14, 30, tzinfo=EAST), time(0, 30, tzinfo=EAST),
    timedelta(0), timedelta(days=-1, seconds=5), timedelta(hours=36), timedelta.max, timedelta.min,
]
NUMPY_SCALARS = [] if np is None else [
    np.int8(-1), np.uint8(3), np.int32(3), np.int64(-1), np.uint64(2**64 - 1), 2**64 - 1, np.uint64(2**63),
    np.float16(2.5), np.float32(-0.0), np.float64(3.0), np.float32("nan"), np.bool_(True), np.bool_(False),
    np.longdouble(1) / 3,
]
POOLS = {"builtin": SCALARS, "temporal and numpy": TEMPORAL_SCALARS + NUMPY_SCALARS}
TOPS, MIDS, LEAVES = 6, 3, 3
PATHS = ["a", "b", "n", "n.a", "n.m", "n.m.a", "missing", "n.missing"]


def scalar_or_list(inner, scalars):
    scalar = st.sampled_from(scalars) | inner
    return scalar | st.lists(scalar | st.lists(scalar, max_size=2), max_size=3) | st.tuples(scalar, scalar)


def world_strategy(scalars):
    leaf = st.integers(0, LEAVES - 1).map(lambda i: ("leaf", i))
    mid = st.integers(0, MIDS - 1).map(lambda i: ("mid", i))
    none = st.nothing()
    return {
        "top": {"a": scalar_or_list(none, scalars), "b": scalar_or_list(none, scalars), "n": scalar_or_list(mid, scalars)},
        "mid": {"a": scalar_or_list(none, scalars), "m": scalar_or_list(leaf, scalars)},
        "leaf": {"a": scalar_or_list(none, scalars)},
    }


def leaf_query(draw, values_at, scalars):
    op = draw(st.sampled_from(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "starts_with", "ends_with", "contains"]))
    path = draw(st.sampled_from(PATHS))
    value = values_at(path)
    if op == "in":
        return (op, path, draw(st.lists(value, max_size=3)))
    if op == "bt":
        bound = st.sampled_from([x for x in scalars if kind(x) in ORDERED])
        return (op, path, draw(bound), draw(bound))
    return (op, path, draw(value))


@st.composite
def queries(draw, values_at, scalars, depth=2):
    if depth == 0 or draw(st.booleans()):
        return leaf_query(draw, values_at, scalars)
    op = draw(st.sampled_from(["and", "or", "not"]))
    if op == "not":
        return (op, draw(queries(values_at, scalars, depth - 1)))
    return (op, draw(st.lists(queries(values_at, scalars, depth - 1), max_size=3)))


# Five times the profile's examples; the sanitizer run, many times slower,
# keeps to the profile's count.
EXAMPLES = settings.default.max_examples * (1 if os.environ.get("TARNWICK_SANITIZED") else 5)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@pytest.mark.parametrize("pool", sorted(POOLS))
@given(data=st.data())
def test_queries_match_the_model(pool, data):
    scalars = POOLS[pool]
    draw = data.draw
    objects = {"top": [Obj() for _ in range(TOPS)], "mid": [Obj() for _ in range(MIDS)],
               "leaf": [Obj() for _ in range(LEAVES)]}
    model = Model()
    shapes = world_strategy(scalars)

    def resolve(v):
        if type(v) is tuple and len(v) == 2 and type(v[0]) is str and v[0] in objects and type(v[1]) is int:
            return objects[v[0]][v[1]]
        if type(v) in (list, tuple):
            return type(v)(resolve(x) for x in v)
        return v

    def assign(level, i, name):
        obj = objects[level][i]
        value = resolve(draw(shapes[level][name]))
        setattr(obj, name, value)
        model.attrs[obj][name] = value

    for level, objs in objects.items():
        for i, obj in enumerate(objs):
            model.attrs[obj] = {}
            for name in shapes[level]:
                if draw(st.booleans()):
                    assign(level, i, name)

    idx = Index()
    members = set(draw(st.lists(st.sampled_from(objects["top"]), min_size=2)))
    idx.add_object_many(list(members))

    def check():
        # A value the members hold at the path (so that tests often match),
        # any value, or a nested object, named by (level, number) until
        # resolved.
        def values_at(path):
            held = [x for o in members for x in model.values(o, path)]
            anything = st.sampled_from(scalars + [("mid", 0), ("leaf", 1)])
            return st.sampled_from(held) | anything if held else anything

        q = resolve(draw(queries(values_at, scalars)))
        universe = set(members)
        expected = sorted(model.evaluate(q, universe), key=_object_id)
        assert idx.reduced_query(to_query(q)).collect() == expected, q
        narrower = resolve(draw(queries(values_at, scalars, 1)))
        view = idx.reduced_query(to_query(narrower))
        within = model.evaluate(narrower, universe)
        assert view.reduced_query(to_query(q)).collect() == sorted(model.evaluate(q, within), key=_object_id)
        check_collection(idx, members)
        check_collection(view, within)

    def check_collection(target, held):
        assert len(target) == len(held)
        probe = draw(st.sampled_from(objects["top"] + objects["mid"]))
        assert (probe in target) == (probe in held)
        assert list(target) == sorted(held, key=_object_id)
        path = draw(st.sampled_from(PATHS))
        descending, offset = draw(st.booleans()), draw(st.integers(0, 3))
        limit = draw(st.none() | st.integers(0, 4))
        expected = ordered_objects(model.attrs, held, path, descending, offset, limit, object_id=_object_id)
        got = target.collect(order_by=path, descending=descending, offset=offset, limit=limit)
        assert got == expected, (path, descending, offset, limit)
        paged = target.collect(offset=offset, limit=limit)
        by_id = sorted(held, key=_object_id)
        assert paged == (by_id[offset:] if limit is None else by_id[offset:offset + limit])
        counted = target.value_counts(path)
        wanted = value_counts(held, lambda o: model.values(o, path), object_id=_object_id)
        assert list(counted.values()) == [c for _, c in wanted], path
        assert counted == dict(wanted), path

    for _ in range(draw(st.integers(1, 15))):
        step = draw(st.sampled_from(["add", "add_many", "assign", "assign", "assign", "check", "check", "reduce",
                                     "remove"]))
        if step == "add":
            obj = objects["top"][draw(st.integers(0, TOPS - 1))]
            idx.add_object(obj)
            members.add(obj)
        elif step == "add_many":
            chosen = draw(st.lists(st.integers(0, TOPS - 1), max_size=4))
            idx.add_object_many([objects["top"][i] for i in chosen])
            members.update(objects["top"][i] for i in chosen)
        elif step == "assign":
            level = draw(st.sampled_from(sorted(objects)))
            assign(level, draw(st.integers(0, len(objects[level]) - 1)), draw(st.sampled_from(sorted(shapes[level]))))
        elif step == "reduce":
            conditions = draw(st.dictionaries(st.sampled_from(["a", "b", "n.a"]), st.sampled_from(scalars), max_size=2))
            kept = model.evaluate(("and", [("eq", k, v) for k, v in conditions.items()]), members)
            idx.reduce(**conditions)
            members = kept
            assert idx.collect() == sorted(members, key=_object_id)
        elif step == "remove":
            obj = objects["top"][draw(st.integers(0, TOPS - 1))]
            if obj in members:
                idx.remove(obj)
                members = members - {obj}
            else:
                idx.discard(obj)
            assert len(idx) == len(members) and obj not in idx
        else:
            check()
    for _ in range(3):
        check()
