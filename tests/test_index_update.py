"""Assignments to indexed objects keep every index current: scalars,
containers, nested Indexable values and cycles between them."""

import gc

from Tarnwick import Index
from index_support import Item, ids, run_threads


class TestScalarUpdates:
    def test_new_value_replaces_old(self):
        a, b = Item(age=30), Item(age=30)
        idx = Index()
        idx.add_object_many([a, b])
        a.age = 31
        assert idx._debug_eq("age", 31) == ids(a)
        assert idx._debug_eq("age", 30) == ids(b)
        a.age = "thirty"
        assert idx._debug_eq("age", 31) == []
        assert idx._debug_eq("age", "thirty") == ids(a)
        a.age = None
        assert idx._debug_eq("age", "thirty") == []
        assert idx._debug_eq("age", None) == ids(a)
        a.age = False
        assert idx._debug_eq("age", None) == []
        assert idx._debug_eq("age", False) == ids(a)

    def test_first_value_of_a_new_attribute(self):
        a = Item()
        idx = Index()
        idx.add_object(a)
        a.brand_new_attribute_name = 5
        assert idx._debug_eq("brand_new_attribute_name", 5) == ids(a)

    def test_both_indexes_follow(self):
        a = Item(name="x")
        one, two = Index(), Index()
        one.add_object(a)
        two.add_object_many([a])
        a.name = "y"
        for idx in (one, two):
            assert idx._debug_eq("name", "x") == []
            assert idx._debug_eq("name", "y") == ids(a)

    def test_dropped_index_is_skipped(self):
        a = Item(v=1)
        keep, drop = Index(), Index()
        keep.add_object(a)
        drop.add_object(a)
        del drop
        gc.collect()
        a.v = 2
        assert keep._debug_eq("v", 2) == ids(a)

    def test_private_assignment_is_not_indexed(self):
        a = Item()
        idx = Index()
        idx.add_object_many([a])
        a._age = 5
        assert idx._debug_eq("_age", 5) == []
        assert a._age == 5

    def test_unrelated_objects_are_not_indexed(self):
        a, stranger = Item(v=1), Item(v=1)
        idx = Index()
        idx.add_object(a)
        stranger.v = 2
        assert idx._debug_eq("v", 1) == ids(a)
        assert idx._debug_eq("v", 2) == []


class TestContainerUpdates:
    def test_reassigned_list_forgets_old_items(self):
        a, b = Item(tags=["a", "shared"]), Item(tags=["shared"])
        idx = Index()
        idx.add_object_many([a, b])
        a.tags = ["b"]
        assert idx._debug_eq("tags", "a") == []
        assert idx._debug_eq("tags", "b") == ids(a)
        assert idx._debug_eq("tags", "shared") == ids(b)
        a.tags = 7
        assert idx._debug_eq("tags", "b") == []
        assert idx._debug_eq("tags", 7) == ids(a)
        stats = idx._debug_map_stats("tags")
        assert stats["elements"] == stats["element_owners"] == 1

    def test_nested_containers_are_removed_whole(self):
        a = Item(v=[[1, [2, "x"]], (3,), {4}])
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("v", 2) == ids(a)
        a.v = []
        for item in (1, 2, "x", 3, 4):
            assert idx._debug_eq("v", item) == []
        assert idx._debug_map_stats("v")["elements"] == 0

    def test_container_of_nested_objects(self):
        c1, c2 = Item(city="paris"), Item(city="rome")
        a = Item(homes=[c1, [c2]])
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("homes", c2) == ids(a)
        assert idx._debug_eq("homes.city", "rome") == ids(a)
        assert idx._debug_nested_members("homes") == ids(c1, c2)
        a.homes = [c1]
        assert idx._debug_eq("homes", c2) == []
        assert idx._debug_eq("homes.city", "rome") == []
        assert idx._debug_nested_members("homes") == ids(c1)


