import functools
import gc
import random
import sys
import threading
import weakref

import pytest

import Tarnwick
from index_support import run_threads
from Tarnwick import Index, Indexable, _attach_engine, _engine_count, _object_id

class Thing:
    pass


class TestConstruction:
    def test_keywords_become_attributes_in_order(self):
        o = Indexable(b=2, a=1, c="three")
        assert (o.a, o.b, o.c) == (1, 2, "three")
        assert o.__dir__()[:3] == ["b", "a", "c"]
        assert repr(o) == "<Indexable with 3 attributes>"

    def test_positional_arguments_are_ignored(self):
        o = Indexable(1, "x", None, k=5)
        assert repr(o) == "<Indexable with 1 attributes>"
        assert o.k == 5

    def test_private_keywords_are_stored(self):
        assert Indexable(_hidden=4)._hidden == 4

    def test_class_surface(self):
        assert Indexable.__text_signature__ == "(*_args, **kwargs)"
        assert Indexable.__doc__.startswith("Base class of every object an Index can hold.")
        assert repr(Indexable()) == "<Indexable with 0 attributes>"


class TestReadWrite:
    def test_values_read_back_as_the_same_objects(self):
        items = [10**12, 2.5, "text" * 10, [1], {"k": 1}, (1, 2), {3}, None, Thing(), 2**100, Indexable()]
        o = Indexable()
        for i, value in enumerate(items):
            setattr(o, f"v{i}", value)
        for i, value in enumerate(items):
            assert getattr(o, f"v{i}") is value

    def test_booleans_read_back_as_singletons(self):
        o = Indexable(t=True, f=False)
        assert o.t is True and o.f is False

    def test_surrogate_string_reads_back(self):
        s = "a\ud800b"
        o = Indexable(s=s)
        assert o.s is s

    def test_reassignment_replaces_in_place(self):
        o = Indexable(a=1, b=2)
        o.a = "one"
        assert (o.a, o.b) == ("one", 2)
        assert repr(o) == "<Indexable with 2 attributes>"
        assert o.__dir__()[:2] == ["a", "b"]

    def test_many_attributes(self):
        o = Indexable()
        for i in range(40):
            setattr(o, f"attr{i}", i)
            assert getattr(o, f"attr{i}") == i
        for i in range(0, 40, 3):
            setattr(o, f"attr{i}", -i)
        for i in range(40):
            assert getattr(o, f"attr{i}") == (-i if i % 3 == 0 else i)
        assert repr(o) == "<Indexable with 40 attributes>"
        assert o.__dir__()[:40] == [f"attr{i}" for i in range(40)]

    def test_ninth_attribute(self):
        o = Indexable(**{f"k{i}": i for i in range(8)})
        o.k8 = 8
        assert [getattr(o, f"k{i}") for i in range(9)] == list(range(9))

    def test_values_are_released_with_the_object(self):
        t = Thing()
        r = weakref.ref(t)
        o = Indexable(t=t)
        o.u = t
        del t
        assert r() is not None
        del o
        assert r() is None

    def test_replaced_value_is_released(self):
        t = Thing()
        r = weakref.ref(t)
        o = Indexable(t=t)
        del t
        o.t = 1
        assert r() is None
        assert Tarnwick._pending_decrefs() == 0


