"""What the store means, in plain Python: the reference that the model-based
tests compare query results with.

Queries are tuples: (op, path, value) for eq, ne, gt, ge, lt, le, starts_with,
ends_with and contains; ("in", path, values); ("bt", path, lower, upper);
("and", [queries]); ("or", [queries]); ("not", query)."""

import math
import operator
from datetime import date, datetime, time, timedelta

from Tarnwick import Indexable, PyQueryExpr as Q

try:
    import numpy
except ImportError:
    numpy = None

INT64 = range(-(2**63), 2**63)
TEMPORAL = {date: "date", datetime: "datetime", time: "time", timedelta: "timedelta"}
ORDERED = {"num", "date", "datetime", "datetime-aware", "time", "time-aware", "timedelta"}


def plain(v):
    """A numpy bool, integer or floating scalar as the Python value it equals
    (a long double no float equals stays as it is)."""
    if numpy is None or not isinstance(v, numpy.generic):
        return v
    if isinstance(v, numpy.bool_):
        return bool(v)
    if isinstance(v, numpy.integer):
        return int(v)
    if isinstance(v, numpy.floating) and (math.isnan(v) or float(v) == v):
        return float(v)
    return v


def kind(v):
    v = plain(v)
    if type(v) in TEMPORAL:
        k = TEMPORAL[type(v)]
        # Awareness as Python decides it: the offset the value reports.
        return k + "-aware" if k in ("datetime", "time") and v.utcoffset() is not None else k
    if type(v) is bool:
        return "bool"
    if type(v) is int:
        return "num" if v in INT64 else "bigint"
    if type(v) is float:
        return "num"
    if type(v) is str:
        return "str"
    if isinstance(v, Indexable):
        return "obj"
    if type(v) in (list, tuple, set, dict):
        return "container"
    return "opaque"


def items(v):
    """What a condition on an attribute holding v looks at: container items at
    any depth stand for the holder; a dict holds nothing."""
    if type(v) in (list, tuple, set):
        for x in v:
            yield from items(x)
    elif type(v) is not dict:
        yield v


def equal(x, v):
    k = kind(x)
    if k != kind(v) or k == "container":
        return False
    if k in ("obj", "opaque"):
        return x is v
    return plain(x) == plain(v)  # NaN equals nothing; big ints by value; aware values as instants


def ordered(x, v, op):
    k = kind(x)
    if k != kind(v) or k not in ORDERED:
        return False
    x, v = plain(x), plain(v)
    return not (k == "num" and (math.isnan(x) or math.isnan(v))) and op(x, v)


def _text(op):
    return lambda x, v: kind(x) == kind(v) == "str" and op(x, v)


LEAF_TESTS = {
    "eq": equal,
    "gt": lambda x, v: ordered(x, v, operator.gt),
    "ge": lambda x, v: ordered(x, v, operator.ge),
    "lt": lambda x, v: ordered(x, v, operator.lt),
    "le": lambda x, v: ordered(x, v, operator.le),
    "starts_with": _text(str.startswith),
    "ends_with": _text(str.endswith),
    "contains": _text(lambda x, v: v in x),
}


def values_at(attrs, obj, path):
    """The values a condition on `path` sees for obj; attrs maps each object
    to its {name: value}. Dotted paths go through Indexable values."""
    head, dot, rest = path.partition(".")
    found = list(items(attrs[obj][head])) if head in attrs[obj] else []
    if not dot:
        return found
    return [x for o in found if isinstance(o, Indexable) for x in values_at(attrs, o, rest)]


def evaluate(q, universe, values):
    """The objects of `universe` that satisfy q; values(obj, path) lists what a
    condition on path sees for obj. Complements are taken within the universe."""
    op = q[0]
    if op == "and":
        out = set(universe)
        for sub in q[1]:
            out &= evaluate(sub, out, values)
        return out
    if op == "or":
        return set().union(*(evaluate(sub, universe, values) for sub in q[1])) & set(universe)
    if op == "not":
        return set(universe) - evaluate(q[1], universe, values)
    if op == "ne":
        return set(universe) - evaluate(("eq",) + q[1:], universe, values)
    if op == "in":
        return {o for o in universe if any(equal(x, v) for x in values(o, q[1]) for v in q[2])}
    if op == "bt":
        return {o for o in universe
                if any(ordered(x, q[2], operator.ge) and ordered(x, q[3], operator.le) for x in values(o, q[1]))}
    test = LEAF_TESTS[op]
    return {o for o in universe if any(test(x, q[2]) for x in values(o, q[1]))}


