"""Adding objects to an Index, one by one and in batches, and collecting them."""

import random

import pytest

from Tarnwick import Index, Indexable, _object_id
from index_support import Item, ids


class Opaque:
    pass


class TestClassSurface:
    def test_signatures(self):
        assert Index.__text_signature__ == "()"
        assert Index.add_object.__text_signature__ == "($self, py_ref)"
        assert Index.add_object_many.__text_signature__ == "($self, objs)"
        assert Index.collect.__text_signature__ == "($self, /, *, order_by=None, descending=False, limit=None, offset=0)"

    def test_constructor_takes_no_arguments(self):
        with pytest.raises(TypeError):
            Index(1)
        with pytest.raises(TypeError):
            Index(x=1)
        assert Index().collect() == []

    def test_index_is_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (Index,), {})


class TestAddAndCollect:
    def test_collect_lists_members_in_id_order_once(self):
        a, b, c = Item(n=1), Item(n=2), Item(n=3)
        idx = Index()
        assert idx.add_object(c) is None
        idx.add_object(a)
        idx.add_object(c)
        assert idx.add_object_many([b, a, b]) is None
        assert idx.collect() == sorted([a, b, c], key=_object_id)
        assert idx._debug_members() == ids(a, b, c)

    def test_empty_batch_adds_nothing(self):
        idx = Index()
        assert idx.add_object_many([]) is None
        assert idx.add_object_many(()) is None
        assert idx.collect() == []

    def test_any_sequence_is_accepted(self):
        objs = [Item(k=i) for i in range(5)]
        idx = Index()
        idx.add_object_many(tuple(objs[:2]))
        idx.add_object_many(objs[2:])
        assert idx.collect() == sorted(objs, key=_object_id)

    def test_subclass_instances_and_plain_indexables(self):
        a, b = Indexable(k=1), Item(k=1)
        idx = Index()
        idx.add_object(a)
        idx.add_object_many([b])
        assert idx._debug_eq("k", 1) == ids(a, b)

    def test_adding_again_keeps_values_and_membership(self):
        a = Item(name="x", tags=["t"])
        idx = Index()
        idx.add_object(a)
        idx.add_object(a)
        idx.add_object_many([a])
        assert idx.collect() == [a]
        assert idx._debug_eq("name", "x") == ids(a)
        assert idx._debug_eq("tags", "t") == ids(a)
        a.tags = ["u"]
        # every element issued for the earlier additions goes with the value
        assert idx._debug_eq("tags", "t") == []
        assert idx._debug_map_stats("tags")["elements"] == 1


class TestBadInput:
    def test_add_object_refuses_non_indexables(self):
        idx = Index()
        for bad in (3, "x", None, Opaque(), [Item()]):
            with pytest.raises(TypeError, match="py_ref"):
                idx.add_object(bad)
        with pytest.raises(TypeError):
            idx.add_object()
        with pytest.raises(TypeError):
            idx.add_object(Item(), Item())
        assert idx.collect() == []

    @pytest.mark.parametrize("make", [lambda objs: iter(objs), lambda objs: (o for o in objs), set,
                                      lambda objs: dict.fromkeys(objs)])
    def test_any_iterable_is_accepted(self, make):
        objs = [Item(k=i) for i in range(4)]
        idx = Index()
        idx.add_object_many(make(objs))
        assert idx.collect() == sorted(objs, key=_object_id)

    def test_generator_raising_midway_adds_nothing(self):
        objs = [Item(k=i) for i in range(4)]

        def produce():
            yield from objs[:2]
            raise ValueError("midway")

        idx = Index()
        with pytest.raises(ValueError, match="midway"):
            idx.add_object_many(produce())
        assert len(idx) == 0 and idx._debug_eq("k", 0) == []
        objs[0].k = 9
        assert idx._debug_eq("k", 9) == []

    @pytest.mark.parametrize("bad", ["abc", "", 3, None, {"k": Item()}])
    def test_add_object_many_refuses_non_iterables(self, bad):
        idx = Index()
        with pytest.raises(TypeError, match="objs"):
            idx.add_object_many(bad)
        assert idx.collect() == []

    def test_non_indexable_element_adds_nothing(self):
        a, b = Item(v=1), Item(v=2)
        idx = Index()
        with pytest.raises(TypeError, match="objs"):
            idx.add_object_many([a, 3, b])
        assert idx.collect() == []
        assert idx._debug_eq("v", 1) == []
        # nothing was registered either: assigning does not reach the index
        a.v = 5
        assert idx._debug_eq("v", 5) == []

    def test_iteration_error_propagates_and_adds_nothing(self):
        a = Item(v=1)

        class Broken:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 1:
                    raise KeyError("boom")
                return a

        idx = Index()
        with pytest.raises(KeyError, match="boom"):
            idx.add_object_many(Broken())
        assert idx.collect() == []
        assert idx._debug_eq("v", 1) == []

    def test_reported_length_is_only_a_hint(self):
        objs = [Item(k=i) for i in range(3)]

        class Lying:
            def __len__(self):
                return 100

            def __getitem__(self, i):
                return objs[i]

        idx = Index()
        idx.add_object_many(Lying())
        assert idx.collect() == sorted(objs, key=_object_id)


