"""Conjunctions whose later members run within a running set of a few, a few
hundred or a few thousand candidates: every size must select what a plain
scan of the objects selects."""

import math
import random

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item

N = 30_000


def _population():
    rng = random.Random(15)
    objs = []
    for i in range(N):
        attrs = {"group": i % 10, "rare": i % 1500, "one": 7 if i == 4321 else -1}
        r = rng.random()
        if r < 0.02:
            attrs["score"] = math.nan
        elif r < 0.04:
            attrs["score"] = "not a number"
        elif r > 0.97:
            pass  # no score at all
        else:
            attrs["score"] = rng.choice((rng.random(), rng.randrange(-50, 50), rng.random() * 1e6))
        if rng.random() < 0.95:
            length = rng.randrange(1, 14)
            attrs["name"] = "".join(rng.choice("KLMab") for _ in range(length))
        if rng.random() < 0.5:
            # A second string attribute whose map also holds container items.
            attrs["label"] = rng.choice(("Kab", "aK", "bb", ["Kx", "zz"], ("ab",)))
        objs.append(Item(**attrs))
    return objs


@pytest.fixture(scope="module")
def population():
    objs = _population()
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


def _number(o):
    v = getattr(o, "score", None)
    return v if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def _text(o, attr):
    v = getattr(o, attr, None)
    return v if isinstance(v, str) else None


def _items_or_text(o, attr):
    v = getattr(o, attr, None)
    if isinstance(v, str):
        return [v]
    return [x for x in v if isinstance(x, str)] if isinstance(v, (list, tuple)) else []


# (the first member, which leaves the running set, and its Python test)
RUNNING = {
    "thousands": (Q.eq("group", 3), lambda o: o.group == 3),
    "a score": (Q.eq("rare", 17), lambda o: o.rare == 17),
    "one": (Q.eq("one", 7), lambda o: o.one == 7),
}

# (a member tested within the running set, and its Python test)
NARROWING = {
    "lt": (Q.lt("score", 0.5), lambda o: _number(o) is not None and _number(o) < 0.5),
    "ge": (Q.ge("score", 10), lambda o: _number(o) is not None and _number(o) >= 10),
    "gt_int": (Q.gt("score", -3), lambda o: _number(o) is not None and _number(o) > -3),
    "le_neg": (Q.le("score", -0.0), lambda o: _number(o) is not None and _number(o) <= 0),
    "between": (Q.bt("score", 0.25, 40), lambda o: _number(o) is not None and 0.25 <= _number(o) <= 40),
    "prefix": (Q.starts_with("name", "K"), lambda o: (_text(o, "name") or "").startswith("K")
               and _text(o, "name") is not None),
    "long_prefix": (Q.starts_with("name", "Kab"), lambda o: (_text(o, "name") or "").startswith("Kab")),
    "suffix": (Q.ends_with("name", "aM"), lambda o: (_text(o, "name") or "").endswith("aM")),
    "substring": (Q.contains("name", "bK"), lambda o: "bK" in (_text(o, "name") or "")),
    "item_prefix": (Q.starts_with("label", "K"),
                    lambda o: any(s.startswith("K") for s in _items_or_text(o, "label"))),
}


@pytest.mark.parametrize("running", RUNNING, ids=str)
@pytest.mark.parametrize("first, second", [("lt", "prefix"), ("prefix", "lt"), ("between", "suffix"),
                                           ("ge", "substring"), ("gt_int", "long_prefix"),
                                           ("le_neg", "item_prefix")])
def test_narrowed_members_select_what_a_scan_selects(population, running, first, second):
    idx, objs = population
    head, head_test = RUNNING[running]
    (q1, t1), (q2, t2) = NARROWING[first], NARROWING[second]
    want = sorted((o for o in objs if head_test(o) and t1(o) and t2(o)), key=_object_id)
    got = idx.reduced_query(Q.and_(head, q1, q2)).collect()
    assert got == want
    # Each member alone, within the running set, as well.
    for q, t in ((q1, t1), (q2, t2)):
        assert idx.reduced_query(Q.and_(head, q)).collect() == sorted(
            (o for o in objs if head_test(o) and t(o)), key=_object_id)
