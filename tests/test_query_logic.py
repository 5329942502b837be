"""Combinations (and, or, not, ne, in), the keyword methods of Index, and bad
input to every filtering method."""

import itertools

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(source, query):
    return source.reduced_query(query).collect()


@pytest.fixture
def people():
    objs = [
        Item(name="ann", age=30, tags=["x"]),
        Item(name="bob", age=41, tags=["y", "x"]),
        Item(name="cid", age=30),
        Item(name="dan"),
        Item(age=25.0, tags=[]),
    ]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


class TestCombinations:
    def test_ne_and_not_include_objects_without_the_attribute(self, people):
        idx, (ann, bob, cid, dan, eve) = people
        assert select(idx, Q.ne("age", 30)) == by_id(bob, dan, eve)
        assert select(idx, Q.not_(Q.eq("age", 30))) == by_id(bob, dan, eve)
        assert select(idx, Q.ne("missing", 1)) == idx.collect()

    def test_complements_are_taken_within_a_view(self, people):
        idx, (ann, bob, cid, dan, eve) = people
        view = idx.reduced_query(Q.in_("name", ["ann", "bob", "dan"]))
        assert select(view, Q.ne("age", 30)) == by_id(bob, dan)
        assert select(view, Q.not_(Q.eq("tags", "x"))) == [dan]
        assert select(view, Q.or_(Q.eq("age", 30), Q.eq("age", 25))) == [ann]

    def test_empty_combinations(self, people):
        idx, objs = people
        assert select(idx, Q.and_()) == idx.collect()
        assert select(idx, Q.or_()) == []
        assert select(idx, Q.in_("age", [])) == []
        assert select(idx, Q.not_(Q.or_())) == idx.collect()
        assert select(idx.reduced(age=30), Q.and_()) == select(idx, Q.eq("age", 30))

    def test_member_order_does_not_matter(self, people):
        idx, (ann, bob, cid, dan, eve) = people
        members = [
            Q.ne("name", "cid"),
            Q.ge("age", 25),
            Q.or_(Q.eq("tags", "x"), Q.eq("name", "cid")),
            Q.not_(Q.starts_with("name", "b")),
            Q.in_("age", [30, 41, 25]),
            Q.bt("age", 0, 100),
        ]
        results = {tuple(map(_object_id, select(idx, Q.and_(*perm)))) for perm in itertools.permutations(members)}
        assert results == {(_object_id(ann),)}

    def test_conditions_on_unknown_names_are_empty(self, people):
        idx, _ = people
        assert select(idx, Q.eq("attribute_nobody_has", 1)) == []
        assert idx.get_by_attribute(attribute_nobody_has=None) == []


class TestKeywordMethods:
    def test_keywords_are_an_equality_conjunction(self, people):
        idx, (ann, bob, cid, dan, eve) = people
        assert idx.get_by_attribute(age=30) == by_id(ann, cid)
        assert idx.reduced(age=30).collect() == by_id(ann, cid)
        assert idx.get_by_attribute(age=30, tags="x") == [ann]
        assert idx.reduced(tags="x", age=30).collect() == [ann]
        assert idx.get_by_attribute() == idx.collect()
        assert idx.reduced().collect() == idx.collect()
        assert idx.reduced(age=30).reduced(name="cid").collect() == [cid]
        assert idx.reduced(age=30).reduced(name="bob").collect() == []


BAD_CALLS = [
    (lambda idx: idx.reduced_query(1), "query"),
    (lambda idx: idx.reduced_query(), "query"),
    (lambda idx: idx.reduced_query(Q.and_(), Q.and_()), None),
    (lambda idx: idx.reduced_query(question=Q.and_()), None),
    (lambda idx: idx.reduced(1), None),
    (lambda idx: idx.get_by_attribute("age", 30), None),
    (lambda idx: idx.reduce({"age": 30}), None),
    (lambda idx: idx.reduced().reduced_query("age"), "query"),
    (lambda idx: idx.reduced().reduced(1), None),
    (lambda idx: idx.reduced().collect(1), None),
    (lambda idx: idx.reduced().rebase(1), None),
]


@pytest.mark.parametrize("call, name", BAD_CALLS)
def test_bad_arguments_change_nothing(people, call, name):
    idx, objs = people
    with pytest.raises(TypeError) as err:
        call(idx)
    if name:
        assert name in str(err.value)
    assert idx.collect() == by_id(*objs)
    assert idx.get_by_attribute(age=30) == by_id(objs[0], objs[2])


def test_query_by_keyword_name(people):
    idx, (ann, *_) = people
    assert idx.reduced_query(query=Q.eq("name", "ann")).collect() == [ann]
    assert idx.reduced().reduced_query(query=Q.eq("name", "ann")).collect() == [ann]
