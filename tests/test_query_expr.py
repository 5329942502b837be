import gc
import inspect
import re
import sys
import weakref

import pytest

import Tarnwick
from Tarnwick import Index, Indexable, PyQueryExpr as Q

value_debug = Tarnwick._value_debug

# (factory, variant name) of every test on one attribute with one value.
ATTR_VALUE_FACTORIES = [
    (Q.eq, "Eq"),
    (Q.ne, "Ne"),
    (Q.gt, "Gt"),
    (Q.ge, "Ge"),
    (Q.lt, "Lt"),
    (Q.le, "Le"),
    (Q.starts_with, "StartsWi"),
    (Q.ends_with, "EndsWi"),
    (Q.contains, "Contains"),
]

# Calls of every factory that takes an attribute path, given that path.
PATH_CALLS = [(f.__name__, lambda attr, f=f: f(attr, 1)) for f, _ in ATTR_VALUE_FACTORIES] + [
    ("bt", lambda attr: Q.bt(attr, 1, 2)),
    ("in_", lambda attr: Q.in_(attr, [1])),
]


def body(query):
    """The tree text inside "<QueryExpr: ...>"."""
    text = repr(query)
    assert text.startswith("<QueryExpr: ") and text.endswith(">")
    return text[len("<QueryExpr: ") : -1]


def quoted(path_text):
    return '"' + path_text + '"'


class Opaque:
    pass


class TestRepr:
    @pytest.mark.parametrize("factory,name", ATTR_VALUE_FACTORIES)
    def test_attribute_tests_print_name_path_and_value(self, factory, name):
        value = "needle"
        assert body(factory("age", value)) == f'{name}("age", {value_debug(value)})'

    def test_eq_of_an_int_has_the_value_record(self):
        assert re.fullmatch(
            r'<QueryExpr: Eq\("age", PyValue \{ obj: Some\(Py\(0x[0-9a-f]+\)\), '
            r"primitave: Int\(3\), hash: \d+ \}\)>",
            repr(Q.eq("age", 3)),
        )

    @pytest.mark.parametrize(
        "value",
        [3, -2**63, 2.5, -0.0, float("inf"), "", "text with \"quotes\"", True, False, None,
         [1, 2], (1,), {"k": 1}, {1}, Opaque(), 2**64, Tarnwick.Indexable(a=1)],
        ids=lambda v: type(v).__name__,
    )
    def test_values_print_as_they_convert(self, value):
        assert body(Q.eq("a", value)) == f'Eq("a", {value_debug(value)})'

    def test_bt_prints_both_bounds_in_order(self):
        lower, upper = 1.5, 10
        assert body(Q.bt("x", lower, upper)) == f'Bt("x", {value_debug(lower)}, {value_debug(upper)})'

    def test_in_prints_its_values_as_a_list(self):
        values = [1, "two", 3.0]
        items = ", ".join(value_debug(v) for v in values)
        assert body(Q.in_("k", values)) == f'In("k", [{items}])'
        assert body(Q.in_("k", [])) == 'In("k", [])'

    def test_empty_combinations(self):
        assert body(Q.and_()) == "And([])"
        assert body(Q.or_()) == "Or([])"

    def test_nested_tree(self):
        a, b, c = Q.eq("a", 1), Q.starts_with("name", "Jo"), Q.ends_with("name", "hn")
        inner = f"Or([{body(b)}, {body(c)}])"
        tree = Q.and_(a, Q.not_(Q.or_(b, c)), Q.and_())
        assert body(tree) == f"And([{body(a)}, Not({inner}), And([])])"

    @pytest.mark.parametrize(
        "path,printed",
        [
            ("address.city", "address.city"),
            ("", ""),
            ('say "hi"', 'say \\"hi\\"'),
            ("back\\slash", "back\\\\slash"),
            ("tab\tnl\ncr\rnul\0", "tab\\tnl\\ncr\\rnul\\0"),
            ("esc\x1bdel\x7fnel\x85", "esc\\u{1b}del\\u{7f}nel\\u{85}"),
            ("ville.été 数", "ville.été 数"),
            ("lone\ud800", "lone\\u{d800}"),
        ],
    )
    def test_paths_are_quoted_and_escaped(self, path, printed):
        assert body(Q.eq(path, 1)) == f'Eq({quoted(printed)}, {value_debug(1)})'
        assert body(Q.in_(path, [])) == f"In({quoted(printed)}, [])"


