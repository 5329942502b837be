"""Model-based check of querying: random objects, assignments, additions and
in-place reductions, with every query result compared to a plain-Python
evaluation of the same semantics."""

import math
import operator

from hypothesis import HealthCheck, given, settings, strategies as st

from Tarnwick import Index, Indexable, PyQueryExpr as Q, _object_id


class Obj(Indexable):
    pass


# ---- the semantics, in plain Python ------------------------------------------

INT64 = range(-(2**63), 2**63)


def kind(v):
    if type(v) is bool:
        return "bool"
    if type(v) is int:
        return "num" if v in INT64 else "opaque"
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
    """A value as the index sees it: container items at every depth belong to
    the holder; a dict has none."""
    if type(v) in (list, tuple, set):
        for x in v:
            yield from items(x)
    elif type(v) is not dict:
        yield v


def equal(x, v):
    k = kind(x)
    if k != kind(v) or k == "container":
        return False
    if k == "obj":
        return x is v
    if k == "opaque":
        return x is v or (type(x) is int and type(v) is int and x == v)
    return x == v  # NaN equals nothing


def ordered(x, v, op):
    return kind(x) == kind(v) == "num" and not (math.isnan(x) or math.isnan(v)) and op(x, v)


class Model:
    def __init__(self):
        self.attrs = {}  # object -> {name: value}

    def values(self, obj, path):
        head, dot, rest = path.partition(".")
        if head not in self.attrs[obj]:
            return []
        found = list(items(self.attrs[obj][head]))
        if not dot:
            return found
        return [x for o in found if isinstance(o, Indexable) for x in self.values(o, rest)]

    def leaf(self, obj, q):
        op, path = q[0], q[1]
        tests = {
            "eq": lambda x: equal(x, q[2]),
            "in": lambda x: any(equal(x, v) for v in q[2]),
            "gt": lambda x: ordered(x, q[2], operator.gt),
            "ge": lambda x: ordered(x, q[2], operator.ge),
            "lt": lambda x: ordered(x, q[2], operator.lt),
            "le": lambda x: ordered(x, q[2], operator.le),
            "bt": lambda x: ordered(x, q[2], operator.ge) and ordered(x, q[3], operator.le),
            "starts_with": lambda x: kind(x) == kind(q[2]) == "str" and x.startswith(q[2]),
            "ends_with": lambda x: kind(x) == kind(q[2]) == "str" and x.endswith(q[2]),
            "contains": lambda x: kind(x) == kind(q[2]) == "str" and q[2] in x,
        }
        return any(tests[op](x) for x in self.values(obj, path))

    def evaluate(self, q, universe):
        op = q[0]
        if op == "and":
            out = set(universe)
            for sub in q[1]:
                out &= self.evaluate(sub, out)
            return out
        if op == "or":
            return set().union(*(self.evaluate(sub, universe) for sub in q[1]))
        if op == "not":
            return universe - self.evaluate(q[1], universe)
        if op == "ne":
            return universe - self.evaluate(("eq",) + q[1:], universe)
        return {o for o in universe if self.leaf(o, q)}


def to_query(q):
    op = q[0]
    if op in ("and", "or"):
        return getattr(Q, op + "_")(*map(to_query, q[1]))
    if op == "not":
        return Q.not_(to_query(q[1]))
    if op == "in":
        return Q.in_(q[1], q[2])
    return getattr(Q, op)(*q[1:])


# ---- random worlds ---------------------------------------------------------------

OPAQUE = object()
SCALARS = [0, 1, -2, 3, 2**53 + 1, 2**70, 0.0, -0.0, 1.0, 2.5, 2.0**53, math.inf, -math.inf, math.nan,
           True, False, "", "a", "ab", "ba", "abc", "héllo", None, OPAQUE, {"k": 1}, {1, "a"}]
TOPS, MIDS, LEAVES = 6, 3, 3
PATHS = ["a", "b", "n", "n.a", "n.m", "n.m.a", "missing", "n.missing"]


def scalar_or_list(inner):
    scalar = st.sampled_from(SCALARS) | inner
    return scalar | st.lists(scalar | st.lists(scalar, max_size=2), max_size=3) | st.tuples(scalar, scalar)


def world_strategy():
    leaf = st.integers(0, LEAVES - 1).map(lambda i: ("leaf", i))
    mid = st.integers(0, MIDS - 1).map(lambda i: ("mid", i))
    none = st.nothing()
    return {
        "top": {"a": scalar_or_list(none), "b": scalar_or_list(none), "n": scalar_or_list(mid)},
        "mid": {"a": scalar_or_list(none), "m": scalar_or_list(leaf)},
        "leaf": {"a": scalar_or_list(none)},
    }


def leaf_query(draw, values_at):
    op = draw(st.sampled_from(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "starts_with", "ends_with", "contains"]))
    path = draw(st.sampled_from(PATHS))
    value = values_at(path)
    if op == "in":
        return (op, path, draw(st.lists(value, max_size=3)))
    if op == "bt":
        number = st.sampled_from([x for x in SCALARS if kind(x) == "num"])
        return (op, path, draw(number), draw(number))
    return (op, path, draw(value))


@st.composite
def queries(draw, values_at, depth=2):
    if depth == 0 or draw(st.booleans()):
        return leaf_query(draw, values_at)
    op = draw(st.sampled_from(["and", "or", "not"]))
    if op == "not":
        return (op, draw(queries(values_at, depth - 1)))
    return (op, draw(st.lists(queries(values_at, depth - 1), max_size=3)))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_queries_match_the_model(data):
    draw = data.draw
    objects = {"top": [Obj() for _ in range(TOPS)], "mid": [Obj() for _ in range(MIDS)],
               "leaf": [Obj() for _ in range(LEAVES)]}
    model = Model()
    shapes = world_strategy()

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
            anything = st.sampled_from(SCALARS + [("mid", 0), ("leaf", 1)])
            return st.sampled_from(held) | anything if held else anything

        q = resolve(draw(queries(values_at)))
        universe = set(members)
        expected = sorted(model.evaluate(q, universe), key=_object_id)
        assert idx.reduced_query(to_query(q)).collect() == expected, q
        narrower = resolve(draw(queries(values_at, 1)))
        view = idx.reduced_query(to_query(narrower))
        within = model.evaluate(narrower, universe)
        assert view.reduced_query(to_query(q)).collect() == sorted(model.evaluate(q, within), key=_object_id)

    for _ in range(draw(st.integers(1, 15))):
        step = draw(st.sampled_from(["add", "add_many", "assign", "assign", "assign", "check", "check", "reduce"]))
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
            conditions = draw(st.dictionaries(st.sampled_from(["a", "b", "n.a"]), st.sampled_from(SCALARS), max_size=2))
            kept = model.evaluate(("and", [("eq", k, v) for k, v in conditions.items()]), members)
            idx.reduce(**conditions)
            members = kept
            assert idx.collect() == sorted(members, key=_object_id)
        else:
            check()
    for _ in range(3):
        check()
