"""Views: fixed id sets over the engine's live tables, narrowing, collecting and
rebasing into a new Index."""

import gc
import weakref

import pytest

import Tarnwick
from Tarnwick import FilteredIndex, Index, PyQueryExpr as Q, _object_id
from index_support import Item


def by_id(*objs):
    return sorted(objs, key=_object_id)


def test_class_surface():
    assert Tarnwick.__all__ == ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
    with pytest.raises(TypeError, match="^No constructor defined for FilteredIndex$"):
        FilteredIndex()
    assert FilteredIndex.__doc__.startswith("A view: the objects a reduction selected")
    signatures = {name: getattr(FilteredIndex, name).__text_signature__
                  for name in ("reduced", "reduced_query", "collect", "rebase")}
    assert signatures == {"reduced": "($self, **kwargs)", "reduced_query": "($self, query)",
                          "collect": "($self, /, *, order_by=None, descending=False, limit=None, offset=0)",
                          "rebase": "($self)"}
    for name, text in [("get_by_attribute", "($self, **kwargs)"), ("reduce", "($self, **kwargs)"),
                       ("reduced", "($self, **kwargs)"), ("reduced_query", "($self, query)")]:
        assert getattr(Index, name).__text_signature__ == text


class TestViews:
    def test_ids_fixed_but_values_current(self):
        a, b = Item(age=30), Item(age=30)
        idx = Index()
        idx.add_object_many([a, b])
        view = idx.reduced(age=30)
        late = Item(age=30)
        idx.add_object(late)
        a.age = 31
        assert view.collect() == by_id(a, b)
        assert late not in view.reduced().collect()
        assert view.reduced(age=30).collect() == [b]
        assert view.reduced_query(Q.eq("age", 31)).collect() == [a]

    def test_view_keeps_working_without_its_index(self):
        a = Item(name="a")
        idx = Index()
        idx.add_object(a)
        view = idx.reduced()
        ref = weakref.ref(idx)
        del idx
        gc.collect()
        assert view.collect() == [a]
        a.name = "b"
        assert view.reduced(name="b").collect() == [a]
        del view
        gc.collect()
        assert ref() is None

    def test_cycles_through_views_are_collected(self):
        a, b = Item(name="a"), Item(name="b")
        idx = Index()
        idx.add_object_many([a, b])
        a.view = idx.reduced(name="a")
        b.view = a.view.reduced_query(Q.and_())
        refs = [weakref.ref(x) for x in (a, b, idx)]
        del a, b, idx
        gc.collect()
        assert [r() for r in refs] == [None] * 3

    def test_collect_in_id_order(self):
        objs = [Item(n=i) for i in range(50)]
        idx = Index()
        for o in reversed(objs):
            idx.add_object(o)
        assert idx.reduced_query(Q.ge("n", 10)).collect() == by_id(*objs[10:])
        assert idx.reduced_query(Q.or_()).collect() == []


class TestRebase:
    def test_new_index_holds_exactly_the_view(self):
        a, b, c = Item(v=1, _secret="s"), Item(v=2), Item(v=1)
        idx = Index()
        for o in (a, b, c):
            idx.add_object(o)
        view = idx.reduced(v=1)
        a.v = 5  # indexed with current values
        new = view.rebase()
        assert isinstance(new, Index)
        assert new.collect() == by_id(a, c)
        assert new.get_by_attribute(v=5) == [a]
        assert new.get_by_attribute(v=1) == [c]
        assert new.get_by_attribute(_secret="s") == [a]
        assert idx.get_by_attribute(_secret="s") == []

    def test_both_indexes_follow_assignments(self):
        a = Item(v=1, address=Item(city="x"), tags=["t"])
        idx = Index()
        idx.add_object(a)
        new = idx.reduced().rebase()
        a.v = 2
        a.address.city = "y"
        a.tags = ["u"]
        for index in (idx, new):
            assert index.get_by_attribute(v=2) == [a]
            assert index.reduced(**{"address.city": "y"}).collect() == [a]
            assert index.get_by_attribute(tags="u") == [a]
            assert index.get_by_attribute(tags="t") == []

    def test_empty_view(self):
        idx = Index()
        idx.add_object(Item(v=1))
        new = idx.reduced(v=2).rebase()
        assert new.collect() == []
        assert new.reduced().collect() == []


class TestViewsAndInPlaceReduce:
    def test_removed_objects_are_not_returned(self):
        a, b = Item(v=1), Item(v=2)
        idx = Index()
        idx.add_object_many([a, b])
        before = idx.reduced()
        idx.reduce(v=1)
        assert before.collect() == [a]
        assert before.rebase().collect() == [a]
        assert before.reduced_query(Q.ne("v", 1)).collect() == []