class TestArguments:
    @pytest.mark.parametrize("name,call", PATH_CALLS, ids=[n for n, _ in PATH_CALLS])
    @pytest.mark.parametrize("attr", [1, b"age", None, ["age"]])
    def test_attr_must_be_a_str(self, name, call, attr):
        with pytest.raises(TypeError, match=rf"^{name}\(\) argument 'attr' must be str, not "):
            call(attr)

    def test_str_subclass_is_a_path(self):
        class Name(str):
            pass

        assert body(Q.eq(Name("age"), 1)) == body(Q.eq("age", 1))

    def test_keyword_arguments_by_parameter_name(self):
        assert body(Q.eq(value=3, attr="a")) == body(Q.eq("a", 3))
        assert body(Q.bt("a", upper=9, lower=1)) == body(Q.bt("a", 1, 9))
        assert body(Q.in_(attr="a", values=(1, 2))) == body(Q.in_("a", [1, 2]))
        leaf = Q.eq("a", 1)
        assert body(Q.not_(exprs=leaf)) == f"Not({body(leaf)})"

    @pytest.mark.parametrize(
        "call",
        [
            lambda: Q.eq("a"),
            lambda: Q.eq("a", 1, 2),
            lambda: Q.eq("a", 1, attr="b"),
            lambda: Q.eq("a", 1, other=2),
            lambda: Q.bt("a", 1),
            lambda: Q.in_("a"),
            lambda: Q.not_(),
            lambda: Q.not_(Q.eq("a", 1), Q.eq("b", 2)),
            lambda: Q.and_(exprs=Q.eq("a", 1)),
            lambda: Q.or_(Q.eq("a", 1), other=Q.eq("b", 1)),
        ],
    )
    def test_wrong_argument_counts_and_names(self, call):
        with pytest.raises(TypeError):
            call()

    @pytest.mark.parametrize("factory", [Q.and_, Q.or_])
    def test_every_member_must_be_a_query(self, factory):
        ok = Q.eq("a", 1)
        for bad in [1, "eq", None, Opaque(), [ok]]:
            with pytest.raises(TypeError, match=rf"^{factory.__name__}\(\) argument 'exprs' must be PyQueryExpr"):
                factory(ok, bad)

    def test_not_takes_a_query(self):
        for bad in [1, None, [Q.eq("a", 1)]]:
            with pytest.raises(TypeError, match=r"^not_\(\) argument 'exprs' must be PyQueryExpr"):
                Q.not_(bad)

    @pytest.mark.parametrize("values", ["abc", "", 5, None, 2.5])
    def test_in_refuses_strs_and_non_iterables(self, values):
        with pytest.raises(TypeError, match=r"^in_\(\) argument 'values' must be an iterable other than str"):
            Q.in_("a", values)

    @pytest.mark.parametrize("make", [lambda: iter([1, 2]), lambda: (x for x in [1, 2]), lambda: {1: "k", 2: "v"},
                                      lambda: {2, 1}])
    def test_in_accepts_any_iterable(self, make):
        world = Index()
        objs = [Indexable(a=i) for i in range(4)]
        world.add_object_many(objs)
        assert {o.a for o in world.reduced_query(Q.in_("a", make())).collect()} == {1, 2}

    @pytest.mark.parametrize("values", [[], (), range(3), [1, "1", 1.0, True], b"ab"])
    def test_in_accepts_sequences(self, values):
        items = ", ".join(value_debug(v) for v in values)
        assert body(Q.in_("a", values)) == f'In("a", [{items}])'

    def test_in_reads_a_sequence_by_iterating_it(self):
        class Squares:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i >= 3:
                    raise IndexError(i)
                return i * i

        assert body(Q.in_("a", Squares())) == body(Q.in_("a", [0, 1, 4]))

    def test_in_passes_on_an_error_raised_while_iterating(self):
        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 1:
                    raise KeyError("second item")
                return i

            def __iter__(self):
                yield 1
                raise ValueError("iteration failed")

        with pytest.raises(ValueError, match="iteration failed"):
            Q.in_("a", Broken())


class TestClass:
    def test_no_constructor(self):
        with pytest.raises(TypeError, match=r"^No constructor defined for PyQueryExpr$"):
            Q()
        with pytest.raises(TypeError, match=r"^No constructor defined for PyQueryExpr$"):
            Q.__new__(Q)

    def test_names_and_docstring(self):
        assert Q.__name__ == "PyQueryExpr"
        assert Q.__module__ == "Tarnwick"
        assert Q.__doc__.startswith("A query: a tree of tests on attribute values")
        assert Tarnwick.__all__[-1] == "PyQueryExpr"
        assert type(Q.eq("a", 1)) is Q

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (Q,), {})

    @pytest.mark.parametrize(
        "name,params",
        [(f.__name__, ["attr", "value"]) for f, _ in ATTR_VALUE_FACTORIES]
        + [("bt", ["attr", "lower", "upper"]), ("in_", ["attr", "values"]),
           ("and_", ["exprs"]), ("or_", ["exprs"]), ("not_", ["exprs"])],
    )
    def test_factories_are_static_with_signatures(self, name, params):
        assert isinstance(Q.__dict__[name], staticmethod)
        method = getattr(Q, name)
        assert list(inspect.signature(method).parameters) == params
        star = inspect.signature(method).parameters[params[0]].kind is inspect.Parameter.VAR_POSITIONAL
        assert star == (name in ("and_", "or_"))

    def test_factories_callable_on_an_instance(self):
        q = Q.eq("a", 1)
        assert body(q.eq("b", 2)) == body(Q.eq("b", 2))