class TestSlotLayout:
    """The attribute slots grow with the object: every step must keep every value."""

    @pytest.mark.parametrize("count", [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 13])
    def test_every_value_survives_each_growth_step(self, count):
        values = [[i] for i in range(count)]  # collectable, so traversal must report them
        o = Indexable()
        for i, value in enumerate(values):
            setattr(o, f"s{i}", value)
            for j in range(i + 1):
                assert getattr(o, f"s{j}") is values[j]
        referents = gc.get_referents(o)
        for value in values:
            assert any(r is value for r in referents)
        for i in range(count):
            setattr(o, f"s{i}", (i,))
        assert [getattr(o, f"s{i}") for i in range(count)] == [(i,) for i in range(count)]
        assert repr(o) == f"<Indexable with {count} attributes>"

    @pytest.mark.parametrize("count", [1, 2, 5, 9])
    def test_cycles_through_any_slot_are_collected(self, count):
        o = Indexable()
        for i in range(count):
            setattr(o, f"s{i}", i * 1000)  # plain ints in the other slots
        setattr(o, f"s{count - 1}", [o])
        probe = weakref.ref(o)
        del o
        gc.collect()
        assert probe() is None

    @pytest.mark.parametrize(
        "value", [-6, -5, -1, 0, 1, 255, 256, 257, 2**40, -(2**63), 2**63, True, False]
    )
    def test_numbers_read_back_as_the_stored_objects(self, value):
        # Ints the interpreter caches (and bools) keep no reference of their
        # own in the slot: what reads back must still be the very object.
        o = Indexable(k=value)
        o.a = value
        assert o.a is value and o.k is value
        assert type(o.a) is type(value)

    @pytest.mark.parametrize("value", [-5, 0, 7, 256, True, False])
    @pytest.mark.parametrize("indexed", [False, True])
    def test_slots_without_a_reference_leave_the_count_alone(self, value, indexed):
        # Such a slot still hands the object out on every read and to the
        # index, but never takes or drops a reference of its own: a count
        # that moves after storing, reading, indexing, replacing and
        # releasing is a lost or an extra release of an interpreter object.
        gc.collect()
        before = sys.getrefcount(value)
        objs = [Indexable(k=value) for _ in range(300)]
        for o in objs:
            o.a = value
        idx = Index()
        if indexed:
            idx.add_object_many(objs)
            assert len(idx.reduced(a=value)) == 300
            assert idx.value_counts("k")[value] == 300
        reads = [o.a for o in objs] + [o.k for o in objs]
        assert all(r is value for r in reads)
        del reads
        for o in objs:
            o.a = "other"
        if indexed:
            idx.remove(objs[0])
        del objs, idx
        gc.collect()
        assert sys.getrefcount(value) == before

    def test_int_subclasses_are_kept_as_given(self):
        class MyInt(int):
            pass

        v = MyInt(3)
        o = Indexable(v=v)
        assert o.v is v and type(o.v) is MyInt


class TestErrors:
    def test_deleting_is_refused(self):
        o = Indexable(x=1)
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del o.x
        with pytest.raises(AttributeError, match="can't delete attribute"):
            del o.never_set
        assert o.x == 1

    def test_missing_attribute_names_itself(self):
        o = Indexable()
        with pytest.raises(AttributeError) as info:
            o.missing
        assert info.value.args == ("missing",)
        assert getattr(o, "missing", 5) == 5
        assert not hasattr(o, "missing")

    def test_non_str_names_are_refused(self):
        o = Indexable()
        with pytest.raises(TypeError, match="name"):
            Indexable.__setattr__(o, 1, 2)
        with pytest.raises(TypeError, match="name"):
            Indexable.__getattribute__(o, 1)

    def test_names_without_utf8_form(self):
        o = Indexable()
        with pytest.raises(UnicodeEncodeError):
            setattr(o, "\ud800", 1)
        with pytest.raises(AttributeError):
            getattr(o, "\ud800")

    def test_failing_hash_does_not_fail_assignment(self):
        class BadHash:
            def __hash__(self):
                raise RuntimeError

        v = BadHash()
        o = Indexable(v=v)
        o.w = v
        assert o.v is v and o.w is v


class TestDirAndRepr:
    def test_dir_lists_native_then_default_names(self):
        o = Indexable(zeta=1)
        o.alpha = 2
        names = o.__dir__()
        assert names[:2] == ["zeta", "alpha"]
        assert {"__class__", "__repr__", "__dir__"} <= set(names[2:])
        assert {"zeta", "alpha", "__class__"} <= set(dir(o))

    def test_subclass_dir_includes_methods(self):
        class Person(Indexable):
            def greet(self):
                return "hi"

        p = Person(name="x")
        assert p.__dir__()[0] == "name"
        assert "greet" in dir(p)


class TestSubclasses:
    def test_init_assignments_and_methods(self):
        class Person(Indexable):
            kind = "person"

            def __init__(self, name, age):
                self.name = name
                self.age = age

            def describe(self):
                return f"{self.name}:{self.age}"

        p = Person("ann", 30)
        assert p.describe() == "ann:30"
        assert p.kind == "person"
        assert isinstance(p, Indexable)
        assert repr(p) == "<Person with 2 attributes>"
        assert p.__dict__ == {}

    def test_attribute_shadows_method(self):
        class WithMethod(Indexable):
            def value(self):
                return "method"

        w = WithMethod()
        assert w.value() == "method"
        w.value = 42
        assert w.value == 42

    def test_freed_instances_do_not_leak_into_other_classes(self):
        class Sub(Indexable):
            pass

        for _ in range(3):
            plain = [Indexable(x=i) for i in range(600)]
            del plain
            subs = [Sub() for _ in range(600)]
            assert all(type(s) is Sub for s in subs)
            del subs
            plain = [Indexable() for _ in range(600)]
            assert all(type(p) is Indexable for p in plain)