class TestPrivateAttributes:
    def test_add_object_skips_underscore_names(self):
        a = Item(_hidden=1, shown_=2, plain=3)
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("_hidden", 1) == []
        assert idx._debug_eq("shown_", 2) == ids(a)
        a._hidden = 7
        assert idx._debug_eq("_hidden", 7) == []
        assert a._hidden == 7

    def test_add_object_many_indexes_underscore_names(self):
        a = Item(_hidden=1)
        idx = Index()
        idx.add_object_many([a])
        assert idx._debug_eq("_hidden", 1) == ids(a)


class TestValueKinds:
    def test_numbers_share_one_scale(self):
        a, b, c, d = Item(x=1), Item(x=1.0), Item(x=-0.0), Item(x=0)
        e = Item(x=2**63 - 1)
        idx = Index()
        idx.add_object_many([a, b, c, d, e])
        assert idx._debug_eq("x", 1) == ids(a, b)
        assert idx._debug_eq("x", 0.0) == ids(c, d)
        assert idx._debug_eq("x", 2**63 - 1) == ids(e)
        assert idx._debug_eq("x", float(2**63)) == []

    def test_bools_are_not_numbers(self):
        t, one = Item(x=True), Item(x=1)
        idx = Index()
        for o in (t, one):
            idx.add_object(o)
        assert idx._debug_eq("x", True) == ids(t)
        assert idx._debug_eq("x", 1) == ids(one)
        assert idx._debug_eq("x", False) == []

    def test_strings(self):
        objs = [Item(s=s) for s in ("", "a", "ab", "ba", "é€", "x" * 40)]
        idx = Index()
        idx.add_object_many(objs[:3])
        for o in objs[3:]:
            idx.add_object(o)
        for o in objs:
            assert idx._debug_eq("s", o.s) == ids(o)
        assert idx._debug_eq("s", "b") == []

    def test_other_objects_by_identity(self):
        thing, other = Opaque(), Opaque()
        big = 2**80
        a, b, c = Item(v=thing), Item(v=None), Item(v=big)
        idx = Index()
        idx.add_object_many([a, b, c])
        assert idx._debug_eq("v", thing) == ids(a)
        assert idx._debug_eq("v", other) == []
        assert idx._debug_eq("v", None) == ids(b)
        assert idx._debug_eq("v", 2**80) == ids(c)

    def test_container_items_lead_to_the_object(self):
        a = Item(v=[1, "s", (True, [2.5, ["deep"]]), {3}])
        b = Item(v={"k": 1})
        idx = Index()
        idx.add_object_many([a, b])
        for item in (1, "s", True, 2.5, "deep", 3):
            assert idx._debug_eq("v", item) == ids(a)
        assert idx._debug_eq("v", "k") == []
        assert idx._debug_map_stats("v")["owners"] == 1  # the dict issued nothing

    def test_self_containing_list(self):
        lst = [1]
        lst.append(lst)
        a = Item(v=lst)
        idx = Index()
        idx.add_object(a)
        assert idx._debug_eq("v", 1) == ids(a)


def random_value(rng, shared):
    kind = rng.randrange(9)
    if kind == 0:
        return rng.randrange(-5, 5)
    if kind == 1:
        return rng.choice([0.5, -0.0, 1.0, 2.25])
    if kind == 2:
        return rng.choice(["", "a", "ab", "abc", "zz", "é"])
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return [random_value(rng, shared) for _ in range(rng.randrange(4))]
    if kind == 5:
        return tuple(random_value(rng, shared) for _ in range(rng.randrange(3)))
    if kind == 6:
        return rng.choice(shared)
    if kind == 7:
        return None
    return {"k": 1}


def flat_values(value):
    if isinstance(value, (list, tuple)):
        for v in value:
            yield from flat_values(v)
    elif not isinstance(value, dict):
        yield value


class TestBatchEqualsOneByOne:
    def test_same_results_through_every_value(self):
        rng = random.Random(1234)
        shared = [Item(city=c, zip=i) for i, c in enumerate(["paris", "rome", "oslo"])]
        objs = []
        for _ in range(150):
            o = Item()
            for name in ("a", "b", "c", "d"):
                if rng.random() < 0.8:
                    setattr(o, name, random_value(rng, shared))
            objs.append(o)
        one, batch = Index(), Index()
        for o in objs:
            one.add_object(o)
        batch.add_object_many(objs)

        assert one.collect() == batch.collect()
        probes = {(name, v) for o in objs for name in "abcd" if hasattr(o, name)
                  for v in flat_values(getattr(o, name))}
        probes |= {("a", 99), ("b", "nope"), ("c", False)}
        for name, v in probes:
            assert one._debug_eq(name, v) == batch._debug_eq(name, v), (name, v)
        for name in "abcd":
            for s in shared:
                assert one._debug_eq(f"{name}.city", s.city) == batch._debug_eq(f"{name}.city", s.city)
            assert one._debug_nested_members(name) == batch._debug_nested_members(name)
            assert one._debug_map_stats(name) == batch._debug_map_stats(name)