def to_query(q):
    op = q[0]
    if op in ("and", "or"):
        return getattr(Q, op + "_")(*map(to_query, q[1]))
    if op == "not":
        return Q.not_(to_query(q[1]))
    if op == "in":
        return Q.in_(q[1], q[2])
    return getattr(Q, op)(*q[1:])


# ---- collections: ordering and counting --------------------------------------------

MISSING = object()


def access(attrs, obj, path):
    """What Python attribute access along `path` gives for obj: MISSING when a
    step meets something without that attribute."""
    current = obj
    for name in path.split("."):
        if not isinstance(current, Indexable) or name not in attrs.get(current, {}):
            return MISSING
        current = attrs[current][name]
    return current


# The ordered groups of collect(order_by=...), in ascending order; every other
# value (and a missing attribute) comes after them.
ORDER_GROUPS = ("num", "bool", "str", "date", "datetime", "datetime-aware", "time", "time-aware", "timedelta")
OTHER_GROUP = len(ORDER_GROUPS)
DAY_US = 86_400_000_000


def _clock_us(t):
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1_000_000 + t.microsecond


def _delta_us(d):
    return (d.days * 86_400 + d.seconds) * 1_000_000 + d.microseconds


def order_group(v):
    """Numbers (NaN excluded, numpy's too), then bools, then strs, then each
    temporal kind (naive and aware apart), then everything else."""
    v = plain(v)
    if type(v) is bool:
        return 1
    if type(v) in (int, float):
        return OTHER_GROUP if type(v) is float and math.isnan(v) else 0
    if type(v) is str:
        return 2
    k = kind(v)
    return ORDER_GROUPS.index(k) if k in ORDER_GROUPS else OTHER_GROUP


def order_key(v):
    """The key within a group: aware values as instants (microseconds past
    the offset), where Python compares two sharing a tzinfo by wall time."""
    v = plain(v)
    k = kind(v)
    if k == "date":
        return v.toordinal()
    if k in ("datetime", "datetime-aware"):
        return v.toordinal() * DAY_US + _clock_us(v) - (_delta_us(v.utcoffset()) if k == "datetime-aware" else 0)
    if k in ("time", "time-aware"):
        return _clock_us(v) - (_delta_us(v.utcoffset()) if k == "time-aware" else 0)
    if k == "timedelta":
        return _delta_us(v)
    return v


def ordered_objects(attrs, objs, path, descending=False, offset=0, limit=None, object_id=id):
    """collect(order_by=path, ...): ties by ascending id; descending reverses the
    ordered groups (as one order), the rest stays last."""
    by_id = sorted(objs, key=object_id)
    keys = {o: access(attrs, o, path) for o in by_id}

    def rank(o):
        g = order_group(keys[o])
        return g if g == OTHER_GROUP or not descending else OTHER_GROUP - 1 - g

    out = []
    for r in range(OTHER_GROUP + 1):
        run = [o for o in by_id if rank(o) == r]
        if r < OTHER_GROUP:
            run.sort(key=lambda o: order_key(keys[o]), reverse=descending)
        out += run
    return out[offset:] if limit is None else out[offset:offset + limit]


def value_counts(objs, values, object_id=id):
    """value_counts(path) as a list of (value, count): values(obj) lists what
    the object holds at the path (container items once per object); values
    Python takes for one dict key pool their holders; NaN is not counted. Most
    held first, ties by the smallest id of a holder."""
    holders = {}
    for o in objs:
        for v in values(o):
            if type(plain(v)) is float and math.isnan(plain(v)):
                continue
            holders.setdefault(v, set()).add(o)
    return sorted(((v, len(h)) for v, h in holders.items()),
                  key=lambda vc: (-vc[1], min(object_id(o) for o in holders[vc[0]])))