class TestValueLifetime:
    def test_values_are_converted_when_the_query_is_made(self):
        class Rehash:
            h = 1

            def __hash__(self):
                return Rehash.h

        obj = Rehash()
        values = [1, 2]
        q_obj, q_in = Q.eq("a", obj), Q.in_("a", values)
        before_obj, before_in = body(q_obj), body(q_in)
        Rehash.h = 2
        values.append(3)
        values[0] = "changed"
        assert body(q_obj) == before_obj
        assert body(q_in) == before_in

    def test_combining_leaves_operands_unchanged_and_independent(self):
        leaf = Q.contains("name", "x")
        text = body(leaf)
        negated = Q.not_(leaf)
        both = Q.and_(leaf, negated)
        assert body(leaf) == text
        assert body(negated) == f"Not({text})"
        del leaf
        gc.collect()
        assert body(both) == f"And([{text}, Not({text})])"
        assert body(negated) == f"Not({text})"

    def test_dropping_queries_releases_their_values(self):
        obj = Opaque()
        base = sys.getrefcount(obj)
        queries = [Q.eq("a", obj), Q.bt("a", obj, obj), Q.in_("a", [obj, obj])]
        queries.append(Q.not_(Q.and_(*queries)))
        queries.append(Q.or_(queries[-1], queries[0]))
        assert sys.getrefcount(obj) > base
        del queries
        assert sys.getrefcount(obj) == base

    def test_combined_query_keeps_values_alive_alone(self):
        obj = Opaque()
        alive = weakref.ref(obj)
        combined = Q.or_(Q.eq("a", obj))
        del obj
        gc.collect()
        assert alive() is not None
        del combined
        gc.collect()
        assert alive() is None

    def test_cycle_through_a_value_is_collected(self):
        holder = Opaque()
        alive = weakref.ref(holder)
        q = Q.eq("a", holder)
        holder.query = Q.not_(Q.and_(q))  # holder -> query tree -> holder
        holder.items = [q]
        del holder, q
        gc.collect()
        assert alive() is None

    def test_cycle_through_an_indexable_value_is_collected(self):
        obj = Tarnwick.Indexable()
        alive = weakref.ref(obj)
        obj.query = Q.or_(Q.eq("friend", obj))  # obj -> its attribute map -> query -> obj
        del obj
        gc.collect()
        assert alive() is None

    def test_cycle_through_a_container_value_is_collected(self):
        box = Opaque()
        alive = weakref.ref(box)
        items = [box]
        box.query = Q.in_("a", [items])  # items -> box -> query -> items
        del box, items
        gc.collect()
        assert alive() is None


class TestDepth:
    def test_deep_trees_are_refused_not_crashing(self):
        q = Q.eq("a", 1)
        levels = 1
        with pytest.raises(RecursionError):
            while levels < 100_000:
                q = Q.not_(q) if levels % 2 else Q.and_(q, Q.eq("b", 2))
                levels += 1
        assert levels == 1000
        assert body(q).count("Not(") == 500
        # Wide trees are not deep.
        assert body(Q.or_(*[Q.eq("a", i) for i in range(5000)])).count("Eq(") == 5000


class TestKeywordQuery:
    keyword_query = staticmethod(Tarnwick._keyword_query)

    def test_no_keywords(self):
        assert self.keyword_query() == []

    def test_names_kept_unchanged_in_call_order(self):
        a, b = "x", 2.5
        got = self.keyword_query(zeta=a, alpha=b, **{"age__gt": 3, "address.city": None, "": 1, "\ud800": 0})
        assert got == [
            ("zeta", value_debug(a)),
            ("alpha", value_debug(b)),
            ("age__gt", value_debug(3)),
            ("address.city", value_debug(None)),
            ("", value_debug(1)),
            ("\ud800", value_debug(0)),
        ]

    def test_names_spelled_alike_keep_the_last_value(self):
        class Name(str):
            def __eq__(self, other):
                return self is other

            def __hash__(self):
                return id(self)

        first, second, other = Name("a"), Name("a"), "b"
        got = self.keyword_query(**{first: 1, other: 2, second: 3})
        assert got == [("a", value_debug(3)), ("b", value_debug(2))]