class TestCalls:
    """Every way of calling a class makes the same object, and a class that
    gains (or loses) its own __init__, __new__ or abstract methods after its
    first instances is made the way it now says."""

    @staticmethod
    def forms():
        kwargs = {"b": 2, "a": "x", "c": [1, 2]}
        return {
            "keywords": lambda cls: cls(b=2, a="x", c=[1, 2]),
            "unpacked": lambda cls: cls(**kwargs),
            "partial": lambda cls: functools.partial(cls, b=2)(a="x", c=[1, 2]),
            "dunder_new": lambda cls: cls.__new__(cls, **kwargs),
            "type_call": lambda cls: type.__call__(cls, **kwargs),
            "positional": lambda cls: cls(7, "ignored", b=2, a="x", c=[1, 2]),
        }

    @pytest.mark.parametrize("form", ["keywords", "unpacked", "partial", "dunder_new", "type_call", "positional"])
    @pytest.mark.parametrize("subclass", [False, True])
    def test_every_form_makes_the_same_object(self, form, subclass):
        cls = type("Sub", (Indexable,), {}) if subclass else Indexable
        for _ in range(2):  # the first call of a class may take another path
            o = self.forms()[form](cls)
            assert type(o) is cls
            assert o.__dir__()[:3] == ["b", "a", "c"]
            assert (o.b, o.a, o.c) == (2, "x", [1, 2])

    def test_init_and_new_added_later_run(self):
        class Late(Indexable):
            pass

        Late(v=1)
        Late.__init__ = lambda self, **kw: setattr(self, "seen", sorted(kw))
        assert Late(v=1).seen == ["v"]
        del Late.__init__
        assert not hasattr(Late(v=1), "seen")

        def new(cls, **kw):
            made = Indexable.__new__(cls, **kw)
            made.via_new = True
            return made

        Late.__new__ = staticmethod(new)
        assert Late(v=2).via_new and Late(v=2).v == 2
        del Late.__new__
        assert not hasattr(Late(v=3), "via_new")

    def test_metaclass_call_runs(self):
        calls = []

        class Meta(type):
            def __call__(cls, *args, **kwargs):
                calls.append(kwargs)
                return super().__call__(*args, **kwargs)

        class Counted(Indexable, metaclass=Meta):
            pass

        assert [Counted(k=i).k for i in range(3)] == [0, 1, 2]
        assert calls == [{"k": 0}, {"k": 1}, {"k": 2}]

    def test_class_made_abstract_later_refuses(self):
        class Shape(Indexable):
            pass

        Shape(n=1)
        Shape.__abstractmethods__ = frozenset({"area"})
        with pytest.raises(TypeError, match="abstract"):
            Shape(n=1)
        Shape.__abstractmethods__ = frozenset()
        assert Shape(n=2).n == 2

    def test_failed_conversion_leaves_nothing_behind(self):
        class Bad:
            def __hash__(self):
                raise KeyboardInterrupt

        class Sub(Indexable):
            pass

        keep = [1, 2]
        for _ in range(2):
            with pytest.raises(KeyboardInterrupt):
                Sub(a=keep, b=Bad())
        assert sys.getrefcount(keep) == 2


