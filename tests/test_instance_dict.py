"""The instance dict of Indexable objects: every instance has its slot in
Indexable's own layout, so that a subclass adds no dict in front of its
objects, and shows it exactly where a Python class would have given one."""

import abc
import copy
import gc
import pickle
import sys
import weakref

import pytest

from Tarnwick import Index, Indexable


class Plain(Indexable):
    pass


class Mixin:
    pass


class SlotMixin:
    __slots__ = ()


class WithMixin(Indexable, Mixin):
    pass


class MixinFirst(Mixin, Indexable):
    pass


class SlotsOverMixin(Indexable, Mixin):
    __slots__ = ()


class SlotsOnly(Indexable):
    __slots__ = ("a",)


class SlotsAndSlotMixin(Indexable, SlotMixin):
    __slots__ = ()


class PlainBelowSlots(SlotsOnly):
    pass


class Abstract(Indexable, abc.ABC):
    pass


class SlotsBelowPlain(Plain):
    __slots__ = ("b",)


# (class, whether its instances show a dict)
CLASSES = [
    (Indexable, False),
    (Plain, True),
    (WithMixin, True),
    (MixinFirst, True),
    (SlotsOverMixin, True),
    (SlotsOnly, False),
    (SlotsAndSlotMixin, False),
    (PlainBelowSlots, True),
    (Abstract, True),
    (SlotsBelowPlain, True),
]
IDS = [cls.__name__ for cls, _ in CLASSES]
WITH_DICT = [cls for cls, shows in CLASSES if shows]


@pytest.mark.parametrize("cls", [Plain, WithMixin, MixinFirst, Abstract], ids=lambda c: c.__name__)
def test_a_subclass_without_slots_adds_nothing_to_the_object(cls):
    assert cls.__basicsize__ == Indexable.__basicsize__
    assert cls.__dictoffset__ == Indexable.__dictoffset__ > 0
    assert cls.__weakrefoffset__ == Indexable.__weakrefoffset__
    # sys.getsizeof counts the collector's header and any dict or weakref
    # pre-header in front of the object.
    assert sys.getsizeof(cls()) == sys.getsizeof(Indexable())
    assert cls().__sizeof__() == Indexable().__sizeof__()


def test_slots_extend_the_object_past_the_dict():
    assert SlotsOnly.__basicsize__ == Indexable.__basicsize__ + 8
    assert sys.getsizeof(SlotsOnly()) == sys.getsizeof(Indexable()) + 8
    s = SlotsOnly()
    s.a = 1  # goes to the attribute map, as any name does
    assert s.a == 1


@pytest.mark.parametrize("cls, shows", CLASSES, ids=IDS)
def test_the_dict_shows_where_a_python_class_would_have_one(cls, shows):
    obj = cls(x=1)
    assert hasattr(obj, "__dict__") is shows
    assert ("__dict__" in dir(obj)) is shows
    assert "x" in dir(obj)
    if shows:
        assert vars(obj) == {} and obj.__dict__ == {}
        assert vars(obj) is obj.__dict__
    else:
        with pytest.raises(TypeError):
            vars(obj)
        with pytest.raises(AttributeError):
            obj.__dict__


@pytest.mark.parametrize("cls, shows", CLASSES, ids=IDS)
def test_object_setattr_bypasses_the_attribute_map(cls, shows):
    obj = cls()
    if sys.version_info < (3, 13):
        # Refused for any class with a native __setattr__.
        with pytest.raises(TypeError):
            object.__setattr__(obj, "y", 1)
        return
    # Later interpreters let it through to the instance dict: readable, but
    # not a stored attribute, so neither counted nor indexed.
    object.__setattr__(obj, "y", 1)
    assert obj.y == 1
    assert repr(obj) == f"<{cls.__name__} with 0 attributes>"
    if shows:
        assert vars(obj) == {"y": 1}


@pytest.mark.parametrize("cls", WITH_DICT, ids=lambda c: c.__name__)
def test_entries_of_the_dict_read_as_attributes_behind_the_stored_ones(cls):
    obj = cls(x=1)
    vars(obj)["extra"] = "from dict"
    vars(obj)["x"] = "shadowed"
    assert obj.extra == "from dict"
    assert obj.x == 1  # the stored attribute comes first
    # Only stored attributes are indexed, pickled and counted.
    assert repr(obj) == f"<{cls.__name__} with 1 attributes>"
    index = Index()
    index.add_object(obj)
    assert len(index.get_by_attribute(x=1)) == 1
    assert len(index.get_by_attribute(extra="from dict")) == 0
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is cls and back.x == 1 and vars(back) == {}
    assert vars(copy.copy(obj)) == {}
    # Assigning __dict__ stores an attribute of that name, as any assignment.
    obj.__dict__ = {"w": 1}
    assert obj.__dict__ == {"w": 1}


@pytest.mark.parametrize("cls", WITH_DICT, ids=lambda c: c.__name__)
def test_the_collector_sees_and_breaks_cycles_through_the_dict(cls):
    gc.collect()
    obj = cls(x=1)
    vars(obj)["me"] = obj
    vars(obj)["box"] = [obj]
    dead = weakref.ref(obj)
    assert any(r is vars(obj) for r in gc.get_referents(obj))
    del obj
    gc.collect()
    assert dead() is None


@pytest.mark.parametrize("cls", WITH_DICT, ids=lambda c: c.__name__)
def test_the_dict_goes_with_its_object(cls):
    class Held:
        pass

    held = Held()
    gone = weakref.ref(held)
    obj = cls()
    vars(obj)["held"] = held
    del held
    assert gone() is not None
    del obj
    assert gone() is None


def test_fresh_objects_never_start_with_a_used_dict():
    # Freed objects are reused for new ones: what the dict of a freed object
    # held must not show in any later object.
    for _ in range(3):
        olds = [Plain(i=i) for i in range(600)]
        for o in olds:
            vars(o)["old"] = o
        del olds, o
        gc.collect()
        for cls in (Indexable, Plain):
            fresh = [cls() for _ in range(600)]
            assert not any(vars(f) for f in fresh if cls is Plain)
            assert not any(hasattr(f, "old") for f in fresh)
