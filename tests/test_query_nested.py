"""Dotted paths: conditions on the attributes of Indexable values, one and two
levels down, with shared nested objects and reassignment at every level."""

import pytest

from Tarnwick import Index, PyQueryExpr as Q, _object_id
from index_support import Item


def by_id(*objs):
    return sorted(objs, key=_object_id)


def select(idx, query):
    return idx.reduced_query(query).collect()


@pytest.fixture
def town():
    paris, rome = Item(city="Paris", zip=75), Item(city="Rome", zip=100)
    hq, depot = Item(site=paris, name="hq"), Item(site=rome, name="depot")
    ann = Item(address=paris, job=hq)
    bob = Item(address=paris, job=depot)  # shares Ann's address
    cid = Item(address=rome)
    dan = Item(name="no address")
    idx = Index()
    idx.add_object_many([ann, bob, cid, dan])
    return idx, (ann, bob, cid, dan), (paris, rome, hq, depot)


class TestOneLevel:
    def test_shared_nested_object_finds_every_holder(self, town):
        idx, (ann, bob, cid, dan), _ = town
        assert select(idx, Q.eq("address.city", "Paris")) == by_id(ann, bob)
        assert select(idx, Q.gt("address.zip", 80)) == [cid]
        assert select(idx, Q.in_("address.city", ["Rome", "Oslo"])) == [cid]
        assert select(idx, Q.starts_with("address.city", "R")) == [cid]
        assert idx.reduced(**{"address.city": "Paris"}).collect() == by_id(ann, bob)

    def test_negation_stays_at_the_top(self, town):
        idx, (ann, bob, cid, dan), _ = town
        assert select(idx, Q.ne("address.city", "Paris")) == by_id(cid, dan)
        assert select(idx, Q.not_(Q.eq("address.city", "Rome"))) == by_id(ann, bob, dan)

    def test_nested_attribute_change(self, town):
        idx, (ann, bob, cid, dan), (paris, rome, hq, depot) = town
        paris.city = "Lyon"
        assert select(idx, Q.eq("address.city", "Paris")) == []
        assert select(idx, Q.eq("address.city", "Lyon")) == by_id(ann, bob)
        assert select(idx, Q.eq("job.site.city", "Lyon")) == [ann]

    def test_holder_reassignment(self, town):
        idx, (ann, bob, cid, dan), (paris, rome, hq, depot) = town
        ann.address = rome
        assert select(idx, Q.eq("address.city", "Paris")) == [bob]
        assert select(idx, Q.eq("address.city", "Rome")) == by_id(ann, cid)
        bob.address = "gone"
        assert select(idx, Q.eq("address.city", "Paris")) == []
        assert _object_id(paris) not in idx._debug_nested_members("address")
        # Held by nobody now: a later change must not bring it back.
        paris.city = "Rome"
        assert select(idx, Q.eq("address.city", "Rome")) == by_id(ann, cid)
        dan.address = paris
        assert select(idx, Q.eq("address.city", "Rome")) == by_id(ann, cid, dan)

    def test_value_assigned_after_adding(self):
        a = Item()
        idx = Index()
        idx.add_object(a)
        a.address = Item(city="Oslo")
        assert select(idx, Q.eq("address.city", "Oslo")) == [a]
        a.address.city = "Bergen"
        assert select(idx, Q.eq("address.city", "Bergen")) == [a]

    def test_paths_that_lead_nowhere(self, town):
        idx, _, _ = town
        for path in ("address.nothing", "nothing.city", "address.city.more", "address.", ".city", "name.city"):
            assert select(idx, Q.eq(path, "Paris")) == [], path


class TestTwoLevels:
    def test_through_shared_objects(self, town):
        idx, (ann, bob, cid, dan), (paris, rome, hq, depot) = town
        assert select(idx, Q.eq("job.site.city", "Paris")) == [ann]
        cid.job = hq
        assert select(idx, Q.eq("job.site.city", "Paris")) == by_id(ann, cid)
        assert select(idx, Q.le("job.site.zip", 100)) == by_id(ann, bob, cid)

    def test_reassignment_in_the_middle(self, town):
        idx, (ann, bob, cid, dan), (paris, rome, hq, depot) = town
        hq.site = rome
        assert select(idx, Q.eq("job.site.city", "Paris")) == []
        assert select(idx, Q.eq("job.site.city", "Rome")) == by_id(ann, bob)
        hq.site = Item(city="Paris")
        assert select(idx, Q.eq("job.site.city", "Paris")) == [ann]
