"""Tarnwick: Indexable objects in an Index, queried through reduced views.

A single equality on a plain attribute goes through the keyword form
`reduced(attr=value)`; everything else is a `PyQueryExpr` tree passed to
`reduced_query`. Either view is then collected.
"""

from __future__ import annotations

import heapq
import time
from operator import attrgetter

from bench.peers.base import Peer, Unsupported
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              StartsWith)
from bench.workload import ACTIVE, AGE, CITY, NAME, SCORE, TAGS, ZIP


def _classes():
    from Tarnwick import Indexable

    class Address(Indexable):
        pass

    class Person(Indexable):
        pass

    return Person, Address


_CLASSES = None


def classes():
    """The Indexable subclasses of the benchmark, made once per process."""
    global _CLASSES
    if _CLASSES is None:
        _CLASSES = _classes()
    return _CLASSES


def make_indexable_objects(rows):
    Person, Address = classes()
    return [Person(age=r[AGE], score=r[SCORE], city=r[CITY], name=r[NAME], active=r[ACTIVE],
                   tags=list(r[TAGS]), address=Address(zip=r[ZIP]))
            for r in rows]


class Tarnwick(Peer):
    key = "tarnwick"
    label = "Tarnwick"
    requires = ("Tarnwick",)

    @classmethod
    def unavailable(cls) -> str | None:
        missing = super().unavailable()
        if missing:
            return missing
        import Tarnwick as module
        for name in ("Indexable", "Index"):
            if not hasattr(module, name):
                return f"the installed Tarnwick has no {name} yet"
        if not hasattr(module.Index, "add_object_many"):
            return "the installed Tarnwick has no Index.add_object_many yet"
        return None

    def __init__(self, workload):
        super().__init__(workload)
        self._objects = None
        self._positions = None
        self.index = None

    @property
    def objects(self) -> list:
        if self._objects is None:
            self._objects = make_indexable_objects(self.workload.rows)
        return self._objects

    def create_objects(self) -> list:
        return make_indexable_objects(self.workload.rows)

    def build(self) -> None:
        from Tarnwick import Index
        objs = self.objects
        self.index = None  # the previous engine goes before the next one is built
        index = Index()
        index.add_object_many(objs)
        self.index = index

    def _require(self, owner, method: str):
        if not hasattr(owner, method):
            raise Unsupported(f"the installed Tarnwick has no {getattr(owner, '__name__', owner)}"
                              f".{method} yet")

    def _expr(self, query):
        import Tarnwick
        self._require(Tarnwick, "PyQueryExpr")
        Q = Tarnwick.PyQueryExpr
        match query:
            case Eq(attr, value):
                return Q.eq(attr, value)
            case Has(attr, item):
                return Q.eq(attr, item)
            case In(attr, values):
                return Q.in_(attr, list(values))
            case Between(attr, lo, hi):
                return Q.bt(attr, lo, hi)
            case Lt(attr, value):
                return Q.lt(attr, value)
            case Ge(attr, value):
                return Q.ge(attr, value)
            case StartsWith(attr, value):
                return Q.starts_with(attr, value)
            case EndsWith(attr, value):
                return Q.ends_with(attr, value)
            case Contains(attr, value):
                return Q.contains(attr, value)
            case And(parts):
                return Q.and_(*(self._expr(p) for p in parts))
            case Or(parts):
                return Q.or_(*(self._expr(p) for p in parts))
            case Not(part):
                return Q.not_(self._expr(part))
        raise Unsupported(f"no translation of {query!r}")

    def compile(self, query):
        from Tarnwick import Index
        if isinstance(query, Eq) and "." not in query.attr:
            self._require(Index, "reduced")
            return ("keywords", {query.attr: query.value})
        self._require(Index, "reduced_query")
        return ("expr", self._expr(query))

    def execute(self, compiled):
        form, arg = compiled
        if form == "keywords":
            return self.index.reduced(**arg)
        return self.index.reduced_query(arg)

    def materialize(self, result) -> list:
        return result.collect()

    def open_watch(self, compiled):
        self._require(self.index, "watch")
        return self.index.watch(compiled[1])

    def assign_age(self, positions, ages) -> None:
        objs = self.objects
        for p, a in zip(positions, ages):
            objs[p].age = a

    def readable_objects(self) -> list:
        return self.objects

    def _within(self, compiled):
        return self.index if compiled is None else self.execute(compiled)

    def count(self, compiled) -> int:
        return len(self.execute(compiled))

    def top_k(self, compiled, attr, k) -> list:
        self._require(self.index, "collect")
        return self._within(compiled).collect(order_by=attr, limit=k)

    def value_counts(self, compiled, attr) -> dict:
        self._require(self.index, "value_counts")
        return self._within(compiled).value_counts(attr)

    def answer_variants(self, op, compiled) -> dict:
        """The answer from a view made beforehand, and the same through a collected
        list (what a user without the collection methods writes)."""
        view = self._within(compiled)
        if op.kind == "count":
            return {"view_s": lambda: len(view), "view_collect_s": lambda: len(view.collect())}
        if op.kind == "top_k":
            key = attrgetter(op.attr)
            return {"view_s": lambda: view.collect(order_by=op.attr, limit=op.k),
                    "view_collect_s": lambda: heapq.nsmallest(op.k, view.collect(), key=key)}
        return {"view_s": lambda: view.value_counts(op.attr)}

    def remove_timed(self, positions) -> float:
        self._require(self.index, "remove")
        objs = [self.objects[p] for p in positions]
        remove = self.index.remove
        start = time.perf_counter()
        for o in objs:
            remove(o)
        took = time.perf_counter() - start
        self.index.add_object_many(objs)
        return took

    def positions_of(self, found: list) -> list[int]:
        if self._positions is None:
            self._positions = {id(o): i for i, o in enumerate(self.objects)}
        return [self._positions[id(o)] for o in found]

    def close(self) -> None:
        self.index = None
