"""ducks: a Dex over the plain objects, on the attributes that are queried.

Dex answers equality, ranges and membership, and conjunctions of them in one
lookup; a disjunction is the union of its parts' lookups. It has no prefix,
suffix, substring, negation or list-item query; those are skipped rather than
emulated. The nested zip is indexed through a function, the way Dex indexes
derived values.
"""

from __future__ import annotations

from bench.peers.base import Peer, Unsupported
from bench.predicates import And, Between, Eq, Ge, In, Lt, Or


def address_zip(obj):
    return obj.address.zip


KEYS = {"age": "age", "score": "score", "city": "city", "active": "active",
        "address.zip": address_zip}


class Ducks(Peer):
    key = "ducks"
    label = "ducks"
    requires = ("ducks",)
    separate_collect = False  # a Dex lookup returns the list of objects

    def build(self) -> None:
        from ducks import Dex
        self.dex = Dex(self.objects, on=list(KEYS.values()))

    @staticmethod
    def _key(attr):
        try:
            return KEYS[attr]
        except KeyError:
            raise Unsupported(f"{attr} is not indexed by ducks") from None

    def _lookup(self, query) -> dict:
        """A Dex query dict for a test or a conjunction of tests."""
        match query:
            case Eq(attr, value):
                return {self._key(attr): {"==": value}}
            case In(attr, values):
                return {self._key(attr): {"in": list(values)}}
            case Between(attr, lo, hi):
                return {self._key(attr): {">=": lo, "<=": hi}}
            case Lt(attr, value):
                return {self._key(attr): {"<": value}}
            case Ge(attr, value):
                return {self._key(attr): {">=": value}}
            case And(parts):
                merged: dict = {}
                for part in parts:
                    for key, ops in self._lookup(part).items():
                        current = merged.setdefault(key, {})
                        if set(current) & set(ops):
                            raise Unsupported("two tests of one operator on one attribute")
                        current.update(ops)
                return merged
        raise Unsupported(f"ducks has no query for {type(query).__name__}")

    def compile(self, query):
        if isinstance(query, Or):
            return [self._lookup(p) for p in query.parts]
        return self._lookup(query)

    def execute(self, compiled):
        if isinstance(compiled, list):
            found = {}
            for lookup in compiled:
                for obj in self.dex[lookup]:
                    found[id(obj)] = obj
            return list(found.values())
        return self.dex[compiled]

    def materialize(self, result) -> list:
        return result

    def assign_age(self, positions, ages) -> None:
        objs, update = self.objects, self.dex.update
        for p, a in zip(positions, ages):
            obj = objs[p]
            obj.age = a
            update(obj)

    def close(self) -> None:
        self.dex = None