class TestNestedUpdates:
    def test_shared_nested_object(self):
        c = Item(city="paris")
        a, b = Item(addr=c), Item(addr=c)
        idx = Index()
        idx.add_object(a)
        idx.add_object_many([b])
        assert idx._debug_nested_members("addr") == ids(c)
        assert idx._debug_holders("addr", c) == ids(a, b)
        assert idx._debug_eq("addr.city", "paris") == ids(a, b)

    def test_nested_attribute_change_is_seen_through_the_path(self):
        c = Item(city="paris")
        a = Item(addr=c)
        idx = Index()
        idx.add_object(a)
        c.city = "rome"
        assert idx._debug_eq("addr.city", "paris") == []
        assert idx._debug_eq("addr.city", "rome") == ids(a)

    def test_reassignment_removes_the_pair_even_with_other_holders(self):
        c, d = Item(city="paris"), Item(city="oslo")
        a, b = Item(addr=c), Item(addr=c)
        idx = Index()
        idx.add_object_many([a, b])
        a.addr = d
        assert idx._debug_holders("addr", c) == ids(b)
        assert idx._debug_holders("addr", d) == ids(a)
        assert idx._debug_nested_members("addr") == ids(c, d)
        assert idx._debug_eq("addr.city", "paris") == ids(b)
        assert idx._debug_eq("addr", c) == ids(b)

    def test_last_holder_takes_the_nested_object_out(self):
        c = Item(city="paris", inner=Item(z=1))
        a, b = Item(addr=c), Item(addr=c)
        idx = Index()
        idx.add_object_many([a, b])
        a.addr = 1
        b.addr = 2
        assert idx._debug_nested_members("addr") == []
        assert idx._debug_holders("addr", c) == []
        assert idx._debug_eq("addr.city", "paris") == []
        # the nested object's own nested values went with it
        assert idx._debug_nested_members("addr.inner") == []
        # and it no longer follows the nested engine
        c.city = "rome"
        assert idx._debug_eq("addr.city", "rome") == []
        a.addr = c
        assert idx._debug_eq("addr.city", "rome") == ids(a)
        assert idx._debug_nested_members("addr.inner") == ids(c.inner)

    def test_deep_paths(self):
        leaf = Item(name="leaf")
        mid = Item(leaf=leaf)
        top = Item(mid=mid)
        idx = Index()
        idx.add_object(top)
        assert idx._debug_eq("mid.leaf.name", "leaf") == ids(top)
        leaf.name = "changed"
        assert idx._debug_eq("mid.leaf.name", "changed") == ids(top)
        mid.leaf = None
        assert idx._debug_eq("mid.leaf.name", "changed") == []
        assert idx._debug_nested_members("mid.leaf") == []


class TestCycles:
    def test_self_reference(self):
        a = Item(name="a")
        a.me = a
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("me", a) == ids(a)
        assert idx._debug_nested_members("me") == []
        a.name = "b"
        assert idx._debug_eq("name", "b") == ids(a)

    def test_two_objects(self):
        a, b = Item(n="a"), Item(n="b")
        a.other = b
        b.other = a
        idx = Index()
        idx.add_object(a)
        assert idx._debug_nested_members("other") == ids(b)
        assert idx._debug_nested_members("other.other") == []
        assert idx._debug_eq("other.n", "b") == ids(a)

    def test_three_objects_in_both_orders(self):
        for add_first in range(3):
            objs = [Item(n=i) for i in range(3)]
            for i, o in enumerate(objs):
                o.next = objs[(i + 1) % 3]
            idx = Index()
            idx.add_object_many([objs[add_first]])
            depth = "next"
            members = []
            for _ in range(4):
                members.append(idx._debug_nested_members(depth))
                depth += ".next"
            assert [len(m) for m in members] == [1, 1, 0, 0]

    def test_cycle_closed_by_a_later_assignment(self):
        a, b, c = Item(n=0), Item(n=1), Item(n=2)
        idx = Index()
        idx.add_object(a)
        a.next = b
        b.next = c
        c.next = a
        assert idx._debug_eq("next.next.n", 2) == ids(a)
        assert idx._debug_nested_members("next.next.next") == []

    def test_list_holding_its_owner(self):
        a = Item()
        a.items = [a, [a]]
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("items", a) == ids(a)
        assert idx._debug_nested_members("items") == []

    def test_cycle_below_a_dropped_index_ends(self):
        # The index goes away in the middle of an assignment that closes a
        # cycle in its nested engines; what is left of them must not go on
        # nesting the cycle without end.
        a, b = Item(name="a"), Item(name="b")
        b.inner = a
        holder = [Index()]
        holder[0].add_object(Item(r=a))

        class DropsTheIndex:
            def __hash__(self):
                holder.clear()
                gc.collect()
                return 1

        def assign():
            a.inner = [b, DropsTheIndex()]
            b.inner = [a]

        run_threads([assign], timeout=30)
        assert holder == []
        assert a.inner[0] is b and b.inner[0] is a