class TestLifetime:
    def test_ids_are_reused_after_destruction(self):
        a = Indexable()
        freed = _object_id(a)
        del a
        b = Indexable()
        assert _object_id(b) == freed

    def test_ids_are_distinct_while_alive(self):
        objs = [Indexable() for _ in range(1000)]
        assert len({_object_id(o) for o in objs}) == 1000

    def test_reused_instance_starts_clean(self):
        a = Indexable(x=1, y=[2])
        r = weakref.ref(a)
        _attach_engine(a)
        del a
        assert r() is None
        b = Indexable()
        assert repr(b) == "<Indexable with 0 attributes>"
        assert not hasattr(b, "x")
        assert _engine_count(b) == 0
        r2 = weakref.ref(b)
        assert r2() is b

    def test_self_cycle_is_collected(self):
        a = Indexable()
        a.me = a
        r = weakref.ref(a)
        del a
        gc.collect()
        assert r() is None

    def test_two_object_cycle_is_collected(self):
        a, b = Indexable(), Indexable()
        a.b = b
        b.a = a
        ra, rb = weakref.ref(a), weakref.ref(b)
        del a, b
        gc.collect()
        assert ra() is None and rb() is None

    def test_cycle_through_container_and_subclass(self):
        class Node(Indexable):
            pass

        n = Node()
        n.children = [n, {"parent": n}]
        r = weakref.ref(n)
        del n
        gc.collect()
        assert r() is None

    def test_collection_keeps_reachable_values(self):
        a = Indexable()
        a.me = a
        keep = Indexable(inner=Indexable(v=1))
        a.keep = keep
        holder = [keep]
        del a, keep
        gc.collect()
        assert holder[0].inner.v == 1

    def test_deep_chain_is_destroyed_without_overflow(self):
        head = Indexable()
        node = head
        for _ in range(200_000):
            nxt = Indexable()
            node.next = nxt
            node = nxt
        del node
        tail = weakref.ref(head)
        del head
        assert tail() is None


class TestEngines:
    def test_dead_engines_are_trimmed(self):
        o = Indexable()
        _attach_engine(o, False)  # dropped right after registering
        assert _engine_count(o) == 1  # a dead entry stays until the next registration
        _attach_engine(o)
        assert _engine_count(o) == 1
        _attach_engine(o)
        assert _engine_count(o) == 2

    @pytest.mark.parametrize("engines", [1, 2, 3, 5])
    def test_engine_list_grows_past_its_first_entry(self, engines):
        o = Indexable(a=1)
        for n in range(1, engines + 1):
            _attach_engine(o)
            assert _engine_count(o) == n
        o.a = 2  # the assignment visits every entry
        assert o.a == 2
        _attach_engine(o, False)  # a dead one is trimmed at the next registration
        _attach_engine(o)
        assert _engine_count(o) == engines + 1

    def test_assignment_with_engines(self):
        o = Indexable(a=1)
        _attach_engine(o)
        _attach_engine(o)
        o.a = 2
        o.b = [1, 2]
        o._private = 3
        assert (o.a, o.b, o._private) == (2, [1, 2], 3)
        assert repr(o) == "<Indexable with 3 attributes>"


class TestThreads:
    def test_concurrent_assignment_and_reads(self):
        shared = [Indexable(n=0) for _ in range(4)]
        for o in shared[:2]:
            _attach_engine(o)  # assignments on these release the GIL
        names = [f"f{i}" for i in range(12)]
        stop = threading.Event()

        def writer(seed):
            rnd = random.Random(seed)
            for i in range(400):
                o = rnd.choice(shared)
                value = rnd.choice([i, float(i), str(i), [i], Indexable(i=i)])
                setattr(o, rnd.choice(names), value)
                o.n = i

        def reader():
            while not stop.is_set():
                for o in shared:
                    assert isinstance(o.n, int)
                    for name in names:
                        getattr(o, name, None)
                    repr(o)
                    o.__dir__()

        def collector():
            # A full collection holds the GIL for milliseconds; back to back
            # they would starve the writers, which give the GIL up on every
            # assignment.
            while not stop.wait(0.005):
                gc.collect()

        writers = [lambda s=s: writer(s) for s in range(4)]

        def writers_then_stop():
            try:
                run_threads(writers)
            finally:
                stop.set()

        run_threads([writers_then_stop, reader, reader, collector])
        for o in shared:
            for name in names:
                getattr(o, name, None)
        assert all(isinstance(o.n, int) for o in shared)

    def test_concurrent_interning(self):
        texts = [f"concurrent-intern-{i}" for i in range(300)]
        results = []

        def worker(seed):
            order = texts[:]
            random.Random(seed).shuffle(order)
            results.append({t: Tarnwick._intern(t) for t in order})

        run_threads([lambda s=s: worker(s) for s in range(8)])
        assert len(results) == 8
        assert all(r == results[0] for r in results)
        ids = list(results[0].values())
        assert len(set(ids)) == len(texts)
        assert all(Tarnwick._resolve(i) == t for t, i in results[0].items())
