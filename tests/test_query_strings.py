"""String conditions: equality, prefix, suffix and substring over UTF-8 bytes,
whatever order strings of different lengths arrive in."""

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item

WORDS = ["", "a", "b", "ab", "ba", "aba", "abcd", "abab", "héllo", "日本語", "x" * 25, "the quick brown fox"]


def by_id(objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


def shortest_first(objs):
    idx = Index()
    for o in sorted(objs, key=lambda o: len(o.s.encode())):
        idx.add_object(o)
    return idx


def longest_first(objs):
    idx = Index()
    idx.add_object_many(sorted(objs, key=lambda o: -len(o.s.encode())))
    return idx


def grown_by_assignment(objs):
    # Every string reaches the index through assignment, each growing the
    # position range past the ones stored before.
    idx = Index()
    idx.add_object_many(objs)
    finals = [o.s for o in objs]
    for o in objs:
        o.s = ""
    for o, s in sorted(zip(objs, finals), key=lambda p: len(p[1].encode())):
        o.s = s
    return idx


@pytest.fixture(params=[shortest_first, longest_first, grown_by_assignment])
def words(request):
    objs = [Item(s=w) for w in WORDS]
    return request.param(objs), objs


def fragments():
    out = set()
    for w in WORDS:
        for i in range(len(w) + 1):
            for j in range(i, len(w) + 1):
                out.add(w[i:j])
    return sorted(out) + ["abc", "c", "zz", "x" * 26, "é"]


def test_every_fragment_at_every_offset(words):
    idx, objs = words
    for frag in fragments():
        for factory, test in [(Q.eq, str.__eq__), (Q.starts_with, str.startswith),
                              (Q.ends_with, str.endswith), (Q.contains, str.__contains__)]:
            got = select(idx, factory("s", frag))
            assert got == by_id([o for o in objs if test(o.s, frag)]), (factory.__name__, frag)


def test_bytes_are_compared_exactly():
    upper, lower, composed, decomposed = Item(s="A"), Item(s="a"), Item(s="é"), Item(s="e\u0301")
    idx = Index()
    idx.add_object_many([upper, lower, composed, decomposed])
    assert select(idx, Q.eq("s", "a")) == [lower]
    assert select(idx, Q.eq("s", "é")) == [composed]
    assert select(idx, Q.starts_with("s", "e")) == [decomposed]


def test_strings_never_match_other_kinds():
    s, n, b = Item(v="1"), Item(v=1), Item(v=True)
    idx = Index()
    idx.add_object_many([s, n, b])
    assert select(idx, Q.eq("v", "1")) == [s]
    assert select(idx, Q.eq("v", "True")) == []
    for factory in (Q.starts_with, Q.ends_with, Q.contains):
        assert select(idx, factory("v", 1)) == []
        assert select(idx, factory("v", "")) == [s]


def test_replaced_string_is_forgotten():
    a = Item(s="a much longer string than the others")
    idx = Index()
    idx.add_object(a)
    a.s = "ab"
    assert select(idx, Q.contains("s", "longer")) == []
    assert select(idx, Q.eq("s", "ab")) == [a]


@pytest.mark.parametrize("op, test", [
    (Q.starts_with, str.startswith), (Q.ends_with, str.endswith), (Q.contains, lambda s, f: f in s)])
def test_string_tests_inside_a_narrow_conjunction(op, test):
    # Within a conjunction the string scans look only at the running set; the
    # holders of matching list items must still be found, and a view that
    # holds few objects must give what the whole index gives.
    objs = [Item(k=i % 50, s=w, t=[w, "zz" + w]) for i in range(400) for w in [WORDS[i % len(WORDS)]]]
    idx = Index()
    idx.add_object_many(objs)
    for fragment in ["a", "ab", "b", "x", "fox", "zza", "é"]:
        for attr in ["s", "t"]:
            def passes(o):
                vals = [o.s] if attr == "s" else o.t
                return o.k == 3 and any(test(v, fragment) for v in vals)

            want = by_id([o for o in objs if passes(o)])
            assert select(idx, Q.and_(Q.eq("k", 3), op(attr, fragment))) == want, (attr, fragment)
            assert idx.reduced(k=3).reduced_query(Q.or_(op(attr, fragment))).collect() == want, (attr, fragment)
            assert select(idx, Q.and_(Q.eq("k", 3), Q.not_(op(attr, fragment)))) == by_id(
                [o for o in objs if o.k == 3 and not passes(o)]), (attr, fragment)
